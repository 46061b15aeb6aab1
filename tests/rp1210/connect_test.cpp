// Client connect and disconnect against a fake adapter that answers from its own thread.
#include "support/manager_rig.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <thread>
#include <vector>

namespace {

class ConnectTest : public ::testing::Test, public ManagerRig {
protected:
    ConnectTest()
    {
        out.answerConnect(RESP_SERV_OK);
        out.answerDisconnect(RESP_SERV_OK);
    }

    bool linkOpen() const { return out.sendThreadRunning() && in.running(); }
};

TEST_F(ConnectTest, SixteenClientsGetIdsInOrderAndTheSeventeenthIsRefused)
{
    for (short expected = 1; expected <= 16; ++expected)
        EXPECT_EQ(connect("J1939"), expected);
    EXPECT_EQ(connect("J1939"), rp1210rc::CLIENT_AREA_FULL);
    EXPECT_EQ(g.numeroClientesConectados(), 16);
    // Only the first J1939 client needs the adapter; the link opened once.
    EXPECT_EQ(out.count("GenerarTrama_ConectarCliente"), 1);
    EXPECT_EQ(out.count("initializeConnection"), 1);
    EXPECT_EQ(out.count("ArrancarHiloEnvio"), 1);
    EXPECT_TRUE(linkOpen());
}

TEST_F(ConnectTest, LowestFreeIdIsReused)
{
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(connect("J1708"), i + 1);
    ASSERT_EQ(g.RP1210_ClientDisconnect(3), 0);
    ASSERT_EQ(g.RP1210_ClientDisconnect(5), 0);
    EXPECT_EQ(connect("J1708"), 3);
    EXPECT_EQ(connect("J1708"), 5);
}

TEST_F(ConnectTest, SecondJ1939ClientSharesThePacketizingMode)
{
    ASSERT_EQ(connect("J1939", 1), 1);
    EXPECT_EQ(connect("J1939", 1), 2);
    EXPECT_EQ(out.count("GenerarTrama_ConectarCliente"), 1);
    EXPECT_EQ(connect("J1939", 0), rp1210rc::CONNECT_NOT_ALLOWED);
    EXPECT_EQ(connect("J1939", 2), rp1210rc::CONNECT_NOT_ALLOWED);  // only 0 and 1 can match
    EXPECT_EQ(g.numeroClientesConectados(), 2);
}

TEST_F(ConnectTest, CanFamilyClientsShareOneSpeed)
{
    ASSERT_EQ(connect("CAN:Baud=500"), 1);
    EXPECT_EQ(g.getCliente(1)->getProtocolSpeed(), VELOCIDAD_500000);

    // Auto inherits the bus speed in use, and the adapter is asked with it.
    ASSERT_EQ(connect("J1939:Baud=Auto"), 2);
    EXPECT_EQ(g.getCliente(2)->getProtocolSpeed(), VELOCIDAD_500000);
    const auto frames = out.calls("GenerarTrama_ConectarCliente");
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[1].args, (std::vector<int>{2, PROTOCOLO_J1939, VELOCIDAD_500000, 0}));

    ASSERT_EQ(connect("CAN:Baud=Auto"), 3);
    EXPECT_EQ(g.getCliente(3)->getProtocolSpeed(), VELOCIDAD_500000);
    EXPECT_EQ(connect("CAN:Baud=250"), rp1210rc::CAN_SPEED_MISMATCH);
    EXPECT_EQ(connect("ISO15765:Baud=250"), rp1210rc::CAN_SPEED_MISMATCH);
    // A non-CAN protocol is not bound to the CAN speed.
    EXPECT_EQ(connect("J1708"), 4);
}

