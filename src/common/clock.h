// Clocks of the API manager, injectable so that multi-second adapter time-outs can be
// tested without waiting for them.
#pragma once

#include <QtGlobal>

#include <chrono>

class Rp1210Clock {
public:
    virtual ~Rp1210Clock() = default;
    // Wall clock in whole seconds: answer waits count their limits with it.
    virtual qint64 wallSeconds() const = 0;
    // Monotonic process clock in milliseconds: blocking reads and broadcast intervals.
    virtual quint32 processMillis() const = 0;
    // The real (steady) instant at which wallSeconds() first reaches `second`. An answer
    // wait sleeps until then unless woken earlier; a clock that cannot tell returns a
    // far instant and wakes the waits itself when it moves (GestorRP1210::wakeWaiters).
    virtual std::chrono::steady_clock::time_point realTimeOf(qint64 second) const = 0;
    // The real (steady) instant at which processMillis() reaches `ms`, read as at most
    // 2^31 ms before or after now. The send thread sleeps until then unless woken
    // earlier; a clock that cannot tell returns a far instant and wakes the send thread
    // itself when it moves (Gestor_IO::wakeSendThread).
    virtual std::chrono::steady_clock::time_point realTimeOfMillis(quint32 ms) const = 0;
};

class SystemClock final : public Rp1210Clock {
public:
    qint64 wallSeconds() const override;
    quint32 processMillis() const override;
    std::chrono::steady_clock::time_point realTimeOf(qint64 second) const override;
    std::chrono::steady_clock::time_point realTimeOfMillis(quint32 ms) const override;

    static SystemClock* instance();
};
