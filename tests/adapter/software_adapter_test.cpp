// The software adapter under the real core: RP1210 calls through the library's threads,
// the adapter's answers back through storeMsg, and what reaches the scripted buses; the
// K-line initialisations through RP1210_Ioctl, the J1850 interface initialisation and
// filters. On the simulated vehicle: tests/api/library_test.cpp.
#include "adapter_rig.h"

#include "adapter/j1708_framing.h"
#include "adapter/serial_framing.h"
#include "support/fake_clock.h"

#include <chrono>
#include <cstdio>
#include <future>

using rp1210core::adapter::SoftwareAdapter;
using Frame = rp1210core::bus::CanFrame;
using namespace rp1210core;

namespace {

using Adapter = AdapterTest;

Frame canFrame(quint32 id, bool extended, const char* data)
{
    const QByteArray d = hex(data);
    return Frame::make(id, extended, ubytes(d), d.size());
}

TEST_F(Adapter, EveryFamilyConnectsIsAnsweredAndDisconnectsOnEveryGeneration)
{
    const std::pair<const char*, int> generations[] = {{"X", 0}, {"J", 1}, {"A", 1}, {"K", 1}, {"K", 2}, {"E", 1}};
    for (const auto& [type, version] : generations) {
        SCOPED_TRACE(type);
        start(type, version);
        ASSERT_EQ(connect("J1939:Baud=500"), 1);
        EXPECT_EQ(rig->can.rate(), 500000u);
        ASSERT_EQ(connect("CAN:Baud=500"), 2);
        ASSERT_EQ(connect("ISO15765:Baud=500"), 3);
        ASSERT_EQ(connect("J1708"), 4);
        EXPECT_EQ(rig->g.getAdapterGeneration(), SoftwareAdapter::generationOf(type, version));
        char api[32] = {}, dll[32] = {}, fw[32] = {}, status[64] = {};
        EXPECT_EQ(rig->g.RP1210_ReadDetailedVersion(1, api, dll, fw), 0);
        EXPECT_STREQ(fw, "SW ADAPTER 1.0");
        EXPECT_EQ(rig->g.RP1210_GetHardwareStatus(1, status, sizeof status, 0), 0);
        EXPECT_EQ(status[2] & 1, 1);  // J1939 active
        for (short id = 1; id <= 4; ++id)
            EXPECT_EQ(rig->g.RP1210_ClientDisconnect(id), 0) << id;
        ASSERT_EQ(connect("J1939"), 1);
        EXPECT_EQ(command(0, 1), 0);  // reset device, allowed to a lone client
    }
}

TEST(AdapterClients, TheCanFamilySharesOneSpeedAndOnlyBussesWeHaveConnect)
{
    rp1210core::adapter::AdapterClients t;
    const struct {
        quint8 client, protocol, speed;
        quint8 state, speedAnswered;
        bool opensBus;
    } rows[] = {
        {1, PROTOCOLO_CAN, VELOCIDAD_500000, RESP_SERV_OK, VELOCIDAD_500000, true},
        {2, PROTOCOLO_J1939, VELOCIDAD_250000, RESP_SERV_OTHER_SPEED, VELOCIDAD_500000, false},
        {2, PROTOCOLO_ISO15765, VELOCIDAD_AUTO, RESP_SERV_OK, VELOCIDAD_500000, false},
        {2, PROTOCOLO_J1939, VELOCIDAD_500000, RESP_SERV_NEGATIVE, VELOCIDAD_500000, false},  // slot taken
        {3, PROTOCOLO_J1708, VELOCIDAD_AUTO, RESP_SERV_OK, VELOCIDAD_9600, true},
        // The K-line family shares the K-line; J1850 has its bus; RS-232 none.
        {4, PROTOCOLO_ISO9141, VELOCIDAD_10400, RESP_SERV_OK, VELOCIDAD_10400, true},
        {5, PROTOCOLO_KWP2000, VELOCIDAD_AUTO, RESP_SERV_OK, VELOCIDAD_10400, false},
        {6, PROTOCOLO_GM_KLINE, VELOCIDAD_9600, RESP_SERV_OTHER_SPEED, VELOCIDAD_10400, false},
        {6, PROTOCOLO_J1850, VELOCIDAD_J1850_PWM, RESP_SERV_OK, VELOCIDAD_J1850_PWM, true},
        {7, PROTOCOLO_RS232, VELOCIDAD_250000, RESP_SERV_NOT_SUPPORTED, VELOCIDAD_250000, false},
        {17, PROTOCOLO_CAN, VELOCIDAD_500000, RESP_SERV_NEGATIVE, VELOCIDAD_500000, false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(int(r.protocol));
        const auto got = t.connect(r.client, r.protocol, r.speed, false);
        EXPECT_TRUE(got.state == r.state && got.speed == r.speedAnswered && got.opensBus == r.opensBus)
            << int(got.state) << ' ' << int(got.speed) << ' ' << got.opensBus;
    }
    EXPECT_FALSE(t.disconnect(1));  // client 2 is still on the CAN bus
    EXPECT_TRUE(t.disconnect(2));
    EXPECT_EQ(t.connect(1, PROTOCOLO_J1939, VELOCIDAD_250000, false).state, RESP_SERV_OK);  // a free bus: any speed
}

// ---- sending ----

TEST_F(Adapter, MessagesReachTheBusOnceAndAreConfirmedWithAndWithoutEcho)
{
    const std::pair<short, const char*> rows[] = {
        {1, "00 0123 aabb"},                        // standard CAN
        {1, "01 18fedcba 0102030405"},              // extended CAN
        {2, "04f000 06 01 ff 1122334455667788"},    // J1939 EEC1, one frame
        {2, "00ef00 06 01 02 5a"},
        {3, "08 80 01"},                            // J1708: priority, MID, data
    };
    const Frame onBus[] = {canFrame(0x123, false, "aabb"), canFrame(0x18fedcba, true, "0102030405"),
                           canFrame(0x18f00401, true, "1122334455667788"), canFrame(0x18ef0201, true, "5a")};
    for (const char* type : {"J", "A"}) {
        SCOPED_TRACE(type);
        start(type, type[0] == 'A' ? 7 : 1);
        const bool j1708Echo = type[0] == 'A';  // the library keeps J1708 frames for their answer only when segmenting
        short id = 0;
        for (const char* protocol : {"CAN", "J1939", "J1708"})
            ASSERT_EQ(connect(protocol, 1 << 16), ++id);
        for (const bool echo : {false, true}) {
            SCOPED_TRACE(echo ? "echo" : "no echo");
            for (short c = 1; c <= 3; ++c)
                ASSERT_EQ(command(16, c, QByteArray(1, echo ? 1 : 0)), 0);
            const size_t before = rig->can.written().size();
            const int j1708Before = rig->j1708.written().size();
            for (const auto& [client, message] : rows)
                ASSERT_EQ(send(client, message), 0);
            ASSERT_TRUE(waitUntil([&] { return rig->j1708.written().size() > j1708Before; }));
            ASSERT_TRUE(confirmedAll());
            const std::vector<Frame> w = rig->can.written();
            ASSERT_EQ(w.size() - before, 4u);
            for (size_t i = 0; i < 4; ++i)
                EXPECT_TRUE(w[before + i].sameContent(onBus[i])) << i;
            ASSERT_EQ(rig->j1708.written().size(), j1708Before + 1);
            EXPECT_EQ(toHex(rig->j1708.written().last()), "80 01 7f");
            for (const auto& [client, message] : rows) {
                SCOPED_TRACE(message);
                // the echo byte, then the message (J1708: without priority and checksum)
                const QByteArray m = hex(message);
                const bool echoed = echo && (client != 3 || j1708Echo);
                EXPECT_EQ(readHex(client, echoed), echoed ? toHex('\1' + (client == 3 ? m.mid(1) : m)) : "0");
            }
        }
    }
}

// The library connects only the first client of a protocol to the adapter: a later one
// sends under its own id, and whichever client leaves last releases the protocol.
TEST_F(Adapter, LaterClientsOfAProtocolSendAndTheLastToLeaveReleasesIt)
{
    start();
    ASSERT_EQ(open("J1939", true), 1);
    ASSERT_EQ(open("J1939", true), 2);
    ASSERT_EQ(send(2, "00ef00 06 02 01 5a"), 0);
    EXPECT_EQ(readHex(2), "01 00 ef 00 06 02 01 5a");
    ASSERT_EQ(rig->can.written().size(), 1u);
    EXPECT_TRUE(rig->can.written()[0].sameContent(canFrame(0x18ef0102, true, "5a")));
    EXPECT_EQ(rig->sendStates(), std::vector<int>{RESP_SERV_OK});
    ASSERT_EQ(rig->g.RP1210_ClientDisconnect(1), 0);
    ASSERT_EQ(rig->g.RP1210_ClientDisconnect(2), 0);
    EXPECT_EQ(rig->can.rate(), 0u);  // the bus closed with the protocol's last client
    EXPECT_EQ(connect("CAN"), 1);    // and the slot connects afresh
}

TEST_F(Adapter, AFrameTheBusRefusesIsConfirmedAsAFailureAndFreesItsSlot)
{
    start();
    ASSERT_EQ(connect("J1939"), 1);
    rig->can.refuse = true;
    ASSERT_EQ(send(1, "00ef00 06 01 02 5a"), 0);
    ASSERT_TRUE(confirmedAll());
    EXPECT_TRUE(waitUntil([&] { return rig->io.inFlight(2) == 0; }));
    EXPECT_EQ(rig->sendStates(), std::vector<int>{RESP_SERV_HW_QUEUE_FULL});
}

TEST_F(Adapter, AdapterRepeatedBroadcastsGoOutAndEchoUnderCounterZeroUntilCleared)
{
    start();
    ASSERT_EQ(open("CAN", true), 1);
    // add; interval 1 ms and length, both least significant byte first; the message
    ASSERT_EQ(command(21, 1, hex("01 0100 0500 00 0123 aabb")), 0);
    ASSERT_TRUE(waitUntil([&] { return rig->can.written().size() >= 3; }));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(readHex(1), "01 00 01 23 aa bb");  // one echo per repetition
    ASSERT_EQ(command(21, 1, hex("03")), 0);  // remove all
    ASSERT_TRUE(waitUntil([&] { return rig->answeredWith(0xff) > 0; }));
    const size_t repeated = rig->can.written().size();
    ASSERT_EQ(send(1, "00 0456 01"), 0);
    ASSERT_TRUE(waitUntil([&] { return rig->can.written().size() > repeated; }));
    const std::vector<Frame> w = rig->can.written();
    ASSERT_EQ(w.size(), repeated + 1);
    EXPECT_EQ(w.back().id, 0x456u);
}

// ---- receiving ----

TEST_F(Adapter, BusTrafficBecomesMessagesTheApplicationReads)
{
    start("J", 1);  // adapter-side filters
    ASSERT_EQ(open("CAN"), 1);
    ASSERT_EQ(open("J1939"), 2);
    ASSERT_EQ(open("J1708"), 3);
    rig->can.inject(canFrame(0x123, false, "aabb"));
    EXPECT_EQ(readHex(1), "00 01 23 aa bb");
    rig->can.inject(canFrame(0x18fef100, true, "0102030405060708"));
    // The J1939 client's first message: a standard frame is none.
    EXPECT_EQ(readHex(2), "f1 fe 00 06 00 ff 01 02 03 04 05 06 07 08");
    EXPECT_EQ(readHex(1), "01 18 fe f1 00 01 02 03 04 05 06 07 08");
    QByteArray good;
    rp1210core::adapter::j1708::buildMessage(0x80, ubytes(hex("5401")), 2, good);
    QByteArray bad = good;
    bad[2] = char(bad[2] + 1);
    rig->j1708.inject(bad);  // wrong checksum: dropped
    rig->j1708.inject(good);
    EXPECT_EQ(readHex(3), "80 54 01");  // mode 1: the library drops the checksum
    EXPECT_EQ(readHex(3, 0), "0");
    // Timestamps advance with real time, in milliseconds by default.
    rig->can.inject(canFrame(0x123, false, "01"));
    const QByteArray first = read(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // lets time pass; no synchronisation
    rig->can.inject(canFrame(0x123, false, "02"));
    const QByteArray second = read(1);
    auto ts = [](const QByteArray& m) { return m.left(4).toHex().toUInt(nullptr, 16); };
    EXPECT_GE(ts(second) - ts(first), 20u);
    // The CAN filter held in the adapter passes only its identifier.
    ASSERT_EQ(command(5, 1, hex("00 000007ff 00000456")), 0);  // type, mask, header
    rig->can.inject(canFrame(0x123, false, "03"));
    rig->can.inject(canFrame(0x456, false, "04"));
    EXPECT_EQ(readHex(1), "00 04 56 04");
}

// ---- throughput ----

TEST_F(Adapter, ThroughputInEachDirection)
{
    start();
    constexpr int kFrames = 20000;
    ASSERT_EQ(connect("CAN", 1 << 24), 1);
    ASSERT_EQ(command(3, 1), 0);
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < kFrames; ++i)
        rig->can.inject(Frame::make(0x100, false, ubytes(QByteArray(1, char(i))), 1));
    for (int i = 0; i < kFrames; ++i)
        ASSERT_EQ(quint8(read(1)[7]), quint8(i)) << i;
    const auto t1 = std::chrono::steady_clock::now();
    for (int i = 0; i < kFrames; ++i)
        ASSERT_EQ(send(1, hex("00 0200") + char(i)), 0);
    ASSERT_TRUE(waitUntil([&] { return rig->can.written().size() >= size_t(kFrames); }, std::chrono::seconds(60)));
    const auto t2 = std::chrono::steady_clock::now();
    auto rate = [](auto d) { return kFrames / std::chrono::duration<double>(d).count(); };
    std::printf("[ adapter ] bus->application %.0f frames/s, application->bus %.0f frames/s\n", rate(t1 - t0),
                rate(t2 - t1));
    EXPECT_EQ(rig->can.written().size(), size_t(kFrames));
}

struct InitResult {
    short rc;
    std::string bytes;
};

class Serial : public AdapterTest {
protected:
    // An initialisation ioctl with room for 16 answer bytes.
    InitResult init(short id, qint32 ioctl, const char* inputHex)
    {
        QByteArray in = hex(inputHex), out(16, 'Z');
        SBYTE_ARRAY input{quint32(in.size()), reinterpret_cast<quint8*>(in.data())};
        SBYTE_ARRAY output{quint32(out.size()), reinterpret_cast<quint8*>(out.data())};
        const short rc = rig->g.RP1210_Ioctl(id, ioctl, &input, &output);
        return {rc, toHex(out.left(int(output.NumOfBytes)))};
    }
    std::string status(int at, int n)
    {
        char s[64] = {};
        EXPECT_EQ(rig->g.RP1210_GetHardwareStatus(1, s, sizeof s, 0), 0);
        return toHex(QByteArray(s + at, n));
    }
};

// ---- K-line ----

TEST_F(Serial, KLineClientsConnectAndTheirInitialisationsReturnTheEcusBytes)
{
    const std::pair<const char*, quint32> rows[] = {
        {"ISO9141", 10400}, {"KWP2000", 10400}, {"ISO14230:Baud=9600", 9600}, {"GM_KLINE", 9600}};
    for (const auto& [connectString, baud] : rows) {
        SCOPED_TRACE(connectString);
        start();
        rig->kline.answer(hex("33"), hex("08 08"));
        rig->kline.answer(hex("81 11 f1 81 04"), hex("83 f1 11 c1 ef 8f c4"));
        ASSERT_EQ(connect(connectString), 1);
        EXPECT_EQ(rig->kline.rate(), baud);
        const InitResult fiveBaud = init(1, IOCTL_FIVE_BAUD_INIT, "33");
        EXPECT_EQ(fiveBaud.rc, 0);
        EXPECT_EQ(fiveBaud.bytes, "08 08");
        // The client gives and gets the messages without their checksum.
        const InitResult fast = init(1, IOCTL_FAST_INIT, "81 11 f1 81");
        EXPECT_EQ(fast.rc, 0);
        EXPECT_EQ(fast.bytes, "83 f1 11 c1 ef 8f");
        EXPECT_EQ(rig->kline.initRequests(), (QList<QByteArray>{hex("33"), hex("81 11 f1 81 04")}));
        EXPECT_EQ(rig->g.RP1210_ClientDisconnect(1), 0);
    }
}

TEST_F(Serial, KLineMessagesTakeTheirChecksumOnTheLineAndAreConfirmed)
{
    start();
    ASSERT_EQ(open("KWP2000", true), 1);
    rig->kline.answer(hex("c2 33 f1 01 0c f3"), hex("84 f1 11 41 0c 0a 28 05"));
    ASSERT_EQ(send(1, "c2 33 f1 01 0c"), 0);
    // The echo of the client's own message, then the ECU's answer without its checksum.
    EXPECT_EQ(readHex(1), "01 c2 33 f1 01 0c");
    EXPECT_EQ(readHex(1), "00 84 f1 11 41 0c 0a 28");
    EXPECT_EQ(rig->kline.written().value(0), hex("c2 33 f1 01 0c f3"));
    // A garbled answer is line noise.
    rig->kline.inject(hex("84 f1 11 41 0c 0a 28 06"));
    rig->kline.inject(hex("84 f1 11 41 0d 00 01 d5"));
    EXPECT_EQ(readHex(1), "00 84 f1 11 41 0d 00 01");
    // Mode 0: the bytes pass as on the line, both ways.
    ASSERT_EQ(command(46, 1, QByteArray(1, 0)), 0);
    ASSERT_EQ(send(1, "c1 33 f1 3e 23"), 0);
    EXPECT_EQ(readHex(1), "01 c1 33 f1 3e 23");
    rig->kline.inject(hex("84 f1 11 41 0c 0a 28 06"));
    EXPECT_EQ(readHex(1), "00 84 f1 11 41 0c 0a 28 06");
    EXPECT_EQ(rig->kline.written().value(1), hex("c1 33 f1 3e 23"));
    EXPECT_EQ(status(16, 4), "00 00 01 01");  // K-line: none; KWP2000: active, one client
}

TEST_F(Serial, WithoutAnEcuAnInitialisationFailsAfterTheLibrarysLimit)
{
    start();
    FakeClock clock;  // outlives the rig, which goes at the end of the test
    rig->g.setClock(&clock);
    clock.onMove([this] { rig->g.wakeWaiters(); });
    ASSERT_EQ(connect("ISO9141"), 1);
    ASSERT_EQ(connect("J1939"), 2);
    const struct {
        short client;
        qint32 ioctl;
        const char* input;
        int limit;
    } rows[] = {{1, IOCTL_FIVE_BAUD_INIT, "33", 8}, {1, IOCTL_FAST_INIT, "81 11 f1 81", 6},
                {2, IOCTL_FIVE_BAUD_INIT, "33", 8}};  // a J1939 client has no K-line
    for (const auto& row : rows) {
        SCOPED_TRACE(row.input);
        auto result = std::async(std::launch::async, [&] { return init(row.client, row.ioctl, row.input); });
        int seconds = 0;
        for (; result.wait_for(std::chrono::milliseconds(2)) != std::future_status::ready; ++seconds)
            clock.advanceSeconds(1);
        const InitResult r = result.get();
        EXPECT_EQ(r.rc, rp1210rc::HARDWARE_NOT_RESPONDING);
        EXPECT_GE(seconds, row.limit);
        EXPECT_EQ(r.bytes, toHex(QByteArray(16, 'Z')));  // the caller's array untouched
    }
    EXPECT_EQ(rig->kline.initRequests().size(), 2);
    rig->kline.answer(hex("33"), hex("ef 8f"));  // an ECU that turns up later is heard
    EXPECT_EQ(init(1, IOCTL_FIVE_BAUD_INIT, "33").bytes, "ef 8f");
    rig.reset();
}

// ---- J1850 ----

TEST_F(Serial, J1850ConnectsAtEitherSpeedThroughTheInterfaceInitialisation)
{
    start();
    ASSERT_EQ(connect("J1850VPW"), 1);
    EXPECT_EQ(rig->j1850.rate(), 10400u);
    ASSERT_EQ(connect("J1850_104k"), 2);  // same speed: only the interface initialisation goes out
    EXPECT_EQ(connect("J1850PWM"), rp1210rc::CONNECT_NOT_ALLOWED);  // the library's own speed check
    EXPECT_EQ(rig->answeredWith(SERV_PIC_CONNECTION), 2);
    EXPECT_EQ(rig->answeredWith(SERV_CONECTAR_CLIENTE), 1);
    for (short id : {1, 2})
        EXPECT_EQ(rig->g.RP1210_ClientDisconnect(id), 0);
    EXPECT_EQ(rig->j1850.rate(), 0u);  // closed with its last client
    ASSERT_EQ(connect("J1850PWM"), 1);
    EXPECT_EQ(rig->j1850.rate(), 41600u);
    EXPECT_EQ(status(8, 2), "01 01");  // J1850 active, one client
}

TEST_F(Serial, J1850MessagesGetTheirCrcAndTheAdaptersFiltersChooseWhatComesBack)
{
    start();
    ASSERT_EQ(connect("J1850VPW"), 1);
    ASSERT_EQ(command(16, 1, QByteArray(1, 1)), 0);  // echo on
    ASSERT_EQ(send(1, "68 6a f1 01 0c"), 0);
    EXPECT_EQ(readHex(1), "01 68 6a f1 01 0c");
    EXPECT_EQ(rig->j1850.written().value(0), hex("68 6a f1 01 0c 8b"));
    ASSERT_EQ(command(16, 1, QByteArray(1, 0)), 0);
    // masks of the three header bytes, then their values: the engine's answers only
    ASSERT_EQ(command(8, 1, hex("ff ff ff 48 6b 10")), 0);
    const QByteArray other = adapter::j1850::withCrc(hex("48 6b 18 41 0c 0a 28"));
    const QByteArray engine = adapter::j1850::withCrc(hex("48 6b 10 41 0c 0a 28"));
    QByteArray garbled = engine;
    garbled[3] = char(0x42);
    for (const QByteArray& m : {other, garbled, engine})
        rig->j1850.inject(m);
    EXPECT_EQ(readHex(1), "00 07 48 6b 10 41 0c 0a 28");  // length, header and data
    EXPECT_EQ(readHex(1, 0), "0");
    EXPECT_EQ(rig->answeredWith(SERV_RECEPCION_TRAMA), 1);  // the others stopped in the adapter
    ASSERT_EQ(command(17, 1), 0);  // discard all: the adapter's filters go too
    ASSERT_EQ(command(3, 1), 0);
    rig->j1850.inject(other);
    EXPECT_EQ(readHex(1), "00 07 48 6b 18 41 0c 0a 28");
}

}  // namespace
