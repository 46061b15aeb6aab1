#include "bus/sim_engine_ecu.h"

#include <algorithm>
#include <cmath>

namespace rp1210core::bus {

using namespace adapter;

const char SimEngineEcu::kVin[] = "1SVTR5EX7PS000042";
const char SimEngineEcu::kComponentId[] = "SIMTRUCK*SE-13*SN5A17*ECM1*";

namespace {

constexpr quint32 kPgnTpCm = 0xEC00, kPgnTpDt = 0xEB00;

double ramp(double from, double to, double x) { return from + (to - from) * std::clamp(x, 0.0, 1.0); }

void putLe16(QByteArray& b, int at, double value)
{
    const quint32 v = quint32(std::clamp(std::lround(value), 0L, 0xFAFFL));  // above: error/not available codes
    b[at] = char(v & 0xFF);
    b[at + 1] = char(v >> 8);
}

quint8 offsetPercent(double percent) { return quint8(std::clamp(std::lround(percent + 125), 0L, 250L)); }

}  // namespace

DriveState driveStateAt(qint64 msSinceStart)
{
    const double t = double(((msSinceStart % kDriveCycleMs) + kDriveCycleMs) % kDriveCycleMs) / 1000.0;
    const double ripple = std::sin(t * 2.1);  // a governor never holds exactly
    constexpr double kCruiseKmh = 88, kCruiseRpm = 1350, kIdleRpm = 650;
    DriveState s;
    // A short idle first, so that a few seconds' look already sees the vehicle move off.
    if (t < 2 || t >= 47) {
        s.engineRpm = kIdleRpm + 6 * ripple;
        s.torquePercent = 8;
    } else if (t < 17) {
        const double x = (t - 2) / 15;
        s.speedKmh = kCruiseKmh * x;
        const double gear = x * 4;
        s.engineRpm = 1000 + 800 * (gear - std::floor(gear));  // shifts at 1800, back to 1000
        s.torquePercent = 80;
    } else if (t < 37) {
        s.speedKmh = kCruiseKmh + 0.5 * ripple;
        s.engineRpm = kCruiseRpm + 8 * ripple;
        s.torquePercent = 35 + 3 * ripple;
        s.cruising = true;
    } else {
        const double x = (t - 37) / 10;
        s.speedKmh = ramp(kCruiseKmh, 0, x);
        s.engineRpm = ramp(kCruiseRpm, kIdleRpm, x);
        s.braking = true;
    }
    return s;
}

void SimEngineEcu::start(qint64 nowMs)
{
    startMs_ = nowMs;
    silenced_ = false;
    transport_.setLocalAddresses({kAddress});
    claim_.claim(kName, kAddress, nowMs);
    // Addresses 0 to 127 may transmit right after their claim, without the 250 ms wait.
    eec1_.dueMs = ccvs_.dueMs = dm1_.dueMs = nowMs;
    drain();
}

void SimEngineEcu::receive(const CanFrame& frame, qint64 nowMs)
{
    if (!frame.extended)
        return;
    const J1939Id id = j1939DecodeId(frame.id);
    if (id.pgn == J1939AddressClaim::kPgnAddressClaimed || id.pgn == kPgnRequest)
        claim_.receive(frame, nowMs);
    if (id.pgn == kPgnTpCm || id.pgn == kPgnTpDt)
        transport_.receive(frame, nowMs);
    else if (id.pgn == kPgnRequest && !silenced_)
        onRequest(id, frame, nowMs);
    drain();
}

void SimEngineEcu::onRequest(const J1939Id& id, const CanFrame& frame, qint64 nowMs)
{
    const bool global = id.destination == kJ1939Global;
    if ((!global && id.destination != kAddress) || frame.length < 3)
        return;
    const quint32 pgn = quint32(frame.data[0]) | (quint32(frame.data[1]) << 8) | (quint32(frame.data[2]) << 16);
    if (pgn == J1939AddressClaim::kPgnAddressClaimed)
        return;  // the claim engine answers
    QByteArray data;
    if (pgn == kPgnVin)
        data = QByteArray(kVin) + '*';
    else if (pgn == kPgnComponentId)
        data = QByteArray(kComponentId);
    else if (pgn == kPgnEec1)
        data = eec1(nowMs);
    else if (pgn == kPgnCcvs)
        data = ccvs(nowMs);
    else if (pgn == kPgnDm1)
        data = dm1();
    if (data.isEmpty()) {
        // J1939-21: a request addressed to us for a group we lack gets a NACK; a global one
        // gets silence.
        if (!global) {
            const quint8 nack[8] = {1, 0xFF, 0xFF, 0xFF, id.source, quint8(pgn), quint8(pgn >> 8), quint8(pgn >> 16)};
            frames_.push_back(CanFrame::make(j1939EncodeId({6, kPgnAcknowledgment, kAddress, kJ1939Global}), true,
                                             nack, 8));
        }
        return;
    }
    J1939Message m;
    m.priority = 6;
    m.pgn = pgn;
    m.source = kAddress;
    // A node without an address cannot hold a connection: its answer goes to all.
    m.destination = global || id.source == kJ1939Null ? kJ1939Global : id.source;
    m.data = data;
    transport_.send(m, nowMs);  // refused when a session to that node is still open: the requester asks again
}

void SimEngineEcu::run(qint64 nowMs)
{
    claim_.poll(nowMs);
    transport_.poll(nowMs);
    drain();
    if (silenced_)
        return;
    if (eec1_.fire(nowMs))
        broadcast(3, kPgnEec1, eec1(nowMs));
    if (ccvs_.fire(nowMs))
        broadcast(6, kPgnCcvs, ccvs(nowMs));
    if (dm1_.fire(nowMs))
        broadcast(6, kPgnDm1, dm1());
}

qint64 SimEngineEcu::nextDue() const
{
    qint64 due = sim::earlier(claim_.nextDeadline(), transport_.nextDeadline());
    if (!silenced_)
        due = sim::earlier(due, sim::earlier(eec1_.dueMs, sim::earlier(ccvs_.dueMs, dm1_.dueMs)));
    return due;
}

void SimEngineEcu::take(std::vector<CanFrame>& frames)
{
    frames.insert(frames.end(), frames_.begin(), frames_.end());
    frames_.clear();
}

void SimEngineEcu::drain()
{
    std::vector<CanFrame> frames;
    std::vector<J1939TpEvent> tpEvents;
    transport_.take(frames, tpEvents);  // outcomes of our answers need no action
    std::vector<CanFrame> claimFrames;
    std::vector<J1939ClaimEvent> claimEvents;
    claim_.take(claimFrames, claimEvents);
    frames_.insert(frames_.end(), claimFrames.begin(), claimFrames.end());
    frames_.insert(frames_.end(), frames.begin(), frames.end());
    for (const J1939ClaimEvent& e : claimEvents) {
        if (e.kind == J1939ClaimEvent::Kind::CannotClaim) {
            silenced_ = true;
            transport_.removeLocalAddress(kAddress);
        }
    }
}

void SimEngineEcu::broadcast(quint8 priority, quint32 pgn, const QByteArray& data)
{
    frames_.push_back(CanFrame::make(j1939EncodeId({priority, pgn, kAddress, kJ1939Global}), true,
                                     reinterpret_cast<const quint8*>(data.constData()), data.size()));
}

QByteArray SimEngineEcu::eec1(qint64 nowMs) const
{
    const DriveState s = driveStateAt(nowMs - startMs_);
    QByteArray b(8, char(0xFF));
    b[0] = char(s.torquePercent > 10 ? 1 : 0);  // torque mode: accelerator pedal, else idle governor; no fraction
    b[1] = char(offsetPercent(s.torquePercent + 2));     // driver's demand
    b[2] = char(offsetPercent(s.torquePercent));         // actual engine torque
    putLe16(b, 3, s.engineRpm / 0.125);                  // SPN 190
    b[5] = char(kAddress);                               // the engine controls itself
    b[6] = char(0xF0);                                   // starter: start not requested
    b[7] = char(offsetPercent(s.torquePercent));         // engine demand torque
    return b;
}

QByteArray SimEngineEcu::ccvs(qint64 nowMs) const
{
    const DriveState s = driveStateAt(nowMs - startMs_);
    QByteArray b(8, char(0xFF));
    b[0] = char(s.speedKmh < 0.1 ? 0xC4 : 0xC0);  // parking brake set while standing
    putLe16(b, 1, s.speedKmh * 256);               // SPN 84
    b[3] = char((s.cruising ? 0x01 : 0x00) | 0x04 | (s.braking ? 0x10 : 0x00));  // cruise active/enabled, brake switch
    b[4] = char(0x00);
    b[5] = char(s.cruising ? 88 : 0);  // cruise set speed, km/h
    return b;
}

QByteArray SimEngineEcu::dm1()
{
    QByteArray b(8, char(0xFF));
    b[0] = char(kLampStatus);
    b[1] = char(0xFF);  // no lamp flashes
    b[2] = char(kFaultSpn & 0xFF);
    b[3] = char((kFaultSpn >> 8) & 0xFF);
    b[4] = char(((kFaultSpn >> 16) & 0x07) << 5 | kFaultFmi);
    b[5] = char(kFaultOccurrences & 0x7F);  // SPN conversion method 0
    return b;
}

}  // namespace rp1210core::bus