TEST_F(ConnectTest, LaterClientsOfAProtocolTakeTheSpeedInUse)
{
    // A later client joins without a frame, so only the speed in use can be its speed.
    struct Row {
        const char* first;
        const char* later;
        short rc;  // 1 to 16: the id it gets
        int speed;
    };
    const Row rows[] = {
        {"J1708", "J1708:Baud=19200", rp1210rc::J1708_BAUD_NONSTANDARD, 0},
        {"J1708", "J1708:Baud=9600", 2, VELOCIDAD_9600},
        {"J1708:Baud=19200", "J1708:Baud=Auto", 2, VELOCIDAD_19200},
        {"J1708:Baud=19200", "J1708", rp1210rc::J1708_BAUD_NONSTANDARD, 0},
        {"KWP2000", "KWP2000:Baud=9600", rp1210rc::CONNECT_NOT_ALLOWED, 0},
        {"KWP2000:Baud=9600", "KWP2000:Baud=Auto", 2, VELOCIDAD_9600},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.first) + " then " + r.later);
        ASSERT_EQ(connect(r.first), 1);
        const int frames = out.count("GenerarTrama_ConectarCliente");
        EXPECT_EQ(connect(r.later), r.rc);
        const bool joined = r.rc <= GestorRP1210::kMaxClients;
        if (joined) {
            EXPECT_EQ(g.getCliente(quint8(r.rc))->getProtocolSpeed(), r.speed);
        }
        EXPECT_EQ(g.numeroClientesConectados(), joined ? 2 : 1);
        EXPECT_EQ(out.count("GenerarTrama_ConectarCliente"), frames);
        for (short id = 2; id >= 1; --id) {
            if (g.getCliente(quint8(id))->getConectado()) {
                ASSERT_EQ(g.RP1210_ClientDisconnect(id), 0);
            }
        }
    }
}

TEST_F(ConnectTest, ConnectAnswerCarriesTheSpeedTheAdapterUses)
{
    out.answerConnect(RESP_SERV_OK, VELOCIDAD_1000000);
    ASSERT_EQ(connect("J1939"), 1);
    EXPECT_EQ(g.getCliente(1)->getProtocolSpeed(), VELOCIDAD_1000000);
}

TEST_F(ConnectTest, RefusedConnectMapsTheAdapterState)
{
    out.answerConnect(RESP_SERV_OTHER_SPEED);
    EXPECT_EQ(connect("J1708"), rp1210rc::J1708_BAUD_NONSTANDARD);
    EXPECT_EQ(connect("J1939"), rp1210rc::J1939_BAUD_NONSTANDARD);
    EXPECT_EQ(connect("ISO15765"), rp1210rc::ISO15765_BAUD_NONSTANDARD);
    out.answerConnect(RESP_SERV_NOT_SUPPORTED);
    EXPECT_EQ(connect("KWP2000"), rp1210rc::INVALID_PROTOCOL);
    EXPECT_EQ(g.numeroClientesConectados(), 0);
    EXPECT_FALSE(linkOpen());
    // Every failed first connect closed the link it had opened.
    EXPECT_EQ(out.count("initializeConnection"), out.count("limpiarDescargarProxy"));
}

TEST_F(ConnectTest, AlreadyConnectedAnswerGivesTheClientItsSlot)
{
    out.answerConnect(RESP_SERV_ALREADY_CONNECTED);
    EXPECT_EQ(connect("J1708"), 1);
    EXPECT_TRUE(g.getCliente(1)->getConectado());
}

TEST_F(ConnectTest, UnansweredConnectTimesOutAndClosesTheLink)
{
    out.silence("GenerarTrama_ConectarCliente");
    const auto [result, seconds] = runWhileClockMoves([this] { return connect("J1939"); });
    EXPECT_EQ(result, rp1210rc::HARDWARE_NOT_RESPONDING);
    EXPECT_GE(seconds, 8);
    EXPECT_FALSE(g.getCliente(1)->getConectado());
    EXPECT_FALSE(g.getCliente(1)->getPendienteConexion());
    EXPECT_FALSE(linkOpen());
    EXPECT_EQ(out.count("pararHiloEnvio"), 1);
    EXPECT_EQ(in.stops(), 1);
    EXPECT_EQ(out.count("limpiarDescargarProxy"), 1);
}

