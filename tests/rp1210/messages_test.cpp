// Send and read path through the real link stack over the fake transport, also under concurrent use.
#include "thread_probe.h"
#include "wire_rig.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

struct MessagesTest : ::testing::Test, WireRig {
    short conn(const char* connectString, qint32 tx = 0, qint32 rx = 0)
    {
        return g.RP1210_ClientConnect(0, 1, connectString, tx, rx, 0);
    }
    // No bytes go as a null pointer: a send of nothing needs no buffer.
    short send(short id, const QByteArray& m)
    {
        return g.RP1210_SendMessage(id, m.isEmpty() ? nullptr : m.constData(), short(m.size()), 0, 0);
    }
    // The message in hex, or the code when none.
    std::string readNow(short id)
    {
        char buf[512];
        const short n = g.RP1210_ReadMessage(id, buf, sizeof buf, 0);
        return n > 0 ? toHex(QByteArray(buf, n)) : std::to_string(n);
    }
    // The send frames written since `from`: the client byte (echo flag in its high nibble), then the message.
    Strings sent(int from = 0)
    {
        settle();
        Strings v;
        for (const QByteArray& f : link.frames().mid(from))
            if (f.size() > 6 && f[1] == SERV_ENVIAR_MENSAJE)
                v.push_back(toHex(f.mid(2, 1) + f.mid(7)));
        return v;
    }
    Cliente* slot(short id, bool echo = false, int j1708Mode = 1, int filterState = 1)
    {
        Cliente* c = g.getCliente(quint8(id));
        c->setEchoMode(echo);
        c->setJ1708Mode(quint8(j1708Mode));
        c->setFilterState(quint8(filterState));
        return c;
    }
    // The adapter confirms each message and also puts it on the bus, whence it comes back as traffic.
    void loopBack()
    {
        onService(SERV_ENVIAR_MENSAJE, [](const QByteArray& w) {
            return QList<QByteArray>{LinkRig::sendAnswer(w), LinkRig::receivedFrame(quint8(w[3]), w.mid(7))};
        });
    }
    // A read on its own thread; `tid` gets the thread, `cpuMs` the processor time the read used.
    std::future<short> readAsync(short id, short block, std::atomic<long>* tid = nullptr, double* cpuMs = nullptr)
    {
        return std::async(std::launch::async, [this, id, block, tid, cpuMs] {
            if (tid)
                *tid = currentThreadTid();
            char buf[256];
            const double t0 = threadCpuMs();
            const short n = g.RP1210_ReadMessage(id, buf, sizeof buf, block);
            if (cpuMs)
                *cpuMs = threadCpuMs() - t0;
            return n;
        });
    }
    // A read that never ends may hold its lock for good: abort rather than hang.
    static short finish(std::future<short>& f)
    {
        if (f.wait_for(5s) != std::future_status::ready) {
            std::fprintf(stderr, "FATAL: a call did not end\n");
            std::abort();
        }
        return f.get();
    }
};

