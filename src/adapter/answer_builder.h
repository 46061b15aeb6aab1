// The adapter's answer frames, laid out as the library's dispatch reads them.
#pragma once

#include <QByteArray>
#include <QList>
#include <QtGlobal>

namespace rp1210core::adapter::answers {

// Class, code, then the bytes given.
QByteArray frame(quint8 code, std::initializer_list<quint8> bytes = {});

// Send confirmation (0x04): protocol, state, counter, timestamp, no data of its own.
QByteArray sendConfirmation(quint8 protocol, quint8 state, quint8 counter, quint32 timestamp);

// Firmware version (0x01): the text at offsets 3 to 19.
QByteArray version(quint8 x, const QByteArray& text);

// Ioctl (0x0D): client, 0, sub, then for subs that carry data its 32-bit length and the data.
QByteArray ioctl(quint8 client, quint8 sub, const QByteArray& data = QByteArray(), bool withData = false);

// One received message (timestamp, then `message`) as a code-5 frame, or on a segmenting
// generation, when that frame would exceed the link's frame limit, as 0xD3 segments under
// `key`. `extra` is the protocol's header length that the segment total leaves out.
// Empty when the message cannot be carried (over the 16 segments of the sequence byte).
QList<QByteArray> received(quint8 protocol, quint32 timestamp, const QByteArray& message, bool segmenting,
                           int extra, quint8 key);

}  // namespace rp1210core::adapter::answers
