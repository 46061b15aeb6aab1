// Periodic broadcasts over the real link stack: handlers, id list, scheduler, repetition echoes.
#include "wire_rig.h"

#include <QRegularExpression>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

// Client 1 connects for real, which opens the link; the others are set up in place.
struct BroadcastTest : ::testing::Test, WireRig {
    BroadcastTest()
    {
        io.setClock(&clock);
        clock.onMove([this] { g.wakeWaiters(), io.wakeSendThread(); });
        EXPECT_EQ(connect("CAN"), 1);
        // The test's ticks are then the only ones (two tickers would interleave their
        // records); frames go out by hand. The send-thread test starts it again.
        io.pararHiloEnvio();
    }

    Cliente* client(quint8 id, quint8 protocolo, bool echo = false)
    {
        Cliente* c = g.getCliente(id);
        c->setProtocolo(protocolo);
        c->setConectado(true);
        c->setEchoMode(echo);
        return c;
    }
    // Command `which` (0: the map handler, 1: the link handler, else the API command of
    // that number) on a heap buffer of exactly the bytes: "code: buffer afterwards".
    std::string run(int which, quint8 id, const QByteArray& bytes)
    {
        std::vector<char> buf = exactCopy(bytes);
        char* data = buf.empty() ? nullptr : buf.data();
        const short size = short(buf.size());
        const int rc = which == 0   ? g.Cmd_Set_Broadcast_Msg(g.getCliente(id), data, size)
                       : which == 1 ? g.broadcast_Link(g.getCliente(id), data, size)
                                    : g.RP1210_SendCommand(short(which), id, data, size);
        return std::to_string(rc) + ": " + toHex(QByteArray(data, int(buf.size())));
    }
    std::string set(quint8 id, const char* h) { return run(0, id, hex(h)); }
    std::string lnk(quint8 id, const char* h) { return run(1, id, hex(h)); }
    static std::string first(const std::string& r) { return r.substr(0, r.find(':') + 4); }  // code and byte 0
    int echo(quint8 flag, quint8 protocolo, const char* extra = "")
    {
        QByteArray ts = hex("0a0b0c0d");
        return int(g.almacenarMsjconECHOBroadcastLink(flag, ts, protocolo, hex(extra)));
    }
    // The send frames written since `from`: client byte (echo flag high), protocol, message.
    Strings sent(int from = 0)
    {
        settle();
        Strings v;
        for (const QByteArray& f : link.frames().mid(from))
            if (f.size() > 6 && f[1] == SERV_ENVIAR_MENSAJE)
                v.push_back(toHex(f.mid(2, 2) + f.mid(7)));
        return v;
    }
    void tickAt(quint32 ms)
    {
        clock.advanceMillis(ms - clock.processMillis());
        g.sendBroadcastMsg();
    }
    std::string readNow(quint8 id)
    {
        char buf[256];
        const qint16 n = g.getCliente(id)->GetMsjToRead(buf, sizeof buf, 0);
        return n > 0 ? toHex(QByteArray(buf, n)) : "";
    }
};
// A send frame of client `id` of CAN, as sent() shows it.
std::string can(int id, int echo, const char* data)
{
    return toHex(QByteArray(1, char(id | echo << 4)) + char(PROTOCOLO_CAN) + hex(data));
}

TEST_F(BroadcastTest, LibraryRepetitionFunctions)
{
    client(1, PROTOCOLO_CAN);
    EXPECT_EQ(run(22, 1, hex("016400030018ef00")), "0: 00 64 00 03 00 18 ef 00");  // key 0
    EXPECT_EQ(set(1, "0200000000000000"), "0: 00 00 64 00 03 18 ef 00");  // view: key in byte 2, record from byte 1
    // Count, view of a key not in use, no function, remove a key not in use, remove key 0, count.
    const Strings answers = {set(1, "05"), first(set(1, "020007")), set(1, "00"), set(1, "06"), set(1, "ff"),
                             set(1, "0407"), set(1, "0400"), set(1, "05")};
    EXPECT_EQ(answers, (Strings{"0: 01", "0: 01", "0: 00", "0: 00", "0: 00", "0: 01 07", "0: 00 00", "0: 00"}));

    // Sixteen keys; a seventeenth add is refused, and a freed key is reused.
    client(2, PROTOCOLO_J1939);
    for (int key = 0; key < 16; ++key)
        ASSERT_EQ(first(set(2, "0132000200aabb")), "0: " + toHex(QByteArray(1, char(key))));
    EXPECT_EQ(first(set(2, "0132000200aabb")), "0: ff");
    EXPECT_EQ(set(2, "0403"), "0: 00 03");
    EXPECT_EQ(first(set(2, "0132000200aabb")), "0: 03");
    EXPECT_EQ(set(2, "05"), "0: 10");
    // The J1708 command stores the record with its checksum.
    client(3, PROTOCOLO_J1708);
    EXPECT_EQ(first(run(20, 3, hex("0164000300088001"))), "0: 00");
    EXPECT_EQ(set(3, "020000000000000000"), "0: 00 00 64 00 04 08 80 01 7f");
}

