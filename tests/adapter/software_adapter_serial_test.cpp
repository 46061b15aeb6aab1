// The software adapter's K-line and J1850 under the real core, on scripted buses: connects,
// the K-line initialisations through RP1210_Ioctl, messages both ways, the J1850 interface
// initialisation and filters. On the simulated vehicle: tests/api/library_test.cpp.
#include "adapter_rig.h"

#include "adapter/serial_framing.h"
#include "support/fake_clock.h"

#include <future>

using namespace rp1210core;

namespace {

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
