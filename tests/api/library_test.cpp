// The exported API loaded as applications load it, against the simulated vehicle.
#include "library.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdlib>
#include <thread>

namespace {

int threadCount()
{
    return QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size();
}

}  // namespace

TEST(Library, ExportsTheRp1210FunctionsAndLeavesNoThreadWhenUnloaded)
{
    std::thread([] {}).join();  // a sanitizer's runtime starts its own thread at the first one
    const int before = threadCount();
    for (int round = 0; round < 2; ++round) {  // loads again after an unload
        Rp1210Library rp;
        ASSERT_TRUE(rp.complete()) << dlerror();
        EXPECT_EQ(dlsym(rp.handle, "_ZN12GestorRP121011getInstanceEv"), nullptr);  // nothing else shows
        const short id = rp.connectOpen("J1939:Baud=250");
        ASSERT_GE(id, 1);
        ASSERT_FALSE(rp.readUntil(id, [](const QByteArray& m) { return pgnOf(m) == 61444; }).isEmpty());
        EXPECT_GT(threadCount(), before);
        if (round == 0) {
            // The last disconnect stops every thread; so does every failed connect.
            EXPECT_EQ(rp.ClientDisconnect(id), 0);
            EXPECT_EQ(threadCount(), before);
            EXPECT_EQ(rp.connect("J1939", 99), ERR_INVALID_DEVICE);
            EXPECT_EQ(rp.connect("NOSUCH"), ERR_INVALID_PROTOCOL);
            EXPECT_EQ(threadCount(), before);
            ASSERT_GE(rp.connectOpen("J1939:Baud=250"), 1);
        }
        // Unloaded with a client still connected: the library disconnects it itself.
        ASSERT_EQ(rp.close(), 0);
        EXPECT_EQ(dlopen(RP1210_LIBRARY, RTLD_NOW | RTLD_NOLOAD), nullptr) << "still loaded";
        EXPECT_EQ(threadCount(), before);
    }
}

TEST(Library, EveryFamilyReadsTheSimulatedVehicle)
{
    Rp1210Library rp;
    ASSERT_TRUE(rp.complete());
    struct Case {
        const char* protocol;
        bool (*wanted)(const QByteArray&);
    } const cases[] = {
        {"J1939:Baud=Auto", [](const QByteArray& m) { return pgnOf(m) == 65265; }},
        // CAN reads: timestamp, identifier type, 4-byte identifier (most significant first), data.
        {"CAN:Baud=250", [](const QByteArray& m) { return m.size() >= 9 && m.at(4) == 1; }},
        {"J1708", [](const QByteArray& m) { return m.size() > 5 && quint8(m.at(4)) == 128; }},
    };
    std::vector<short> ids;
    for (const Case& c : cases) {
        const short id = rp.connectOpen(c.protocol);
        ASSERT_GE(id, 1) << c.protocol;
        ASSERT_LE(id, 16) << c.protocol;
        EXPECT_FALSE(rp.readUntil(id, c.wanted).isEmpty()) << c.protocol;
        ids.push_back(id);
    }

    // ISO 15765: the UDS server's VIN through a multi-frame answer.
    const short iso = rp.connect("ISO15765:Baud=250");
    ASSERT_GE(iso, 1);
    const QByteArray flow = QByteArray::fromHex("00000007e8000007e000000000");  // type, rx, tx, BS, STmin, tx STmin
    ASSERT_EQ(rp.command(RP1210_Set_ISO15765_Flow_Control, iso, flow), 0);
    ASSERT_EQ(rp.command(RP1210_Set_All_Filters_States_to_Pass, iso), 0);
    ASSERT_EQ(rp.send(iso, QByteArray::fromHex("00000007e022f190")), 0);
    const QByteArray answer = rp.readUntil(iso, [](const QByteArray& m) { return m.contains("\x62\xf1\x90"); });
    ASSERT_FALSE(answer.isEmpty());
    EXPECT_TRUE(answer.endsWith(kVin)) << answer.toHex().constData();
    ids.push_back(iso);

    // K-line: a fast initialisation answered by the KWP2000 engine controller, then a
    // request (the adapter adds and checks the checksums); J1850 VPW: an OBD request.
    const short kwp = rp.connectOpen("KWP2000");
    ASSERT_GE(kwp, 1);
    quint8 start[] = {0x81, 0x11, 0xF1, 0x81}, keyBytes[16] = {};
    SBYTE_ARRAY in{sizeof start, start}, out{sizeof keyBytes, keyBytes};
    ASSERT_EQ(rp.Ioctl(kwp, FAST_INIT, &in, &out), 0);
    EXPECT_EQ(QByteArray(reinterpret_cast<char*>(keyBytes), int(out.NumOfBytes)).toHex(), "83f111c1ef8f");
    const short vpw = rp.connectOpen("J1850VPW");
    ASSERT_GE(vpw, 1);
    struct Ask {
        short client;
        const char* request;
        int at;  // where the answer's service byte is
    } const asks[] = {{kwp, "c233f1010c", 3 + 4}, {vpw, "686af1010c", 5 + 4}};
    for (const Ask& a : asks) {
        ASSERT_EQ(rp.send(a.client, QByteArray::fromHex(a.request)), 0);
        const int at = a.at;
        EXPECT_FALSE(rp.readUntil(a.client, [at](const QByteArray& m) {
                           return m.size() > at + 1 && quint8(m.at(at)) == 0x41 && m.at(at + 1) == 0x0C;
                       }).isEmpty())
            << a.request;
    }
    ids.push_back(kwp);
    ids.push_back(vpw);

    for (short id : ids)
        EXPECT_EQ(rp.ClientDisconnect(id), 0);
}

