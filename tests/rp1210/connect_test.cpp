// RP1210_ClientConnect and RP1210_ClientDisconnect, checked on the wire of the fake adapter.
#include "wire_rig.h"

#include <time.h>

#include <atomic>
#include <thread>

namespace {

using rp1210rc::HARDWARE_NOT_RESPONDING;
using Frames = std::vector<std::string>;

class ConnectTest : public ::testing::Test, public WireRig {
protected:
    void disconnectAll()
    {
        for (short id = 16; id >= 1; --id)
            if (g.getCliente(quint8(id))->getConectado()) {
                ASSERT_EQ(g.RP1210_ClientDisconnect(id), 0);
            }
    }
};

TEST_F(ConnectTest, SixteenClientsShareOneLinkAndOneConnectOfTheirProtocol)
{
    for (short expected = 1; expected <= 16; ++expected)
        EXPECT_EQ(connect("J1939", 1), expected);
    EXPECT_EQ(connect("J1939", 1), rp1210rc::CLIENT_AREA_FULL);
    EXPECT_EQ(wire(-1), Frames{"04 02 01 10 24 01"});
    EXPECT_EQ(link.initializeCalls(), 1);
    ASSERT_EQ(g.RP1210_ClientDisconnect(5), 0);
    ASSERT_EQ(g.RP1210_ClientDisconnect(3), 0);
    EXPECT_EQ(connect("J1939", 1), 3);  // the lowest free id
    // Later clients share the packetizing mode; only 0 and 1 can match.
    EXPECT_EQ(connect("J1939", 0), rp1210rc::CONNECT_NOT_ALLOWED);
    EXPECT_EQ(connect("J1939", 2), rp1210rc::CONNECT_NOT_ALLOWED);
    EXPECT_EQ(g.numeroClientesConectados(), 15);
}

TEST_F(ConnectTest, LaterClientsJoinAtTheSpeedInUse)
{
    const std::tuple<const char*, const char*, short, int, int> rows[] = {  // rc 1 to 16: the id; speed; connects
        {"J1708", "J1708:Baud=19200", rp1210rc::J1708_BAUD_NONSTANDARD, 0, 1},
        {"J1708", "J1708:Baud=9600", 2, VELOCIDAD_9600, 1},
        {"J1708:Baud=19200", "J1708:Baud=Auto", 2, VELOCIDAD_19200, 1},
        {"KWP2000", "KWP2000:Baud=9600", rp1210rc::CONNECT_NOT_ALLOWED, 0, 1},
        {"CAN:Baud=500", "J1939:Baud=Auto", 2, VELOCIDAD_500000, 2},  // the adapter is asked with it
        {"CAN:Baud=500", "ISO15765:Baud=250", rp1210rc::CAN_SPEED_MISMATCH, 0, 1},
        {"CAN:Baud=500", "J1708", 2, VELOCIDAD_9600, 2},  // not bound to the CAN speed
    };
    for (const auto& [first, later, rc, speed, connects] : rows) {
        SCOPED_TRACE(std::string(first) + " then " + later);
        const int from = mark();
        ASSERT_EQ(connect(first), 1);
        EXPECT_EQ(connect(later), rc);
        EXPECT_EQ(g.numeroClientesConectados(), rc == 2 ? 2 : 1);
        EXPECT_EQ(rc == 2 ? int(g.getCliente(2)->getProtocolSpeed()) : 0, speed);
        EXPECT_EQ(count(2, from), connects);
        if (std::string(later) == "J1939:Baud=Auto") {
            EXPECT_EQ(wire(2, from).back(), "04 02 02 10 25 00");
        }
        disconnectAll();
    }
}

TEST_F(ConnectTest, ConnectAnswerStatesAndSpeed)
{
    const std::tuple<const char*, const char*, short> rows[] = {  // the adapter's answer
        {"0402000026", "J1939", 1},  // ok, with the speed the adapter uses
        {"04020002", "J1708", 1},    // already connected: the client gets its slot
        {"04020004", "J1708", rp1210rc::J1708_BAUD_NONSTANDARD},
        {"04020004", "J1939", rp1210rc::J1939_BAUD_NONSTANDARD},
        {"04020004", "ISO15765", rp1210rc::ISO15765_BAUD_NONSTANDARD},
        {"04020003", "KWP2000", rp1210rc::INVALID_PROTOCOL},
    };
    for (const auto& [answer, protocol, rc] : rows) {
        SCOPED_TRACE(std::string(answer) + " " + protocol);
        reply(2, answer);
        EXPECT_EQ(connect(protocol), rc);
        EXPECT_EQ(g.numeroClientesConectados(), rc == 1 ? 1 : 0);
        EXPECT_EQ(link.initializeCalls() - link.releaseCalls(), rc == 1 ? 1 : 0);  // a failure closed the link
        if (std::string(answer) == "0402000026") {
            EXPECT_EQ(g.getCliente(1)->getProtocolSpeed(), VELOCIDAD_1000000);
        }
        disconnectAll();
    }
}

TEST_F(ConnectTest, UnansweredConnectSleepsThroughItsLimitAndClosesTheLinkItOpened)
{
    silence(2);
    const auto [rc, seconds] = runWhileClockMoves([&] {
        timespec cpu0{}, cpu1{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu0);
        const short r = connect("J1939");
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu1);
        // The waiting thread sleeps between clock moves, it does not poll.
        EXPECT_LT((cpu1.tv_sec - cpu0.tv_sec) * 1e3 + (cpu1.tv_nsec - cpu0.tv_nsec) / 1e6, 20.0);
        return r;
    });
    EXPECT_EQ(rc, HARDWARE_NOT_RESPONDING);
    EXPECT_GE(seconds, 8);
    EXPECT_LE(seconds, 9);
    EXPECT_FALSE(linkOpen());
    answerConnects();
    ASSERT_EQ(connect("J1708"), 1);
    silence(2);
    EXPECT_EQ(runWhileClockMoves([&] { return connect("J1939"); }).first, HARDWARE_NOT_RESPONDING);
    EXPECT_TRUE(linkOpen());  // beside another client
    EXPECT_EQ(link.releaseCalls(), 1);
    answerConnects();
    EXPECT_EQ(connect("J1939"), 2);  // the record tried is free again
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
}

