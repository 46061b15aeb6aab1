// One client slot: buffers and byte accounting, the transmit and receive queues, the
// filter list, stored answers, and the queues under concurrent use.
#include "client/cliente.h"
#include "client/filters.h"
#include "support/bytes.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace {

QByteArray readOne(Cliente& c, int bufferSize = 256)
{
    std::vector<char> buf(size_t(bufferSize), 0);
    const qint16 n = c.GetMsjToRead(buf.data(), bufferSize, 0);
    return n > 0 ? QByteArray(buf.data(), n) : QByteArray();
}
quint32 send(Cliente& c, const QByteArray& m) { return c.addMsjSaliente(m.constData(), short(m.size())); }
quint32 receive(Cliente& c, const char* messageHex)
{
    QByteArray m = hex(messageHex);
    return c.addMsjRecibido(m);
}
// Whether one more message was queued for the client.
bool route(Cliente& c, const char* messageHex)
{
    const int before = c.receivedCount();
    receive(c, messageHex);
    return c.receivedCount() == before + 1;
}

}  // namespace

TEST(Cliente, BufferSizesBelowOneBecomeTheDefault)
{
    const struct {
        qint32 tx, rx, wantTx, wantRx;
    } rows[] = {{0, 0, 8192, 8192}, {-1, -100, 8192, 8192}, {100, 200, 100, 200}, {1, 0, 1, 8192}};
    for (const auto& r : rows) {
        Cliente c(3, PROTOCOLO_CAN, r.tx, r.rx, true);
        EXPECT_EQ(c.getTamanoBufferSalida(), r.wantTx);
        EXPECT_EQ(c.getfreeBufferSalida(), r.wantTx);
        EXPECT_EQ(c.getTamanoBufferEntrada(), r.wantRx);
        EXPECT_EQ(c.getfreeBufferEntrada(), r.wantRx);
        EXPECT_EQ(c.getIdCliente(), 3);
        EXPECT_EQ(c.getProtocolo(), PROTOCOLO_CAN);
        EXPECT_TRUE(c.getJ1939Packetize());
    }
    Cliente c(1, 0, 0, 0, false);
    c.setTamanoBufferEntrada(-7);
    c.setTamanoBufferSalida(0);
    EXPECT_EQ(c.getTamanoBufferEntrada(), 8192);
    EXPECT_EQ(c.getTamanoBufferSalida(), 8192);
}