TEST(Library, RequestsCommandsStatusVersionsAndErrors)
{
    Rp1210Library rp;
    ASSERT_TRUE(rp.complete());
    const short id = rp.connect("J1939:Baud=250");
    ASSERT_GE(id, 1);
    ASSERT_EQ(rp.command(RP1210_Set_All_Filters_States_to_Pass, id), 0);
    ASSERT_EQ(rp.command(RP1210_Echo_Transmitted_Messages, id, QByteArray(1, ECHO_ON)), 0);

    // The request comes back as its echo, and the VIN by BAM to all and by RTS/CTS to us.
    for (quint8 to : {quint8(0xFF), quint8(0)}) {
        SCOPED_TRACE(to);
        ASSERT_EQ(rp.send(id, request(65260, to)), 0);
        const QByteArray echo = rp.readUntil(id, [](const QByteArray& m) { return pgnOf(m, 1) == 59904; });
        ASSERT_FALSE(echo.isEmpty());
        EXPECT_EQ(echo.at(4), 1);  // flagged as our own
        const QByteArray vin = rp.readUntil(id, [](const QByteArray& m) { return pgnOf(m, 1) == 65260; });
        ASSERT_FALSE(vin.isEmpty());
        EXPECT_EQ(quint8(vin.at(10)), to == 0 ? 0xF9 : 0xFF);  // destination: us, or everyone
        EXPECT_EQ(vin.mid(11), QByteArray(kVin) + '*');
    }

    char status[64] = {};
    EXPECT_EQ(rp.GetHardwareStatus(id, status, sizeof status, NON_BLOCKING_IO), 0);
    char a[17] = {}, b[17] = {}, c[17] = {}, d[17] = {};
    rp.ReadVersion(a, b, c, d);
    EXPECT_GT(qstrlen(a) + qstrlen(c), 0u);
    EXPECT_EQ(rp.ReadDetailedVersion(id, a, b, c), 0);
    EXPECT_GT(qstrlen(c), 0u);

    char text[81] = {};
    EXPECT_EQ(rp.GetErrorMsg(ERR_INVALID_DEVICE, text), 0);
    EXPECT_STREQ(text, "The specified device ID is invalid");
    // The last error of the client, with the adapter's state behind it where one exists.
    EXPECT_EQ(rp.command(RP1210_Set_J1939_Baud, id, QByteArray(1, 99)), ERR_INVALID_COMMAND);
    int sub = 0;
    EXPECT_EQ(rp.GetLastErrorMsg(ERR_INVALID_COMMAND, &sub, text, id), 0);
    EXPECT_EQ(sub, -1);
    EXPECT_GT(qstrlen(text), 0u);

    // The CAN family shares one bus speed: the adapter refuses another with its state 4,
    // which the sub-error reports.
    EXPECT_EQ(rp.connect("CAN:Baud=500"), ERR_CAN_BAUD_SET_NONSTANDARD);
    EXPECT_EQ(rp.GetLastErrorMsg(ERR_CAN_BAUD_SET_NONSTANDARD, &sub, text, -1), 0);
    EXPECT_EQ(sub, 4);

    EXPECT_EQ(rp.ClientDisconnect(id), 0);
    EXPECT_EQ(rp.ClientDisconnect(id), ERR_INVALID_CLIENT_ID);
}

TEST(Library, DevicesComeFromTheIniFiles)
{
    Rp1210Library rp;
    ASSERT_TRUE(rp.complete());
    EXPECT_EQ(rp.connect("J1939", 99), ERR_INVALID_DEVICE);
    // The simulated vehicle's CAN bus runs at 250 kbit/s only: another rate is refused as
    // a speed in use, not as an unknown protocol.
    EXPECT_EQ(rp.connect("J1939:Baud=500", 1), ERR_J1939_BAUD_SET_NONSTANDARD);
    const short one = rp.connect("J1939", 1);
    ASSERT_GE(one, 1);
    EXPECT_EQ(rp.connect("J1708", 3), ERR_DEVICE_IN_USE);
    EXPECT_EQ(rp.ClientDisconnect(one), 0);
    const short three = rp.connect("J1708", 3);  // free again once the first is closed
    ASSERT_GE(three, 1);
    EXPECT_EQ(rp.ClientDisconnect(three), 0);

    // Another folder through RP1210_INI: a missing file, then bad device settings.
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    qputenv("RP1210_INI", dir.path().toLocal8Bit());
    EXPECT_EQ(rp.connect("J1939", 1), ERR_INI_FILE_NOT_IN_WIN_DIR);
    QFile ini(dir.filePath(QStringLiteral("TRAVONE.ini")));
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
    ini.write("[VendorInformation]\nName=x\n[DeviceInformation1]\nDeviceID=1\nDeviceParams=Bus=Simulator;AdapterVersion=x\n"
              "[DeviceInformation2]\nDeviceID=2\nDeviceParams=Bus=Simulator;AdapterType=J;AdapterVersion=1\n");
    ini.close();
    EXPECT_EQ(rp.connect("J1939", 1), ERR_INVALID_KEY_STRING);
    char text[81] = {};
    EXPECT_EQ(rp.GetErrorMsg(ERR_INVALID_KEY_STRING, text), 0);
    EXPECT_GT(qstrlen(text), 0u);
    const short two = rp.connect("J1939", 2);
    EXPECT_GE(two, 1);
    EXPECT_EQ(rp.ClientDisconnect(two), 0);
    qunsetenv("RP1210_INI");
}
