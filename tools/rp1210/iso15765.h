// The identifier pair of an ISO 15765 connection: --tx (requests) and --rx (answers),
// and the flow-control record that tells the driver about it.
#pragma once

#include "commands.h"

namespace rp1210tool {

struct IsoPair {
    quint32 tx = 0x7E0, rx = 0x7E8;
    bool extended = false;
};

void addIsoPairOptions(QCommandLineParser& p);
// False after a usage message.
bool isoPair(const Context& ctx, IsoPair* out);
// Type, incoming and outgoing identifiers (most significant byte first), block size,
// separation time, transmit separation time (least significant byte first).
QByteArray flowControlRecord(const IsoPair& pair);

}  // namespace rp1210tool
