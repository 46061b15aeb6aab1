// Byte helpers, every request frame's layout and route, and the message counter.
#include "support/io_rig.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <thread>

namespace {

constexpr bool D = true;   // written at once from the caller's thread
constexpr bool Q = false;  // queued for the send thread
struct BuilderRow {
    std::function<void(Gestor_IO&)> build;
    const char* expected;  // empty: nothing built
    bool direct;
    quint8 client = 0, broadcast = 0xFF;
};
#define CALL(builder) [](Gestor_IO& io) { io.builder; }
#define X(text) exactCopy(hex(text)).data()  // a fixed-size input in a buffer of exactly its size

SCONFIG gPairs[2] = {{0x01, 0x1234}, {0x0A0B0C0D, 5}}, gNinePair[1] = {{9, 9}};
SCONFIG_LIST gList{2, gPairs}, gNine{1, gNinePair}, gCountWithoutPointer{4, nullptr};
uint8_t gInit[3] = {0x33, 0x44, 0x55}, gAb[2] = {0xAA, 0xBB};
SBYTE_ARRAY gIn3{3, gInit}, gOut1{1, gInit}, gIn1{1, gInit}, gOut107{0x107, gInit}, gAb2{2, gAb}, gNone{0, nullptr},
    gCountOnly{3, nullptr};

const std::vector<BuilderRow>& builderRows()
{
    static const std::vector<BuilderRow> rows = {
        {CALL(GenerarTrama_ConectarCliente(3, 16, 36, true)), "04 02 03 10 24 01", Q, 3},
        {CALL(GenerarTrama_DesconectarCliente(5, 1)), "04 03 05 01", Q, 5},
        {CALL(GenerarTrama_GetHardwareStatus(7)), "04 06 07", Q, 7},
        {CALL(GenerarTrama_ResetearTravoneLink()), "04 07", Q, 0},
        // Echo adds 0x10 to the client byte; the broadcast id goes with the request only.
        {CALL(GenerarTrama_EnviarMensaje(3, 2, true, hex("aa bb"), 0xFF)), "04 04 13 02 01 0002 aa bb", Q, 3},
        {CALL(GenerarTrama_EnviarMensaje(16, 2, true, hex("01"), 0xFF)), "04 04 20 02 01 0001 01", Q, 16},
        {CALL(GenerarTrama_EnviarMensaje(5, 2, false, hex("77"), 3)), "04 04 05 02 01 0001 77", Q, 5, 3},
        {CALL(GenerarTrama_VersionFirmware(0x5A)), "04 01 5a", D},
        {CALL(GenerarTrama_J1939_AdressClaim(2, X("80 0102030405060708"))), "04 e5 02 80 01 02 03 04 05 06 07 08", Q, 2},
        {CALL(GenerarTrama_ISO15765_Flow_Control(4, 17, X("102030"), 3)), "04 09 04 0003 10 20 30 11", Q, 4},
        {CALL(GenerarTrama_ISO15765_Flow_Control(4, 17, nullptr, 3)), "04 09 04 0000 11", Q, 4},
        {CALL(GenerarTrama_ISO15765_Clear_Flow_Control(4)), "04 0a 04", Q, 4},
        // Ioctl parameters: SET sends id-value pairs, GET only the ids, others only the count.
        {CALL(GenerarTrama_SET_GET_IOCTL(2, 5, IOCTL_SET_CONFIG, &gList)), "04 0d 02 05 02 00000002 00000001 00001234 0a0b0c0d 00000005", Q, 2},
        {CALL(GenerarTrama_SET_GET_IOCTL(2, 5, IOCTL_GET_CONFIG, &gList)), "04 0d 02 05 01 00000002 00000001 0a0b0c0d", Q, 2},
        {CALL(GenerarTrama_SET_GET_IOCTL(2, 5, 3, &gNine)), "04 0d 02 05 03 00000001", Q, 2},
        {CALL(GenerarTrama_SET_GET_IOCTL(2, 5, IOCTL_GET_CONFIG, &gCountWithoutPointer)), "04 0d 02 05 01 00000000", Q, 2},
        {CALL(GenerarTrama_SET_GET_IOCTL(2, 5, IOCTL_SET_CONFIG, nullptr)), "04 0d 02 05 02 00000000", Q, 2},
        // Init: the input bytes, then the low byte of the output count (2 when short or absent).
        {CALL(GenerarTrama_IOCTL_INIT(2, 5, IOCTL_FIVE_BAUD_INIT, &gIn3, &gOut1)), "04 0d 02 05 04 00000003 33 44 55 02", Q, 2},
        {CALL(GenerarTrama_IOCTL_INIT(2, 5, IOCTL_FIVE_BAUD_INIT, &gIn1, &gOut107)), "04 0d 02 05 04 00000001 33 07", Q, 2},
        {CALL(GenerarTrama_IOCTL_INIT(2, 5, IOCTL_FIVE_BAUD_INIT, &gCountOnly, nullptr)), "04 0d 02 05 04 00000000 02", Q, 2},
        {CALL(GenerarTrama_IOCTL_INIT(2, 5, IOCTL_FAST_INIT, &gAb2, nullptr)), "04 0d 02 05 05 00000002 aa bb", Q, 2},  // no count
        {CALL(GenerarTrama_IOCTL_SendPulses(2, 5, &gAb2, nullptr)), "04 0d 02 05 ff 00000002 aa bb", Q, 2},
        {CALL(GenerarTrama_IOCTL_BecomeMaster(2, 5, &gAb2, nullptr)), "04 0d 02 05 fd aa", Q, 2},
        {CALL(GenerarTrama_IOCTL_BecomeMaster(2, 5, &gNone, nullptr)), "04 0d 02 05 fd", Q, 2},
        {CALL(GenerarTrama_IOCTL_Request_Teardown_Connection_Commands(2, 5, IOCTL_TEARDOWN_CONNECTION, &gAb2)), "04 0d 02 05 fb aa bb", Q, 2},
        {CALL(GenerarTrama_IOCTL_Request_Teardown_Connection_Commands(2, 5, IOCTL_REQUEST_COMMANDS, nullptr)), "04 0d 02 05 fa", Q, 2},
        {CALL(GenerarTrama_CambioModo(2, 19, 1)), "04 0e 02 13 00", Q, 2},
        {CALL(GenerarTrama_CambioModo(2, 19, 2)), "04 0e 02 13 01", Q, 2},
        // Five Latin-1 characters, zero-padded; a character above 255 becomes zero.
        {CALL(GenerarTrama_CMMD_MUX(QStringLiteral("J1"))), "04 11 4a 31 00 00 00", Q, 0},
        {CALL(GenerarTrama_CMMD_MUX(QString::fromUtf8("A\xE2\x82\xAC\xC3\xA9" "BCD"))), "04 11 41 00 e9 42 43", Q, 0},
        {CALL(GenerarTrama_PICConnection(0x27)), "04 f2 27", Q, 0},
        {CALL(GenerarTrama_SetBaud(3, 2, 0x24, 0x01)), "04 10 03 02 24 01", Q, 3},
        // Broadcast-link records: slot - 1 in the high nibble of the client byte, numbers big-endian.
        {CALL(GenerarTrama_setBroadcastLink(3, 1, 2, X("e803 0300 112233"))), "04 fe 23 01 03 e8 00 03 11 22 33", Q, 3},
        {CALL(GenerarTrama_clearBroadcastLink(3, 1, 2)), "04 ff 23 01", Q, 3},
        {CALL(GenerarTrama_Set_J1850_Filter(X("010203040506"))), "04 f3 01 02 03 04 05 06", Q, 0},
        {CALL(GenerarTrama_ClearFilterJ1850()), "04 f4", Q, 0},
        {CALL(GenerarTrama_Set_Padding_ISO15765(2, 17, X("0155"))), "04 e8 02 11 01 55", Q, 2},
        {CALL(GenerarTrama_Set_Remote_CAN_Message(2, 2, X("01"))), "04 e9 02 02 01", Q, 2},
        {CALL(GenerarTrama_Set_Can_First_Consecutive_Frame_Value(2, 2, X("21"))), "04 ea 02 02 21", Q, 2},
        {CALL(GenerarTrama_Set_J1939_Interpacket_Time(2, 16, X("78563412"))), "04 14 02 10 12 34 56 78", Q, 2},
        {CALL(GenerarTrama_Set_CAN_Filter(X("01 a1a2a3a4 b1b2b3b4"))), "04 e6 01 01 b1 b2 b3 b4 a1 a2 a3 a4", Q, 0},
        {CALL(GenerarTrama_ClearFilterCAN()), "04 e7 01", Q, 0},
        {CALL(GenerarTrama_SetFiltersV6(2, 16, X("00f004 00feca"), 2)), "04 e0 02 10 02 00 f0 04 00 fe ca", D},
        {CALL(GenerarTrama_SetFiltersV6(1, 16, nullptr, 4)), "04 e0 01 10 00", D},
        {CALL(GenerarTrama_ClearAllFiltersV6(2, 16)), "04 e1 02 10", D},
        {CALL(GenerarTrama_ClearFilterV6(2, 16, hex("00f004 00feca"))), "04 e2 02 10 02 00 f0 04 00 fe ca", D},
        {CALL(GenerarTrama_SetFilter_SA_V6(2, 16, 0x80)), "04 e3 02 10 80", D},
        {CALL(GenerarTrama_ClearFilter_SA_V6(2, 16)), "04 e4 02 10", D},
        {[](Gestor_IO& io) { const QByteArray d = hex("0000 07e0 55"); io.GenerarTrama_Set_ISO15765_Filter(2, 17, 1, &d, 4); },
         "04 eb 02 11 01 0004 00 00 07 e0", Q, 2},
        {[](Gestor_IO& io) { const QByteArray d = hex("0102"); io.GenerarTrama_Set_ISO15765_Filter(2, 17, 0, &d, 9); },
         "04 eb 02 11 00 0002 01 02", Q, 2},  // a count beyond the data
        {CALL(GenerarTrama_LogSegmentos(7)), "02 f0 07", D},
        {CALL(GenerarTrama_testVelocidad()), "02 f1", D},
        // A missing fixed-size buffer builds nothing.
        {CALL(GenerarTrama_J1939_AdressClaim(1, nullptr)), "", Q}, {CALL(GenerarTrama_setBroadcastLink(1, 1, 1, nullptr)), "", Q},
        {CALL(GenerarTrama_Set_J1850_Filter(nullptr)), "", Q}, {CALL(GenerarTrama_Set_Padding_ISO15765(1, 17, nullptr)), "", Q},
        {CALL(GenerarTrama_Set_Remote_CAN_Message(1, 2, nullptr)), "", Q},
        {CALL(GenerarTrama_Set_Can_First_Consecutive_Frame_Value(1, 2, nullptr)), "", Q},
        {CALL(GenerarTrama_Set_J1939_Interpacket_Time(1, 16, nullptr)), "", Q}, {CALL(GenerarTrama_Set_CAN_Filter(nullptr)), "", Q},
    };
    return rows;
}

}  // namespace

