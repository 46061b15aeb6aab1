// Client connect and disconnect, checked on the wire of the fake adapter.
#include "thread_probe.h"
#include "wire_rig.h"

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <thread>

namespace {

class ConnectTest : public ::testing::Test, public WireRig {};

TEST_F(ConnectTest, SixteenClientsGetIdsInOrderOverOneLinkAndTheSeventeenthIsRefused)
{
    for (short expected = 1; expected <= 16; ++expected)
        EXPECT_EQ(connect("J1939"), expected);
    EXPECT_EQ(connect("J1939"), rp1210rc::CLIENT_AREA_FULL);
    EXPECT_EQ(g.numeroClientesConectados(), 16);
    // Only the first J1939 client needs the adapter: client, protocol, speed, packetizing.
    EXPECT_EQ(wire(-1), (std::vector<std::string>{"04 02 01 10 24 00"}));
    EXPECT_EQ(link.initializeCalls(), 1);
    EXPECT_TRUE(linkOpen());
    // The lowest free id is reused.
    ASSERT_EQ(g.RP1210_ClientDisconnect(5), 0);
    ASSERT_EQ(g.RP1210_ClientDisconnect(3), 0);
    EXPECT_EQ(connect("J1939"), 3);
    EXPECT_EQ(connect("J1939"), 5);
}

TEST_F(ConnectTest, LaterClientsShareThePacketizingModeAndTheSpeedInUse)
{
    ASSERT_EQ(connect("J1939", 1), 1);
    EXPECT_EQ(connect("J1939", 1), 2);
    EXPECT_EQ(connect("J1939", 0), rp1210rc::CONNECT_NOT_ALLOWED);
    EXPECT_EQ(connect("J1939", 2), rp1210rc::CONNECT_NOT_ALLOWED);  // only 0 and 1 can match
    EXPECT_EQ(wire(2), (std::vector<std::string>{"04 02 01 10 24 01"}));
    ASSERT_EQ(g.RP1210_ClientDisconnect(2), 0);
    ASSERT_EQ(g.RP1210_ClientDisconnect(1), 0);

    // A later client joins without a frame, so only the speed in use can be its speed.
    struct Row {
        const char* first;
        const char* later;
        short rc;  // 1 to 16: the id it gets
        int speed;
        int frames;  // connect requests of the two
    };
    const Row rows[] = {
        {"J1708", "J1708:Baud=19200", rp1210rc::J1708_BAUD_NONSTANDARD, 0, 1},
        {"J1708", "J1708:Baud=9600", 2, VELOCIDAD_9600, 1},
        {"J1708:Baud=19200", "J1708:Baud=Auto", 2, VELOCIDAD_19200, 1},
        {"J1708:Baud=19200", "J1708", rp1210rc::J1708_BAUD_NONSTANDARD, 0, 1},
        {"KWP2000", "KWP2000:Baud=9600", rp1210rc::CONNECT_NOT_ALLOWED, 0, 1},
        {"KWP2000:Baud=9600", "KWP2000:Baud=Auto", 2, VELOCIDAD_9600, 1},
        {"CAN:Baud=500", "J1939:Baud=Auto", 2, VELOCIDAD_500000, 2},  // the adapter is asked with it
        {"CAN:Baud=500", "CAN:Baud=Auto", 2, VELOCIDAD_500000, 1},
        {"CAN:Baud=500", "CAN:Baud=250", rp1210rc::CAN_SPEED_MISMATCH, 0, 1},
        {"CAN:Baud=500", "ISO15765:Baud=250", rp1210rc::CAN_SPEED_MISMATCH, 0, 1},
        {"CAN:Baud=500", "J1708", 2, VELOCIDAD_9600, 2},  // not bound to the CAN speed
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.first) + " then " + r.later);
        const int from = mark();
        ASSERT_EQ(connect(r.first), 1);
        EXPECT_EQ(connect(r.later), r.rc);
        const bool joined = r.rc <= GestorRP1210::kMaxClients;
        if (joined) {
            EXPECT_EQ(g.getCliente(quint8(r.rc))->getProtocolSpeed(), r.speed);
        }
        EXPECT_EQ(g.numeroClientesConectados(), joined ? 2 : 1);
        EXPECT_EQ(count(2, from), r.frames);
        if (std::string(r.later) == "J1939:Baud=Auto") {
            EXPECT_EQ(wire(2, from).back(), "04 02 02 10 25 00");
        }
        for (short id = 2; id >= 1; --id)
            if (g.getCliente(quint8(id))->getConectado()) {
                ASSERT_EQ(g.RP1210_ClientDisconnect(id), 0);
            }
    }
}