TEST_F(MessagesTest, RefusedCallsSendNothingAndLeaveTheSlot)
{
    ASSERT_EQ(connect("J1939"), 1);
    Cliente* c = slot(1, true);
    QByteArray m = hex("0000000100ef0006ffaa");
    g.almacenarMsjBuzon(PROTOCOLO_J1939, m);
    const qint32 freeTx = c->getfreeBufferSalida();
    char buf[64];
    auto both = [&](short id, short block) {
        return std::to_string(send(id, hex("01"))) + " " + std::to_string(g.RP1210_ReadMessage(id, buf, sizeof buf, block));
    };
    for (short block : {0, 1}) {
        for (short id : {0, 17, -1})  // 17 would be slot 1 in four bits
            EXPECT_EQ(both(id, block), "129 -129") << id;
        EXPECT_EQ(both(2, block), "148 -148");
        c->setPendiente_desconexion(true);
        EXPECT_EQ(both(1, block), "148 -148");
        c->setPendiente_desconexion(false);
    }
    EXPECT_EQ(g.RP1210_SendMessage(1, "\x08\x80", -1, 0, 0), rp1210rc::INVALID_COMMAND);
    EXPECT_EQ(g.RP1210_SendMessage(1, nullptr, 3, 0, 0), rp1210rc::INVALID_COMMAND);
    // Echoes: no whole timestamp, bad or free slot, a flag other than 1 handed back, a deaf client.
    auto echo = [&](quint8 id, quint8 flag, const char* h) {
        QByteArray e = hex(h);
        return g.almacenarMsjconECHO(id, flag, e, {});
    };
    const char* e = "1122334400ef0006ff00aa";
    EXPECT_EQ(echo(1, 1, "112233"), 144u);
    EXPECT_EQ(std::to_string(echo(0, 1, e)) + " " + std::to_string(echo(17, 1, e)) + " " + std::to_string(echo(2, 1, e)),
              "129 129 148");
    EXPECT_EQ(echo(1, 0, e) + echo(1, 7, e), 7u);
    c->setMessageReceive(false);
    EXPECT_EQ(echo(1, 1, e), 148u);
    EXPECT_EQ(c->receivedCount(), 1);
    EXPECT_EQ(c->getfreeBufferSalida(), freeTx);
    // A link error comes before the slot checks, and a blocking read does not wait on it.
    g.set_Error(rp1210rc::HARDWARE_NOT_RESPONDING);
    EXPECT_EQ(both(1, 0), "142 -142");
    EXPECT_EQ(send(9, hex("01")), rp1210rc::HARDWARE_NOT_RESPONDING);
    auto f = readAsync(1, 1);
    EXPECT_EQ(finish(f), -rp1210rc::HARDWARE_NOT_RESPONDING);
    EXPECT_EQ(sent(), Strings{});
}

TEST_F(MessagesTest, SentMessagesAreShapedForTheProtocolAndHandedOverAtOnce)
{
    // connect, J1708 mode, echo, message: handed over ("-": nothing).
    const struct { const char *connect; int mode; bool echo; const char *message, *sent; } rows[] = {
        {"CAN", 1, false, "", "-"},              {"CAN", 1, false, "00012311", "00012311"},
        {"J1939", 1, true, "00ef0006ff", "00ef0006ff"},
        {"J1708", 1, false, "", "00"},           {"J1708", 1, false, "088001", "0880017f"},  // priority not summed
        {"J1708", 0, false, "088001", "088001"}, {"CAT", 1, false, "8001", "0180017f"},
        {"CAT", 0, false, "8001", "018001"},     {"CAT", 1, false, "", "0100"},
    };
    for (const auto& r : rows) {
        const short id = connect(r.connect);
        Cliente* c = slot(id, r.echo, r.mode);
        const int from = mark();
        EXPECT_EQ(send(id, hex(r.message)), 0);
        const Strings want = {toHex(QByteArray(1, char(id | r.echo << 4)) + hex(r.sent))};
        EXPECT_EQ(sent(from), *r.sent == '-' ? Strings{} : want) << r.connect << r.message;
        EXPECT_EQ(c->getfreeBufferSalida(), c->getTamanoBufferSalida());
        ASSERT_EQ(g.RP1210_ClientDisconnect(id), 0);
    }
}

TEST_F(MessagesTest, MessageBeyondSixteenSegmentsIsRefusedOnSegmentingAdapters)
{
    // Sixteen segments carry 439 + 15 * 441 = 7054 bytes, counting the checksum and CAT prefix.
    const struct { const char *type; int version; const char* connect; int mode, size; short rc; } rows[] = {
        {"A", 7, "CAN", 1, 7054, 0},   {"A", 7, "CAN", 1, 7055, 141}, {"K", 2, "J1939", 1, 7055, 141},
        {"E", 1, "CAN", 1, 7055, 141}, {"A", 7, "J1708", 1, 7053, 0}, {"A", 7, "J1708", 1, 7054, 141},
        {"A", 7, "J1708", 0, 7054, 0}, {"A", 7, "CAT", 1, 7052, 0},   {"A", 7, "CAT", 1, 7053, 141},
        {"A", 7, "CAT", 0, 7053, 0},   {"A", 7, "CAT", 0, 7054, 141},
        {"J", 1, "CAN", 1, 20000, 0},  {"K", 1, "CAN", 1, 20000, 0},  // frames go whole
    };
    for (const auto& r : rows) {
        link.setInterface(r.type, r.version);
        ASSERT_EQ(conn(r.connect, /*tx*/ 32000), 1);
        Cliente* c = slot(1, false, r.mode);
        const int from = mark();
        EXPECT_EQ(send(1, QByteArray(r.size, 0x08)), r.rc) << r.type << r.version << r.connect << r.mode << " " << r.size;
        EXPECT_EQ(r.rc == 0, waitUntil([&] { return link.frameCount() > from; }, r.rc ? 50ms : 5000ms));
        EXPECT_EQ(c->getfreeBufferSalida(), c->getTamanoBufferSalida());
        ASSERT_EQ(g.RP1210_ClientDisconnect(1), 0);
    }
}

