// The RP1210 library on a CAN interface through Qt Serial Bus, as an application uses it:
// Qt's virtual CAN bus on a free loopback port, served by rp1210-vehicle (the simulated
// vehicle's ECUs, frame for frame, in a program of their own), the driver's device
// pointed at it through the INI file, and canbusutil listening on the same bus.
#include "library.h"
#include "support/free_port.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <memory>
#include <thread>

namespace {

constexpr int kStartLimitMs = 10000;

// A program on the bus: rp1210-vehicle, or canbusutil listening.
struct Peer {
    QProcess process;
    QByteArray out;

    bool start(const QString& program, const QStringList& args, const QByteArray& readyText)
    {
        process.start(program, args);
        if (!process.waitForStarted(kStartLimitMs))
            return false;
        return readyText.isEmpty() || waitFor(readyText);
    }
    bool waitFor(const QByteArray& text, int limitMs = kStartLimitMs)
    {
        QDeadlineTimer deadline(limitMs);
        while (!out.contains(text) && !deadline.hasExpired()) {
            process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
            out += process.readAllStandardOutput();
        }
        return out.contains(text);
    }
    ~Peer()
    {
        if (process.state() != QProcess::NotRunning) {
            process.terminate();
            if (!process.waitForFinished(kStartLimitMs))
                process.kill();
            process.waitForFinished();
        }
    }
};

class QtCanDevice : public ::testing::Test {
protected:
    void SetUp() override
    {
        port = freeLoopbackPort();
        ASSERT_NE(port, 0);
        ASSERT_TRUE(startVehicle());
        // A vendor INI of our own: device 1 the virtual bus on our port, device 2 a
        // SocketCAN interface that is not there.
        ASSERT_TRUE(dir.isValid());
        QFile system(dir.filePath(QStringLiteral("RP121032.ini")));
        QFile vendor(dir.filePath(QStringLiteral("TRAVONE.ini")));
        ASSERT_TRUE(system.open(QIODevice::WriteOnly) && vendor.open(QIODevice::WriteOnly));
        system.write("[RP1210Support]\r\nAPIImplementations=TRAVONE\r\n");
        vendor.write("[VendorInformation]\r\nName=test\r\nDevices=1,2\r\n\r\n[DeviceInformation1]\r\nDeviceID=1\r\n"
                     "DeviceParams=Plugin=virtualcan;Interface=" +
                     bus().toLatin1() +
                     "\r\n\r\n[DeviceInformation2]\r\nDeviceID=2\r\nDeviceParams=Plugin=socketcan;Interface=rp1210no0\r\n");
        system.close();
        vendor.close();
        qputenv("RP1210_INI", dir.path().toLocal8Bit());
        rp = std::make_unique<Rp1210Library>();
        ASSERT_TRUE(rp->complete());
    }
    void TearDown() override
    {
        rp.reset();
        qunsetenv("RP1210_INI");
    }

    QString bus() const { return QStringLiteral("tcp://127.0.0.1:%1/can0").arg(port); }
    // The vehicle starts first and so serves the virtual bus: stopping it stops the bus.
    bool startVehicle()
    {
        vehicle = std::make_unique<Peer>();
        return vehicle->start(QStringLiteral(RP1210_VEHICLE), {QStringLiteral("--interface"), bus()}, "ready");
    }
    short connectJ1939(bool echo = false)
    {
        const short id = rp->connectOpen("J1939:Baud=Auto");
        if (echo && id >= 1 && id <= 16)
            rp->command(RP1210_Echo_Transmitted_Messages, id, QByteArray(1, ECHO_ON));
        return id;
    }