TEST(Cliente, TransmitPreparesAndAccountsPerProtocol)
{
    // free: free transmit bytes before the call; queued: the prepared message.
    const struct {
        const char* name;
        quint8 protocol, j1708Mode;
        qint32 free;
        const char* msg;
        quint32 result;
        const char* queued;
        qint32 freeAfter;
    } rows[] = {
        // Checksum over bytes 1.. (priority left out): 80+01+02 = 0x83 -> 0x7D.
        {"j1708 checksum", PROTOCOLO_J1708, 1, 100, "08 80 01 02", 0, "08 80 01 02 7D", 95},
        {"j1708 mode 0 unchanged", PROTOCOLO_J1708, 0, 100, "08 80 01 02", 0, "08 80 01 02", 96},
        {"j1708 empty gets lone checksum", PROTOCOLO_J1708, 1, 100, "", 0, "00", 99},
        {"j1708 priority only", PROTOCOLO_J1708, 1, 100, "08", 0, "08 00", 98},
        // The checksum is not part of the space test, only of the deduction.
        {"j1708 exact fit", PROTOCOLO_J1708, 1, 10, "08 80 01 02 03 04 05 06 07 08", 0, "08 80 01 02 03 04 05 06 07 08 5C", -1},
        {"j1708 one too many", PROTOCOLO_J1708, 1, 10, "08 80 01 02 03 04 05 06 07 08 09", 137, "", 10},
        // CAT: checksum over all bytes, 0x01 in front, counted as len + 1.
        {"cat mode 1", PROTOCOLO_CAT, 1, 100, "80 01 02 03 04", 0, "01 80 01 02 03 04 76", 93},
        {"cat mode 0", PROTOCOLO_CAT, 0, 100, "80 01 02 03 04", 0, "01 80 01 02 03 04", 94},
        {"cat counted fits", PROTOCOLO_CAT, 1, 6, "80 01 02 03 04", 0, "01 80 01 02 03 04 76", -1},
        {"cat counted too long", PROTOCOLO_CAT, 1, 5, "80 01 02 03 04", 137, "", 5},
        {"can unchanged", PROTOCOLO_CAN, 1, 100, "00 01 23 AA BB", 0, "00 01 23 AA BB", 95},
        {"can exact fit", PROTOCOLO_CAN, 1, 3, "AA BB CC", 0, "AA BB CC", 0},
        {"can too long", PROTOCOLO_CAN, 1, 2, "AA BB CC", 137, "", 2},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        Cliente c(1, r.protocol, r.free, 0, false);
        c.setJ1708Mode(r.j1708Mode);
        std::vector<char> exact = exactCopy(hex(r.msg));
        EXPECT_EQ(c.addMsjSaliente(exact.data(), short(exact.size())), r.result);
        EXPECT_EQ(c.getfreeBufferSalida(), r.freeAfter);
        EXPECT_EQ(toHex(c.GetMsjToSend()), toHex(hex(r.queued)));
        EXPECT_EQ(c.getfreeBufferSalida(), r.free);  // taking the message gives its bytes back
        EXPECT_TRUE(c.GetMsjToSend().isEmpty());
    }
    const struct {
        const char* data;
        short len;
        quint8 sum;  // two's complement of the byte sum
    } sums[] = {{"01 02 03", 3, 0xFA}, {"00", 1, 0x00}, {"FF", 1, 0x01}, {"80 80", 2, 0x00},
                {"01 02 03", 0, 0x00}, {"01 02 03", -1, 0x00}, {"80 01 02 03 04", 5, 0x76}};
    for (const auto& r : sums)
        EXPECT_EQ(Cliente::J1708_CalculaChecksum(hex(r.data).constData(), r.len), r.sum) << r.data << " len " << r.len;
    EXPECT_EQ(Cliente::J1708_CalculaChecksum(nullptr, 4), 0);
}

TEST(Cliente, TransmitBadArgumentsFifoOrderAndFlush)
{
    Cliente j1708(1, PROTOCOLO_J1708, 50, 0, false);
    const char one = 0x55;
    EXPECT_EQ(j1708.addMsjSaliente(&one, -5), 0u);  // negative length reads nothing
    EXPECT_EQ(j1708.GetMsjToSend(), hex("00"));      // only the checksum of nothing
    Cliente can(1, PROTOCOLO_CAN, 50, 0, false);
    EXPECT_EQ(can.addMsjSaliente(nullptr, 4), 0u);
    EXPECT_EQ(can.getfreeBufferSalida(), 50);

    Cliente c(1, PROTOCOLO_CAN, 100, 0, false);
    for (const char* m : {"01", "02 02", "03 03 03"})
        EXPECT_EQ(send(c, hex(m)), 0u);
    EXPECT_EQ(c.getfreeBufferSalida(), 94);
    EXPECT_EQ(c.GetMsjToSend(), hex("01"));
    EXPECT_EQ(c.getfreeBufferSalida(), 95);
    c.deleteMsjSaliente();
    EXPECT_EQ(c.getfreeBufferSalida(), 100);
    EXPECT_TRUE(c.GetMsjToSend().isEmpty());
}

TEST(Cliente, ReceiveSpaceTestRefusesAndSetsRxFull)
{
    Cliente c(1, PROTOCOLO_CAN, 0, 100, false);
    c.setFilterState(1);
    QByteArray full(100, '\x11'), one(1, '\x22'), echo(1, '\x33');
    EXPECT_EQ(c.addMsjRecibido(full), 0u);
    EXPECT_EQ(c.getfreeBufferEntrada(), 0);
    EXPECT_FALSE(c.getRX_FULL());
    EXPECT_EQ(c.addMsjRecibido(one), 139u);
    EXPECT_TRUE(c.getRX_FULL());
    EXPECT_EQ(c.addMsjRecibidoECHO(echo), 139u);
    EXPECT_EQ(c.receivedCount(), 1);
    EXPECT_EQ(readOne(c, 128), full);  // reading frees the space; RX_FULL stays until cleared
    EXPECT_EQ(c.getfreeBufferEntrada(), 100);
    EXPECT_TRUE(c.getRX_FULL());
    EXPECT_EQ(c.addMsjRecibido(one), 0u);
}

