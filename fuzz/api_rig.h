// The whole core over the fake adapter, for the fuzz targets that go through the RP1210
// calls: built once per process, each input connects its clients and leaves nothing behind.
//
// Time runs a thousand times fast (one real millisecond is one second of the manager's
// wall clock and one real microsecond a millisecond of its process clock), so a request
// the adapter leaves unanswered costs milliseconds, not seconds, and every input stays
// bounded in time without sleeping.
#pragma once

#include "common/clock.h"
#include "link/gestor_input.h"
#include "link/gestor_io.h"
#include "rp1210/gestor_rp1210.h"
#include "support/fake_proxy_link.h"

#include <QByteArray>
#include <QList>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

class TimeLapseClock final : public Rp1210Clock {
public:
    qint64 wallSeconds() const override { return kBaseSeconds + elapsedUs() / 1000; }
    quint32 processMillis() const override { return quint32(elapsedUs()); }
    std::chrono::steady_clock::time_point realTimeOf(qint64 second) const override
    {
        return start_ + std::chrono::milliseconds(second - kBaseSeconds);
    }
    std::chrono::steady_clock::time_point realTimeOfMillis(quint32 ms) const override
    {
        // Within 2^31 ms of now either way, as the interface reads it.
        return std::chrono::steady_clock::now() + std::chrono::microseconds(qint32(ms - processMillis()));
    }

private:
    static constexpr qint64 kBaseSeconds = 1000000;
    qint64 elapsedUs() const
    {
        return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start_).count();
    }
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// Reads an input front to back; past its end every read gives zeros.
class FuzzBytes {
public:
    FuzzBytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return at_ >= size_; }
    quint8 byte() { return at_ < size_ ? data_[at_++] : 0; }
    // Least significant byte first; each read is its own statement, so the order is fixed.
    quint16 u16()
    {
        const quint16 low = byte();
        return quint16(low | (byte() << 8));
    }
    quint32 u32()
    {
        const quint32 low = u16();
        return low | (quint32(u16()) << 16);
    }
    QByteArray bytes(int n)
    {
        const int k = int(std::min<size_t>(size_t(n < 0 ? 0 : n), size_ - std::min(at_, size_)));
        QByteArray b(reinterpret_cast<const char*>(data_ + at_), k);
        at_ += size_t(k);
        return b;
    }
    QByteArray rest() { return bytes(int(size_ - std::min(at_, size_))); }
    // The size a caller claims for a buffer of `actual` bytes: mostly that, sometimes
    // less, sometimes negative; never more, which would be the caller's own overrun.
    short claimedSize(size_t actual)
    {
        const quint8 claim = byte();
        if (claim >= 240)
            return short(-(claim - 239));
        if (claim >= 200 && actual > 0)
            return short(claim % actual);
        return short(actual);
    }
    template <class T, size_t N>
    const T& pick(const T (&table)[N]) { return table[byte() % N]; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

class ApiRig {
public:
    struct Generation {
        const char* type;
        int version;
    };
    // One adapter of each generation the connect string and the segmenting depend on.
    static const Generation kGenerations[7];
    struct Connected {
        short id;
        quint8 protocolo;
    };

    // The process's rig, never destroyed: libFuzzer may exit from any thread.
    static ApiRig& instance();

    // Connects one client of each protocol the generation takes; the adapter answers
    // every request at once, with `state` and `tail` where a request has no fixed answer.
    void begin(const Generation& generation, quint8 state = 0, const QByteArray& tail = QByteArray());
    // Disconnects every client and forgets the adapter's writes.
    void end();
    const std::vector<Connected>& clients() const { return clients_; }
    // A client id: mostly a connected client, sometimes any value the API may be handed.
    short client(FuzzBytes& in) const;
    // A received message from the bus for protocol `protocolo`, handed to the receive ring.
    void deliver(quint8 protocolo, const QByteArray& message);
    // What follows the client, the byte and the sub in the adapter's ioctl answers.
    void setIoctlTail(const QByteArray& tail);

    TimeLapseClock clock;
    GestorRP1210 g;
    Gestor_IO io;
    GestorInput in;
    FakeProxyLink link;

private:
    ApiRig();
    QList<QByteArray> answer(const QByteArray& w);

    std::vector<Connected> clients_;
    std::mutex mutex_;
    quint8 state_ = 0;
    QByteArray tail_;
    QByteArray ioctlTail_;
};
