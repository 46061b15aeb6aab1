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

namespace {

QByteArray readOne(Cliente& c)
{
    char buf[256];
    const qint16 n = c.GetMsjToRead(buf, sizeof buf, 0);
    return n > 0 ? QByteArray(buf, n) : QByteArray();
}
quint32 send(Cliente& c, const QByteArray& m) { return c.addMsjSaliente(m.constData(), short(m.size())); }
quint32 receive(Cliente& c, const char* messageHex)
{
    QByteArray m = hex(messageHex);
    return c.addMsjRecibido(m);
}
bool route(Cliente& c, const char* messageHex)  // whether one more message was queued
{
    const int before = c.receivedCount();
    receive(c, messageHex);
    return c.receivedCount() == before + 1;
}
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

TEST(Cliente, BufferSizesBelowOneBecomeTheDefaultAndResizingKeepsTheQueuedBytes)
{
    Cliente c(3, PROTOCOLO_CAN, 0, 1, true);
    EXPECT_EQ(c.getTamanoBufferSalida(), 8192);
    EXPECT_EQ(c.getfreeBufferEntrada(), 1);
    c.setTamanoBufferEntrada(-7);
    EXPECT_EQ(c.getTamanoBufferEntrada(), 8192);
    c.setFilterState(1);
    QByteArray m(30, '\x01');
    ASSERT_EQ(c.addMsjRecibido(m) + send(c, QByteArray(20, '\x02')), 0u);
    c.setTamanoBufferEntrada(100);
    c.setTamanoBufferSalida(50);
    EXPECT_EQ(c.getfreeBufferEntrada(), 70);
    EXPECT_EQ(c.getfreeBufferSalida(), 30);
    EXPECT_EQ(readOne(c).size() + c.GetMsjToSend().size(), 50);
    EXPECT_EQ(c.getfreeBufferEntrada() + c.getfreeBufferSalida(), 150);
}

// The shaping per protocol is checked through the API; here the space test, which leaves
// the J1708 checksum out.
TEST(Cliente, TransmitSpaceTest)
{
    const auto sendOn = [](quint8 protocol, qint32 space, const char* msg) {  // result, free space, queued
        Cliente c(1, protocol, space, 0, false);
        std::vector<char> exact = exactCopy(hex(msg));
        const quint32 rc = c.addMsjSaliente(exact.data(), short(exact.size()));
        const qint32 freeAfter = c.getfreeBufferSalida();
        const QByteArray queued = c.GetMsjToSend();
        EXPECT_EQ(c.getfreeBufferSalida(), space);  // taking the message gives its bytes back
        return std::to_string(rc) + " " + std::to_string(freeAfter) + " " + toHex(queued);
    };
    EXPECT_EQ(sendOn(PROTOCOLO_J1708, 10, "08 80 01 02 03 04 05 06 07 08"), "0 -1 08 80 01 02 03 04 05 06 07 08 5c");
    EXPECT_EQ(sendOn(PROTOCOLO_J1708, 10, "08 80 01 02 03 04 05 06 07 08 09"), "137 10 ");
    EXPECT_EQ(sendOn(PROTOCOLO_CAN, 3, "aa bb cc"), "0 0 aa bb cc");
    EXPECT_EQ(sendOn(PROTOCOLO_CAN, 2, "aa bb cc"), "137 2 ");

    Cliente j1708(1, PROTOCOLO_J1708, 50, 0, false);
    const char one = 0x55;
    EXPECT_EQ(j1708.addMsjSaliente(&one, -5), 0u);  // a negative length reads nothing
    EXPECT_EQ(j1708.GetMsjToSend(), hex("00"));
    Cliente c(1, PROTOCOLO_CAN, 100, 0, false);
    EXPECT_EQ(c.addMsjSaliente(nullptr, 4), 0u);  // reads nothing
    EXPECT_EQ(c.getfreeBufferSalida(), 100);
}

TEST(Cliente, ReceiveSpaceFlagAndFilterState)
{
    Cliente c(1, PROTOCOLO_CAN, 0, 100, false);
    c.setFilterState(1);
    QByteArray full(100, '\x11'), one(1, '\x22');
    EXPECT_EQ(c.addMsjRecibido(full), 0u);
    EXPECT_FALSE(c.getRX_FULL());
    EXPECT_EQ(c.addMsjRecibido(one), 139u);
    EXPECT_TRUE(c.getRX_FULL());
    EXPECT_EQ(c.addMsjRecibidoECHO(one), 139u);
    EXPECT_EQ(readOne(c), full);  // reading frees the space; RX_FULL stays until cleared
    EXPECT_TRUE(c.getRX_FULL());
    EXPECT_EQ(c.addMsjRecibido(one), 0u);
    EXPECT_EQ(c.getRxRefused(), 2u);  // the two refusals, counted until the next connect
    c.valoresPorDefecto();
    EXPECT_EQ(c.getRxRefused(), 0u);

    // Network messages pass with the receive flag on and state 1 (or 2 with a matching
    // filter); echoes bypass both.
    const struct {
        bool receive;
        quint8 filterState;  // 2: filters, but an empty list
        bool queued;
    } rows[] = {{true, 1, true}, {true, 0, false}, {true, 2, false}, {false, 1, false}};
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << "receive " << r.receive << " state " << int(r.filterState));
        Cliente d(1, PROTOCOLO_CAN, 0, 0, false);
        d.setMessageReceive(r.receive);
        d.setFilterState(r.filterState);
        EXPECT_EQ(receive(d, "00000000 00 0123 AA"), 0u);
        EXPECT_EQ(d.getfreeBufferEntrada(), r.queued ? 8192 - 8 : 8192);
        QByteArray e = hex("00000000 01 00 0123");
        EXPECT_EQ(d.addMsjRecibidoECHO(e), 0u);
        EXPECT_EQ(d.receivedCount(), r.queued ? 2 : 1);
    }
}