TEST(Cliente, ReceiveFlagAndFilterStateGateNetworkMessagesOnly)
{
    const struct {
        bool receive;
        quint8 filterState;  // 2: filters, but an empty list
        bool queued;
    } rows[] = {{true, 1, true}, {true, 0, false}, {true, 2, false}, {true, 3, false}, {false, 1, false}};
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << "receive " << r.receive << " state " << int(r.filterState));
        Cliente c(1, PROTOCOLO_CAN, 0, 0, false);
        c.setMessageReceive(r.receive);
        c.setFilterState(r.filterState);
        EXPECT_EQ(receive(c, "00000000 00 0123 AA"), 0u);
        EXPECT_EQ(c.receivedCount(), r.queued ? 1 : 0);
        EXPECT_EQ(c.getfreeBufferEntrada(), r.queued ? 8192 - 8 : 8192);
        QByteArray e = hex("00000000 01 00 0123");  // echoes bypass the receive flag and the filters
        EXPECT_EQ(c.addMsjRecibidoECHO(e), 0u);
        EXPECT_EQ(c.receivedCount(), r.queued ? 2 : 1);
    }
}

TEST(Cliente, EchoDropsThePriorityByteForJ1708FramingOnly)
{
    const struct {
        quint8 protocol;
        const char *in, *stored;
    } rows[] = {
        {PROTOCOLO_J1708, "0A800102 01 08 80 01", "0A800102 01 80 01"},
        {PROTOCOLO_CAT, "0A800102 01 01 80 01 02", "0A800102 01 80 01 02"},
        {PROTOCOLO_J1708, "0A800102 01", "0A800102 01"},  // nothing at index 5
        {PROTOCOLO_CAN, "0A800102 01 00 0123", "0A800102 01 00 0123"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.in);
        Cliente c(1, r.protocol, 0, 0, false);
        QByteArray m = hex(r.in);
        EXPECT_EQ(c.addMsjRecibidoECHO(m), 0u);
        EXPECT_EQ(m, hex(r.in));  // the caller's array is left alone
        EXPECT_EQ(c.getfreeBufferEntrada(), 8192 - hex(r.stored).size());
        EXPECT_EQ(toHex(readOne(c)), toHex(hex(r.stored)));
        EXPECT_EQ(c.getfreeBufferEntrada(), 8192);
    }
}

TEST(Cliente, ReadIntoATooSmallBufferKeepsTheMessageAndAnEmptyQueueAnswersZero)
{
    Cliente c(1, PROTOCOLO_CAN, 0, 0, false);
    std::vector<char> buf(16, '\x5A');
    EXPECT_EQ(c.GetMsjToRead(buf.data(), 4, 0), 0);
    EXPECT_EQ(c.GetMsjToRead(buf.data(), 0, 1), 0);  // an empty queue wins over a small buffer
    c.setFilterState(1);
    ASSERT_EQ(receive(c, "00 01 02 03 04 05 06 07 08 09 0A 0B"), 0u);
    for (int size : {10, 0, -3})
        EXPECT_EQ(c.GetMsjToRead(buf.data(), size, 0), -141) << size;
    EXPECT_EQ(c.GetMsjToRead(nullptr, 100, 0), -141);
    EXPECT_EQ(buf, std::vector<char>(16, '\x5A'));  // untouched
    EXPECT_EQ(c.receivedCount(), 1);
    EXPECT_EQ(c.getfreeBufferEntrada(), 8192 - 12);
    EXPECT_EQ(c.GetMsjToRead(buf.data(), 12, 0), 12);
    EXPECT_EQ(QByteArray(buf.data(), 12), hex("00 01 02 03 04 05 06 07 08 09 0A 0B"));
    EXPECT_EQ(buf[12], '\x5A');  // nothing written behind the message
    EXPECT_EQ(c.getfreeBufferEntrada(), 8192);
    EXPECT_EQ(c.GetMsjToRead(buf.data(), 12, 0), 0);  // token given back once, taken once
}

