// The simulated vehicle's J1939 engine controller at source address 0: claims its address,
// broadcasts EEC1, CCVS and DM1, and answers requests, the multi-packet ones through the
// J1939 transport engine. Also the drive cycle that all the simulated ECUs report from.
//
// I/O-free like the engines it uses: frames and the time (ms) in, frames out; run() at
// nextDue(). One thread drives it.
#pragma once

#include "adapter/j1939_address_claim.h"
#include "adapter/j1939_transport.h"
#include "bus/can_frame.h"

#include <QByteArray>

#include <vector>

namespace rp1210core::bus {

// The vehicle at one moment of its drive cycle.
struct DriveState {
    double engineRpm = 0;
    double speedKmh = 0;
    double torquePercent = 0;  // actual engine torque, percent of reference
    bool braking = false;
    bool cruising = false;  // cruise control active
};

// A loop of kDriveCycleMs: idle, accelerate through the gears, cruise, brake, idle.
constexpr qint64 kDriveCycleMs = 60000;
DriveState driveStateAt(qint64 msSinceStart);

namespace sim {

// A broadcast schedule. A schedule that fell more than one period behind (a late wake, a
// pause) resumes from now instead of sending a burst.
struct Periodic {
    qint64 periodMs = 0;
    qint64 dueMs = -1;  // -1: stopped

    bool fire(qint64 nowMs)
    {
        if (dueMs < 0 || nowMs < dueMs)
            return false;
        dueMs += periodMs;
        if (dueMs <= nowMs)
            dueMs = nowMs + periodMs;
        return true;
    }
};

// The earlier of two deadlines where -1 means none.
inline qint64 earlier(qint64 a, qint64 b) { return a < 0 ? b : (b < 0 || a < b ? a : b); }

}  // namespace sim

class SimEngineEcu {
public:
    static constexpr quint8 kAddress = 0;
    // Identity 0x5A17, manufacturer 0x7FE (unassigned), function 0 (engine), industry group 1
    // (on-highway), not arbitrary-address capable.
    static constexpr quint64 kName = (quint64(1) << 60) | (quint64(0x7FE) << 21) | 0x5A17;

    static constexpr quint32 kPgnEec1 = 61444, kPgnCcvs = 65265, kPgnDm1 = 65226;
    static constexpr quint32 kPgnVin = 65260, kPgnComponentId = 65259;
    static constexpr quint32 kPgnRequest = 59904, kPgnAcknowledgment = 59392;
    static constexpr qint64 kEec1PeriodMs = 20, kCcvsPeriodMs = 100, kDm1PeriodMs = 1000;

    // The one active fault: SCR conversion efficiency below normal, with MIL and amber lamp.
    static constexpr quint32 kFaultSpn = 4364;
    static constexpr quint8 kFaultFmi = 18, kFaultOccurrences = 3;
    static constexpr quint8 kLampStatus = 0x44;  // MIL on (bits 8-7 = 01), amber warning on (bits 4-3 = 01)

    static const char kVin[];          // 17 characters
    static const char kComponentId[];  // make*model*serial*unit*

    // Claims the address and starts the broadcasts; the drive cycle counts from `nowMs`.
    void start(qint64 nowMs);
    // A frame of another node (extended identifiers only; others are ignored).
    void receive(const CanFrame& frame, qint64 nowMs);
    // Sends what is due and runs the engines' deadlines.
    void run(qint64 nowMs);
    qint64 nextDue() const;
    // Appends the frames to put on the bus, in order.
    void take(std::vector<CanFrame>& frames);

    bool claimed() const { return claim_.state() == adapter::J1939AddressClaim::State::Claimed; }

    // The broadcast messages as sent at `nowMs`; public so that tests decode the same layout.
    QByteArray eec1(qint64 nowMs) const;
    QByteArray ccvs(qint64 nowMs) const;
    static QByteArray dm1();

private:
    void broadcast(quint8 priority, quint32 pgn, const QByteArray& data);
    void onRequest(const adapter::J1939Id& id, const CanFrame& frame, qint64 nowMs);
    void drain();

    adapter::J1939Transport transport_;
    adapter::J1939AddressClaim claim_;
    sim::Periodic eec1_{kEec1PeriodMs}, ccvs_{kCcvsPeriodMs}, dm1_{kDm1PeriodMs};
    qint64 startMs_ = 0;
    bool silenced_ = false;  // lost the address: a node without one must not transmit
    std::vector<CanFrame> frames_;
};

}  // namespace rp1210core::bus