TEST_F(ConnectTest, ConnectAnswerStatesAndSpeed)
{
    struct Row {
        const char* answer;  // the adapter's answer, byte 2 its client
        const char* connectString;
        short rc;
    };
    const Row rows[] = {
        {"0402000026", "J1939", 1},  // ok, with the speed the adapter uses
        {"04020002", "J1708", 1},    // already connected: the client gets its slot
        {"04020004", "J1708", rp1210rc::J1708_BAUD_NONSTANDARD},
        {"04020004", "J1939", rp1210rc::J1939_BAUD_NONSTANDARD},
        {"04020004", "ISO15765", rp1210rc::ISO15765_BAUD_NONSTANDARD},
        {"04020003", "KWP2000", rp1210rc::INVALID_PROTOCOL},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.answer + std::string(" ") + r.connectString);
        reply(2, r.answer);
        EXPECT_EQ(connect(r.connectString), r.rc);
        EXPECT_EQ(linkOpen(), r.rc == 1);
        // Every failed first connect closed the link it had opened.
        EXPECT_EQ(link.initializeCalls() - link.releaseCalls(), r.rc == 1 ? 1 : 0);
        if (r.rc == 1) {
            if (std::string(r.connectString) == "J1939") {
                EXPECT_EQ(g.getCliente(1)->getProtocolSpeed(), VELOCIDAD_1000000);
            }
            ASSERT_EQ(g.RP1210_ClientDisconnect(1), 0);
        }
    }
    EXPECT_EQ(g.numeroClientesConectados(), 0);
}

TEST_F(ConnectTest, UnansweredConnectSleepsThroughItsLimitAndClosesTheLink)
{
    silence(2);
    std::atomic<long> tid{0};
    const auto [rc, seconds] = runWhileClockMoves([&] {
        tid = currentThreadTid();
        timespec cpu0{}, cpu1{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu0);
        const short r = connect("J1939");
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu1);
        // The waiting thread sleeps between clock moves, it does not poll.
        EXPECT_LT((cpu1.tv_sec - cpu0.tv_sec) * 1e3 + (cpu1.tv_nsec - cpu0.tv_nsec) / 1e6, 20.0);
        return r;
    });
    EXPECT_EQ(rc, rp1210rc::HARDWARE_NOT_RESPONDING);
    EXPECT_GE(seconds, 8);
    EXPECT_LE(seconds, 9);
    EXPECT_FALSE(g.getCliente(1)->getConectado());
    EXPECT_FALSE(g.getCliente(1)->getPendienteConexion());
    EXPECT_FALSE(linkOpen());
    EXPECT_EQ(link.releaseCalls(), 1);

    // Beside another client the link stays open and the record tried is free again.
    answerConnects();
    ASSERT_EQ(connect("J1708"), 1);
    silence(2);
    EXPECT_EQ(runWhileClockMoves([&] { return connect("J1939"); }).first, rp1210rc::HARDWARE_NOT_RESPONDING);
    EXPECT_TRUE(linkOpen());
    EXPECT_EQ(link.releaseCalls(), 1);
    answerConnects();
    EXPECT_EQ(connect("J1939"), 2);
}

TEST_F(ConnectTest, RefusalsBeforeTheAdapterIsAsked)
{
    EXPECT_EQ(connect("j1939"), rp1210rc::INVALID_PROTOCOL);
    EXPECT_EQ(connect(nullptr), rp1210rc::INVALID_PROTOCOL);
    EXPECT_EQ(link.initializeCalls(), 0);
    link.setInitializeResult(503);
    EXPECT_EQ(connect("J1939"), 503);
    EXPECT_EQ(link.frameCount(), 0);
    EXPECT_FALSE(linkOpen());
    link.setInitializeResult(0);

    ASSERT_EQ(connect("J1708"), 1);
    g.setConnectionsDisallowed(true);
    EXPECT_EQ(connect("J1939"), rp1210rc::CONNECTIONS_DISALLOWED);
    ASSERT_EQ(g.RP1210_ClientDisconnect(1), 0);
    EXPECT_FALSE(g.getConnectionsDisallowed());
    EXPECT_EQ(connect("J1939"), 1);
    EXPECT_EQ(g.numeroClientesConectados(), 1);
}

TEST_F(ConnectTest, J1850ConnectInitialisesTheInterfaceEveryTime)
{
    reply(0xF2, "04f200", false);
    ASSERT_EQ(connect("J1850PWM"), 1);
    ASSERT_EQ(connect("J1850PWM"), 2);
    EXPECT_EQ(wire(0xF2), (std::vector<std::string>{"04 f2 27", "04 f2 27"}));
    EXPECT_EQ(count(2), 1);
    ASSERT_EQ(g.RP1210_ClientDisconnect(1), 0);
    ASSERT_EQ(g.RP1210_ClientDisconnect(2), 0);

    // Refused or silent, the interface takes no record and sends no connect.
    const int from = mark();
    reply(0xF2, "04f203", false);
    EXPECT_EQ(connect("J1850VPW"), rp1210rc::INVALID_PROTOCOL);
    silence(0xF2);
    const auto [rc, seconds] = runWhileClockMoves([this] { return connect("J1850VPW"); });
    EXPECT_EQ(rc, rp1210rc::HARDWARE_NOT_RESPONDING);
    EXPECT_GE(seconds, 7);
    EXPECT_EQ(count(2, from), 0);
    EXPECT_FALSE(linkOpen());
}