// A hand-over moves at most one message per usable client and drops one of no bytes.
TEST_F(MessagesTest, ShortTransmitSpaceAnswers137AndOtherQueuesStillGetTheirTurn)
{
    ASSERT_EQ(conn("CAT", /*tx*/ 10), 1);
    for (const char* p : {"J1939", "CAN", "J1939", "J1939"})
        ASSERT_GE(connect(p), 2);
    ASSERT_EQ(g.RP1210_ClientDisconnect(3), 0);
    g.getCliente(4)->setPendiente_desconexion(true);
    for (const char* queued : {"2a1", "2a2", "331", "441", "5", "551"}) {  // slot, then the bytes
        const QByteArray m = hex(queued + 1);
        ASSERT_EQ(g.getCliente(quint8(queued[0] - '0'))->addMsjSaliente(m.constData(), short(m.size())), 0u);
    }
    EXPECT_EQ(send(1, QByteArray(11, 1)), rp1210rc::TX_QUEUE_FULL);  // refused before any hand-over
    EXPECT_EQ(sent(), Strings{});
    // Ten bytes pass the first test; the CAT prefix makes them eleven for the second.
    EXPECT_EQ(send(1, QByteArray(10, 1)), rp1210rc::TX_QUEUE_FULL);
    EXPECT_EQ(sent(), Strings{"02 a1"});
    EXPECT_EQ(g.getCliente(1)->getfreeBufferSalida(), 10);
    EXPECT_EQ(send(1, QByteArray(9, 1)), 0);
    EXPECT_EQ(sent(), (Strings{"02 a1", toHex(hex("0101") + QByteArray(9, 1) + hex("f7")), "02 a2", "05 51"}));
    EXPECT_EQ(g.getCliente(3)->GetMsjToSend() + g.getCliente(4)->GetMsjToSend(), hex("3141"));  // kept
    g.getCliente(4)->setPendiente_desconexion(false);
}

TEST_F(MessagesTest, ReadNeverWritesPastTheBufferAndKeepsATooLongMessage)
{
    ASSERT_EQ(connect("J1939"), 1);
    for (short block : {0, 2, -1}) {  // only 1 blocks
        auto f = readAsync(1, block);
        EXPECT_EQ(finish(f), 0) << block;
    }
    Cliente* c = slot(1);
    QByteArray m = hex("0a0b0c0d00ef0006ff00a1a2");  // 12 bytes
    ASSERT_EQ(g.almacenarMsjBuzon(PROTOCOLO_J1939, m), 0u);
    char buf[32];
    std::memset(buf, 0x5A, sizeof buf);
    for (short size : {11, 0, -4}) {
        for (short block : {0, 1}) {  // a blocking read ends at once too
            auto f = std::async(std::launch::async, [&] { return g.RP1210_ReadMessage(1, buf, size, block); });
            EXPECT_EQ(finish(f), -rp1210rc::MESSAGE_TOO_LONG) << size << " " << block;
        }
    }
    EXPECT_EQ(g.RP1210_ReadMessage(1, nullptr, 64, 0), -rp1210rc::MESSAGE_TOO_LONG);
    EXPECT_EQ(QByteArray(buf, sizeof buf), QByteArray(sizeof buf, 0x5A));
    EXPECT_EQ(g.RP1210_ReadMessage(1, buf, 12, 0), 12);
    EXPECT_EQ(QByteArray(buf, sizeof buf), m + QByteArray(20, 0x5A));
    EXPECT_EQ(c->getfreeBufferEntrada(), c->getTamanoBufferEntrada());
}

