// The simulated vehicle on a manual clock, stepped to each due moment: the J1939 engine's
// claim, broadcasts and request answers, the J1708 messages, the UDS server's answers
// through an ISO-TP tester; then the running simulation's cost. Its transport answers
// through the core are in tests/adapter/transport_e2e_test.cpp and tests/api.
#include "adapter/iso15765_transport.h"
#include "adapter/j1708_framing.h"
#include "bus/simulated_vehicle.h"
#include "support/bytes.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <functional>
#include <iostream>

using namespace rp1210core::bus;
using namespace rp1210core::adapter;

namespace {

struct ScriptedCan final : CanBus {
    Receiver receiver;
    std::vector<CanFrame> written;
    bool open(quint32, Receiver r) override { return receiver = std::move(r), true; }
    bool write(const CanFrame& f) override { return written.push_back(f), true; }
    void close() override { receiver = nullptr; }
};
struct ScriptedJ1708 final : J1708Bus {
    std::vector<QByteArray> written;
    bool open(quint32, Receiver) override { return true; }
    bool write(const QByteArray& m) override { return written.push_back(m), true; }
    void close() override {}
};

struct Seen {
    qint64 ms;
    CanFrame frame;
};

std::string bytesOf(const CanFrame& f)
{
    return toHex(QByteArray(reinterpret_cast<const char*>(f.data.data()), f.length));
}

// The vehicle on a manual clock, with a UDS tester (its own ISO-TP engine) on the bus. run()
// steps time to each moment the vehicle or the tester has work, so every broadcast goes out
// exactly when due.
struct Rig {
    qint64 now = 1000;
    ScriptedCan can;
    ScriptedJ1708 j1708;
    SimulatedVehicle vehicle;
    std::vector<Seen> seen;
    std::vector<std::pair<qint64, QByteArray>> seenJ1708;
    IsoTpEngine tester;
    IsoTpOutput testerOut;
    int connection = tester.addConnection({false, false, 0x7E8, 0x7E0});
    std::vector<QByteArray> answers;  // to the tester

    Rig() : vehicle(&can, &j1708, config(this)) { EXPECT_TRUE(vehicle.begin()); }
    static SimulatedVehicle::Config config(Rig* rig)
    {
        SimulatedVehicle::Config c;
        c.clockMs = [rig] { return rig->now; };
        return c;
    }
    void inject(const CanFrame& f) { can.receiver(f, false); }
    void ask(const char* request)
    {
        const QByteArray r = hex(request);
        tester.send(connection, ubytes(r), r.size(), now, testerOut);
    }
    void run(qint64 until)
    {
        for (;;) {
            vehicle.advanceTo(now);
            for (CanFrame f : std::exchange(can.written, {})) {
                seen.push_back({now, f});
                tester.receive(f, now, testerOut);
            }
            for (const QByteArray& m : std::exchange(j1708.written, {}))
                seenJ1708.push_back({now, m});
            tester.poll(now, testerOut);
            for (const IsoTpEvent& e : testerOut.events)
                if (e.kind == IsoTpEventKind::Received)
                    answers.push_back(e.data);
            const std::vector<CanFrame> frames = std::move(testerOut.frames);
            testerOut.clear();
            for (const CanFrame& f : frames) {
                seen.push_back({now, f});
                inject(f);
            }
            if (!frames.empty())
                continue;  // the vehicle hears them at the same moment
            const qint64 next = sim::earlier(vehicle.nextDue(), tester.nextDeadline());
            if (next < 0 || next > until) {
                now = until;
                return;
            }
            now = next > now ? next : now + 1;
        }
    }
    std::vector<Seen> withPgn(quint32 pgn) const
    {
        std::vector<Seen> out;
        for (const Seen& s : seen)
            if (s.frame.extended && j1939DecodeId(s.frame.id).pgn == pgn && j1939DecodeId(s.frame.id).source == 0)
                out.push_back(s);
        return out;
    }
};

quint32 le16(const CanFrame& f, int at) { return quint32(f.data[at]) | (quint32(f.data[at + 1]) << 8); }

CanFrame request(quint32 pgn, quint8 source, quint8 destination)
{
    const quint8 b[3] = {quint8(pgn), quint8(pgn >> 8), quint8(pgn >> 16)};
    return CanFrame::make(j1939EncodeId({6, 59904, source, destination}), true, b, 3);
}

}  // namespace

