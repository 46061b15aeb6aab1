// J1708 message framing: MID, data and a checksum, at most 21 bytes on the wire.
#pragma once

#include <QByteArray>
#include <QtGlobal>

namespace rp1210core::adapter::j1708 {

constexpr int kMaxMessage = 21;  // MID, data and checksum
constexpr int kMinMessage = 2;   // MID and checksum

// Writes MID, `size` data bytes and the checksum to `out`; returns the message length,
// or -1 when it would exceed kMaxMessage (out is then left empty).
int buildMessage(quint8 mid, const quint8* data, int size, QByteArray& out);

// True when a received message has a valid length and its bytes, checksum included,
// sum to zero modulo 256; anything else is to be dropped.
bool checkMessage(const QByteArray& message);

}  // namespace rp1210core::adapter::j1708