TEST_F(ConnectTest, J1850ConnectInitialisesTheInterfaceEveryTime)
{
    reply(0xF2, "04f200", false);
    ASSERT_EQ(connect("J1850PWM"), 1);
    ASSERT_EQ(connect("J1850PWM"), 2);
    EXPECT_EQ(wire(-1), (Frames{"04 f2 27", "04 02 01 0a 27 00", "04 f2 27"}));
    disconnectAll();
    // Refused or silent, the interface takes no record and sends no connect.
    const int from = mark();
    reply(0xF2, "04f203", false);
    EXPECT_EQ(connect("J1850VPW"), rp1210rc::INVALID_PROTOCOL);
    silence(0xF2);
    const auto [rc, seconds] = runWhileClockMoves([this] { return connect("J1850VPW"); });
    EXPECT_EQ(rc, HARDWARE_NOT_RESPONDING);
    EXPECT_GE(seconds, 7);
    EXPECT_EQ(count(2, from), 0);
    EXPECT_FALSE(linkOpen());
}

TEST_F(ConnectTest, OnlyTheLastClientOfAProtocolDisconnectsFromTheAdapterWhateverItAnswers)
{
    ASSERT_EQ(connect("J1708"), 1);
    ASSERT_EQ(connect("J1708"), 2);
    EXPECT_EQ(g.RP1210_ClientDisconnect(1), 0);
    EXPECT_TRUE(linkOpen());
    EXPECT_EQ(g.RP1210_ClientDisconnect(2), 0);
    EXPECT_EQ(wire(3), Frames{"04 03 02 0f"});
    EXPECT_FALSE(linkOpen());
    // Not connected counts as success; refused or silent: three tries, three seconds each.
    for (auto [answer, rc] : {std::pair{"04030005", 0}, {"04030003", 136}, {"", 142}}) {
        ASSERT_EQ(connect("J1939"), 1);
        const int from = mark();
        *answer ? reply(3, answer) : silence(3);
        const auto [got, seconds] = runWhileClockMoves([this] { return g.RP1210_ClientDisconnect(1); });
        EXPECT_EQ(got, rc) << answer;
        EXPECT_EQ(count(3, from), rc ? 3 : 1) << answer;
        EXPECT_GE(seconds, *answer ? 0 : 9) << answer;
        EXPECT_FALSE(g.getCliente(1)->getConectado());
        EXPECT_FALSE(linkOpen());
    }
}