// Nothing is read or written past `size`: short commands get 144 and change nothing.
TEST_F(BroadcastTest, ShortCommandsAreRefusedWithoutTouchingAnything)
{
    client(1, PROTOCOLO_CAN);
    ASSERT_EQ(first(lnk(1, "016400030018ef00")), "0: 00");  // the link record
    ASSERT_EQ(first(set(1, "016400030018ef00")), "0: 00");  // map key 0
    const int from = mark();
    // Map then link handler: no bytes, fewer message bytes than declared, no key, a view one byte short.
    for (const char* in : {"", "0164000300 18ef", "0200", "02000000000000", "04"})
        EXPECT_EQ(set(1, in), "144: " + toHex(hex(in))) << in;
    for (const char* in : {"", "016400ffff 0102", "02000000000000", "04"})
        EXPECT_EQ(lnk(1, in), "144: " + toHex(hex(in))) << in;
    EXPECT_EQ(count(-1, from), 0);
    EXPECT_EQ(g.getCliente(1)->broadcastMsgListSize(), 1);
    EXPECT_EQ(g.getCliente(1)->broadcastMsgListSize_Link(), 2);  // the link record and key 0
}

TEST_F(BroadcastTest, RemoveAllEmptiesOnlyThisClientAndLeavesTheIdList)
{
    for (quint8 id : {2, 1})  // client 2 enters the id list first, so its records go out first
        client(id, PROTOCOLO_CAN);
    for (const char* r : {"20164000100b0", "20164000100b1", "10164000100a0"})
        set(quint8(r[0] - '0'), r + 1);
    tickAt(101);
    EXPECT_EQ(sent(), (Strings{can(2, 0, "b0"), can(2, 0, "b1"), can(1, 0, "a0")}));
    EXPECT_EQ(set(2, "03"), "0: 02");
    EXPECT_EQ(set(2, "05"), "0: 00");
    set(2, "016400010002");  // back with a new record, client 2 now comes after client 1
    const int from = mark();
    tickAt(300);
    EXPECT_EQ(sent(from), (Strings{can(1, 0, "a0"), can(2, 0, "02")}));
}

TEST_F(BroadcastTest, AdapterRepetitionRecordsAndRemovals)
{
    client(1, PROTOCOLO_CAN);
    EXPECT_EQ(first(run(21, 1, hex("016400030018ef00"))), "0: 00");
    EXPECT_EQ(first(lnk(1, "01c8000200aabb")), "0: 01");
    // Every record goes to the adapter, the first as the link record (slot 0).
    const std::string head = toHex(hex("04fe01") + char(PROTOCOLO_CAN));
    EXPECT_EQ(wire(SERV_SET_BROADCAST_LINK), (Strings{head + " 00 64 00 03 18 ef 00", head + " 00 c8 00 02 aa bb"}));
    EXPECT_EQ(lnk(1, "05"), "0: 02");
    EXPECT_EQ(lnk(1, "0200000000000000"), "0: 00 00 64 00 03 18 ef 00");
    EXPECT_EQ(lnk(1, "02000100000000"), "0: 00 00 c8 00 02 aa bb");
    tickAt(201);  // the library repeats the map record (key 1), not the link record
    EXPECT_EQ(sent(), Strings{can(1, 0, "aa bb")});
    // Keys 2..14 fill the map; a refused record does not reach the adapter either.
    for (int key = 2; key <= 14; ++key)
        ASSERT_EQ(first(lnk(1, "01c8000100aa")), "0: " + toHex(QByteArray(1, char(key))));
    EXPECT_EQ(first(lnk(1, "01c8000100aa")), "0: ff");
    EXPECT_EQ(count(SERV_SET_BROADCAST_LINK), 15);

    // Key 0 clears the adapter's record even when the library holds none.
    client(2, PROTOCOLO_ISO9141_1);
    EXPECT_EQ(lnk(2, "0400"), "0: 00 00");
    EXPECT_EQ(wire(SERV_CLEAR_BROADCAST_LINK), Strings{toHex(hex("04ff02") + char(PROTOCOLO_ISO9141_1))});
    for (const char* r : {"016400010001", "016400010002", "016400010003"})  // link record, keys 1, 2
        lnk(2, r);
    EXPECT_EQ(first(lnk(2, "0402")), "0: 00");
    EXPECT_EQ(first(lnk(2, "0402")), "0: 01");
    EXPECT_EQ(count(SERV_CLEAR_BROADCAST_LINK), 1);
    EXPECT_EQ(lnk(2, "03"), "0: 01");  // one map record; the link record goes too
    EXPECT_EQ(count(SERV_CLEAR_BROADCAST_LINK), 2);
    EXPECT_EQ(lnk(2, "05"), "0: 00");
    EXPECT_EQ(first(lnk(2, "016400010009")), "0: 00");  // a new link record
}