TEST_F(ConnectTest, FailedConnectBesideOtherClientsKeepsTheLinkOpen)
{
    ASSERT_EQ(connect("J1708"), 1);
    out.silence("GenerarTrama_ConectarCliente");
    const auto [result, seconds] = runWhileClockMoves([this] { return connect("J1939"); });
    (void)seconds;
    EXPECT_EQ(result, rp1210rc::HARDWARE_NOT_RESPONDING);
    EXPECT_TRUE(linkOpen());
    EXPECT_EQ(out.count("limpiarDescargarProxy"), 0);
    // The record tried for the failed connect is free again and the next connect gets it.
    out.answerConnect(RESP_SERV_OK);
    EXPECT_EQ(connect("J1939"), 2);
}

TEST_F(ConnectTest, TransportThatCannotOpenFailsTheFirstConnect)
{
    out.setInitializeResult(503);
    EXPECT_EQ(connect("J1939"), 503);
    EXPECT_EQ(out.count("ArrancarHiloEnvio"), 0);
    EXPECT_EQ(out.count("GenerarTrama_ConectarCliente"), 0);
    EXPECT_EQ(g.numeroClientesConectados(), 0);
}

TEST_F(ConnectTest, RejectedConnectStringTouchesNothing)
{
    EXPECT_EQ(connect("j1939"), rp1210rc::INVALID_PROTOCOL);
    EXPECT_EQ(connect(nullptr), rp1210rc::INVALID_PROTOCOL);
    EXPECT_TRUE(out.calls().empty());
}

TEST_F(ConnectTest, DisallowedConnectionsAreRefusedUntilADisconnect)
{
    ASSERT_EQ(connect("J1708"), 1);
    g.setConnectionsDisallowed(true);
    EXPECT_EQ(connect("J1939"), rp1210rc::CONNECTIONS_DISALLOWED);
    ASSERT_EQ(g.RP1210_ClientDisconnect(1), 0);
    EXPECT_FALSE(g.getConnectionsDisallowed());
    EXPECT_EQ(connect("J1939"), 1);
}

TEST_F(ConnectTest, J1850ConnectInitialisesTheInterfaceEveryTime)
{
    out.answerPicConnection(RESP_SERV_OK);
    ASSERT_EQ(connect("J1850PWM"), 1);
    ASSERT_EQ(connect("J1850PWM"), 2);
    const auto pic = out.calls("GenerarTrama_PICConnection");
    ASSERT_EQ(pic.size(), 2u);
    EXPECT_EQ(pic[0].args[0], VELOCIDAD_J1850_PWM);
    EXPECT_EQ(out.count("GenerarTrama_ConectarCliente"), 1);
}

TEST_F(ConnectTest, J1850InterfaceRefusedOrSilentTakesNoRecord)
{
    out.answerPicConnection(RESP_SERV_NOT_SUPPORTED);
    EXPECT_EQ(connect("J1850VPW"), rp1210rc::INVALID_PROTOCOL);
    out.silence("GenerarTrama_PICConnection");
    const auto [result, seconds] = runWhileClockMoves([this] { return connect("J1850VPW"); });
    EXPECT_EQ(result, rp1210rc::HARDWARE_NOT_RESPONDING);
    EXPECT_GE(seconds, 7);
    EXPECT_EQ(out.count("GenerarTrama_ConectarCliente"), 0);
    EXPECT_FALSE(linkOpen());
}

TEST_F(ConnectTest, DisconnectOfTheLastClientOfAProtocolAsksTheAdapter)
{
    ASSERT_EQ(connect("J1708"), 1);
    ASSERT_EQ(connect("J1708"), 2);
    EXPECT_EQ(g.RP1210_ClientDisconnect(1), 0);
    EXPECT_EQ(out.count("GenerarTrama_DesconectarCliente"), 0);
    EXPECT_TRUE(linkOpen());
    EXPECT_EQ(g.RP1210_ClientDisconnect(2), 0);
    const auto frames = out.calls("GenerarTrama_DesconectarCliente");
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].args, (std::vector<int>{2, PROTOCOLO_J1708}));
    EXPECT_FALSE(linkOpen());
    // Queued frames of each leaving client were dropped.
    EXPECT_EQ(out.count("removeClientMessages"), 2);
}