TEST_F(ConnectTest, FailedTransportEndsOrSkipsTheHandshakeUntilAConnectSucceeds)
{
    ASSERT_EQ(connect("J1939"), 1);
    ASSERT_EQ(connect("J1708"), 2);
    g.set_Error(HARDWARE_NOT_RESPONDING);
    const int from = mark();
    EXPECT_EQ(g.RP1210_ClientDisconnect(1), HARDWARE_NOT_RESPONDING);
    EXPECT_EQ(count(3, from), 0);
    EXPECT_FALSE(g.getCliente(1)->getConectado());
    EXPECT_EQ(connect("J1939"), 1);
    EXPECT_EQ(g.getLinkError(), 0);
    // A write failing during the disconnect wait ends it; the clock never moves.
    link.setFailWrites(true);
    EXPECT_EQ(g.RP1210_ClientDisconnect(1), HARDWARE_NOT_RESPONDING);
    EXPECT_FALSE(g.getCliente(1)->getConectado());
}

TEST_F(ConnectTest, DisconnectOfAnInvalidIdOrAFreeSlotIs129AndSendsNothing)
{
    ASSERT_EQ(connect("J1708"), 1);
    ASSERT_EQ(connect("J1708"), 2);
    ASSERT_EQ(g.RP1210_ClientDisconnect(2), 0);
    const int from = mark();
    for (short id : {0, 17, -1, 2})  // a handshake now would take J1708 from client 1
        EXPECT_EQ(g.RP1210_ClientDisconnect(id), rp1210rc::INVALID_CLIENT_ID) << id;
    EXPECT_EQ(link.frameCount(), from);
    EXPECT_TRUE(g.getCliente(1)->getConectado());
}

TEST_F(ConnectTest, Iso15765DisconnectClearsFlowControlAndAdapterFiltersWhereTheAdapterHoldsThem)
{
    reply(0xEB, "04eb0000000000");
    for (auto [type, version, frames] : {std::tuple{"K", 2, Frames{"04 0a 01", "04 eb 01 11 00 00 00", "04 03 01 11"}},
                                         {"J", 1, Frames{"04 0a 01", "04 03 01 11"}}}) {
        ASSERT_EQ(connectOn(type, version, "ISO15765"), 1);
        const int from = mark();
        EXPECT_EQ(g.RP1210_ClientDisconnect(1), 0);
        EXPECT_EQ(wire(-1, from), frames) << type;
    }
}

TEST_F(ConnectTest, ConcurrentConnectsAndDisconnectsKeepTheTableConsistent)
{
    std::vector<std::thread> threads;
    std::atomic<int> bad{0};
    for (const char* p : {"J1939", "J1708", "CAN", "KWP2000"})
        threads.emplace_back([&, p] {
            for (int i = 0; i < 25; ++i) {
                const short id = connect(p);
                bad += id < 1 || id > 16 || g.RP1210_ClientDisconnect(id) != 0;
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(g.numeroClientesConectados(), 0);
    EXPECT_FALSE(linkOpen());
}

}  // namespace
