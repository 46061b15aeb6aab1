// One periodic broadcast record of a client: a message that is sent again and again
// at a fixed interval without further calls from the application.
//
// Two byte layouts meet here. The application's command record carries interval and
// length least significant byte first; the view written back to it carries them most
// significant byte first:
//   command record: interval (2, LSB first), length n (2, LSB first), n message bytes
//   view:           interval (2, MSB first), stored length (2, MSB first), stored bytes
// The stored bytes include any checksum or prefix that the client added.
//
// A plain value: copies are independent (the message is implicitly shared), so the
// send thread can work on copies while the client keeps its own records.
#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <optional>

class BroadcastMSG {
public:
    static constexpr int kHeaderSize = 4;  // interval and length, in either layout

    BroadcastMSG() = default;
    // Reads a command record. The caller has checked with recordSize() that the whole
    // record is there. Last sent starts at 0; the identifier is set by whoever stores it.
    explicit BroadcastMSG(const char* record);
    BroadcastMSG(qint32 interval, const QByteArray& message);

    // Bytes of the command record at `record` (4 + the length it declares), or -1 when
    // the record is not all inside the `available` bytes.
    static int recordSize(const char* record, int available);

    quint8 getBroadcastID() const { return id_; }
    void setBroadcastID(int id) { id_ = static_cast<quint8>(id & 0xFF); }
    qint32 getTimeInterval() const { return interval_; }
    qint32 getLength() const { return length_; }
    QByteArray getMsg() const { return msg_; }
    qint32 getLastSent() const { return lastSent_; }
    void setLastSent(int ms) { lastSent_ = ms; }

    // Adds one byte behind or in front of the stored message (J1708 checksum, CAT prefix).
    void appendByte(quint8 b);
    void prependByte(quint8 b);

    // Bytes that deserializarBroadMSG writes: 4 + stored length.
    int viewSize() const { return kHeaderSize + length_; }
    // Writes the view layout into out (viewSize() bytes).
    void deserializarBroadMSG(char* out) const;

    // Whether the interval has run out at process time `nowMs`: strictly more than the
    // interval since the last transmission. The elapsed time is taken modulo 2^32, so a
    // process clock that passes 2^31 ms (about 24.8 days) keeps the records running.
    bool isDue(quint32 nowMs) const { return static_cast<quint32>(nowMs - static_cast<quint32>(lastSent_)) >
                                             static_cast<quint32>(interval_); }
    // The first process time at which isDue holds, counted from the last transmission;
    // none for a negative interval, which is never due.
    std::optional<quint32> dueAt() const
    {
        if (interval_ < 0)
            return std::nullopt;
        return static_cast<quint32>(lastSent_) + static_cast<quint32>(interval_) + 1u;
    }

private:
    quint8 id_ = 0;
    qint32 interval_ = 0;
    qint32 length_ = 0;
    QByteArray msg_;
    qint32 lastSent_ = 0;
};
