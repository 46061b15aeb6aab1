// J1708 messages as J1587 gives them meaning: the MID names the sender, then parameters
// (PIDs) follow, each with a length its number implies.
#pragma once

#include "decoded.h"

#include <QByteArray>

namespace rp1210tool::j1587 {

// "engine #1", or null when the MID is not known.
const char* midName(quint8 mid);
// `data`: the bytes after the MID, checksum removed.
Decoded decode(quint8 mid, const QByteArray& data);

}  // namespace rp1210tool::j1587
