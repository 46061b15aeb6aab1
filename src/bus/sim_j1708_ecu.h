// The simulated vehicle's J1708 engine controller, MID 128: road speed (PID 84) and engine
// speed (PID 190) from the drive cycle, both at J1587's 100 ms, in one message.
#pragma once

#include "bus/sim_engine_ecu.h"

#include <QByteArray>

#include <vector>

namespace rp1210core::bus {

class SimJ1708Ecu {
public:
    static constexpr quint8 kMid = 128;
    static constexpr quint8 kPidRoadSpeed = 84;     // 1 byte, 0.5 mph per bit
    static constexpr quint8 kPidEngineSpeed = 190;  // 2 bytes, least significant first, 0.25 rpm per bit
    static constexpr qint64 kPeriodMs = 100;

    void start(qint64 nowMs);
    // Appends the messages due at `nowMs` (MID, data, checksum).
    void run(qint64 nowMs, std::vector<QByteArray>& messages);
    qint64 nextDue() const { return schedule_.dueMs; }

    QByteArray message(qint64 nowMs) const;

private:
    sim::Periodic schedule_{kPeriodMs};
    qint64 startMs_ = 0;
};

}  // namespace rp1210core::bus