// The too-small read itself is checked through the API.
TEST(Cliente, AnEmptyQueueWinsOverASmallBufferAndATooSmallReadGivesItsTokenBack)
{
    Cliente c(1, PROTOCOLO_CAN, 0, 0, false);
    char buf[16];
    EXPECT_EQ(c.GetMsjToRead(buf, 0, 1), 0);
    c.setFilterState(1);
    ASSERT_EQ(receive(c, "00 01 02 03 04 05 06 07 08 09 0A 0B"), 0u);
    EXPECT_EQ(c.GetMsjToRead(buf, 11, 0), -141);
    EXPECT_EQ(c.GetMsjToRead(buf, 12, 0), 12);
    EXPECT_EQ(c.GetMsjToRead(buf, 12, 0), 0);  // token given back once, taken once
}

TEST(Cliente, ModeChangesFlushBothQueuesOnlyWhenTheValueChanges)
{
    const struct {
        void (*apply)(Cliente&, int);
        int current, other;
    } setters[] = {
        {[](Cliente& c, int v) { c.setJ1708Mode(quint8(v)); }, 1, 0},
        {[](Cliente& c, int v) { c.setISO9141_KWP200_Mode(quint8(v)); }, 1, 0},
    };
    for (const auto& s : setters) {
        Cliente c(1, PROTOCOLO_CAN, 300, 400, false);
        c.setFilterState(1);
        ASSERT_EQ(receive(c, "00000000 00 0123 AA") + send(c, hex("00 0123 AA BB")), 0u);
        s.apply(c, s.current);  // same value: kept
        EXPECT_EQ(c.getfreeBufferEntrada() + c.getfreeBufferSalida(), 392 + 295);
        s.apply(c, s.other);  // new value: both queues emptied
        EXPECT_EQ(c.getfreeBufferEntrada() + c.getfreeBufferSalida(), 700);
        EXPECT_TRUE(c.GetMsjToSend().isEmpty());
        EXPECT_TRUE(readOne(c).isEmpty());  // no token left behind
    }
}

