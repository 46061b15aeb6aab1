#include "common/clock.h"

#include <ctime>

qint64 SystemClock::wallSeconds() const
{
    return static_cast<qint64>(std::time(nullptr));
}

quint32 SystemClock::processMillis() const
{
    using namespace std::chrono;
    static const steady_clock::time_point origin = steady_clock::now();
    return static_cast<quint32>(duration_cast<milliseconds>(steady_clock::now() - origin).count());
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