TEST(Cliente, ModeChangesFlushBothQueuesOnlyWhenTheValueChanges)
{
    const struct {
        const char* name;
        void (*apply)(Cliente&, int);
        int current, other;
    } setters[] = {
        {"echo", [](Cliente& c, int v) { c.setEchoMode(v != 0); }, 0, 1},
        {"j1708", [](Cliente& c, int v) { c.setJ1708Mode(quint8(v)); }, 1, 0},
        {"iso9141", [](Cliente& c, int v) { c.setISO9141_KWP200_Mode(quint8(v)); }, 1, 0},
    };
    for (const auto& s : setters) {
        SCOPED_TRACE(s.name);
        Cliente c(1, PROTOCOLO_CAN, 300, 400, false);
        c.setFilterState(1);
        ASSERT_EQ(receive(c, "00000000 00 0123 AA"), 0u);
        ASSERT_EQ(send(c, hex("00 0123 AA BB")), 0u);
        s.apply(c, s.current);  // same value: kept
        EXPECT_EQ(c.receivedCount(), 1);
        EXPECT_EQ(c.getfreeBufferEntrada(), 392);
        EXPECT_EQ(c.getfreeBufferSalida(), 295);
        s.apply(c, s.other);  // new value: both queues emptied
        EXPECT_EQ(c.receivedCount(), 0);
        EXPECT_EQ(c.getfreeBufferEntrada(), 400);
        EXPECT_EQ(c.getfreeBufferSalida(), 300);
        EXPECT_TRUE(c.GetMsjToSend().isEmpty());
        EXPECT_TRUE(readOne(c).isEmpty());  // no token left behind
    }
}

TEST(Cliente, ResetKeepsAccountingAndStoredAnswers)
{
    Cliente c(7, PROTOCOLO_J1939, 500, 600, true);
    c.setProtocolSpeed(VELOCIDAD_NINGUNA);
    c.setConectado(true);
    c.setPendiente_desconexion(true);
    c.setBlockingTimeout(50);
    c.setEchoMode(true);
    c.set_J1939_Claim_Address_Value(249);
    c.set_J1939_Claim_Address_State(2);
    c.setJ1708Mode(0);
    c.setISO9141_KWP200_Mode(0);
    c.setRX_FULL(true);
    ASSERT_EQ(c.addFiltro(ubytes(hex("00 00 00 00 00 00 00"))), 0u);
    ASSERT_EQ(receive(c, "00000000 00 ECFE00 06 00 FF"), 0u);
    ASSERT_EQ(send(c, hex("01 02 03")), 0u);
    c.setMessageReceive(false);
    c.setFilterMode(5);
    EXPECT_EQ(c.getFilterMode(), 1);
    c.set_IOCTL_Params({5, 100});
    c.setServiceRequestState(SERV_IOCTL, RESP_SERV_PENDING);
    c.setFAST_INIT_AND_FIVE_BAUD_INIT_MSG(hex("AA"));
    c.setBufferHardwareStatus({1, 2});

    c.valoresPorDefecto();
    EXPECT_FALSE(c.getConectado());
    EXPECT_FALSE(c.getPendiente_desconexion());
    EXPECT_EQ(c.getBlockingTimeout(), 0u);
    EXPECT_TRUE(c.getMessageReceive());
    EXPECT_FALSE(c.getEchoMode());
    EXPECT_FALSE(c.getJ1939Packetize());
    EXPECT_EQ(c.get_J1939_Claim_Address_Value(), 0);
    EXPECT_EQ(c.get_J1939_Claim_Address_State(), 0);
    EXPECT_EQ(c.getFilterState(), 0);
    EXPECT_EQ(c.getJ1708Mode(), 1);
    EXPECT_EQ(c.getISO9141_KWP200_Mode(), 1);
    EXPECT_EQ(c.getFilterMode(), 0);
    EXPECT_FALSE(c.getRX_FULL());
    EXPECT_EQ(c.getFilterSize(), 0);
    EXPECT_EQ(c.receivedCount(), 0);
    EXPECT_EQ(c.getfreeBufferEntrada(), 600);
    EXPECT_EQ(c.getfreeBufferSalida(), 500);
    EXPECT_TRUE(readOne(c).isEmpty());
    EXPECT_TRUE(c.GetMsjToSend().isEmpty());
    // Kept across connections.
    EXPECT_EQ(c.getIdCliente(), 7);
    EXPECT_EQ(c.getProtocolo(), PROTOCOLO_J1939);
    EXPECT_EQ(c.getTamanoBufferEntrada(), 600);
    EXPECT_EQ(c.get_IOCTL_SingleParam(5), 100u);
    EXPECT_EQ(c.getServiceRequestState(SERV_IOCTL), RESP_SERV_PENDING);
    EXPECT_EQ(c.GetFAST_INIT_AND_FIVE_BAUD_INIT_MSG(), hex("AA"));
    char hw[2] = {0, 0};
    c.getBufferHardwareStatus(hw, 2);
    EXPECT_EQ(hw[1], 2);

}

