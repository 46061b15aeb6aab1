// The software adapter under the real core: RP1210 calls through the library's threads,
// the adapter's answers back through storeMsg, and what reaches the scripted buses.
#include "adapter_rig.h"

#include "adapter/j1708_framing.h"

#include <chrono>
#include <cstdio>

using rp1210core::adapter::SoftwareAdapter;
using Frame = rp1210core::bus::CanFrame;

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
        EXPECT_TRUE(got.state == r.state && got.speed == r.speedAnswered && got.opensBus == r.opensBus);
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

}  // namespace
