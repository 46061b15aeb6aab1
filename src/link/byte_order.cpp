#include "link/byte_order.h"

namespace rp1210core::internal {

void uLong2ByteArray(quint32 value, QByteArray& out)
{
    const char bytes[4] = {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
                           static_cast<char>(value >> 8), static_cast<char>(value)};
    out.append(bytes, 4);
}

void byteVector2UlongVector(const QByteArray& bytes, QList<quint32>* out)
{
    if (out == nullptr)
        return;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.constData());
    const int whole = bytes.size() / 4;
    out->reserve(out->size() + whole);
    for (int i = 0; i < whole; ++i)
        out->append(readULONG(p, 4 * i));
}

quint16 readWORD(const unsigned char* bytes, int offset)
{
    return static_cast<quint16>(bytes[offset] | (bytes[offset + 1] << 8));
}

quint32 readULONG(const unsigned char* bytes, int offset)
{
    return (static_cast<quint32>(bytes[offset]) << 24) | (static_cast<quint32>(bytes[offset + 1]) << 16) |
           (static_cast<quint32>(bytes[offset + 2]) << 8) | static_cast<quint32>(bytes[offset + 3]);
}

}  // namespace rp1210core::internal
