// --filter values turned into the driver's filter records, one per option:
//   J1939     pgn=61444[,sa=0x00][,da=0xFF][,priority=3]
//   CAN       id=18FEF100[/1FFFF00]   (hexadecimal; 3 digits or fewer: 11-bit)
//   ISO15765  id=7E8[/7FF]
//   J1708     mid=128
#pragma once

#include "notation.h"

#include <QByteArray>
#include <QString>

namespace rp1210tool {

// The RP1210 filter command of the family, or -1 when it has none the tool offers.
int filterCommand(Family f);
bool filterRecord(Family f, const QString& wanted, QByteArray* record, QString* error);

}  // namespace rp1210tool