TEST(Cliente, IoctlParamsAndHardwareStatusCopies)
{
    Cliente c(1, 0, 0, 0, false);
    c.setServiceRequestState(SERV_IOCTL, RESP_SERV_PENDING);
    c.set_IOCTL_Params({5, 100, 7, 200});
    EXPECT_EQ(c.getServiceRequestState(SERV_IOCTL), RESP_SERV_OK);  // answered by the params
    c.set_IOCTL_Params({5, 300, 9});  // a trailing single entry is ignored
    for (auto p : {std::pair<quint32, quint32>{5, 300}, {7, 200}, {9, 0}})
        EXPECT_EQ(c.get_IOCTL_SingleParam(p.first), p.second) << p.first;
    c.setBufferHardwareStatus({0x11, 0x22, 0x33});
    for (const auto& r : {std::pair<short, const char*>{10, "11 22 33 EE"}, {2, "11 22 EE EE"}, {-1, "EE EE EE EE"}}) {
        QByteArray out(4, '\xEE');
        c.getBufferHardwareStatus(out.data(), r.first);
        EXPECT_EQ(toHex(out), toHex(hex(r.second))) << "n " << r.first;
    }
    c.getBufferHardwareStatus(nullptr, 3);
}

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
        {PROTOCOLO_CAT, "02 AA BB", "00000000 80 01", "00000000 80"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(int(r.protocol));
        Cliente c(1, r.protocol, 0, 0, false);
        EXPECT_EQ(c.addFiltro(ubytes(hex(r.record))), 0u);
        EXPECT_EQ(c.getFilterState() * 10 + c.getFilterSize(), 21);
        EXPECT_TRUE(route(c, r.pass));
        EXPECT_FALSE(route(c, r.drop));
    }
    Cliente kwp(1, PROTOCOLO_KWP2000, 0, 0, false);  // a protocol without a filter class adds nothing
    kwp.setFilterState(1);
    EXPECT_EQ(kwp.addFiltro(ubytes(hex("01 02 03 04 05 06 07 08 09 0A 0B"))), 0u);
    EXPECT_EQ(kwp.getFilterState() * 10 + kwp.getFilterSize(), 10);
    EXPECT_EQ(kwp.addFiltro(nullptr), 144u);
}

// The limit of 65 filters is checked through the API.
TEST(ClienteFilters, AnyAcceptingFilterPassesAndDeleteStopsAll)
{
    Cliente c(1, PROTOCOLO_J1708, 0, 0, false);
    c.setEchoMode(true);
    ASSERT_EQ(c.addFiltro(ubytes(hex("80"))) + c.addFiltro(ubytes(hex("C0"))), 0u);
    EXPECT_TRUE(route(c, "00000000 00 C0 01"));  // echo mode shifts the MID by one byte
    EXPECT_FALSE(route(c, "00000000 00 00 01"));
    c.setFilterMode(1);  // a message passes as soon as one filter does not match it
    EXPECT_TRUE(route(c, "00000000 00 80 01"));
    c.deleteAllFilters();
    c.setFilterMode(0);
    EXPECT_EQ(c.getFilterState() + c.getFilterSize(), 0);
    EXPECT_FALSE(route(c, "00000000 00 80 01"));
    c.setFilterState(1);
    EXPECT_TRUE(route(c, "00000000 00 81 01"));
    ASSERT_EQ(c.addFiltro(ubytes(hex("80"))), 0u);  // adding a filter leaves pass-all
    EXPECT_FALSE(route(c, "00000000 00 81 01"));
}