TEST_F(BroadcastTest, AdapterRepetitionIsRefusedForClientSixteen)
{
    // The link frames name the client in a nibble: client 16 would be sent as client 0.
    client(15, PROTOCOLO_CAN);
    client(16, PROTOCOLO_CAN);
    const int from = mark();
    for (int number : {21, 41, 42})
        for (const char* in : {"0164000100aa", "020000000000", "03", "0400", "05"})
            EXPECT_EQ(run(number, 16, hex(in)), "602: " + toHex(hex(in))) << number << " " << in;
    EXPECT_FALSE(g.getCliente(16)->brodCastMSGLinkState_Link());
    EXPECT_EQ(count(-1, from), 0);
    EXPECT_EQ(first(run(21, 15, hex("0164000100aa"))), "0: 00");
    EXPECT_EQ(count(SERV_SET_BROADCAST_LINK, from), 1);
    EXPECT_EQ(first(run(22, 16, hex("0164000100aa"))), "0: 00");  // library repetition still serves 16
}

TEST_F(BroadcastTest, EchoOfAnAdapterRepetition)
{
    // Protocol, J1708 mode, ISO 9141 mode, echo, link record message, extra, queued after 0a0b0c0d01.
    const struct { quint8 protocolo, j1708Mode, isoMode; bool echo; const char *message, *extra, *queued; } rows[] = {
        {PROTOCOLO_CAN, 1, 1, true, "18ef00", "", "18ef00"},
        {PROTOCOLO_ISO15765, 1, 1, true, "000007e001", "", "00000007e001"},  // leading byte
        {PROTOCOLO_J1708, 1, 1, true, "088001", "", "80"},                     // checksum and priority go
        {PROTOCOLO_ISO9141_1, 1, 0, true, "aa", "5566", "aa55"},
        {PROTOCOLO_ISO9141_1, 1, 0, true, "aabbcc", "", "aa00cc"},
        {PROTOCOLO_ISO9141_1, 1, 1, true, "aabbcc", "55", "aabbcc"},
        {PROTOCOLO_CAN, 1, 1, false, "18ef00", "", nullptr},
    };
    for (const auto& r : rows) {
        Cliente* c = client(1, r.protocolo);
        c->valoresPorDefecto();
        c->setConectado(true);
        c->setEchoMode(r.echo);
        c->setJ1708Mode(r.j1708Mode);
        c->setISO9141_KWP200_Mode(r.isoMode);
        const QByteArray m = hex(r.message);
        ASSERT_EQ(first(run(1, 1, hex("016400") + char(m.size()) + char(0) + m)), "0: 00");
        EXPECT_EQ(echo(1, r.protocolo, r.extra), 0) << r.message;
        EXPECT_EQ(readNow(1), r.queued ? toHex(hex("0a0b0c0d01") + hex(r.queued)) : "") << r.message;
    }
}

TEST_F(BroadcastTest, EchoGoesToTheFirstListeningLinkClientOfTheProtocolOnly)
{
    EXPECT_EQ(echo(1, PROTOCOLO_CAN), 129);  // nobody of the protocol holds a link record
    for (quint8 id = 1; id <= 3; ++id)
        client(id, PROTOCOLO_CAN, true);
    Cliente* c = g.getCliente(2);
    lnk(2, "016400010002");
    EXPECT_EQ(echo(1, PROTOCOLO_J1939), 129);
    EXPECT_EQ(echo(2, PROTOCOLO_CAN), 2);  // another flag is handed back
    c->setMessageReceive(false);
    EXPECT_EQ(echo(1, PROTOCOLO_CAN), 148);
    c->setMessageReceive(true);
    c->setConectado(false);
    EXPECT_EQ(echo(1, PROTOCOLO_CAN), 148);
    c->setConectado(true);
    lnk(3, "016400010003");
    EXPECT_EQ(echo(1, PROTOCOLO_CAN), 0);
    EXPECT_EQ(readNow(2), "0a 0b 0c 0d 01 02");
    EXPECT_EQ(g.getCliente(1)->receivedCount() + c->receivedCount() + g.getCliente(3)->receivedCount(), 0);
    // A send answer with counter 0 reports a repetition; a counter of the library's own frame does not.
    for (const char* answer : {"0404020007 0a0b0c0d 0000", "0404020000 0a0b0c0d 0000"})
        link.deliver(hex(answer));
    // The receive thread dispatches in order: once the second answer's echo is queued,
    // the first answer has been handled too.
    ASSERT_TRUE(waitUntil([&] { return c->receivedCount() > 0; }));
    EXPECT_EQ(readNow(2), "0a 0b 0c 0d 01 02");
    EXPECT_EQ(c->receivedCount(), 0);
}

