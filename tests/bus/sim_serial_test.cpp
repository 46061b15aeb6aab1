// The byte buses of the simulated vehicle: the KWP2000 and J1850 OBD controllers request by
// request; the simulated K-line's initialisations, the J1850 pair of buses, the J1708 bus.
#include "adapter/serial_framing.h"
#include "bus/sim_engine_ecu.h"
#include "bus/sim_obd_ecus.h"
#include "bus/simulated_j1708_bus.h"
#include "bus/simulated_j1850_bus.h"
#include "bus/simulated_kline_bus.h"
#include "support/bytes.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <mutex>

using namespace rp1210core::bus;
using namespace rp1210core::adapter;

namespace {

const std::string kVinHex = toHex(QByteArray(SimEngineEcu::kVin));

// ---- controllers ----

TEST(SimKwpEcu, InitialisationsAnswerOnlyTheirAddressAndStartCommunication)
{
    const std::tuple<KLineBus::Init, const char*, const char*> rows[] = {
        {KLineBus::Init::FiveBaud, "33", "ef 8f"},
        {KLineBus::Init::FiveBaud, "11", "ef 8f"},
        {KLineBus::Init::FiveBaud, "12", ""},
        {KLineBus::Init::Fast, "81 11 f1 81 04", "83 f1 11 c1 ef 8f c4"},
        {KLineBus::Init::Fast, "c1 33 f1 81 66", "83 f1 11 c1 ef 8f c4"},
        {KLineBus::Init::Fast, "81 12 f1 81 05", ""},  // another ECU
        {KLineBus::Init::Fast, "81 11 f1 81 05", ""},  // garbled
        {KLineBus::Init::Fast, "81 11 f1 3e c1", ""},  // not StartCommunication
    };
    for (const auto& [kind, request, answer] : rows)
        EXPECT_EQ(toHex(SimKwpEcu::initAnswer(kind, hex(request))), answer) << request;
}

TEST(SimKwpEcu, AwakeItAnswersItsServicesUntilP3MaxPasses)
{
    SimKwpEcu ecu;
    ecu.start(0);
    std::vector<QByteArray> out;
    auto ask = [&](const char* request, qint64 at) {
        out.clear();
        ecu.receive(kline::withChecksum(hex(request)), at, out);
        return out.empty() ? std::string() : toHex(out.front().left(out.front().size() - 1));
    };
    // At 20 s of the drive cycle the vehicle accelerates through the gears.
    const qint64 t = 20000;
    EXPECT_EQ(ask("c2 33 f1 01 0c", t), "");  // asleep
    ecu.initialised(t);
    const DriveState s = driveStateAt(t);
    const int quarters = int(std::lround(s.engineRpm * 4));
    char rpm[8];
    std::snprintf(rpm, sizeof rpm, "%02x %02x", quarters >> 8, quarters & 0xFF);
    char kmh[4];
    std::snprintf(kmh, sizeof kmh, "%02x", int(std::lround(s.speedKmh)));
    const std::pair<const char*, std::string> rows[] = {
        {"c2 33 f1 01 0c", std::string("84 f1 11 41 0c ") + rpm},
        {"c2 33 f1 01 0d", std::string("83 f1 11 41 0d ") + kmh},
        {"68 6a f1 01 0d", std::string("48 6b 11 41 0d ") + kmh},  // ISO 9141-2 header
        {"c2 33 f1 01 00", "86 f1 11 41 00 00 18 00 00"},
        {"c2 33 f1 01 05", ""},  // unsupported PID: no answer
        {"82 11 f1 1a 90", "93 f1 11 5a 90 " + kVinHex},
        {"82 11 f1 1a 91", "83 f1 11 7f 1a 12"},
        {"81 11 f1 3e", "81 f1 11 7e"},
        {"82 11 f1 3e 02", ""},  // TesterPresent, no response wanted
        {"81 11 f1 10", "83 f1 11 7f 10 11"},
        {"81 11 f1 22", "83 f1 11 7f 22 11"},
        {"81 12 f1 3e", ""},  // another ECU's
        {"81 11 f1 81", "83 f1 11 c1 ef 8f"},
    };
    for (const auto& [request, answer] : rows)
        EXPECT_EQ(ask(request, t), answer) << request;
    EXPECT_EQ(ask("81 11 f1 3e", t + SimKwpEcu::kP3MaxMs), "81 f1 11 7e");  // each message restarts P3
    EXPECT_EQ(ask("81 11 f1 3e", t + 2 * SimKwpEcu::kP3MaxMs + 1), "");    // asleep after P3max
    ecu.initialised(t);
    EXPECT_EQ(ask("81 11 f1 82", t), "81 f1 11 c2");
    EXPECT_EQ(ask("81 11 f1 3e", t), "");  // StopCommunication ends it
}

TEST(SimJ1850Ecu, VpwAndPwmNodesAnswerServiceOneWithTheirHeaders)
{
    for (const bool pwm : {false, true}) {
        SCOPED_TRACE(pwm ? "PWM" : "VPW");
        SimJ1850Ecu ecu(pwm);
        ecu.start(0);
        const QByteArray header = pwm ? hex("61 6a f1") : hex("68 6a f1");
        const std::string answer = pwm ? "41 6b 10 41 " : "48 6b 10 41 ";
        auto ask = [&](const QByteArray& request) {
            std::vector<QByteArray> out;
            ecu.receive(j1850::withCrc(request), 0, out);
            EXPECT_LE(out.size(), 1u);
            if (out.empty())
                return std::string();
            EXPECT_TRUE(j1850::checkFrame(out.front()));
            return toHex(out.front().left(out.front().size() - 1));
        };
        EXPECT_EQ(ask(header + hex("01 00")), answer + "00 00 18 00 00");
        EXPECT_EQ(ask(header + hex("01 0d")), answer + "0d 00");  // standing at the cycle's start
        EXPECT_EQ(ask(header + hex("01 0c")).substr(0, answer.size() + 2), answer + "0c");
        EXPECT_EQ(ask(header + hex("01 05")), "");
        EXPECT_EQ(ask(header + hex("09 02")), "");
        EXPECT_EQ(ask((pwm ? hex("68 6a f1") : hex("61 6a f1")) + hex("01 0d")), "");  // the other variant's
        std::vector<QByteArray> out;
        QByteArray garbled = j1850::withCrc(header + hex("01 0d"));
        garbled[4] = char(0x0c);
        ecu.receive(garbled, 0, out);
        EXPECT_TRUE(out.empty());
    }
}

// ---- simulated buses ----

// What receivers heard on a bus's thread, read on the test's.
class Log {
public:
    void add(const std::string& line)
    {
        std::lock_guard<std::mutex> l(m_);
        lines_.push_back(line);
    }
    // Notes "who [own ]bytes"; a message without a timestamp is noted as such.
    auto recorder(const std::string& who)
    {
        return [this, who](const QByteArray& m, qint64 ts, bool own) {
            add(who + (ts < 0 ? "untimed " : "") + (own ? "own " : "") + toHex(m));
        };
    }
    // The lines once there are n, sorted or in the order heard.
    std::vector<std::string> await(size_t n, bool sorted = false)
    {
        std::vector<std::string> lines;
        EXPECT_TRUE(waitUntil([&] {
            std::lock_guard<std::mutex> l(m_);
            return (lines = lines_).size() >= n;
        }));
        if (sorted)
            std::sort(lines.begin(), lines.end());
        return lines;
    }

private:
    std::mutex m_;
    std::vector<std::string> lines_;
};
using Lines = std::vector<std::string>;

TEST(SimulatedKLineBus, InitialisationsAreAnsweredByTheFirstEcuThatKnowsThemInOrderWithMessages)
{
    SimulatedKLineBus bus;
    auto tester = bus.createPort();
    auto quiet = bus.createEcuPort([](KLineBus::Init, const QByteArray&) { return QByteArray(); });
    auto ecu = bus.createEcuPort([](KLineBus::Init kind, const QByteArray& request) {
        return kind == KLineBus::Init::FiveBaud && request == hex("33") ? hex("ef 8f") : QByteArray();
    });
    Log log;
    const auto init = [&](const QByteArray& a) { log.add("init " + toHex(a)); };
    EXPECT_FALSE(tester->fiveBaudInit(0x33, init));  // closed
    EXPECT_FALSE(tester->open(9600, log.recorder("")));
    ASSERT_TRUE(tester->open(10400, log.recorder("")));
    ASSERT_TRUE(quiet->open(10400, [](const QByteArray&, qint64, bool) {}));
    ASSERT_TRUE(ecu->open(10400, log.recorder("ecu ")));
    ASSERT_TRUE(tester->write(hex("01 3e 3f")));
    ASSERT_TRUE(tester->fiveBaudInit(0x33, init));
    ASSERT_TRUE(tester->fiveBaudInit(0x42, init));
    log.await(4);
    ecu->close();
    ASSERT_TRUE(tester->fiveBaudInit(0x33, init));
    // The ECU hears the message but no initialisation; a closed ECU answers nothing.
    EXPECT_EQ(log.await(5), (Lines{"own 01 3e 3f", "ecu 01 3e 3f", "init ef 8f", "init ", "init "}));
}

TEST(SimulatedJ1850Bus, VpwAndPwmAreSeparateBusesBehindOnePortKind)
{
    SimulatedJ1850Bus bus;
    auto vpw = bus.createPort(), pwm = bus.createPort(), tester = bus.createPort();
    Log log;
    EXPECT_FALSE(tester->open(9600, log.recorder("tester ")));
    ASSERT_TRUE(vpw->open(J1850Bus::kVpwBitrate, log.recorder("vpw ")));
    ASSERT_TRUE(pwm->open(J1850Bus::kPwmBitrate, log.recorder("pwm ")));
    ASSERT_TRUE(tester->open(J1850Bus::kPwmBitrate, log.recorder("tester ")));
    EXPECT_EQ(bus.openPorts(), 3);
    ASSERT_TRUE(tester->write(hex("61 6a f1 01 0d")));
    log.await(2);
    tester->close();
    ASSERT_TRUE(tester->open(J1850Bus::kVpwBitrate, log.recorder("tester ")));  // moved to the other bus
    ASSERT_TRUE(tester->write(hex("68 6a f1 01 0d")));
    EXPECT_EQ(log.await(4, true), (Lines{"pwm 61 6a f1 01 0d", "tester own 61 6a f1 01 0d", "tester own 68 6a f1 01 0d",
                                         "vpw 68 6a f1 01 0d"}));
}

TEST(SimulatedJ1708Bus, CarriesWholeMessagesWithTimestampsAndConfirmations)
{
    SimulatedJ1708Bus bus;
    auto a = bus.createPort(), b = bus.createPort();
    Log heardA, heardB;
    EXPECT_FALSE(b->open(19200, heardB.recorder("")));
    ASSERT_TRUE(a->open(9600, heardA.recorder("")) && b->open(9600, heardB.recorder("")));
    ASSERT_TRUE(a->write(hex("80 54 32 be 10 0b 4f")));
    ASSERT_TRUE(b->write(hex("89 01 76")));
    EXPECT_EQ(heardA.await(2), (Lines{"own 80 54 32 be 10 0b 4f", "89 01 76"}));
    EXPECT_EQ(heardB.await(2), (Lines{"80 54 32 be 10 0b 4f", "own 89 01 76"}));
}

}  // namespace