TEST(SimulatedVehicle, ClaimsAddressZeroThenBroadcastsAtTheirPeriodsWithValuesInRange)
{
    Rig rig;
    const qint64 start = rig.now;
    rig.run(start + kDriveCycleMs);
    ASSERT_FALSE(rig.seen.empty());
    const CanFrame& claim = rig.seen.front().frame;
    EXPECT_EQ(claim.id, j1939EncodeId({6, 60928, 0, 0xFF}));
    EXPECT_EQ(bytesOf(claim), "17 5a c0 ff 00 00 00 10");  // the NAME, least significant byte first
    EXPECT_EQ(rig.seen.front().ms, start);

    const struct {
        quint32 pgn;
        quint8 priority;
        qint64 periodMs;
        std::function<double(const CanFrame&)> value;
        double low, high;            // every value within
        double reachLow, reachHigh;  // the drive cycle gets below and above these
    } table[] = {
        {61444, 3, 20, [](const CanFrame& f) { return le16(f, 3) * 0.125; }, 600, 1900, 700, 1700},  // SPN 190 rpm
        {65265, 6, 100, [](const CanFrame& f) { return le16(f, 1) / 256.0; }, 0, 100, 0.1, 80},     // SPN 84 km/h
        {65226, 6, 1000, [](const CanFrame& f) { return f.data[0]; }, 0x44, 0x44, 0, 0},           // lamps steady
    };
    for (const auto& b : table) {
        SCOPED_TRACE(b.pgn);
        const std::vector<Seen> frames = rig.withPgn(b.pgn);
        ASSERT_EQ(qint64(frames.size()), kDriveCycleMs / b.periodMs + 1);
        double lowest = 1e9, highest = -1e9;
        for (size_t i = 0; i < frames.size(); ++i) {
            EXPECT_EQ(frames[i].ms, start + qint64(i) * b.periodMs);
            EXPECT_TRUE(j1939DecodeId(frames[i].frame.id).priority == b.priority && frames[i].frame.length == 8);
            const double v = b.value(frames[i].frame);
            EXPECT_TRUE(v >= b.low && v <= b.high) << v;
            lowest = std::min(lowest, v), highest = std::max(highest, v);
        }
        EXPECT_TRUE(b.reachLow == b.reachHigh || (lowest < b.reachLow && highest > b.reachHigh)) << lowest << highest;
    }
    // DM1 (J1939-73): MIL and amber lamp on, no flashing; SPN 4364 in bytes 3, 4 and the top
    // bits of 5 with FMI 18 below them; conversion method 0 and occurrence count 3.
    const CanFrame dm1 = rig.withPgn(65226).front().frame;
    EXPECT_EQ(dm1.data[2] | (quint32(dm1.data[3]) << 8) | (quint32(dm1.data[4] >> 5) << 16), 4364u);
    EXPECT_EQ(bytesOf(dm1), "44 ff 0c 11 12 03 ff ff");
}

TEST(SimulatedVehicle, NacksUnknownGroupsAskedOfItAndFallsSilentWhenItLosesItsAddress)
{
    Rig rig;
    rig.run(rig.now + 1);
    rig.inject(request(0xFEE5, 0xF9, 0xFF));  // engine hours, not simulated: silence to all,
    rig.inject(request(0xFEE5, 0xF9, 0));     // a NACK to the engine
    rig.inject(request(61444, 0xF9, 0));      // EEC1 on request, out of its schedule
    const qint64 asked = rig.now;
    rig.run(asked);
    const std::vector<Seen> acks = rig.withPgn(59392);
    ASSERT_EQ(acks.size(), 1u);
    EXPECT_EQ(bytesOf(acks[0].frame), "01 ff ff ff f9 e5 fe 00");
    EXPECT_EQ(rig.withPgn(61444).back().ms, asked);

    const quint8 lowestName[8] = {};
    rig.inject(CanFrame::make(j1939EncodeId({6, 60928, 0, 0xFF}), true, lowestName, 8));
    rig.run(asked + 1000);
    EXPECT_FALSE(rig.vehicle.engine().claimed());
    EXPECT_EQ(rig.withPgn(61444).back().ms, asked);
}

