#include "adapter/serial_framing.h"

namespace rp1210core::adapter {

namespace kline {

quint8 checksum(const char* bytes, int size)
{
    quint8 sum = 0;
    for (int i = 0; i < size; ++i)
        sum = quint8(sum + quint8(bytes[i]));
    return sum;
}

QByteArray withChecksum(const QByteArray& message)
{
    return message + char(checksum(message.constData(), message.size()));
}

bool checkMessage(const QByteArray& message)
{
    const int n = message.size();
    return n >= 2 && quint8(message.at(n - 1)) == checksum(message.constData(), n - 1);
}

QByteArray KwpMessage::encode() const
{
    const int n = data.size();
    if (n < 1 || n > kMaxData)
        return QByteArray();
    const bool addressed = mode != NoAddress;
    const bool lengthByte = mode != Carb && n > 0x3F;
    QByteArray m;
    m.append(char(mode == Carb ? carbFormat : quint8(mode | (lengthByte ? 0 : n))));
    if (addressed)
        m.append(char(target)).append(char(source));
    if (lengthByte)
        m.append(char(n));
    return withChecksum(m.append(data));
}

std::optional<KwpMessage> KwpMessage::decode(const QByteArray& message)
{
    if (!checkMessage(message))
        return std::nullopt;
    KwpMessage k;
    const quint8 format = quint8(message.at(0));
    k.mode = format & 0xC0;
    int at = 1;
    if (k.mode != NoAddress) {
        if (message.size() < 4)
            return std::nullopt;
        k.target = quint8(message.at(1));
        k.source = quint8(message.at(2));
        at = 3;
    }
    if (k.mode == Carb) {
        if (message.size() < at + 2)
            return std::nullopt;  // no service identifier
        k.carbFormat = format;
        k.data = message.mid(at, message.size() - at - 1);
        return k;
    }
    int length = format & 0x3F;
    if (length == 0) {
        if (message.size() <= at + 1)
            return std::nullopt;
        length = quint8(message.at(at++));
    }
    // Header, data and checksum make the whole message, neither more nor less.
    if (length == 0 || message.size() != at + length + 1)
        return std::nullopt;
    k.data = message.mid(at, length);
    return k;
}

}  // namespace kline

namespace j1850 {

quint8 crc(const char* bytes, int size)
{
    quint8 c = 0xFF;
    for (int i = 0; i < size; ++i) {
        c ^= quint8(bytes[i]);
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 0x80) ? quint8((c << 1) ^ 0x1D) : quint8(c << 1);
    }
    return quint8(~c);
}

QByteArray withCrc(const QByteArray& message) { return message + char(crc(message.constData(), message.size())); }

bool checkFrame(const QByteArray& frame)
{
    const int n = frame.size();
    return n >= 2 && quint8(frame.at(n - 1)) == crc(frame.constData(), n - 1);
}

}  // namespace j1850

}  // namespace rp1210core::adapter