    quint16 port = 0;
    QTemporaryDir dir;
    std::unique_ptr<Peer> vehicle;
    std::unique_ptr<Rp1210Library> rp;
};

TEST_F(QtCanDevice, J1939TrafficAndTheVinByBamAndByRtsCts)
{
    const short id = connectJ1939(true);
    ASSERT_GE(id, 1);
    ASSERT_LE(id, 16);
    EXPECT_FALSE(rp->readUntil(id, [](const QByteArray& m) { return pgnOf(m, 1) == 61444; }).isEmpty());  // EEC1
    for (quint8 to : {quint8(0xFF), quint8(0)}) {
        SCOPED_TRACE(to);
        ASSERT_EQ(rp->send(id, request(65260, to)), 0);
        // The echo comes only once the interface has confirmed the frame.
        const QByteArray echo = rp->readUntil(id, [](const QByteArray& m) { return pgnOf(m, 1) == 59904; });
        ASSERT_FALSE(echo.isEmpty());
        EXPECT_EQ(echo.at(4), 1);
        const QByteArray vin = rp->readUntil(id, [](const QByteArray& m) { return pgnOf(m, 1) == 65260; });
        ASSERT_FALSE(vin.isEmpty());
        EXPECT_EQ(quint8(vin.at(10)), to == 0 ? 0xF9 : 0xFF);
        EXPECT_EQ(vin.mid(11), QByteArray(kVin) + '*');
    }
    // Hardware status: the device there, J1939 active with traffic.
    char status[64] = {};
    ASSERT_EQ(rp->GetHardwareStatus(id, status, sizeof status, NON_BLOCKING_IO), 0);
    EXPECT_EQ(status[0] & 3, 1);
    EXPECT_EQ(status[2] & 7, 3);
    // What the interface cannot carry is refused at once.
    EXPECT_EQ(rp->connect("J1708"), ERR_INVALID_PROTOCOL);
    EXPECT_EQ(rp->connect("J1850VPW"), ERR_INVALID_PROTOCOL);
    EXPECT_EQ(rp->ClientDisconnect(id), 0);
}

TEST_F(QtCanDevice, A100ByteMessageReachesTheEcuWholeAndUdsAnswersInSeveralFrames)
{
    // To the engine controller by RTS/CTS: the echo, which needs its End of Message
    // Acknowledgement and every frame confirmed, carries the whole message.
    const short id = connectJ1939(true);
    ASSERT_GE(id, 1);
    QByteArray data(100, '\0');
    for (int i = 0; i < data.size(); ++i)
        data[i] = char(i);
    const QByteArray sent = j1939(0xEF00, 0x00, data);  // proprietary A to the engine
    ASSERT_EQ(rp->send(id, sent), 0);
    const QByteArray echo = rp->readUntil(id, [](const QByteArray& m) { return m.size() > 4 && m.at(4) == 1; });
    ASSERT_FALSE(echo.isEmpty());
    EXPECT_EQ(echo.mid(5), sent);

    const short iso = rp->connect("ISO15765:Baud=Auto");
    ASSERT_GE(iso, 1);
    ASSERT_EQ(rp->command(RP1210_Set_ISO15765_Flow_Control, iso, QByteArray::fromHex("00000007e8000007e000000000")), 0);
    ASSERT_EQ(rp->command(RP1210_Set_All_Filters_States_to_Pass, iso), 0);
    ASSERT_EQ(rp->send(iso, QByteArray::fromHex("00000007e022f190")), 0);
    const QByteArray answer = rp->readUntil(iso, [](const QByteArray& m) { return m.contains("\x62\xf1\x90"); });
    EXPECT_TRUE(answer.endsWith(kVin)) << answer.toHex().constData();
    EXPECT_EQ(rp->ClientDisconnect(iso), 0);
    EXPECT_EQ(rp->ClientDisconnect(id), 0);
}

TEST_F(QtCanDevice, TheEnginesAddressGoesToTheLowerName)
{
    // The engine controller holds address 0; a protect of it contends with its NAME. The
    // higher NAME first: the lower one takes the address from the engine for good.
    struct Case {
        const char* name;  // least significant byte first
        short result;
    } const cases[] = {
        {"ffffffffffffff7f", short(ERR_ADDRESS_CLAIM_FAILED)},
        {"0100000000000000", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const short id = connectJ1939();
        ASSERT_GE(id, 1);
        EXPECT_EQ(rp->command(RP1210_Protect_J1939_Address, id, '\0' + QByteArray::fromHex(c.name) + '\0'), c.result);
        EXPECT_EQ(rp->ClientDisconnect(id), 0);
    }
}

TEST_F(QtCanDevice, TheBusServerStoppingGivesErrorCodesAndTheDeviceComesBackWithIt)
{
    const short id = connectJ1939();
    ASSERT_GE(id, 1);
    ASSERT_FALSE(rp->readUntil(id, [](const QByteArray& m) { return pgnOf(m) == 61444; }).isEmpty());
    // A read blocked without a time-out is woken by the bus going, not left hanging.
    short blocked = 0;
    std::thread reader([&] {
        char buffer[256];
        rp->command(RP1210_Set_Blocking_Timeout, id, QByteArray(2, '\0'));
        do
            blocked = rp->ReadMessage(id, buffer, sizeof buffer, BLOCKING_IO);
        while (blocked > 0);
    });
    vehicle->process.kill();
    vehicle->process.waitForFinished();
    reader.join();
    EXPECT_EQ(blocked, -ERR_HARDWARE_NOT_RESPONDING);
    EXPECT_EQ(rp->send(id, request(65260, 0xFF)), ERR_HARDWARE_NOT_RESPONDING);
    char text[81] = {};
    int sub = 0;
    EXPECT_EQ(rp->GetLastErrorMsg(ERR_HARDWARE_NOT_RESPONDING, &sub, text, id), 0);
    EXPECT_NE(QByteArray(text).indexOf("is gone"), -1) << text;  // the interface's own words
    // The link has failed: the disconnect says so, and frees the client all the same.
    EXPECT_EQ(rp->ClientDisconnect(id), ERR_HARDWARE_NOT_RESPONDING);

    // With the bus back, a connect opens the device anew.
    ASSERT_TRUE(startVehicle());
    const short again = connectJ1939();
    ASSERT_GE(again, 1);
    EXPECT_FALSE(rp->readUntil(again, [](const QByteArray& m) { return pgnOf(m) == 61444; }).isEmpty());
    EXPECT_EQ(rp->ClientDisconnect(again), 0);
}

// Unloaded and loaded again (usually at another address), the driver opens the device
// anew: nothing of Qt's still points into the unloaded copy.
TEST_F(QtCanDevice, TheLibraryLoadedAgainOpensTheDeviceAgain)
{
    for (int load = 0; load < 2; ++load) {
        SCOPED_TRACE(load);
        if (load > 0) {
            rp.reset();
            rp = std::make_unique<Rp1210Library>();
            ASSERT_TRUE(rp->complete());
        }
        const short id = connectJ1939();
        ASSERT_GE(id, 1);
        EXPECT_FALSE(rp->readUntil(id, [](const QByteArray& m) { return pgnOf(m) == 61444; }).isEmpty());
        EXPECT_EQ(rp->ClientDisconnect(id), 0);
    }
}

TEST_F(QtCanDevice, AnInterfaceThatIsNotThereIsAnUnavailableDevice)
{
    EXPECT_EQ(rp->connect("J1939", 2), ERR_HARDWARE_NOT_RESPONDING);
    char text[81] = {};
    int sub = 0;
    EXPECT_EQ(rp->GetLastErrorMsg(ERR_HARDWARE_NOT_RESPONDING, &sub, text, 0), 0);
    EXPECT_NE(QByteArray(text).indexOf("rp1210no0"), -1) << text;
}

TEST_F(QtCanDevice, CanbusutilSeesExactlyTheFramesTheDriverSends)
{
    Peer listener;
    ASSERT_TRUE(listener.start(QStringLiteral(CANBUSUTIL), {QStringLiteral("-l"), QStringLiteral("virtualcan"), bus()},
                               QByteArray()));
    const short id = rp->connect("CAN:Baud=Auto");
    ASSERT_GE(id, 1);
    // Sent as type, identifier and data; canbusutil prints identifier, [length] and bytes.
    struct Frame {
        const char* sent;
        const char* printed;
    } const frames[] = {
        {"000123", "     123   [0]"},
        {"0007ff0102", "     7FF   [2]  01 02"},
        {"011abcdef00001020304050607", "1ABCDEF0   [8]  00 01 02 03 04 05 06 07"},
    };
    // It listens once connected: a frame of no interest is sent until it shows.
    ASSERT_TRUE(waitUntil(
        [&] {
            rp->send(id, QByteArray::fromHex("000100"));
            return listener.waitFor("     100   [0]", 100);
        },
        std::chrono::milliseconds(kStartLimitMs)));
    listener.out.clear();
    for (const Frame& f : frames)
        ASSERT_EQ(rp->send(id, QByteArray::fromHex(f.sent)), 0);
    ASSERT_TRUE(listener.waitFor(frames[2].printed));
    // The vehicle's own J1939 traffic is there too; ours, once each and in order.
    QList<QByteArray> ours;
    for (const QByteArray& line : listener.out.split('\n'))
        for (const Frame& f : frames)
            if (line.trimmed() == QByteArray(f.printed).trimmed())
                ours.append(line.trimmed());
    ASSERT_EQ(ours.size(), 3);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(ours[i], QByteArray(frames[i].printed).trimmed());
    EXPECT_EQ(rp->ClientDisconnect(id), 0);
}

}  // namespace