TEST(SimulatedVehicle, J1708EngineSendsRoadAndEngineSpeedEvery100msWithValidChecksums)
{
    Rig rig;
    const qint64 start = rig.now;
    rig.run(start + kDriveCycleMs);
    ASSERT_EQ(qint64(rig.seenJ1708.size()), kDriveCycleMs / 100 + 1);
    double fastest = 0;
    for (size_t i = 0; i < rig.seenJ1708.size(); ++i) {
        const qint64 ms = rig.seenJ1708[i].first;
        const QByteArray& m = rig.seenJ1708[i].second;  // a plain reference: lambdas may capture it
        EXPECT_EQ(ms, start + qint64(i) * 100);
        ASSERT_TRUE(j1708::checkMessage(m) && m.size() == 7) << toHex(m);
        const auto byte = [&m](int at) { return quint8(m.at(at)); };
        EXPECT_TRUE(byte(0) == 128 && byte(1) == 84 && byte(3) == 190) << toHex(m);  // MID, road and engine speed
        const double mph = byte(2) * 0.5, rpm = (byte(4) | (byte(5) << 8)) * 0.25;
        EXPECT_TRUE(mph >= 0 && mph <= 62) << mph;
        EXPECT_TRUE(rpm >= 600 && rpm <= 1900) << rpm;
        fastest = std::max(fastest, mph);
    }
    EXPECT_GT(fastest, 50);
}

TEST(SimulatedVehicle, UdsServerAnswersEachServiceAndRefusesTheRest)
{
    const std::pair<const char*, const char*> table[] = {
        {"10 03", "50 03 00 32 01 f4"},  // extended session with P2 50 ms and P2* 5000 ms
        {"10 01", "50 01 00 32 01 f4"},
        {"10 83", ""},  // positive response suppressed
        {"10 05", "7f 10 12"},
        {"10", "7f 10 13"},
        {"3e 00", "7e 00"},
        {"3e 80", ""},
        {"3e 00 00", "7f 3e 13"},
        {"3e 01", "7f 3e 12"},
        {"22 f1 8c", "62 f1 8c 53 4e 35 41 31 37"},
        {"22 12 34", "7f 22 31"},
        {"22 12 34 f1 8c", "62 f1 8c 53 4e 35 41 31 37"},  // the identifiers it knows
        {"22 f1", "7f 22 13"},
        {"22 f1 90 f1", "7f 22 13"},
        {"31 01 ff 00", "7f 31 11"},
        {"27 01", "7f 27 11"},
    };
    Rig rig;
    for (const auto& [asked, expected] : table) {
        rig.answers.clear();
        rig.ask(asked);
        rig.run(rig.now + 200);
        EXPECT_LE(rig.answers.size(), 1u) << asked;
        EXPECT_EQ(rig.answers.empty() ? "" : toHex(rig.answers[0]), expected) << asked;
    }
}

TEST(SimulatedVehicle, UdsExtendedSessionFallsBackWithoutTesterPresent)
{
    Rig rig;
    rig.ask("10 03");
    rig.run(rig.now + 4000);
    EXPECT_EQ(rig.vehicle.uds().session(), 3);
    rig.ask("3e 80");  // silent, but keeps the session
    rig.run(rig.now + 4000);
    EXPECT_EQ(rig.vehicle.uds().session(), 3);
    rig.run(rig.now + 1001);
    EXPECT_EQ(rig.vehicle.uds().session(), 1);
}

// A figure for the closing note: the vehicle alone on its buses pauses, and heard it
// costs what ~190 messages a second cost. The bounds only catch a vehicle that spins.
TEST(VehicleSimulation, CpuCostAloneAndHeard)
{
    VehicleSimulation simulation;
    auto measure = [] {  // the process's CPU time over wall time
        const auto cpu = [] {
            timespec ts{};
            clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
            return double(ts.tv_sec) + ts.tv_nsec / 1e9;
        };
        const double cpu0 = cpu();
        const auto t0 = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));  // measuring, not synchronising
        return (cpu() - cpu0) / std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    };
    const double alone = measure();
    auto listener = simulation.createCanPort();
    std::atomic<int> heard{0};
    ASSERT_TRUE(listener->open(250000, [&](const CanFrame&, bool) { ++heard; }));
    ASSERT_TRUE(waitUntil([&] { return heard > 0; }));
    const double listened = measure();
    std::cout << "vehicle CPU: alone " << alone * 100 << "%, heard " << listened * 100 << "% of one core\n";
    RecordProperty("cpu_alone_percent", std::to_string(alone * 100));
    RecordProperty("cpu_heard_percent", std::to_string(listened * 100));
    EXPECT_LT(alone, 0.02);
    EXPECT_LT(listened, 0.10);
    listener->close();
}
