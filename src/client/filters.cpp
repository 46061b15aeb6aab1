#include "client/filters.h"

namespace {

// Filter records carry their numbers most significant byte first.
quint32 readBigEndian32(const unsigned char* p)
{
    return (quint32(p[0]) << 24) | (quint32(p[1]) << 16) | (quint32(p[2]) << 8) | quint32(p[3]);
}

quint32 readBigEndian16(const unsigned char* p)
{
    return (quint32(p[0]) << 8) | quint32(p[1]);
}

// Index of the first payload byte: behind the timestamp and, in echo mode, the echo byte.
inline int payloadStart(bool echo)
{
    return echo ? 5 : 4;
}

inline bool applyMode(bool answer, unsigned char filterMode)
{
    return filterMode ? !answer : answer;
}

inline const unsigned char* bytesOf(const QByteArray& message)
{
    return reinterpret_cast<const unsigned char*>(message.constData());
}

}  // namespace

// ---------------------------------------------------------------- J1939

J1939_Filtro::J1939_Filtro(const unsigned char* record)
    : flags_(record[0]),
      pgn_{record[1], record[2], record[3]},
      comparePgn_((record[0] & 0x01) != 0),
      priority_(record[4]),
      comparePriority_((record[0] & 0x02) != 0),
      sourceAddress_(record[5]),
      compareSource_((record[0] & 0x04) != 0),
      destinationAddress_(record[6]),
      compareDestination_((record[0] & 0x08) != 0)
{
}

QByteArray J1939_Filtro::getPGN() const
{
    return QByteArray(reinterpret_cast<const char*>(pgn_), 3);
}

bool J1939_Filtro::Valid_Filter(const QByteArray& message, bool echo, unsigned char filterMode) const
{
    // PGN (3), priority, source, destination behind the payload start.
    if (message.size() <= (echo ? 10 : 9))
        return false;
    const unsigned char* m = bytesOf(message) + payloadStart(echo);
    bool r = true;
    if (comparePgn_)
        r = m[0] == pgn_[0] && m[1] == pgn_[1] && m[2] == pgn_[2];
    if (comparePriority_ && m[3] != priority_)
        r = false;
    if (compareSource_ && m[4] != sourceAddress_)
        r = false;
    if (compareDestination_ && m[5] != destinationAddress_)
        r = false;
    return applyMode(r, filterMode);
}

// ---------------------------------------------------------------- J1708

bool J1708_Filtro::Valid_Filter(const QByteArray& message, bool echo, unsigned char filterMode) const
{
    if (message.size() <= 5)
        return false;
    return applyMode(bytesOf(message)[payloadStart(echo)] == mid_, filterMode);
}

// ---------------------------------------------------------------- CAN

CAN_Filtro::CAN_Filtro(const unsigned char* record) : type_(record[0])
{
    if (type_ == 1) {
        mask_ = readBigEndian32(record + 1);
        header_ = readBigEndian32(record + 5);
    } else {
        mask_ = readBigEndian16(record + 3);
        header_ = readBigEndian16(record + 7);
    }
}

bool CAN_Filtro::Valid_Filter(const QByteArray& message, bool echo, unsigned char filterMode) const
{
    const int b = payloadStart(echo);
    if (message.size() <= b + 3)
        return false;
    const unsigned char* m = bytesOf(message) + b;
    const quint8 t = m[0];
    if (t != type_)
        return applyMode(false, filterMode);
    quint32 identifier;
    if (t == 1) {
        // An extended identifier needs four bytes; without them the message is too
        // short for this filter and is rejected in either mode.
        if (message.size() < b + 5)
            return false;
        identifier = readBigEndian32(m + 1);
    } else {
        identifier = readBigEndian16(m + 1);
    }
    const bool r = mask_ == 0 || ((identifier ^ header_) & mask_) == 0;
    return applyMode(r, filterMode);
}

// ---------------------------------------------------------------- ISO 15765

namespace {
inline bool iso15765Uses29Bit(quint8 type)
{
    return type == 1 || type == 3;
}
}  // namespace

ISO15765_Filtro::ISO15765_Filtro(const unsigned char* record) : type_(record[0])
{
    if (iso15765Uses29Bit(type_)) {
        mask_ = readBigEndian32(record + 1);
        extAddressMask_ = record[5];
        header_ = readBigEndian32(record + 6);
        extAddress_ = record[10];
    } else {
        mask_ = readBigEndian16(record + 3);
        extAddressMask_ = 0;
        header_ = readBigEndian16(record + 8);
        extAddress_ = 0;
    }
}

bool ISO15765_Filtro::sameAs(const ISO15765_Filtro& other) const
{
    if (type_ != other.type_ || header_ != other.header_ || mask_ != other.mask_)
        return false;
    return type_ < 2 || (extAddress_ == other.extAddress_ && extAddressMask_ == other.extAddressMask_);
}

bool ISO15765_Filtro::Valid_Filter(const QByteArray& message, bool echo, unsigned char filterMode) const
{
    // Leading byte, type, 4 identifier bytes, extended address: P + 5 is the last byte read.
    if (message.size() <= (echo ? 11 : 10))
        return false;
    const unsigned char* p = bytesOf(message) + payloadStart(echo) + 1;
    const quint8 t = p[0];
    bool r;
    if (t != type_) {
        r = false;
    } else {
        const quint32 identifier = iso15765Uses29Bit(t) ? readBigEndian32(p + 1) : readBigEndian16(p + 3);
        if (mask_ != 0 && ((identifier ^ header_) & mask_) != 0)
            r = false;
        else if (extAddressMask_ != 0 && t >= 2 && t <= 4)
            r = ((p[5] ^ extAddress_) & extAddressMask_) == 0;
        else
            r = true;
    }
    return applyMode(r, filterMode);
}

// ---------------------------------------------------------------- J1850

J1850_Filtro::J1850_Filtro(const unsigned char* record)
    : value_{record[3], record[4], record[5]}, mask_{record[0], record[1], record[2]}
{
}

bool J1850_Filtro::Valid_Filter(const QByteArray& message, bool /*echo*/, unsigned char filterMode) const
{
    // The three header bytes sit at fixed offsets 6 to 8 whatever the echo mode.
    if (message.size() <= 9)
        return false;
    const unsigned char* m = bytesOf(message) + 6;
    bool r = true;
    for (int i = 0; i < 3; ++i) {
        if (((m[i] ^ value_[i]) & mask_[i]) != 0)
            r = false;
    }
    return applyMode(r, filterMode);
}

// ---------------------------------------------------------------- CDL

CDL_Filtro::CDL_Filtro(const unsigned char* pattern, short length)
{
    if (pattern && length > 0)
        pattern_.assign(pattern, pattern + length);
}

bool CDL_Filtro::Valid_Filter(const QByteArray& message, bool echo, unsigned char filterMode) const
{
    const int needed = int(pattern_.size()) + payloadStart(echo);
    return applyMode(message.size() >= needed, filterMode);
}