TEST_F(ConnectTest, DisconnectOfTheLastClientOfAProtocolAsksTheAdapter)
{
    ASSERT_EQ(connect("J1708"), 1);
    ASSERT_EQ(connect("J1708"), 2);
    EXPECT_EQ(g.RP1210_ClientDisconnect(1), 0);
    EXPECT_EQ(count(3), 0);
    EXPECT_TRUE(linkOpen());
    EXPECT_EQ(g.RP1210_ClientDisconnect(2), 0);
    EXPECT_EQ(wire(3), (std::vector<std::string>{"04 03 02 0f"}));
    EXPECT_FALSE(linkOpen());
}

TEST_F(ConnectTest, DisconnectAnswers)
{
    struct Row {
        const char* answer;  // null: silent
        short rc;
        int frames;
    };
    const Row rows[] = {
        {"04030005", 0, 1},                                 // not connected counts as success
        {"04030003", rp1210rc::INVALID_PROTOCOL, 3},       // refused: tried three times
        {nullptr, rp1210rc::HARDWARE_NOT_RESPONDING, 3},  // three waits of three seconds
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.answer ? r.answer : "silent");
        ASSERT_EQ(connect("J1939"), 1);
        const int from = mark();
        if (r.answer)
            reply(3, r.answer);
        else
            silence(3);
        const auto [rc, seconds] = runWhileClockMoves([this] { return g.RP1210_ClientDisconnect(1); });
        EXPECT_EQ(rc, r.rc);
        EXPECT_EQ(count(3, from), r.frames);
        if (!r.answer) {
            EXPECT_GE(seconds, 9);
        }
        // The record is freed whatever the answer.
        EXPECT_FALSE(g.getCliente(1)->getConectado());
        EXPECT_FALSE(g.getCliente(1)->getPendiente_desconexion());
        EXPECT_FALSE(linkOpen());
    }
}

TEST_F(ConnectTest, FailedTransportEndsOrSkipsTheHandshakeUntilAConnectSucceeds)
{
    ASSERT_EQ(connect("J1939"), 1);
    ASSERT_EQ(connect("J1708"), 2);
    g.set_Error(rp1210rc::HARDWARE_NOT_RESPONDING);
    const int from = mark();
    EXPECT_EQ(g.RP1210_ClientDisconnect(1), rp1210rc::HARDWARE_NOT_RESPONDING);
    EXPECT_EQ(count(3, from), 0);
    EXPECT_FALSE(g.getCliente(1)->getConectado());
    // A successful connect handshake clears the link error.
    EXPECT_EQ(connect("J1939"), 1);
    EXPECT_EQ(g.getLinkError(), 0);

    // A write failing during the disconnect wait ends it; the clock never moves.
    link.setFailWrites(true);
    EXPECT_EQ(g.RP1210_ClientDisconnect(1), rp1210rc::HARDWARE_NOT_RESPONDING);
    EXPECT_FALSE(g.getCliente(1)->getConectado());
}

TEST_F(ConnectTest, DisconnectOfAnInvalidIdOrAFreeSlotIs129AndSendsNothing)
{
    ASSERT_EQ(connect("J1708"), 1);
    ASSERT_EQ(connect("J1708"), 2);
    ASSERT_EQ(g.RP1210_ClientDisconnect(2), 0);
    const int from = mark();
    // Client 1 still holds J1708: a handshake now would take it from under it.
    for (short id : {0, 17, -1, 2, 5})
        EXPECT_EQ(g.RP1210_ClientDisconnect(id), rp1210rc::INVALID_CLIENT_ID) << id;
    EXPECT_EQ(link.frameCount(), from);
    EXPECT_TRUE(g.getCliente(1)->getConectado());
    EXPECT_TRUE(linkOpen());
}

TEST_F(ConnectTest, Iso15765DisconnectClearsFlowControlAndAdapterFilters)
{
    reply(0xEB, "04eb0000000000");
    ASSERT_EQ(connectOn("K", 2, "ISO15765"), 1);  // a generation that holds ISO 15765 filters
    int from = mark();
    EXPECT_EQ(g.RP1210_ClientDisconnect(1), 0);
    EXPECT_EQ(wire(-1, from), (std::vector<std::string>{"04 0a 01", "04 eb 01 11 00 00 00", "04 03 01 11"}));

    link.setInterface("J", 1);
    ASSERT_EQ(connect("ISO15765"), 1);
    from = mark();
    EXPECT_EQ(g.RP1210_ClientDisconnect(1), 0);
    EXPECT_EQ(wire(-1, from), (std::vector<std::string>{"04 0a 01", "04 03 01 11"}));
}

TEST_F(ConnectTest, ConcurrentConnectsAndDisconnectsKeepTheTableConsistent)
{
    std::vector<std::thread> threads;
    std::atomic<int> bad{0};
    for (const char* p : {"J1939", "J1708", "CAN", "KWP2000"}) {
        threads.emplace_back([&, p] {
            for (int i = 0; i < 25; ++i) {
                const short id = connect(p);
                if (id < 1 || id > 16 || g.RP1210_ClientDisconnect(id) != 0)
                    ++bad;
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(g.numeroClientesConectados(), 0);
    EXPECT_FALSE(linkOpen());
}

}  // namespace