// When a record is due is checked in tests/client/broadcast_msg_test.cpp.
TEST_F(BroadcastTest, TickHandsDueRecordsOfConnectedClientsOnly)
{
    Cliente* c = client(1, PROTOCOLO_CAN, true);
    set(1, "016400030018ef00");
    tickAt(101);
    EXPECT_EQ(sent(), Strings{can(1, 1, "18 ef 00")});
    set(1, "017800010077");  // key 1, 120 ms: due at 160, not at once
    set(1, "0400");
    tickAt(160);
    EXPECT_EQ(sent(), (Strings{can(1, 1, "18 ef 00"), can(1, 1, "77")}));
    // Disconnected and disconnecting clients are skipped.
    c->setConectado(false);
    tickAt(300);
    c->setConectado(true);
    c->setPendiente_desconexion(true);
    tickAt(400);
    EXPECT_EQ(sent().size(), 2u);
    c->setPendiente_desconexion(false);
    tickAt(500);
    EXPECT_EQ(sent().size(), 3u);
}

// Commands, scheduler tick and repetition echoes on three threads; the state stays consistent.
TEST_F(BroadcastTest, CommandsTickAndEchoRunTogether)
{
    for (quint8 id = 1; id <= 4; ++id)
        client(id, PROTOCOLO_CAN, id % 2 == 0);
    std::atomic<bool> done{false};
    std::thread ticker([&] {
        for (int i = 0; i < 4000 && !done; ++i) {
            clock.advanceMillis(1);
            g.sendBroadcastMsg();
        }
    });
    std::thread receiver([&] {
        for (int i = 0; i < 4000 && !done; ++i) {
            echo(1, PROTOCOLO_CAN);
            g.getCliente(quint8(2 + i % 2 * 2))->deleteMsjRecibido();
        }
    });
    // Every so many rounds a removal: the handler, then the command.
    const std::pair<int, const char*> removals[] = {{3, "00400"}, {5, "10400"}, {11, "003"}, {13, "103"}};
    for (int i = 0; i < 2000; ++i) {
        const quint8 id = quint8(1 + i % 4);
        for (const char* command : {"00114000200aabb", "10114000200ccdd", "00200000000000000"})
            run(command[0] - '0', id, hex(command + 1));
        for (const auto& [every, command] : removals)
            if (i % every == 0)
                run(command[0] - '0', id, hex(command + 1));
    }
    done = true;
    ticker.join();
    receiver.join();
    for (const std::string& s : sent())
        EXPECT_TRUE(QRegularExpression("^[01][1-4] [0-9a-f]{2} (aa bb|cc dd)$").match(QString::fromStdString(s)).hasMatch()) << s;
    // Emptied through the handlers, every client leaves the id list: nothing more goes out.
    for (quint8 id = 1; id <= 4; ++id) {
        set(id, "03");
        lnk(id, "03");
    }
    const int from = mark();
    tickAt(clock.processMillis() + 1000);
    EXPECT_EQ(sent(from).size(), 0u);
}

// The send thread sleeps until the next record is due on the manager's clock; a new one wakes it.
TEST_F(BroadcastTest, SendThreadSleepsUntilTheNextDueRecordAndWakesForANewOne)
{
    io.ArrancarHiloEnvio(VCI_A, 0);
    clock.advanceMillis(1000);
    auto add = [&](const char* h) { return run(22, 1, hex(h)); };
    ASSERT_EQ(first(add("018813010055")), "0: 00");  // 5000 ms: not due before 5001
    ASSERT_EQ(first(add("016400010077")), "0: 01");  // 100 ms, last sent at 0: due now
    ASSERT_TRUE(waitUntil([&] { return sent().size() == 1; }));
    EXPECT_EQ(sent(), Strings{can(1, 0, "77")});
    // Nothing is due while the clock stands: the loop does not turn (an observation window).
    const quint64 passes = io.sendLoopPasses();
    std::this_thread::sleep_for(50ms);
    EXPECT_LE(io.sendLoopPasses() - passes, 1u);
    const quint64 asleep = io.sendLoopPasses();
    clock.advanceMillis(100);  // 100 ms after the last: not more than the interval
    ASSERT_TRUE(waitUntil([&] { return io.sendLoopPasses() > asleep; }, 2000ms));
    EXPECT_EQ(sent().size(), 1u);
    clock.advanceMillis(1);
    EXPECT_TRUE(waitUntil([&] { return sent().size() == 2; }));
}

}  // namespace
