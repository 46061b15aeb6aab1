// RP1210_ClientConnect and RP1210_ClientDisconnect, checked on the wire of the fake adapter.
#include "thread_probe.h"
#include "wire_rig.h"

#include <vector>

namespace {

using namespace rp1210rc;
using Frames = std::vector<std::string>;

class ConnectTest : public ::testing::Test, public WireRig {};

TEST_F(ConnectTest, SixteenClientsShareOneLinkAndOneConnectOfTheirProtocolAndItsPacketizing)
{
    // Refused before the adapter is asked: a bad protocol, or a link that fails to open.
    EXPECT_EQ(connect("j1939"), INVALID_PROTOCOL);
    EXPECT_EQ(connect(nullptr), INVALID_PROTOCOL);
    EXPECT_EQ(link.initializeCalls(), 0);
    link.setInitializeResult(503);
    EXPECT_EQ(connect("J1939"), 503);
    EXPECT_FALSE(linkOpen());
    link.setInitializeResult(0);
    for (short expected = 1; expected <= 16; ++expected)
        EXPECT_EQ(connect("J1939", 1), expected);
    EXPECT_EQ(connect("J1939", 1), CLIENT_AREA_FULL);
    EXPECT_EQ(wire(-1), Frames{"04 02 01 10 24 01"});
    EXPECT_EQ(link.initializeCalls(), 2);
    ASSERT_EQ(g.RP1210_ClientDisconnect(5), 0);
    ASSERT_EQ(g.RP1210_ClientDisconnect(3), 0);
    EXPECT_EQ(connect("J1939", 1), 3);  // the lowest free id
    EXPECT_EQ(connect("J1939", 0), CONNECT_NOT_ALLOWED);
    EXPECT_EQ(connect("J1939", 2), CONNECT_NOT_ALLOWED);  // only 0 and 1 can match
}

TEST_F(ConnectTest, LaterClientsJoinAtTheSpeedInUse)
{
    const std::tuple<const char*, const char*, short, int, const char*> rows[] = {  // then id 2's speed, new connect
        {"J1708", "J1708:Baud=19200", J1708_BAUD_NONSTANDARD, 0, nullptr},
        {"J1708:Baud=19200", "J1708:Baud=Auto", 2, VELOCIDAD_19200, nullptr},
        {"KWP2000", "KWP2000:Baud=9600", CONNECT_NOT_ALLOWED, 0, nullptr},
        {"CAN:Baud=500", "J1939:Baud=Auto", 2, VELOCIDAD_500000, "04 02 02 10 25 00"},
        {"CAN:Baud=500", "ISO15765:Baud=250", CAN_SPEED_MISMATCH, 0, nullptr},
        {"CAN:Baud=500", "J1708", 2, VELOCIDAD_9600, "04 02 02 0f 0c 00"},  // not bound to the CAN speed
    };
    for (const auto& [first, later, rc, speed, frame] : rows) {
        ASSERT_EQ(connect(first), 1);
        const int from = mark();
        EXPECT_EQ(connect(later), rc) << later;
        EXPECT_EQ(rc == 2 ? int(g.getCliente(2)->getProtocolSpeed()) : 0, speed) << later;
        EXPECT_EQ(wire(2, from), frame ? Frames{frame} : Frames{}) << later;
        for (short id : {2, 1})
            g.RP1210_ClientDisconnect(id);
    }
}

TEST_F(ConnectTest, UnansweredConnectSleepsThroughItsLimitAndClosesTheLinkItOpened)
{
    silence(2);
    const auto [rc, seconds] = runWhileClockMoves([&] {
        const double cpu0 = threadCpuMs();
        const short r = connect("J1939");
        EXPECT_LT(threadCpuMs() - cpu0, 20.0) << "the waiting thread polls instead of sleeping";
        return r;
    });
    EXPECT_EQ(rc, HARDWARE_NOT_RESPONDING);
    EXPECT_TRUE(seconds >= 8 && seconds < 8 + 60) << seconds;  // the clock moves on while a loaded machine delays the return
    EXPECT_EQ(std::make_pair(linkOpen(), link.releaseCalls()), std::make_pair(false, 1));
    onService(2, [](const QByteArray& w) { return QList<QByteArray>{hex("0402") + w[2] + char(0) + w[4]}; });  // ok
    ASSERT_EQ(connect("J1708"), 1);
    silence(2);
    EXPECT_EQ(runWhileClockMoves([&] { return connect("J1939"); }).first, HARDWARE_NOT_RESPONDING);
    EXPECT_EQ(std::make_pair(linkOpen(), link.releaseCalls()), std::make_pair(true, 1));  // beside another client
    reply(2, "0402000026");  // ok, at the speed the adapter uses
    EXPECT_EQ(connect("J1939"), 2);  // the record tried is free again
    EXPECT_EQ(g.getCliente(2)->getProtocolSpeed(), VELOCIDAD_1000000);
}

TEST_F(ConnectTest, J1850ConnectInitialisesTheInterfaceEveryTime)
{
    reply(0xF2, "04f200", false);
    ASSERT_EQ(connect("J1850PWM"), 1);
    ASSERT_EQ(connect("J1850PWM"), 2);
    EXPECT_EQ(wire(-1), (Frames{"04 f2 27", "04 02 01 0a 27 00", "04 f2 27"}));
    for (short id : {2, 1})
        ASSERT_EQ(g.RP1210_ClientDisconnect(id), 0);
    // Refused or silent, the interface takes no record and sends no connect.
    const int from = mark();
    reply(0xF2, "04f203", false);
    EXPECT_EQ(connect("J1850VPW"), INVALID_PROTOCOL);
    silence(0xF2);
    const auto [rc, seconds] = runWhileClockMoves([this] { return connect("J1850VPW"); });
    EXPECT_EQ(rc, HARDWARE_NOT_RESPONDING);
    EXPECT_GE(seconds, 7);
    EXPECT_EQ(count(2, from), 0);
    EXPECT_FALSE(linkOpen());
}

TEST_F(ConnectTest, OnlyTheLastClientOfAProtocolDisconnectsFromTheAdapterAndTheRecordIsFreedWhateverTheAnswer)
{
    ASSERT_EQ(connect("J1708"), 1);
    ASSERT_EQ(connect("J1708"), 2);
    EXPECT_EQ(g.RP1210_ClientDisconnect(1), 0);
    // Invalid ids and free slots: 129, nothing sent (a handshake now would take J1708 from client 2).
    for (short id : {0, 17, -1, 1})
        EXPECT_EQ(g.RP1210_ClientDisconnect(id), INVALID_CLIENT_ID) << id;
    EXPECT_EQ(count(3), 0);
    EXPECT_TRUE(linkOpen());
    EXPECT_EQ(g.RP1210_ClientDisconnect(2), 0);
    EXPECT_EQ(wire(3), Frames{"04 03 02 0f"});
    EXPECT_FALSE(linkOpen());
    // Not connected counts as success; refused or silent: three tries of three seconds.
    for (auto [answer, rc, frames, seconds] :
         {std::tuple{"04030005", 0, 1, 0}, {"04030003", 136, 3, 0}, {"", 142, 3, 9}}) {
        ASSERT_EQ(connect("J1939"), 1);
        const int from = mark();
        *answer ? reply(3, answer) : silence(3);
        const auto [got, moved] = runWhileClockMoves([this] { return g.RP1210_ClientDisconnect(1); });
        EXPECT_EQ(std::make_tuple(got, count(3, from), moved >= seconds), std::make_tuple(short(rc), frames, true))
            << answer;
        EXPECT_EQ(std::make_pair(g.numeroClientesConectados(), linkOpen()), std::make_pair(quint16(0), false));
    }
    // ISO 15765: flow control is cleared, and the adapter's filters on adapters that hold them.
    reply(3, "04030000");
    reply(0xEB, "04eb0000000000");
    for (auto [type, version, frames] : {std::tuple{"K", 2, Frames{"04 0a 01", "04 eb 01 11 00 00 00", "04 03 01 11"}},
                                         {"J", 1, Frames{"04 0a 01", "04 03 01 11"}}}) {
        ASSERT_EQ(connectOn(type, version, "ISO15765"), 1);
        const int from = mark();
        EXPECT_EQ(g.RP1210_ClientDisconnect(1), 0);
        EXPECT_EQ(wire(-1, from), frames) << type;
    }
    // A write failing during the disconnect wait ends it; the clock never moves.
    ASSERT_EQ(connect("J1939"), 1);
    link.setFailWrites(true);
    EXPECT_EQ(g.RP1210_ClientDisconnect(1), HARDWARE_NOT_RESPONDING);
    EXPECT_EQ(g.numeroClientesConectados(), 0);
}

}  // namespace
