// A clock the test moves by hand; moving it wakes what onMove names (the manager's
// answer waits, the send thread).
#pragma once

#include "common/clock.h"

#include <atomic>
#include <functional>

class FakeClock final : public Rp1210Clock {
public:
    explicit FakeClock(qint64 startSeconds = 1000000) : seconds_(startSeconds) {}

    qint64 wallSeconds() const override { return seconds_; }
    quint32 processMillis() const override { return millis_; }
    std::chrono::steady_clock::time_point realTimeOf(qint64) const override
    {
        return std::chrono::steady_clock::now() + std::chrono::hours(1);
    }
    std::chrono::steady_clock::time_point realTimeOfMillis(quint32) const override
    {
        return std::chrono::steady_clock::now() + std::chrono::hours(1);
    }

    // Called after every move, typically GestorRP1210::wakeWaiters.
    void onMove(std::function<void()> f) { onMove_ = std::move(f); }
    void advanceSeconds(qint64 s)
    {
        seconds_ += s;
        if (onMove_)
            onMove_();
    }
    void advanceMillis(quint32 ms)
    {
        millis_ += ms;
        if (onMove_)
            onMove_();
    }

private:
    std::atomic<qint64> seconds_;
    std::atomic<quint32> millis_{0};
    std::function<void()> onMove_;
};