TEST_F(ConnectTest, DisconnectAnswerNotConnectedCountsAsSuccess)
{
    ASSERT_EQ(connect("J1939"), 1);
    out.answerDisconnect(RESP_SERV_NOT_CONNECTED);
    EXPECT_EQ(g.RP1210_ClientDisconnect(1), 0);
    EXPECT_EQ(out.count("GenerarTrama_DesconectarCliente"), 1);
}

TEST_F(ConnectTest, RefusedDisconnectIsTriedThreeTimesAndFreesTheRecordAnyway)
{
    ASSERT_EQ(connect("J1939"), 1);
    out.answerDisconnect(RESP_SERV_NOT_SUPPORTED);
    EXPECT_EQ(g.RP1210_ClientDisconnect(1), rp1210rc::INVALID_PROTOCOL);
    EXPECT_EQ(out.count("GenerarTrama_DesconectarCliente"), 3);
    EXPECT_FALSE(g.getCliente(1)->getConectado());
    EXPECT_FALSE(g.getCliente(1)->getPendiente_desconexion());
    EXPECT_FALSE(linkOpen());
}

TEST_F(ConnectTest, UnansweredDisconnectWaitsThreeAttempts)
{
    ASSERT_EQ(connect("J1939"), 1);
    out.silence("GenerarTrama_DesconectarCliente");
    const auto [result, seconds] = runWhileClockMoves([this] { return g.RP1210_ClientDisconnect(1); });
    EXPECT_EQ(result, rp1210rc::HARDWARE_NOT_RESPONDING);
    EXPECT_GE(seconds, 9);
    EXPECT_EQ(out.count("GenerarTrama_DesconectarCliente"), 3);
    EXPECT_FALSE(g.getCliente(1)->getConectado());
}

TEST_F(ConnectTest, FailedTransportSkipsTheHandshakeUntilAConnectSucceeds)
{
    ASSERT_EQ(connect("J1939"), 1);
    ASSERT_EQ(connect("J1708"), 2);
    g.set_Error(rp1210rc::HARDWARE_NOT_RESPONDING);
    EXPECT_EQ(g.RP1210_ClientDisconnect(1), rp1210rc::HARDWARE_NOT_RESPONDING);
    EXPECT_EQ(out.count("GenerarTrama_DesconectarCliente"), 0);
    EXPECT_FALSE(g.getCliente(1)->getConectado());
    // A successful connect handshake clears the link error.
    EXPECT_EQ(connect("J1939"), 1);
    EXPECT_EQ(g.getLinkError(), 0);
    EXPECT_EQ(g.RP1210_ClientDisconnect(1), 0);
}

TEST_F(ConnectTest, TransportFailureDuringTheDisconnectWaitEndsIt)
{
    ASSERT_EQ(connect("J1939"), 1);
    out.respond("GenerarTrama_DesconectarCliente",
                [](GestorRP1210& g, const OutputCall&) { g.set_Error(rp1210rc::HARDWARE_NOT_RESPONDING); });
    // No clock movement: only the link error can end these waits.
    EXPECT_EQ(g.RP1210_ClientDisconnect(1), rp1210rc::HARDWARE_NOT_RESPONDING);
    EXPECT_FALSE(g.getCliente(1)->getConectado());
}

TEST_F(ConnectTest, DisconnectOfAnInvalidIdIs129)
{
    EXPECT_EQ(g.RP1210_ClientDisconnect(0), rp1210rc::INVALID_CLIENT_ID);
    EXPECT_EQ(g.RP1210_ClientDisconnect(17), rp1210rc::INVALID_CLIENT_ID);
    EXPECT_EQ(g.RP1210_ClientDisconnect(-1), rp1210rc::INVALID_CLIENT_ID);
}