TEST_F(MessagesTest, BlockedReadSleepsUntilAMessageItsTimeOutADisconnectOrALinkFailure)
{
    ASSERT_EQ(connect("J1939"), 1);
    // The clock stands still: only the message can end the read, with or without time-out.
    for (quint32 timeout : {0u, 60000u}) {
        slot(1)->setBlockingTimeout(timeout);
        std::atomic<long> tid{0};
        double cpuMs = 0;
        auto f = readAsync(1, 1, &tid, &cpuMs);
        ASSERT_TRUE(waitUntil([&] { return threadIsSleeping(tid); }));
        std::this_thread::sleep_for(100ms);  // the interval it must spend asleep, not a synchronisation
        QByteArray m = hex("0102030400ef0006ff00aabbcc");
        g.almacenarMsjBuzon(PROTOCOLO_J1939, m);
        EXPECT_EQ(finish(f), m.size()) << timeout;
        EXPECT_LT(cpuMs, 5.0) << timeout;
    }
    // A time-out counts on the manager's clock, not real time: the read outlasts 50 real milliseconds.
    slot(1)->setBlockingTimeout(50);
    auto f = readAsync(1, 1);
    EXPECT_EQ(f.wait_for(80ms), std::future_status::timeout);
    clock.advanceMillis(49);
    EXPECT_EQ(f.wait_for(30ms), std::future_status::timeout);
    clock.advanceMillis(1);
    EXPECT_EQ(finish(f), 0);
    ASSERT_EQ(g.RP1210_ClientDisconnect(1), 0);
    // In even rounds the reader surely sleeps when the end comes; in odd ones the two race.
    for (int round = 0; round < 40; ++round) {
        ASSERT_EQ(connect("J1939"), 1);  // the handshake clears the last round's error
        std::atomic<long> tid{0};
        auto f = readAsync(1, 1, &tid);
        if (round % 2 == 0) {
            ASSERT_TRUE(waitUntil([&] { return threadIsSleeping(tid); }));
        }
        if (round % 4 >= 2) {
            g.set_Error(rp1210rc::HARDWARE_NOT_RESPONDING);
            EXPECT_EQ(finish(f), -rp1210rc::HARDWARE_NOT_RESPONDING);
            ASSERT_EQ(g.RP1210_ClientDisconnect(1), rp1210rc::HARDWARE_NOT_RESPONDING);
        } else {
            auto d = std::async(std::launch::async, [this] { return g.RP1210_ClientDisconnect(1); });
            EXPECT_EQ(finish(d), 0);
            EXPECT_EQ(finish(f), -rp1210rc::CLIENT_DISCONNECTED);
        }
    }
}

TEST_F(MessagesTest, ReceivedMessagesAreShapedForEachClient)
{
    // connect, echo, J1708 mode, filter state, received: queued ("-": nothing).
    const struct { const char* connect; bool echo; int mode, filter; const char *received, *queued; } rows[] = {
        {"J1708", true, 1, 1, "0a800102037a", "0a8001020003"},  {"J1708", false, 1, 1, "0a800102037a", "0a80010203"},
        {"J1708", false, 0, 1, "0a800102037a", "0a800102037a"}, {"J1708", false, 1, 1, "0a800102", "-"},  // no checksum
        {"CAT", false, 1, 1, "0a800102037a", "0a80010203"},     {"J1939", true, 1, 1, "0102030400ef00aa", "010203040000ef00aa"},
        {"J1939", false, 1, 1, "0102030400ef00aa", "0102030400ef00aa"},
        {"J1939", true, 1, 1, "01020304", "0102030400"},        {"J1939", false, 1, 1, "010203", "-"},
        {"J1939", false, 1, 0, "0102030400ef00aa", "-"},        {"CAN", true, 1, 1, "01020304000123aa", "0102030400000123aa"},
    };
    for (const auto& r : rows) {
        const short id = connect(r.connect);
        Cliente* c = slot(id, r.echo, r.mode, r.filter);
        QByteArray m = hex(r.received);
        EXPECT_EQ(g.almacenarMsjBuzon(c->getProtocolo(), m), 0u);
        EXPECT_EQ(m, hex(r.received));  // the caller's bytes are not touched
        EXPECT_EQ(readNow(id), *r.queued == '-' ? "0" : toHex(hex(r.queued))) << r.connect << " " << r.received;
        ASSERT_EQ(g.RP1210_ClientDisconnect(id), 0);
    }
}

