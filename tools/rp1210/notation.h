// Messages as the driver hands them over and as the tool shows them: the read layout of
// each protocol family parsed into fields, the one-line candump-like notation printed
// for each message, and the same notation read back into the send layout.
//
//   J1939     6 61444 00->FF [8] F0 7D 7D 80 14 00 F0 7D   priority, PGN, source->destination, data
//   CAN       18FEF100 [8] C0 00 58 ...  or  7E0 [3] ...   identifier (3 hex digits: 11 bits), data
//   ISO15765  7E8 [20] 62 F1 90 ...  (7E8:33 with an extended address)
//   J1708     128 [5] 54 2A BE 10 0A                       MID, data (checksum removed)
//   others    [n] bytes
//
// Identifiers, addresses and data are hexadecimal, PGNs and MIDs decimal.
#pragma once

#include "decoded.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

namespace rp1210tool {

enum class Family { J1939, Can, Iso15765, J1708, Bytes };

// From the connect string's keyword: "J1939:Baud=500" is J1939.
Family familyOf(const QString& protocolString);
QString familyName(Family f);

struct Message {
    Family family = Family::Bytes;
    double seconds = 0;  // the driver's timestamp
    bool echo = false;   // this client's own message, given back
    quint8 priority = 0;
    quint32 pgn = 0;
    quint8 source = 0, destination = 0;
    quint32 id = 0;  // CAN and ISO 15765 identifier
    bool extended = false;
    int isoIndication = 0;  // 0 a message, 1 a transmit confirmation, 2 a first-frame indication
    bool hasAddress = false;
    quint8 address = 0;  // ISO 15765 extended address
    quint8 mid = 0;
    QByteArray data;
};

// Reads one message of the family: timestamp (big-endian count of `unitUs`
// microseconds), the echo byte when echo is on, then the family's fields. False when
// the message is too short for them.
bool parseRead(Family f, const QByteArray& raw, bool echoOn, double unitUs, Message* out);

// The notation part of a line ("6 61444 00->FF [8] ...").
QString notation(const Message& m);
Decoded decode(const Message& m);
// "  12.345  J1939  <notation>  <decoded>"
QString lineText(const Message& m);
QJsonObject lineJson(const Message& m);

// The notation read back into the send layout of the family. For J1939 the source may
// be left out ("6 59904 FF EC FE 00"); `source` is used then. False with a reason.
bool parseNotation(Family f, const QString& text, quint8 source, QByteArray* out, QString* error);

// A number as options take it: decimal, or hexadecimal with "0x".
bool parseNumber(const QString& text, quint32 max, quint32* out);
// A CAN identifier, hexadecimal with or without "0x"; more than 3 digits or a value
// above 0x7FF makes it a 29-bit one.
bool parseCanId(const QString& text, quint32* id, bool* extended);

}  // namespace rp1210tool