TEST(Frames, EveryBuilderHasItsLayoutAndRoute)
{
    for (const BuilderRow& row : builderRows()) {
        SCOPED_TRACE(row.expected);
        IoRig rig;
        row.build(rig.io);
        if (!*row.expected) {
            EXPECT_EQ(rig.io.outputListSize() + rig.link.frameCount(), 0);
            continue;
        }
        EXPECT_EQ(rig.io.outputListSize(), row.direct ? 0 : 1);
        rig.drain();
        ASSERT_EQ(rig.link.frameCount(), 1);
        EXPECT_EQ(toHex(rig.link.frames()[0]), toHex(hex(row.expected)));
        if (row.direct) {
            EXPECT_EQ(rig.link.writes()[0].thread, std::this_thread::get_id());
            continue;
        }
        // The request carries the row's client and broadcast ids: only the exact pair removes it.
        row.build(rig.io);
        rig.io.removeBroadcastMsgByID(row.broadcast, quint8(row.client + 1));
        rig.io.removeBroadcastMsgByID(quint8(row.broadcast ^ 0x01), row.client);
        EXPECT_EQ(rig.io.outputListSize(), 1);
        rig.io.removeBroadcastMsgByID(row.broadcast, row.client);
        EXPECT_EQ(rig.io.outputListSize(), 0);
    }
    // Interval 500 ms, length 200, little-endian, then the message: exactly the record is copied.
    IoRig rig;
    const std::vector<char> record = exactCopy(hex("f401 c800") + pattern(200));
    rig.io.GenerarTrama_setBroadcastLink(1, 1, 0, record.data());
    rig.drain();
    ASSERT_EQ(rig.link.frameCount(), 1);
    EXPECT_EQ(toHex(rig.link.frames()[0]), toHex(hex("04 fe 01 01 01 f4 00 c8") + pattern(200)));
}