TEST(ClienteFilters, AlreadyHeldIso15765RecordsAreCutOut)
{
    const QByteArray held = hex("00 000007FF 00 000007E8 00");
    const struct {
        const char *records, *left;  // with a stated length of 40 when `stated`
        bool result, stated;
    } rows[] = {
        {"00 000007FF 00 000007E8 00  00 000007FF 00 000007E8 00  00 000007FF 00 000007E9 00",
         "00 000007FF 00 000007E9 00", true, false},
        {"00 ABCD07FF 55 EEEE07E8 66", "", false, false},  // unused record bytes do not count
        {"03 1FFFFFFF FF 18DAF110 2A", "03 1FFFFFFF FF 18DAF110 2A", true, false},  // extended address differs
        {"00 000007FF 00 000007E8 00  00 000007FF 00", "00 000007FF 00", true, true},  // whole records only
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.records);
        Cliente c(1, PROTOCOLO_ISO15765, 0, 0, false);
        ASSERT_EQ(c.addFiltro(ubytes(held)) + c.addFiltro(ubytes(hex("03 1FFFFFFF FF 18DAF110 2B"))), 0u);
        QByteArray records = hex(r.records);
        int length = r.stated ? 40 : records.size();
        EXPECT_EQ(c.areISO15765FiltersCorrect(records, length), r.result);
        EXPECT_EQ(toHex(records), toHex(hex(r.left)));
        EXPECT_EQ(length, r.stated ? 29 : hex(r.left).size());
        EXPECT_EQ(c.getFilterSize(), 2);  // nothing added here
    }
}

// A reader waiting without limit, racing adds and deleteMsjRecibido: every message it gets
// is whole and in queue order, the token count matches the queue, and a pending
// disconnection set during its wait releases it once the queue is empty.
// A thread holding a WakeBatch counts tokens at once and wakes their waiters when the
// batch ends: late, never lost.
TEST(ClienteThreads, AWaiterReleasedInsideAWakeBatchWakesWhenTheBatchEnds)
{
    MessageSemaphore s;
    std::atomic<bool> taken{false};
    std::thread waiter([&] { taken = s.tryAcquire(-1); });
    ASSERT_TRUE(waitUntil([&] { return s.waiters() == 1; }));
    {
        WakeBatch batch;
        s.release();
        MessageSemaphore idle;  // nobody waits on it: its token is simply there
        idle.release();
        EXPECT_TRUE(idle.tryTake());
    }
    const bool woke = waitUntil([&] { return taken.load(); });
    if (!woke)
        s.wakeAll();  // let the thread end before the failure is reported
    waiter.join();
    EXPECT_TRUE(woke);
}

TEST(ClienteThreads, FlushRacingAnUnlimitedReaderAndPendingDisconnectReleasesIt)
{
    Cliente c(1, PROTOCOLO_CAN, 0, 0, false);
    c.setFilterState(1);
    std::atomic<int> bad{0}, result{-1};
    std::thread reader([&] {
        char buf[16];
        for (quint32 last = 0;;) {
            const qint16 n = c.GetMsjToRead(buf, sizeof buf, -1);
            if (n != 8)
                return void(result = n);
            bad += last != 0 && numberOf(buf) <= last;
            last = numberOf(buf);
        }
    });
    for (quint32 i = 1; i <= 3000; ++i) {
        QByteArray m = numbered(i);
        c.addMsjRecibido(m);
        if (i % 3 == 0)
            c.deleteMsjRecibido();
    }
    ASSERT_TRUE(waitUntil([&] { return c.receivedCount() == 0; }));
    c.setPendiente_desconexion(true);
    const bool woke = waitUntil([&] { return result >= 0; });
    QByteArray release(4, '\0');  // a short message ends the reader if the wake was missed
    if (!woke)
        c.addMsjRecibidoECHO(release);
    reader.join();
    ASSERT_TRUE(woke);
    EXPECT_EQ(result * 1000 + bad, 0);
    EXPECT_EQ(c.getfreeBufferEntrada(), 8192);
    QByteArray m = numbered(42);  // a pending disconnection still lets queued messages out
    ASSERT_EQ(c.addMsjRecibidoECHO(m), 0u);
    char buf[16];
    EXPECT_EQ(c.GetMsjToRead(buf, sizeof buf, -1), 8);
    EXPECT_EQ(c.GetMsjToRead(buf, sizeof buf, -1), 0);
}

}  // namespace
