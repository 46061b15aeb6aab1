#include "common/clock.h"

#include <ctime>

qint64 SystemClock::wallSeconds() const
{
    return static_cast<qint64>(std::time(nullptr));
}

namespace {

// The instant the process clock counts from: its first use.
std::chrono::steady_clock::time_point processOrigin()
{
    static const std::chrono::steady_clock::time_point origin = std::chrono::steady_clock::now();
    return origin;
}

}  // namespace

quint32 SystemClock::processMillis() const
{
    using namespace std::chrono;
    const steady_clock::time_point origin = processOrigin();
    return static_cast<quint32>(duration_cast<milliseconds>(steady_clock::now() - origin).count());
}

std::chrono::steady_clock::time_point SystemClock::realTimeOfMillis(quint32 ms) const
{
    using namespace std::chrono;
    const steady_clock::time_point origin = processOrigin();
    const qint64 elapsed = duration_cast<milliseconds>(steady_clock::now() - origin).count();
    // The reading wraps every 2^32 ms; the target is the nearest instant that reads `ms`.
    const qint32 ahead = static_cast<qint32>(ms - static_cast<quint32>(elapsed));
    return origin + milliseconds(elapsed + ahead);
}

std::chrono::steady_clock::time_point SystemClock::realTimeOf(qint64 second) const
{
    using namespace std::chrono;
    const auto target = system_clock::from_time_t(static_cast<std::time_t>(second));
    const auto remaining = target - system_clock::now();
    return steady_clock::now() + duration_cast<steady_clock::duration>(remaining);
}

SystemClock* SystemClock::instance()
{
    static SystemClock clock;
    return &clock;
}