TEST(Cliente, ResizingWithMessagesQueuedKeepsFreeEqualToSizeMinusQueued)
{
    Cliente c(1, PROTOCOLO_CAN, 0, 0, false);
    c.setFilterState(1);
    QByteArray m(30, '\x01');
    ASSERT_EQ(c.addMsjRecibido(m), 0u);
    ASSERT_EQ(send(c, QByteArray(20, '\x02')), 0u);
    c.setTamanoBufferEntrada(100);
    c.setTamanoBufferSalida(50);
    EXPECT_EQ(c.getfreeBufferEntrada(), 70);
    EXPECT_EQ(c.getfreeBufferSalida(), 30);
    EXPECT_EQ(readOne(c).size(), 30);
    EXPECT_EQ(c.GetMsjToSend().size(), 20);
    EXPECT_EQ(c.getfreeBufferEntrada(), 100);
    EXPECT_EQ(c.getfreeBufferSalida(), 50);
}

TEST(Cliente, ServiceStatesIoctlParamsAndHardwareStatus)
{
    Cliente c(1, 0, 0, 0, false);
    EXPECT_EQ(c.getServiceRequestState(SERV_IOCTL), RESP_SERV_OK);
    c.setServiceRequestState(SERV_IOCTL, RESP_SERV_PENDING);
    c.set_IOCTL_Params({5, 100, 7, 200});
    EXPECT_EQ(c.getServiceRequestState(SERV_IOCTL), RESP_SERV_OK);  // answered by the params
    c.set_IOCTL_Params({5, 300, 9});  // trailing single entry ignored
    for (auto p : {std::pair<quint32, quint32>{5, 300}, {7, 200}, {6, 0}, {9, 0}})
        EXPECT_EQ(c.get_IOCTL_SingleParam(p.first), p.second) << p.first;
    c.setBufferHardwareStatus({0x11, 0x22, 0x33});
    const struct {
        short n;
        const char* expected;  // 8-byte output buffer after the call, prefilled with EE
    } rows[] = {{10, "11 22 33 EE EE EE EE EE"}, {2, "11 22 EE EE EE EE EE EE"},
                {0, "EE EE EE EE EE EE EE EE"}, {-1, "EE EE EE EE EE EE EE EE"}};
    for (const auto& r : rows) {
        QByteArray out(8, '\xEE');
        c.getBufferHardwareStatus(out.data(), r.n);
        EXPECT_EQ(toHex(out), toHex(hex(r.expected))) << "n " << r.n;
    }
    c.getBufferHardwareStatus(nullptr, 3);  // nothing to write to
    c.setSendPulsesInit_Response(hex("01 02"));
    EXPECT_EQ(c.GetSendPulsesInit_Response(), hex("01 02"));
    EXPECT_FALSE(c.checkJ1939TransporLayer(1, 2, 3, 4));
}

// ---- filters ----