TEST_F(MessagesTest, RoutingGoesToEveryListeningClientOfTheExactProtocolAndAFullQueueRefusesOnlyItsOwn)
{
    // 1: CAN; 2: another protocol; 3: not receiving; 4: a free slot, which keeps its settings;
    // 5 and 7: room for one message; 6: passes it through a filter on its PGN.
    for (short id = 1; id <= 7; ++id)
        ASSERT_EQ(conn(id == 1 ? "CAN" : "J1939", 0, /*rx*/ id == 6 ? 0 : 20), id);
    g.getCliente(2)->setProtocolo(PROTOCOLO_ISO15765);
    g.getCliente(3)->setMessageReceive(false);
    ASSERT_EQ(g.RP1210_ClientDisconnect(4), 0);
    for (short id : {1, 2, 3, 4, 5, 7})
        slot(id);
    ASSERT_EQ(g.getCliente(6)->addFiltro(ubytes(hex("0100ef00000000"))), 0u);
    QByteArray m = hex("0102030400ef0006ff00aa");  // 11 bytes
    EXPECT_EQ(g.almacenarMsjBuzon(PROTOCOLO_J1850, m), 0u);  // nobody's protocol: dropped
    g.almacenarMsjBuzon(PROTOCOLO_ISO15765_ALT, m);           // a protocol of its own
    EXPECT_EQ(g.almacenarMsjBuzon(PROTOCOLO_J1939, m), 0u);
    // The second fits client 6 only; the answer is that of the last slot.
    EXPECT_EQ(g.almacenarMsjBuzon(PROTOCOLO_J1939, m), quint32(rp1210rc::RX_QUEUE_FULL));
    std::string counts;  // messages queued, "f" when the queue was found full
    for (quint8 id = 1; id <= 7; ++id)
        counts += std::to_string(g.getCliente(id)->receivedCount()) + (g.getCliente(id)->getRX_FULL() ? "f " : " ");
    EXPECT_EQ(counts, "0 0 0 0 1f 2 1f ");
    EXPECT_NE(readNow(7), "0");  // room again for client 7, the last slot served
    EXPECT_EQ(g.almacenarMsjBuzon(PROTOCOLO_J1939, m), 0u);
    EXPECT_EQ(g.getCliente(6)->receivedCount(), 3);
}

TEST_F(MessagesTest, EchoesAreBuiltForEachProtocol)
{
    // Protocol (on a J1939 slot), echo, J1708 and ISO 9141 modes, message after 11223344, extra, result,
    // queued after 1122334401 ("-": nothing).
    const struct { quint8 protocol; bool echo; int mode, iso; const char *message, *extra; quint32 rc; const char* queued; } rows[] = {
        {PROTOCOLO_J1708, true, 1, 1, "0880017f", "", 0, "8001"},
        {PROTOCOLO_J1708, true, 0, 1, "0880017f", "", 0, "80017f"},
        {PROTOCOLO_J1708, true, 1, 1, "00", "", 0, ""},  // a send of nothing
        {PROTOCOLO_J1708, false, 1, 1, "0880017f", "", rp1210rc::ECHO_OFF, "-"},
        {PROTOCOLO_CAT, true, 1, 1, "0180017f", "", 0, "8001"},
        {PROTOCOLO_ISO15765, true, 1, 1, "00000007e0aa", "", 0, "0000000007e0aa"},
        {PROTOCOLO_ISO15765_ALT, true, 1, 1, "00000007e0aa", "", 0, "00000007e0aa"},
        {PROTOCOLO_J1939, true, 1, 1, "00ef0006ff00aa", "bbcc", 0, "00ef0006ff00aa"},
        {PROTOCOLO_ISO9141_1, true, 1, 0, "a0b0c0", "ee01", 0, "a0eec0"},
        {PROTOCOLO_ISO9141_1, true, 1, 0, "a0", "ee", 0, "a0ee"},
        {PROTOCOLO_ISO9141_1, true, 1, 0, "", "ee", 0, "00ee"},
        {PROTOCOLO_ISO9141_1, true, 1, 0, "a0b0c0", "", 0, "a0b0c0"},
        {PROTOCOLO_ISO9141_1, true, 1, 1, "a0b0c0", "ee", 0, "a0b0c0"},
        {PROTOCOLO_ISO9141_2, true, 1, 0, "a0b0c0", "ee", 0, "a0b0c0"},
    };
    for (const auto& r : rows) {
        const short id = connect("J1939");
        Cliente* c = slot(id, r.echo, r.mode, 2);  // filters play no part in echoes
        c->setProtocolo(r.protocol);
        c->setISO9141_KWP200_Mode(quint8(r.iso));
        QByteArray m = hex("11223344") + hex(r.message);
        EXPECT_EQ(g.almacenarMsjconECHO(quint8(id), 1, m, hex(r.extra)), r.rc);
        EXPECT_EQ(m, hex("11223344") + hex(r.message));
        EXPECT_EQ(readNow(id), *r.queued == '-' ? "0" : toHex(hex("1122334401") + hex(r.queued)))
            << int(r.protocol) << " " << r.message;
        c->setProtocolo(PROTOCOLO_J1939);  // the protocol the adapter knows it by
        ASSERT_EQ(g.RP1210_ClientDisconnect(id), 0);
    }
}