// The calls passed through to the transport are checked through the API.
TEST(Frames, AMissingTransportIsHarmless)
{
    QString type = QStringLiteral("E");
    int version = 0, other = 0;
    GestorRP1210 g;
    Gestor_IO io;
    io.setGestorRP1210(&g);
    io.GenerarTrama_VersionFirmware(1);
    io.limpiarDescargarProxy();
    io.getTypeInterface(type, version, other);  // left alone
    EXPECT_EQ(type + QString::number(io.getComChannel()), QStringLiteral("E0"));
    EXPECT_EQ(io.initializeConnection(), rp1210rc::HARDWARE_NOT_RESPONDING);
    io.GenerarTrama_GetHardwareStatus(1);
    io.enviarMSG();
    EXPECT_EQ(g.getLinkError(), 142);  // a queued frame without a transport counts as a failed write
}

// The counter's range, wrap and reset on a start are checked by the send-loop tests.
TEST(Frames, CounterIsNeverSharedBetweenThreads)
{
    IoRig rig;
    constexpr int kEach = 127;  // 254 frames from two threads: no wrap, so every value is unique
    std::thread other([&rig] { rig.queue(PROTOCOLO_CAN, kEach, 1, 2); });
    rig.queue(PROTOCOLO_CAN, kEach, 1, 1);
    other.join();
    rig.drain();
    std::set<int> seen;
    for (const QByteArray& f : rig.link.frames())
        seen.insert(quint8(f.at(4)));
    EXPECT_EQ(seen.size(), size_t(2 * kEach));
    EXPECT_EQ(*seen.begin(), 1);
    EXPECT_EQ(*seen.rbegin(), 2 * kEach);
}