TEST(ClienteFilters, ProtocolChoosesTheFilterClass)
{
    const struct {
        quint8 protocol;
        const char *record, *pass, *drop;  // pass: a message the new filter accepts; drop: one it rejects
    } rows[] = {
        {PROTOCOLO_J1939, "01 EC FE 00 00 00 00", "00000000 ECFE00 06 00 FF", "00000000 ECFF00 06 00 FF"},
        {PROTOCOLO_J1708, "80", "00000000 80 01", "00000000 81 01"},
        {PROTOCOLO_CAN, "00 000007FF 00000123", "00000000 00 0123 AA", "00000000 00 0124 AA"},
        {PROTOCOLO_J1850, "FF 00 00 68 00 00", "00000000 0000 68 00 00 00", "00000000 0000 69 00 00 00"},
        {PROTOCOLO_ISO15765, "00 000007FF 00 000007E8 00", "00000000 00 00 000007E8 01", "00000000 00 00 000007E0 01"},
        {PROTOCOLO_ISO15765_ALT, "00 000007FF 00 000007E8 00", "00000000 00 00 000007E8 01", "00000000 00 00 000007E0 01"},
        {PROTOCOLO_CAT, "02 AA BB", "00000000 80 01", "00000000 80"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(int(r.protocol));
        Cliente c(1, r.protocol, 0, 0, false);
        EXPECT_EQ(c.addFiltro(ubytes(hex(r.record))), 0u);
        EXPECT_EQ(c.getFilterState(), 2);
        EXPECT_EQ(c.getFilterSize(), 1);
        EXPECT_TRUE(route(c, r.pass));
        EXPECT_FALSE(route(c, r.drop));
        c.setFilterMode(1);  // turns both answers round
        EXPECT_FALSE(route(c, r.pass));
        EXPECT_TRUE(route(c, r.drop));
    }
    Cliente kwp(1, PROTOCOLO_KWP2000, 0, 0, false);  // a protocol without a filter class adds nothing
    kwp.setFilterState(1);
    EXPECT_EQ(kwp.addFiltro(ubytes(hex("01 02 03 04 05 06 07 08 09 0A 0B"))), 0u);
    EXPECT_EQ(kwp.getFilterSize(), 0);
    EXPECT_EQ(kwp.getFilterState(), 1);
    EXPECT_EQ(kwp.addFiltro(nullptr), 144u);
}

TEST(ClienteFilters, SixtySixthFilterIsRefused)
{
    Cliente c(1, PROTOCOLO_J1708, 0, 0, false);
    for (int i = 0; i < Cliente::kMaxFilters; ++i) {
        const unsigned char mid = static_cast<unsigned char>(i);
        ASSERT_EQ(c.addFiltro(&mid), 0u) << i;
    }
    c.setFilterState(7);
    const unsigned char extra = 0xC8;
    EXPECT_EQ(c.addFiltro(&extra), 501u);
    EXPECT_EQ(c.getFilterSize(), 65);
    EXPECT_EQ(c.getFilterState(), 7);  // unchanged by the refusal
    const auto* last = dynamic_cast<const J1708_Filtro*>(c.getActiveFilter(64));
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(last->getMID(), 64);
    EXPECT_EQ(c.getActiveFilter(65), nullptr);
    EXPECT_EQ(c.getActiveFilter(-1), nullptr);
}

TEST(ClienteFilters, AnyAcceptingFilterLetsTheMessageThroughAndDeleteStopsAll)
{
    Cliente c(1, PROTOCOLO_J1708, 0, 0, false);
    c.setEchoMode(true);
    ASSERT_EQ(c.addFiltro(ubytes(hex("80"))), 0u);
    ASSERT_EQ(c.addFiltro(ubytes(hex("90"))), 0u);
    EXPECT_TRUE(route(c, "00000000 00 80 01"));
    EXPECT_TRUE(route(c, "00000000 00 90 01"));
    EXPECT_FALSE(route(c, "00000000 00 81 01"));
    c.setFilterMode(1);  // a message passes as soon as one filter does not match it
    EXPECT_TRUE(route(c, "00000000 00 80 01"));
    c.deleteAllFilters();
    EXPECT_EQ(c.getFilterState(), 0);
    EXPECT_EQ(c.getFilterSize(), 0);
    c.setFilterMode(0);
    EXPECT_FALSE(route(c, "00000000 00 80 01"));
    c.setFilterState(1);
    EXPECT_TRUE(route(c, "00000000 00 81 01"));
    ASSERT_EQ(c.addFiltro(ubytes(hex("80"))), 0u);  // adding a filter leaves pass-all
    EXPECT_EQ(c.getFilterState(), 2);
    EXPECT_FALSE(route(c, "00000000 00 81 01"));
}

TEST(ClienteFilters, AlreadyHeldIso15765RecordsAreCutOut)
{
    const QByteArray held = hex("00 000007FF 00 000007E8 00"), extended = hex("03 1FFFFFFF FF 18DAF110 2A");
    const ISO15765_Filtro probe(ubytes(extended));
    for (quint8 protocol : {quint8(PROTOCOLO_ISO15765), quint8(PROTOCOLO_ISO15765_ALT)}) {
        Cliente c(1, protocol, 0, 0, false);  // containsFilter answers for ISO 15765 clients only
        ASSERT_EQ(c.addFiltro(ubytes(extended)), 0u);
        EXPECT_EQ(c.containsFilter(&probe), protocol == PROTOCOLO_ISO15765);
    }
    const J1708_Filtro mid(0x80);
    EXPECT_FALSE(Cliente(1, PROTOCOLO_J1708, 0, 0, false).containsFilter(&mid));

    const struct {
        const char *name, *records, *left;
        bool result;
    } rows[] = {
        {"middle duplicate", "00 000007FF 00 000007E0 00  00 000007FF 00 000007E8 00  00 000007FF 00 000007E9 00",
         "00 000007FF 00 000007E0 00  00 000007FF 00 000007E9 00", true},
        {"only duplicate", "00 000007FF 00 000007E8 00", "", false},
        {"two in a row", "00 000007FF 00 000007E8 00  00 000007FF 00 000007E8 00  00 000007FF 00 000007E9 00",
         "00 000007FF 00 000007E9 00", true},
        {"11-bit with ext bytes", "00 ABCD07FF 55 EEEE07E8 66", "", false},  // unused record bytes do not count
        {"29-bit ext differs", "03 1FFFFFFF FF 18DAF110 2A", "03 1FFFFFFF FF 18DAF110 2A", true},
        {"nothing", "", "", false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        Cliente c(1, PROTOCOLO_ISO15765, 0, 0, false);
        ASSERT_EQ(c.addFiltro(ubytes(held)), 0u);
        ASSERT_EQ(c.addFiltro(ubytes(hex("03 1FFFFFFF FF 18DAF110 2B"))), 0u);
        QByteArray records = hex(r.records);
        int length = records.size();
        EXPECT_EQ(c.areISO15765FiltersCorrect(records, length), r.result);
        EXPECT_EQ(toHex(records), toHex(hex(r.left)));
        EXPECT_EQ(length, hex(r.left).size());
        EXPECT_EQ(c.getFilterSize(), 2);  // nothing added here
    }
    // A stated length longer than the array: only whole records inside the array count.
    Cliente c(1, PROTOCOLO_ISO15765, 0, 0, false);
    ASSERT_EQ(c.addFiltro(ubytes(held)), 0u);
    QByteArray records = hex("00 000007FF 00 000007E8 00  00 000007FF 00");
    int length = 40;
    EXPECT_TRUE(c.areISO15765FiltersCorrect(records, length));
    EXPECT_EQ(records, hex("00 000007FF 00"));
    EXPECT_EQ(length, 29);
}

// ---- concurrent use ----

namespace {

constexpr quint32 kMessages = 20000;

QByteArray numbered(quint32 n)
{
    QByteArray m(8, '\0');
    std::memcpy(m.data() + 4, &n, 4);
    return m;
}
quint32 numberOf(const char* buf)
{
    quint32 n;
    std::memcpy(&n, buf + 4, 4);
    return n;
}

}  // namespace

TEST(ClienteThreads, EveryMessageArrivesOnceAndInOrderToOneOrTwoReaders)
{
    for (const int readers : {1, 2}) {
        SCOPED_TRACE(readers);
        Cliente c(1, PROTOCOLO_CAN, 0, qint32(kMessages * 8), false);  // room for every message at once
        c.setFilterState(1);
        std::atomic<quint32> taken{0}, refused{0};
        std::atomic<bool> stop{false};
        std::vector<std::vector<quint32>> seen(static_cast<size_t>(readers));
        std::vector<std::thread> threads;
        for (int r = 0; r < readers; ++r) {
            threads.emplace_back([&, r] {
                char buf[16];
                while (taken < kMessages && !stop) {
                    if (c.GetMsjToRead(buf, sizeof buf, 50) == 8) {
                        seen[size_t(r)].push_back(numberOf(buf));
                        ++taken;
                    }
                }
            });
        }
        threads.emplace_back([&] {
            for (quint32 i = 0; i < kMessages; ++i) {
                QByteArray m = numbered(i);
                refused += c.addMsjRecibido(m) != 0;
            }
        });
        const bool finished = waitUntil([&] { return taken == kMessages; }, std::chrono::seconds(30));
        stop = true;
        c.setPendiente_desconexion(true);
        for (auto& t : threads)
            t.join();
        ASSERT_TRUE(finished) << "only " << taken.load() << " messages arrived";
        EXPECT_EQ(refused.load(), 0u);
        std::vector<int> count(kMessages, 0);
        for (const auto& list : seen) {
            for (size_t i = 1; i < list.size(); ++i)
                ASSERT_LT(list[i - 1], list[i]);  // each reader sees queue order
            for (quint32 n : list)
                ++count[n];
        }
        for (quint32 i = 0; i < kMessages; ++i)
            ASSERT_EQ(count[i], 1) << "message " << i;
        EXPECT_EQ(c.receivedCount(), 0);
        EXPECT_EQ(c.getfreeBufferEntrada(), qint32(kMessages * 8));
    }
}

// A reader racing deleteMsjRecibido gets a whole message or nothing, and the token count
// matches the queue afterwards.
TEST(ClienteThreads, FlushWhileReadingNeverHandsOutAStaleMessage)
{
    Cliente c(1, PROTOCOLO_CAN, 0, 0, false);
    c.setFilterState(1);
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::thread reader([&] {
        char buf[16];
        while (!stop) {
            const qint16 n = c.GetMsjToRead(buf, sizeof buf, 5);
            bad += n != 0 && n != 8;
        }
    });
    for (quint32 i = 0; i < 3000; ++i) {
        QByteArray m = numbered(i);
        c.addMsjRecibido(m);
        if (i % 3 == 0)
            c.deleteMsjRecibido();
    }
    stop = true;
    reader.join();
    EXPECT_EQ(bad.load(), 0);
    const int left = c.receivedCount();
    EXPECT_EQ(c.getfreeBufferEntrada(), 8192 - 8 * left);
    char buf[16];
    int read = 0;
    while (c.GetMsjToRead(buf, sizeof buf, 0) == 8)
        ++read;
    EXPECT_EQ(read, left);
}

// A reader waiting without limit returns on a pending disconnection, set before or
// during its wait (no wake can be missed), or on a message; queued messages still go out.
TEST(ClienteThreads, PendingDisconnectOrAMessageWakesAReaderWaitingWithoutLimit)
{
    for (const int wake : {0, 1, 2}) {  // disconnect before the wait, disconnect during it, a message
        SCOPED_TRACE(wake);
        Cliente c(1, PROTOCOLO_CAN, 0, 0, false);
        if (wake == 0)
            c.setPendiente_desconexion(true);
        std::atomic<int> result{-1};
        std::atomic<quint32> number{0};
        std::thread reader([&] {
            char buf[16];
            const qint16 n = c.GetMsjToRead(buf, sizeof buf, -1);
            if (n == 8)
                number = numberOf(buf);
            result = n;
        });
        QByteArray m = numbered(7);
        if (wake == 1)
            c.setPendiente_desconexion(true);
        if (wake == 2) {
            ASSERT_EQ(c.addMsjRecibidoECHO(m), 0u);
        }
        const bool woke = waitUntil([&] { return result >= 0; }, std::chrono::seconds(2));
        if (!woke)  // releases the reader so the test can end
            c.addMsjRecibidoECHO(m);
        reader.join();
        ASSERT_TRUE(woke);
        EXPECT_EQ(result, wake == 2 ? 8 : 0);
        EXPECT_EQ(number, wake == 2 ? 7u : 0u);
    }
    Cliente c(1, PROTOCOLO_CAN, 0, 0, false);
    c.setPendiente_desconexion(true);
    QByteArray m = numbered(42);
    ASSERT_EQ(c.addMsjRecibidoECHO(m), 0u);
    char buf[16];
    EXPECT_EQ(c.GetMsjToRead(buf, sizeof buf, -1), 8);
    EXPECT_EQ(numberOf(buf), 42u);
}
