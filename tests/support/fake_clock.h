// A clock moved by hand; a move calls onMove (a wake), and only a move ends a sleep.
#pragma once

#include "common/clock.h"

#include <atomic>
#include <functional>

class FakeClock final : public Rp1210Clock {
public:
    explicit FakeClock(qint64 startSeconds = 1000000) : seconds_(startSeconds) {}

    qint64 wallSeconds() const override { return seconds_; }
    quint32 processMillis() const override { return millis_; }
    std::chrono::steady_clock::time_point realTimeOf(qint64) const override { return far(); }
    std::chrono::steady_clock::time_point realTimeOfMillis(quint32) const override { return far(); }

    void onMove(std::function<void()> f) { onMove_ = std::move(f); }
    void advanceSeconds(qint64 s) { seconds_ += s, moved(); }
    void advanceMillis(quint32 ms) { millis_ += ms, moved(); }

private:
    static std::chrono::steady_clock::time_point far() { return std::chrono::steady_clock::now() + std::chrono::hours(1); }
    void moved() { onMove_ ? onMove_() : void(); }
    std::atomic<qint64> seconds_;
    std::atomic<quint32> millis_{0};
    std::function<void()> onMove_;
};