TEST_F(ConnectTest, DisconnectOfAFreeSlotIs129AndSendsNothing)
{
    ASSERT_EQ(connect("J1708"), 1);
    ASSERT_EQ(connect("J1708"), 2);
    ASSERT_EQ(g.RP1210_ClientDisconnect(2), 0);
    const int removals = out.count("removeClientMessages");
    // Client 1 still holds J1708: a handshake now would take it from under it.
    EXPECT_EQ(g.RP1210_ClientDisconnect(2), rp1210rc::INVALID_CLIENT_ID);
    EXPECT_EQ(g.RP1210_ClientDisconnect(5), rp1210rc::INVALID_CLIENT_ID);  // never connected
    EXPECT_EQ(out.count("GenerarTrama_DesconectarCliente"), 0);
    EXPECT_EQ(out.count("removeClientMessages"), removals);
    EXPECT_TRUE(g.getCliente(1)->getConectado());
    EXPECT_TRUE(linkOpen());
}

TEST_F(ConnectTest, Iso15765DisconnectClearsFlowControlAndAdapterFilters)
{
    out.respond("GenerarTrama_ISO15765_Clear_Flow_Control", [](GestorRP1210& g, const OutputCall& c) {
        g.modificarEstadoServicio(quint8(c.args[0]), SERV_ISO15765_CLEAR_FLOW_CONTROL, RESP_SERV_OK);
    });
    out.respond("GenerarTrama_Set_ISO15765_Filter",
                [](GestorRP1210& g, const OutputCall&) { g.setISO15765FilterStatus(RESP_SERV_OK); });
    out.setInterface("K", 2);  // a generation that holds ISO 15765 filters in the adapter
    ASSERT_EQ(connect("ISO15765"), 1);
    EXPECT_EQ(g.RP1210_ClientDisconnect(1), 0);
    EXPECT_EQ(out.count("GenerarTrama_ISO15765_Clear_Flow_Control"), 1);
    const auto clear = out.calls("GenerarTrama_Set_ISO15765_Filter");
    ASSERT_EQ(clear.size(), 1u);
    EXPECT_EQ(clear[0].args, (std::vector<int>{1, PROTOCOLO_ISO15765, 0, 0}));

    out.setInterface("J", 1);
    ASSERT_EQ(connect("ISO15765"), 1);
    EXPECT_EQ(g.RP1210_ClientDisconnect(1), 0);
    EXPECT_EQ(out.count("GenerarTrama_ISO15765_Clear_Flow_Control"), 2);
    EXPECT_EQ(out.count("GenerarTrama_Set_ISO15765_Filter"), 1);
}

TEST_F(ConnectTest, ConcurrentConnectsAndDisconnectsKeepTheTableConsistent)
{
    const char* protocols[] = {"J1939", "J1708", "CAN", "KWP2000"};
    std::vector<std::thread> threads;
    std::atomic<int> bad{0};
    for (const char* p : protocols) {
        threads.emplace_back([&, p] {
            for (int i = 0; i < 25; ++i) {
                const short id = connect(p);
                if (id < 1 || id > 16) {
                    ++bad;
                    continue;
                }
                if (g.RP1210_ClientDisconnect(id) != 0)
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

// The waiting thread must sleep, not poll: an unanswered connect costs almost no CPU.
TEST(ConnectWait, UnansweredConnectSleepsThroughItsLimit)
{
    GestorRP1210 g;
    FakeGestorOutput out(g);
    FakeGestorInput in;
    g.setIGestorOutput(&out);
    g.setIGestorInput(&in);

    timespec cpu0{}, cpu1{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu0);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(g.RP1210_ClientConnect(0, 1, "J1939", 0, 0, 0), rp1210rc::HARDWARE_NOT_RESPONDING);
    const auto wall = std::chrono::steady_clock::now() - t0;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu1);
    const double cpuMs = (cpu1.tv_sec - cpu0.tv_sec) * 1e3 + (cpu1.tv_nsec - cpu0.tv_nsec) / 1e6;
    const double wallS = std::chrono::duration<double>(wall).count();
    RecordProperty("cpu_ms", std::to_string(cpuMs));
    std::printf("unanswered connect: %.3f s waited, %.3f ms CPU\n", wallS, cpuMs);
    EXPECT_GT(wallS, 7.0);
    EXPECT_LE(wallS, 8.5);
    EXPECT_LT(cpuMs, 20.0);
}

}  // namespace