// Three senders, a blocked reader per client (1 with its echoes), two clients coming and going.
TEST_F(MessagesTest, EveryMessageReachesEveryReaderExactlyOnceInOrder)
{
    constexpr int kSenders = 3, kReaders = 4, kPer = 300;
    for (short id = 1; id <= kReaders; ++id) {
        ASSERT_EQ(conn("J1939", 0, /*rx*/ 1 << 20), id);
        slot(id, id == 1);
    }
    loopBack();
    // A reader counts, per kind (1: echo) and sender, the sequences seen in order from 0.
    std::vector<std::future<std::vector<int>>> readers;
    for (short id = 1; id <= kReaders; ++id) {
        readers.push_back(std::async(std::launch::async, [this, id] {
            std::vector<int> next(2 * (kSenders + 1), 0);
            const int at = id == 1 ? 5 : 4, total = kSenders * kPer + (id == 1 ? kPer : 0);
            char buf[64];
            for (int got = 0; got < total;) {
                const short n = g.RP1210_ReadMessage(id, buf, sizeof buf, 1);
                if (n != at + 9 || buf[at + 6] < 0 || buf[at + 6] > kSenders)
                    return std::vector<int>{n};  // malformed, or freed by the watchdog
                const size_t k = size_t((at == 5 && buf[4] == 1) * (kSenders + 1) + buf[at + 6]);
                if (buf[at + 6] != 0 && quint8(buf[at + 7]) * 256 + quint8(buf[at + 8]) == next[k]++)
                    ++got;
                else if (buf[at + 6] != 0)
                    return std::vector<int>{-1};  // out of order
            }
            return next;
        }));
    }
    std::atomic<int> sendersLeft{kSenders}, churns{0}, bad{0};
    std::vector<std::thread> threads;
    for (short id = 1; id <= kSenders; ++id) {
        threads.emplace_back([this, &sendersLeft, id] {
            for (int seq = 0; seq < kPer; ++seq) {
                const char msg[9] = {0, char(0xEF), 0, 6, char(id), 0, char(id), char(seq >> 8), char(seq & 0xFF)};
                EXPECT_EQ(g.RP1210_SendMessage(id, msg, sizeof msg, 0, 0), 0);
            }
            --sendersLeft;
        });
    }
    for (const char* p : {"J1939", "J1708"})  // their messages carry sender 0
        threads.emplace_back([&, p] {
            while (sendersLeft > 0 || churns < 40) {
                const short id = connect(p);
                if (id < 5 || id > 6) {
                    ++bad;
                    continue;
                }
                g.getCliente(quint8(id))->setFilterState(1);
                char buf[64];
                g.RP1210_ReadMessage(id, buf, sizeof buf, 0);
                g.RP1210_SendMessage(id, "\x00\xEF\x00\x06\x05\x00\x00\x00\x00", 9, 0, 0);
                bad += g.RP1210_ClientDisconnect(id) != 0;
                ++churns;
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(g.numeroClientesConectados(), kReaders);
    for (auto& r : readers) {
        if (r.wait_for(30s) != std::future_status::ready) {
            ADD_FAILURE() << "a reader still waits";
            for (quint8 id = 1; id <= kReaders; ++id)
                g.getCliente(id)->setPendiente_desconexion(true);
        }
    }
    for (short id = 1; id <= kReaders; ++id) {
        // Traffic of senders 1..3, then echoes: only client 1's, of its own.
        const std::vector<int> expected = {0, kPer, kPer, kPer, 0, id == 1 ? kPer : 0, 0, 0};
        const std::vector<int> next = readers[size_t(id - 1)].get();
        EXPECT_EQ(next, expected) << "client " << id;
    }
}

}  // namespace
