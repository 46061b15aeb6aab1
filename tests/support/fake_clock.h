// A clock the test moves by hand; moving it calls what onMove names (typically the
// manager's wakeWaiters or the send thread's wake), so that sleepers look again.
#pragma once

#include "common/clock.h"

#include <atomic>
#include <functional>

class FakeClock final : public Rp1210Clock {
public:
    explicit FakeClock(qint64 startSeconds = 1000000) : seconds_(startSeconds) {}

    qint64 wallSeconds() const override { return seconds_; }
    quint32 processMillis() const override { return millis_; }
    // Sleepers never wake on their own: only a move (onMove) ends their wait.
    std::chrono::steady_clock::time_point realTimeOf(qint64) const override { return far(); }
    std::chrono::steady_clock::time_point realTimeOfMillis(quint32) const override { return far(); }

    void onMove(std::function<void()> f) { onMove_ = std::move(f); }
    void advanceSeconds(qint64 s) { seconds_ += s, moved(); }
    void advanceMillis(quint32 ms) { millis_ += ms, moved(); }

private:
    static std::chrono::steady_clock::time_point far() { return std::chrono::steady_clock::now() + std::chrono::hours(1); }
    void moved()
    {
        if (onMove_)
            onMove_();
    }
    std::atomic<qint64> seconds_;
    std::atomic<quint32> millis_{0};
    std::function<void()> onMove_;
};
