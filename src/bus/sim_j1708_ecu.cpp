#include "bus/sim_j1708_ecu.h"

#include "adapter/j1708_framing.h"

#include <algorithm>
#include <cmath>

namespace rp1210core::bus {

void SimJ1708Ecu::start(qint64 nowMs)
{
    startMs_ = nowMs;
    schedule_.dueMs = nowMs;
}

void SimJ1708Ecu::run(qint64 nowMs, std::vector<QByteArray>& messages)
{
    if (schedule_.fire(nowMs))
        messages.push_back(message(nowMs));
}

QByteArray SimJ1708Ecu::message(qint64 nowMs) const
{
    const DriveState s = driveStateAt(nowMs - startMs_);
    const long mph2 = std::clamp(std::lround(s.speedKmh / 1.609344 / 0.5), 0L, 255L);
    const long rpm4 = std::clamp(std::lround(s.engineRpm / 0.25), 0L, 0xFFFFL);
    const quint8 data[] = {kPidRoadSpeed, quint8(mph2), kPidEngineSpeed, quint8(rpm4 & 0xFF), quint8(rpm4 >> 8)};
    QByteArray out;
    adapter::j1708::buildMessage(kMid, data, int(sizeof data), out);
    return out;
}

}  // namespace rp1210core::bus
