#include "client/broadcast_msg.h"

#include <cstring>

namespace {

quint8 byteAt(const char* p, int i)
{
    return static_cast<quint8>(p[i]);
}

// The two numbers of a command record are least significant byte first.
int littleEndian16(const char* p, int i)
{
    return byteAt(p, i) | (byteAt(p, i + 1) << 8);
}

}  // namespace

BroadcastMSG::BroadcastMSG(const char* record)
    : interval_(littleEndian16(record, 0)),
      length_(littleEndian16(record, 2)),
      msg_(record + kHeaderSize, littleEndian16(record, 2))
{
}

BroadcastMSG::BroadcastMSG(qint32 interval, const QByteArray& message)
    : interval_(interval), length_(message.size()), msg_(message)
{
}

int BroadcastMSG::recordSize(const char* record, int available)
{
    if (record == nullptr || available < kHeaderSize)
        return -1;
    const int total = kHeaderSize + littleEndian16(record, 2);
    return total <= available ? total : -1;
}

void BroadcastMSG::appendByte(quint8 b)
{
    msg_.append(static_cast<char>(b));
    ++length_;
}

void BroadcastMSG::prependByte(quint8 b)
{
    msg_.prepend(static_cast<char>(b));
    ++length_;
}

void BroadcastMSG::deserializarBroadMSG(char* out) const
{
    out[0] = static_cast<char>((interval_ >> 8) & 0xFF);
    out[1] = static_cast<char>(interval_ & 0xFF);
    out[2] = static_cast<char>((length_ >> 8) & 0xFF);
    out[3] = static_cast<char>(length_ & 0xFF);
    if (length_ > 0)
        std::memcpy(out + kHeaderSize, msg_.constData(), static_cast<size_t>(length_));
}
