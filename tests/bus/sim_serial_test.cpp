// The byte buses of the simulated vehicle: the K-line and J1850 framing, the KWP2000 and
// J1850 OBD controllers request by request, and the simulated K-line's initialisations
// and J1850 pair of buses.
#include "adapter/serial_framing.h"
#include "bus/sim_engine_ecu.h"
#include "bus/sim_obd_ecus.h"
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
using rp1210core::adapter::kline::KwpMessage;

namespace {

const std::string kVinHex = toHex(QByteArray(SimEngineEcu::kVin));

// ---- framing ----

TEST(SerialFraming, ChecksumsAndCrcs)
{
    const std::pair<const char*, const char*> sums[] = {
        // message without checksum, with it (ISO 14230-2 / ISO 9141-2: the sum modulo 256)
        {"c1 33 f1 81", "c1 33 f1 81 66"},
        {"83 f1 10 c1 e9 8f", "83 f1 10 c1 e9 8f bd"},
        {"68 6a f1 01 00", "68 6a f1 01 00 c4"},
        {"ff 01", "ff 01 00"},
    };
    for (const auto& [plain, framed] : sums) {
        EXPECT_EQ(toHex(kline::withChecksum(hex(plain))), framed);
        EXPECT_TRUE(kline::checkMessage(hex(framed))) << framed;
        QByteArray wrong = hex(framed);
        wrong[wrong.size() - 1] = char(wrong.at(wrong.size() - 1) + 1);
        EXPECT_FALSE(kline::checkMessage(wrong)) << framed;
    }
    EXPECT_FALSE(kline::checkMessage(hex("00")));  // a checksum alone is no message
    const std::pair<const char*, const char*> crcs[] = {
        // SAE J1850 CRC-8
        {"68 6a f1 01 00", "17"}, {"68 6a f1 01 0c", "8b"}, {"", "00"}, {"00", "3b"}, {"ff", "ff"}};
    for (const auto& [message, crc] : crcs) {
        const QByteArray m = hex(message);
        EXPECT_EQ(toHex(QByteArray(1, char(j1850::crc(m.constData(), m.size())))), crc) << message;
    }
    EXPECT_TRUE(j1850::checkFrame(hex("68 6a f1 01 00 17")));
    EXPECT_FALSE(j1850::checkFrame(hex("68 6a f1 01 00 18")));
    EXPECT_FALSE(j1850::checkFrame(hex("ff")));
}

TEST(SerialFraming, KwpHeadersEncodeAndDecode)
{
    struct Row {
        quint8 mode, target, source;
        QByteArray data;
        std::string wire;
    };
    const QByteArray long70 = pattern(70, 1);
    const Row rows[] = {
        {KwpMessage::Physical, 0x11, 0xF1, hex("81"), "81 11 f1 81 04"},
        {KwpMessage::Functional, 0x33, 0xF1, hex("01 0c"), "c2 33 f1 01 0c f3"},
        {KwpMessage::NoAddress, 0, 0, hex("3e"), "01 3e 3f"},
        {KwpMessage::Carb, 0x6A, 0xF1, hex("01 0d"), "68 6a f1 01 0d d1"},
        // over 63 data bytes: a length byte after the header
        {KwpMessage::Physical, 0xF1, 0x11, long70,
         "80 f1 11 46 " + toHex(long70) + " 7d"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.wire);
        KwpMessage m;
        m.mode = r.mode;
        m.target = r.target;
        m.source = r.source;
        m.data = r.data;
        EXPECT_EQ(toHex(m.encode()), r.wire);
        const auto back = KwpMessage::decode(hex(r.wire.c_str()));
        ASSERT_TRUE(back.has_value());
        EXPECT_EQ(int(back->mode), int(r.mode));
        EXPECT_EQ(back->data, r.data);
        EXPECT_EQ(int(back->target), int(r.target));
    }
    // Refused: wrong checksum, a length that disagrees, no data, too much data.
    for (const char* bad : {"81 11 f1 81 05", "82 11 f1 81 05", "80 11 f1 00 82", "81 11 f1 83"})
        EXPECT_FALSE(KwpMessage::decode(hex(bad)).has_value()) << bad;
    KwpMessage tooLong;
    tooLong.data = QByteArray(256, 'x');
    EXPECT_TRUE(tooLong.encode().isEmpty());
}

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

TEST(SimulatedKLineBus, InitialisationsAreAnsweredByTheFirstEcuThatKnowsThemInOrderWithMessages)
{
    SimulatedKLineBus bus;
    auto tester = bus.createPort();
    auto quiet = bus.createEcuPort([](KLineBus::Init, const QByteArray&) { return QByteArray(); });
    auto ecu = bus.createEcuPort([](KLineBus::Init kind, const QByteArray& request) {
        return kind == KLineBus::Init::FiveBaud && request == hex("33") ? hex("ef 8f") : QByteArray();
    });
    std::mutex m;
    std::vector<std::string> log;
    auto note = [&](const std::string& s) {
        std::lock_guard<std::mutex> l(m);
        log.push_back(s);
    };
    EXPECT_FALSE(tester->fiveBaudInit(0x33, [](const QByteArray&) {}));  // closed
    EXPECT_FALSE(tester->open(9600, [](const QByteArray&, qint64, bool) {}));
    ASSERT_TRUE(tester->open(10400, [&](const QByteArray& msg, qint64, bool own) { note((own ? "own " : "") + toHex(msg)); }));
    ASSERT_TRUE(quiet->open(10400, [](const QByteArray&, qint64, bool) {}));
    ASSERT_TRUE(ecu->open(10400, [&](const QByteArray& msg, qint64, bool) { note("ecu " + toHex(msg)); }));
    ASSERT_TRUE(tester->write(hex("01 3e 3f")));
    ASSERT_TRUE(tester->fiveBaudInit(0x33, [&](const QByteArray& a) { note("init " + toHex(a)); }));
    ASSERT_TRUE(tester->fiveBaudInit(0x42, [&](const QByteArray& a) { note("init " + toHex(a)); }));
    ASSERT_TRUE(waitUntil([&] {
        std::lock_guard<std::mutex> l(m);
        return log.size() == 4;
    }));
    ecu->close();
    ASSERT_TRUE(tester->fiveBaudInit(0x33, [&](const QByteArray& a) { note("init " + toHex(a)); }));
    ASSERT_TRUE(waitUntil([&] {
        std::lock_guard<std::mutex> l(m);
        return log.size() == 5;
    }));
    std::lock_guard<std::mutex> l(m);
    // The ECU hears the message but no initialisation; a closed ECU answers nothing.
    const std::vector<std::string> expected = {"own 01 3e 3f", "ecu 01 3e 3f", "init ef 8f", "init ", "init "};
    EXPECT_EQ(log, expected);
}

TEST(SimulatedJ1850Bus, VpwAndPwmAreSeparateBusesBehindOnePortKind)
{
    SimulatedJ1850Bus bus;
    auto vpw = bus.createPort(), pwm = bus.createPort(), tester = bus.createPort();
    std::mutex m;
    std::vector<std::string> log;
    auto recorder = [&](const char* who) {
        return [&m, &log, who](const QByteArray& msg, qint64, bool own) {
            std::lock_guard<std::mutex> l(m);
            log.push_back(std::string(who) + (own ? " own " : " ") + toHex(msg));
        };
    };
    EXPECT_FALSE(tester->open(9600, recorder("tester")));
    ASSERT_TRUE(vpw->open(J1850Bus::kVpwBitrate, recorder("vpw")));
    ASSERT_TRUE(pwm->open(J1850Bus::kPwmBitrate, recorder("pwm")));
    ASSERT_TRUE(tester->open(J1850Bus::kPwmBitrate, recorder("tester")));
    EXPECT_EQ(bus.openPorts(), 3);
    ASSERT_TRUE(tester->write(hex("61 6a f1 01 0d")));
    ASSERT_TRUE(waitUntil([&] {
        std::lock_guard<std::mutex> l(m);
        return log.size() == 2;
    }));
    tester->close();
    ASSERT_TRUE(tester->open(J1850Bus::kVpwBitrate, recorder("tester")));  // moved to the other bus
    ASSERT_TRUE(tester->write(hex("68 6a f1 01 0d")));
    ASSERT_TRUE(waitUntil([&] {
        std::lock_guard<std::mutex> l(m);
        return log.size() == 4;
    }));
    std::lock_guard<std::mutex> l(m);
    std::sort(log.begin(), log.end());
    const std::vector<std::string> expected = {"pwm 61 6a f1 01 0d", "tester own 61 6a f1 01 0d",
                                               "tester own 68 6a f1 01 0d", "vpw 68 6a f1 01 0d"};
    EXPECT_EQ(log, expected);
}

}  // namespace
