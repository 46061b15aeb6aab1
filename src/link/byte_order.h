// Conversions between adapter/caller byte strings and 16- and 32-bit numbers.
//
// Byte orders:
// - uLong2ByteArray / byteVector2UlongVector: big-endian (most significant byte
//   first), like every other multi-byte field of the adapter frames. They set the
//   order of the 32-bit ioctl fields on the wire in both directions, so they must
//   always agree with each other.
// - readULONG: big-endian. The CAN and ISO 15765 filter records carry their
//   identifiers most significant byte first and are compared with identifiers
//   assembled the same way.
// - readWORD: little-endian. Its only reader is the 2-byte value of send command 28,
//   which RP1210 applications on x86 fill by copying a native 16-bit integer into
//   the command buffer, i.e. least significant byte first.
//
// Stateless; callable from any thread. The read functions read exactly 2 or 4 bytes
// at the offset: the caller guarantees they are there.
#pragma once

#include <QByteArray>
#include <QList>
#include <QtGlobal>

namespace rp1210core::internal {

// Appends exactly 4 bytes encoding `value` to `out`.
void uLong2ByteArray(quint32 value, QByteArray& out);

// Appends one value per complete group of 4 bytes of `bytes`, in order; a trailing
// remainder of fewer than 4 bytes is ignored. Does nothing when `out` is null.
void byteVector2UlongVector(const QByteArray& bytes, QList<quint32>* out);

quint16 readWORD(const unsigned char* bytes, int offset);
quint32 readULONG(const unsigned char* bytes, int offset);

}  // namespace rp1210core::internal
