// The exported API loaded as applications load it, against the simulated vehicle.
#include "library.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <thread>

namespace {

int threadCount()
{
    return QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size();
}

QByteArray pgnBytes(quint32 pgn) { return QByteArray(1, char(pgn)).append(char(pgn >> 8)).append(char(pgn >> 16)); }
// A J1939 message: PGN, how/priority, source, destination, data.
QByteArray j1939(quint32 pgn, quint8 priority, quint8 source, quint8 destination, const QByteArray& data)
{
    return pgnBytes(pgn).append(char(priority)).append(char(source)).append(char(destination)) + data;
}

constexpr char kComponentId[] = "SIMTRUCK*SE-13*SN5A17*ECM1*";

// An initialisation ioctl: the answer's bytes in hex, or the result.
QByteArray init(Rp1210Library& rp, short client, long kind, const char* request)
{
    QByteArray in = QByteArray::fromHex(request), out(16, '\0');
    SBYTE_ARRAY input{quint32(in.size()), reinterpret_cast<quint8*>(in.data())};
    SBYTE_ARRAY output{quint32(out.size()), reinterpret_cast<quint8*>(out.data())};
    const short rc = rp.Ioctl(client, kind, &input, &output);
    return rc ? QByteArray::number(rc) : out.left(int(output.NumOfBytes)).toHex();
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
    const std::pair<const char*, bool (*)(const QByteArray&)> broadcasts[] = {
        {"J1939:Baud=Auto", [](const QByteArray& m) { return pgnOf(m) == 65265; }},
        // CAN reads: timestamp, identifier type, 4-byte identifier (most significant first), data.
        {"CAN:Baud=250", [](const QByteArray& m) { return m.size() >= 9 && m.at(4) == 1; }},
        {"J1708", [](const QByteArray& m) { return m.size() > 5 && quint8(m.at(4)) == 128; }},
    };
    std::vector<short> ids;  // all connected at once
    for (const auto& [protocol, wanted] : broadcasts) {
        ids.push_back(rp.connectOpen(protocol));
        ASSERT_TRUE(ids.back() >= 1 && ids.back() <= 16) << protocol;
        EXPECT_FALSE(rp.readUntil(ids.back(), wanted).isEmpty()) << protocol;
    }

    // ISO 15765: the UDS server's VIN through a multi-frame answer.
    const short iso = rp.connect("ISO15765:Baud=250");
    ASSERT_GE(iso, 1);
    const QByteArray flow = QByteArray::fromHex("00000007e8000007e000000000");  // type, rx, tx, BS, STmin, tx STmin
    ASSERT_EQ(rp.command(RP1210_Set_ISO15765_Flow_Control, iso, flow), 0);
    ASSERT_EQ(rp.command(RP1210_Set_All_Filters_States_to_Pass, iso), 0);
    ASSERT_EQ(rp.send(iso, QByteArray::fromHex("00000007e022f190")), 0);
    const QByteArray answer = rp.readUntil(iso, [](const QByteArray& m) { return m.contains("\x62\xf1\x90"); });
    EXPECT_TRUE(answer.endsWith(kVin)) << answer.toHex().constData();

    // K-line: the KWP2000 engine controller wakes on either initialisation and answers
    // engine speed in quarters of a revolution per minute; the ISO 9141 client hears the line
    // too. The adapter adds and checks the checksums.
    const short kwp = rp.connectOpen("KWP2000"), iso9141 = rp.connectOpen("ISO9141");
    ASSERT_TRUE(kwp >= 1 && iso9141 >= 1);
    ids.insert(ids.end(), {iso, kwp, iso9141});
    EXPECT_EQ(init(rp, kwp, FIVE_BAUD_INIT, "33"), "ef8f");
    EXPECT_EQ(init(rp, kwp, FAST_INIT, "8111f181"), "83f111c1ef8f");
    ASSERT_EQ(rp.send(kwp, QByteArray::fromHex("c233f1010c")), 0);
    const auto engineSpeed = [](const QByteArray& m) { return m.mid(4, 5) == QByteArray::fromHex("84f111410c"); };
    const QByteArray rpm = rp.readUntil(kwp, engineSpeed);
    ASSERT_EQ(rpm.size(), 4 + 7);
    EXPECT_FALSE(rp.readUntil(iso9141, [&](const QByteArray& m) { return m.mid(4) == rpm.mid(4); }).isEmpty());
    const double quarters = (quint8(rpm[9]) << 8) | quint8(rpm[10]);
    EXPECT_TRUE(quarters > 600 * 4 && quarters < 1900 * 4) << quarters;
    // J1850, each variant in turn: its OBD node's answer to vehicle speed, length (2),
    // header (3), service, PID and speed.
    const std::tuple<const char*, const char*, const char*> j1850[] = {{"J1850VPW", "686af1010d", "0006486b10410d"},
                                                                       {"J1850PWM", "616af1010d", "0006416b10410d"}};
    for (const auto& [protocol, request, answer] : j1850) {
        const short id = rp.connectOpen(protocol);
        ASSERT_GE(id, 1) << protocol;
        ASSERT_EQ(rp.send(id, QByteArray::fromHex(request)), 0);
        const QByteArray header = QByteArray::fromHex(answer);
        const QByteArray m = rp.readUntil(id, [&](const QByteArray& r) { return r.mid(4, 7) == header; });
        EXPECT_EQ(m.size(), 4 + 8) << protocol;
        EXPECT_EQ(rp.ClientDisconnect(id), 0);  // the variants share the interface
    }
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

    // The request comes back as its echo, and the answer by BAM to all and by RTS/CTS to us.
    const struct {
        quint32 pgn;
        quint8 to;
        QByteArray data;
    } requests[] = {{65260, 0xFF, QByteArray(kVin) + '*'}, {65260, 0, QByteArray(kVin) + '*'},
                    {65259, 0xFF, kComponentId}, {65259, 0, kComponentId}};
    for (const auto& r : requests) {
        SCOPED_TRACE(testing::Message() << r.pgn << " to " << int(r.to));
        ASSERT_EQ(rp.send(id, j1939(59904, 6, 0xF9, r.to, pgnBytes(r.pgn))), 0);
        const QByteArray echo = rp.readUntil(id, [](const QByteArray& m) { return pgnOf(m, 1) == 59904; });
        EXPECT_EQ(echo.mid(4, 1 + 6), QByteArray(1, 1) + j1939(59904, 6, 0xF9, r.to, QByteArray()));  // flagged as ours
        const QByteArray answer = rp.readUntil(id, [&](const QByteArray& m) { return pgnOf(m, 1) == r.pgn; });
        EXPECT_EQ(answer.mid(5), j1939(r.pgn, 7, 0, r.to == 0 ? 0xF9 : 0xFF, r.data));
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
