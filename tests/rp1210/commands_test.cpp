// RP1210_SendCommand: entry checks, client settings, speed changes and device reset.
#include "rp1210/command_rig.h"

#include <cstring>
#include <future>
#include <set>

namespace {

class CommandsTest : public ::testing::Test, public CommandRig {};

TEST_F(CommandsTest, EntryChecksComeBeforeTheCommand)
{
    ASSERT_EQ(connect("J1939"), 1);
    const int before = callCount();
    // 257 and 272 would name clients 1 and 16 if narrowed to a byte.
    for (short id : {0, 17, -1, 257, 272})
        EXPECT_EQ(cmd(3, id, {}), 129) << "client " << id;
    for (short number : {1, 2, 6, 10, 11, 12, 13, 14, 36, 40, 43, 44, 49, 100, 212, 999, 1004, -1})
        EXPECT_EQ(cmd(number, 1, {1, 2, 3, 4}), 143) << "command " << number;
    EXPECT_EQ(g.getCliente(1)->getFilterState(), 0);

    g.set_Error(142);
    EXPECT_EQ(cmd(3, 1, {}), 142);
    EXPECT_EQ(cmd(1, 1, {}), 142);
    EXPECT_EQ(g.getCliente(1)->getFilterState(), 0);
    EXPECT_EQ(callCount(), before);
}

TEST_F(CommandsTest, SlotCommandsForAFreeSlotAre129AndDoNothing)
{
    answer("GenerarTrama_SetBaud",
           [](GestorRP1210& g, const OutputCall& c) { g.actualizarSET_BAUD_RATE_Response(quint8(c.args[0])); });
    ASSERT_EQ(connect("J1939"), 1);
    ASSERT_EQ(connect("J1939"), 2);
    ASSERT_EQ(g.RP1210_ClientDisconnect(2), 0);
    const int before = callCount();
    // Client 2's old protocol is client 1's bus: its speed must not move.
    EXPECT_EQ(cmd(37, 2, {0, 6}), 129);
    EXPECT_EQ(g.getCliente(1)->getProtocolSpeed(), VELOCIDAD_250000);
    // Every command that acts on the client's slot, on one never connected too.
    const short slotCommands[] = {3,  4,  5,  7,  8,  9,  15, 16, 17, 18, 19,  20,  21,  22,   23,   24,   25,  26,
                                  27, 30, 31, 32, 33, 34, 35, 37, 38, 39, 41, 42, 45, 46, 47, 211, 215, 305, 1000,
                                  1001, 1002, 1003};
    withoutWait([&] {
        for (short id : {short(2), short(5)}) {
            for (short number : slotCommands)
                EXPECT_EQ(cmd(number, id, QByteArray(16, 1)), 129) << number << " on " << id;
            EXPECT_EQ(g.getCliente(quint8(id))->getFilterState(), 0) << id;
            EXPECT_EQ(g.getCliente(quint8(id))->getBlockingTimeout(), 0u) << id;
        }
        return short(0);
    });
    EXPECT_EQ(callCount(), before);

    // Commands for the manager or the adapter as a whole need no connected slot.
    EXPECT_EQ(cmd(28, 5, {81, 0}), 0);
    EXPECT_EQ(cmd(48, 5, {}), 1);
    EXPECT_EQ(cmd(0, 5, {}), 148);  // the reset answers for itself
    EXPECT_EQ(cmd(29, 5, {}), 0);
    EXPECT_TRUE(g.getConnectionsDisallowed());
}

TEST_F(CommandsTest, EchoAndReceiveSwitchesTakeOnlyTheirValues)
{
    ASSERT_EQ(connect("J1939"), 1);
    Cliente* c = g.getCliente(1);
    QByteArray queued("\x01\x02\x03\x04\x05\x06", 6);
    ASSERT_EQ(c->addMsjRecibidoECHO(queued), 0u);

    struct Row {
        int command;
        QByteArray data;
        short rc;
        bool echo, receive;
    };
    const Row rows[] = {
        {16, "1", 0, true, true},          {16, QByteArray(1, 0), 0, false, true}, {16, QByteArray(1, 1), 0, true, true},
        {16, "0", 0, false, true},         {16, QByteArray(1, 2), 144, false, true}, {16, "", 144, false, true},
        {18, QByteArray(1, 0), 0, false, false}, {18, QByteArray(1, 2), 144, false, false},
        {18, "1", 144, false, false},      {18, QByteArray(1, 1), 0, false, true},   {18, "", 144, false, true},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(cmd(short(r.command), 1, r.data), r.rc) << r.command << " " << r.data.toHex().constData();
        EXPECT_EQ(c->getEchoMode(), r.echo) << r.command << " " << r.data.toHex().constData();
        EXPECT_EQ(c->getMessageReceive(), r.receive) << r.command << " " << r.data.toHex().constData();
    }
    // Turning echo on dropped what was queued and the client's frames waiting to go.
    EXPECT_EQ(c->receivedCount(), 0);
    EXPECT_EQ(out.count("removeClientMessages"), 2);
    EXPECT_EQ(out.calls("removeClientMessages")[0].args, std::vector<int>{1});
}

TEST_F(CommandsTest, FilterTypeCommandsNeedTheirProtocol)
{
    const char* strings[] = {"J1708", "J1939", "CAN", "J1850VPW", "ISO15765", "KWP2000"};
    for (const char* s : strings)
        ASSERT_GT(connect(s), 0) << s;
    // Command and the one client (by connect order above) it accepts.
    const std::pair<short, short> accepts[] = {{24, 1}, {25, 2}, {26, 3}, {30, 4}, {32, 5}};
    const unsigned char record[11] = {};
    for (const auto& [command, owner] : accepts) {
        for (short id = 1; id <= 6; ++id) {
            Cliente* c = g.getCliente(quint8(id));
            c->deleteAllFilters();
            ASSERT_EQ(c->addFiltro(record), 0u);
            c->setFilterMode(0);
            const bool ok = id == owner;
            EXPECT_EQ(cmd(command, id, {7}), ok ? 0 : 144) << command << " on " << id;
            EXPECT_EQ(c->getFilterSize(), ok || id == 6 ? 0 : 1) << command << " on " << id;
            EXPECT_EQ(c->getFilterMode(), ok ? 1 : 0) << command << " on " << id;
        }
        ASSERT_EQ(g.getCliente(quint8(owner))->addFiltro(record), 0u);
        EXPECT_EQ(cmd(command, owner, {}), 144) << "no mode byte";
        EXPECT_EQ(g.getCliente(quint8(owner))->getFilterSize(), 1) << command;
    }
}

TEST_F(CommandsTest, SmallSettings)
{
    ASSERT_EQ(connect("J1939"), 1);
    Cliente* c = g.getCliente(1);
    const unsigned char record[7] = {};
    ASSERT_EQ(c->addFiltro(record), 0u);
    EXPECT_EQ(cmd(3, 1, {}), 0);
    EXPECT_EQ(c->getFilterSize(), 0);
    EXPECT_EQ(c->getFilterState(), 1);

    EXPECT_EQ(cmd(15, 1, {0}), 0);
    EXPECT_EQ(c->getJ1708Mode(), 0);
    EXPECT_EQ(cmd(15, 1, {}), 144);

    // Command 28: exactly two bytes, least significant first, above 80.
    EXPECT_EQ(cmd(28, 1, {81, 0, 0}), 144);
    EXPECT_EQ(cmd(28, 1, {80, 0}), 144);
    EXPECT_EQ(cmd(28, 1, {81}), 144);
    EXPECT_EQ(g.errores().getMaxErrorMsgSize(), 80);
    EXPECT_EQ(cmd(28, 1, {81, 0}), 0);
    EXPECT_EQ(g.errores().getMaxErrorMsgSize(), 81);
    EXPECT_EQ(cmd(28, 1, {0, 1}), 0);
    EXPECT_EQ(g.errores().getMaxErrorMsgSize(), 256);

    // Command 215: the product of two unsigned bytes.
    EXPECT_EQ(cmd(215, 1, {10, 100}), 0);
    EXPECT_EQ(c->getBlockingTimeout(), 1000u);
    EXPECT_EQ(cmd(215, 1, {1, 200}), 0);
    EXPECT_EQ(c->getBlockingTimeout(), 200u);
    EXPECT_EQ(cmd(215, 1, {255, 255}), 0);
    EXPECT_EQ(c->getBlockingTimeout(), 65025u);
    EXPECT_EQ(cmd(215, 1, {10}), 144);
    EXPECT_EQ(c->getBlockingTimeout(), 65025u);

    out.setComChannel(3);
    EXPECT_EQ(cmd(48, 1, {}), 0);
    out.setComChannel(2);
    EXPECT_EQ(cmd(48, 1, {}), 1);

    QByteArray tx("\x01\x02\x03", 3), rx("\x01\x02\x03\x04\x05", 5);
    ASSERT_EQ(c->addMsjSaliente(tx.constData(), 3), 0u);
    ASSERT_EQ(c->addMsjRecibidoECHO(rx), 0u);
    EXPECT_EQ(cmd(39, 1, {}), 0);
    EXPECT_EQ(c->receivedCount(), 0);
    EXPECT_TRUE(c->GetMsjToSend().isEmpty());
    EXPECT_EQ(c->getfreeBufferSalida(), c->getTamanoBufferSalida());
    EXPECT_EQ(out.calls("removeClientMessages").back().args, std::vector<int>{1});
}

TEST_F(CommandsTest, DisallowFurtherConnectionsOnlyWithOneClient)
{
    ASSERT_EQ(connect("J1939"), 1);
    EXPECT_EQ(cmd(29, 1, {}), 0);
    EXPECT_EQ(connect("J1708"), 455);
    ASSERT_EQ(g.RP1210_ClientDisconnect(1), 0);  // clears the flag

    ASSERT_EQ(connect("J1939"), 1);
    ASSERT_EQ(connect("J1708"), 2);
    EXPECT_EQ(cmd(29, 2, {}), 156);
    EXPECT_FALSE(g.getConnectionsDisallowed());
}

TEST_F(CommandsTest, ConnectionSpeedTextMustFitTheBuffer)
{
    ASSERT_EQ(connect("J1939"), 1);  // 250000: six characters and a zero
    char buf[8];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(g.RP1210_SendCommand(45, 1, buf, 6), 144);
    EXPECT_EQ(std::string(buf, 8), "xxxxxxxx");
    EXPECT_EQ(g.RP1210_SendCommand(45, 1, nullptr, 8), 144);
    EXPECT_EQ(g.RP1210_SendCommand(45, 1, buf, -1), 144);
    EXPECT_EQ(g.RP1210_SendCommand(45, 1, buf, 7), 0);
    EXPECT_EQ(std::string(buf, 8), std::string("250000\0x", 8));
}

TEST_F(CommandsTest, ModeChangeIsSentOnlyWhenTheModeDiffers)
{
    ASSERT_EQ(connect("KWP2000"), 1);
    EXPECT_EQ(cmd(46, 1, {1}), 0);  // the default mode
    EXPECT_EQ(out.count("GenerarTrama_CambioModo"), 0);
    EXPECT_EQ(cmd(46, 1, {0}), 0);
    EXPECT_EQ(g.getCliente(1)->getISO9141_KWP200_Mode(), 0);
    ASSERT_EQ(out.count("GenerarTrama_CambioModo"), 1);
    EXPECT_EQ(out.calls("GenerarTrama_CambioModo")[0].args, (std::vector<int>{1, PROTOCOLO_KWP2000, 0}));
    // 128 and above are compared as negative bytes: sent every time.
    EXPECT_EQ(cmd(46, 1, {200}), 0);
    EXPECT_EQ(cmd(46, 1, {200}), 0);
    EXPECT_EQ(out.count("GenerarTrama_CambioModo"), 3);
    EXPECT_EQ(g.getCliente(1)->getISO9141_KWP200_Mode(), 200);
    EXPECT_EQ(cmd(46, 1, {}), 144);
}

TEST_F(CommandsTest, BroadcastCommandsGoToTheirHandlerAndAnswerInTheBuffer)
{
    ASSERT_EQ(connect("CAN"), 1);
    // Commands repeated by the adapter itself send their first record to it.
    const std::pair<short, bool> rows[] = {{20, false}, {22, false}, {23, false}, {33, false},
                                           {21, true},  {41, true},  {42, true}};
    for (const auto& [command, byAdapter] : rows) {
        const int links = out.count("GenerarTrama_setBroadcastLink");
        char add[] = {1, 0x64, 0x00, 0x03, 0x00, 0x18, char(0xEF), 0x00};
        EXPECT_EQ(g.RP1210_SendCommand(command, 1, add, sizeof add), 0) << command;
        EXPECT_EQ(add[0], 0) << command;  // the key of the new record
        EXPECT_EQ(out.count("GenerarTrama_setBroadcastLink") - links, byAdapter ? 1 : 0) << command;
        char removeAll[] = {3};
        EXPECT_EQ(g.RP1210_SendCommand(command, 1, removeAll, 1), 0) << command;
        EXPECT_EQ(g.RP1210_SendCommand(command, 1, add, -1), 144) << command;
        EXPECT_EQ(g.RP1210_SendCommand(command, 1, nullptr, 8), 144) << command;
    }
}

struct SpeedRow {
    short command;
    const char* connectString;
    int protocol;
    int code;
    int speed;  // VELOCIDAD_NINGUNA: refused with `rc`
    short rc;
};

TEST(SpeedChange, SendsTheSpeedAndStoresIt)
{
    const SpeedRow rows[] = {
        {37, "J1939", PROTOCOLO_J1939, 5, VELOCIDAD_250000, 0},
        {37, "J1939", PROTOCOLO_J1939, 152, VELOCIDAD_100000, 0},
        {38, "ISO15765", PROTOCOLO_ISO15765, 6, VELOCIDAD_500000, 0},
        {47, "CAN", PROTOCOLO_CAN, 7, VELOCIDAD_1000000, 0},
        {47, "CAN", PROTOCOLO_CAN, 4, VELOCIDAD_125000, 0},
        {305, "J1708", PROTOCOLO_J1708, 151, VELOCIDAD_7812, 0},
        {305, "J1708", PROTOCOLO_J1708, 153, VELOCIDAD_62500, 0},
        {305, "J1708", PROTOCOLO_J1708, 3, VELOCIDAD_57600, 0},
        {1000, "KWP2000", PROTOCOLO_KWP2000, 34, VELOCIDAD_115200, 0},
        {37, "J1939", PROTOCOLO_J1939, 8, VELOCIDAD_NINGUNA, 457},
        {38, "ISO15765", PROTOCOLO_ISO15765, 8, VELOCIDAD_NINGUNA, 458},
        {47, "CAN", PROTOCOLO_CAN, 8, VELOCIDAD_NINGUNA, 454},
        {305, "J1708", PROTOCOLO_J1708, 4, VELOCIDAD_NINGUNA, 456},
        {1000, "KWP2000", PROTOCOLO_KWP2000, 36, VELOCIDAD_NINGUNA, 507},
    };
    for (const SpeedRow& r : rows) {
        SCOPED_TRACE(std::to_string(r.command) + " code " + std::to_string(r.code));
        CommandRig rig;
        rig.answer("GenerarTrama_SetBaud",
                   [](GestorRP1210& g, const OutputCall& c) { g.actualizarSET_BAUD_RATE_Response(quint8(c.args[0])); });
        ASSERT_EQ(rig.connect(r.connectString), 1);
        const enu_GATEWAY_Velocidad before = rig.g.getCliente(1)->getProtocolSpeed();
        EXPECT_EQ(rig.cmd(r.command, 1, {0x42, r.code}), r.rc);
        const auto frames = rig.out.calls("GenerarTrama_SetBaud");
        if (r.speed == VELOCIDAD_NINGUNA) {
            EXPECT_TRUE(frames.empty());
            EXPECT_EQ(rig.g.getCliente(1)->getProtocolSpeed(), before);
        } else {
            ASSERT_EQ(frames.size(), 1u);
            EXPECT_EQ(frames[0].args, (std::vector<int>{1, r.protocol, 0x42, r.speed}));
            EXPECT_EQ(rig.g.getCliente(1)->getProtocolSpeed(), r.speed);
        }
        EXPECT_EQ(rig.cmd(r.command, 1, {0x42}), 144);
        EXPECT_EQ(rig.out.count("GenerarTrama_SetBaud"), int(frames.size()));
    }
}

TEST_F(CommandsTest, ProtocolBaudAcceptsOnlyTheTabledSpeeds)
{
    answer("GenerarTrama_SetBaud",
           [](GestorRP1210& g, const OutputCall& c) { g.actualizarSET_BAUD_RATE_Response(quint8(c.args[0])); });
    ASSERT_EQ(connect("KWP2000"), 1);
    std::set<int> accepted = {34, 39, 41, 42, 43, 44, 45};
    for (int v = 3; v <= 32; ++v)
        accepted.insert(v);
    int sent = 0;
    for (int v = 0; v < 256; ++v) {
        const bool ok = accepted.count(v) != 0;
        EXPECT_EQ(cmd(1000, 1, {0, v}), ok ? 0 : 507) << v;
        sent += ok;
    }
    EXPECT_EQ(out.count("GenerarTrama_SetBaud"), sent);
}

TEST_F(CommandsTest, SpeedChangeThatTimesOutStillStoresTheSpeed)
{
    ASSERT_EQ(connect("J1939"), 1);
    const auto [rc, moved] = runWhileClockMoves([&] { return cmd(37, 1, {0, 6}); });
    EXPECT_EQ(rc, 142);
    EXPECT_GE(moved, 7);
    EXPECT_LE(moved, 9);
    char text[8] = {};
    EXPECT_EQ(g.RP1210_SendCommand(45, 1, text, sizeof text), 0);
    EXPECT_STREQ(text, "500000");
}

TEST_F(CommandsTest, SpeedChangeNeedsTheOnlyClientOfItsProtocol)
{
    ASSERT_EQ(connect("J1939"), 1);
    ASSERT_EQ(connect("J1939"), 2);
    EXPECT_EQ(cmd(37, 1, {0, 6}), 156);
    EXPECT_EQ(out.count("GenerarTrama_SetBaud"), 0);
    EXPECT_EQ(g.getCliente(1)->getProtocolSpeed(), VELOCIDAD_250000);
}

// Another client's send and read go on while a command holds the command lock.
TEST_F(CommandsTest, OtherClientsSendAndReadWhileACommandWaits)
{
    ASSERT_EQ(connect("J1939"), 1);
    ASSERT_EQ(connect("J1708"), 2);
    auto waiting = std::async(std::launch::async, [&] { return cmd(37, 1, {0, 6}); });
    ASSERT_TRUE(out.waitForCount("GenerarTrama_SetBaud", 1));

    const char message[] = {0x08, char(0x80), 0x01};
    EXPECT_EQ(g.RP1210_SendMessage(2, message, 3, 0, 0), 0);
    ASSERT_TRUE(out.waitForCount("GenerarTrama_EnviarMensaje", 1));
    EXPECT_EQ(out.calls("GenerarTrama_EnviarMensaje")[0].args[0], 2);
    char buf[16];
    EXPECT_EQ(g.RP1210_ReadMessage(2, buf, sizeof buf, 0), 0);
    // Nothing answered and the clock stood still: the command is still waiting.
    EXPECT_EQ(waiting.wait_for(std::chrono::seconds(0)), std::future_status::timeout);

    g.actualizarSET_BAUD_RATE_Response(1);
    EXPECT_EQ(waiting.get(), 0);
}

class ResetTest : public CommandsTest {
protected:
    void answerStatus()
    {
        answerSlot("GenerarTrama_GetHardwareStatus", &GestorRP1210::setIsHardwareStatusEnded, RESP_SERV_OK);
    }
};

TEST_F(ResetTest, ResetsTheAdapterAndLeavesTheClientDisconnected)
{
    answerStatus();
    ASSERT_EQ(connect("J1939"), 1);
    // The status slot is pending from creation: only the status request is waited for.
    EXPECT_EQ(withoutWait([&] { return cmd(0, 1, {}); }), 0);
    EXPECT_FALSE(g.getCliente(1)->getConectado());
    std::vector<std::string> order;
    for (const auto& c : out.calls())
        if (c.name == "removeAllOutputMessages" || c.name == "GenerarTrama_ResetearTravoneLink" ||
            c.name == "GenerarTrama_GetHardwareStatus")
            order.push_back(c.name);
    EXPECT_EQ(order, (std::vector<std::string>{"removeAllOutputMessages", "GenerarTrama_ResetearTravoneLink",
                                               "GenerarTrama_GetHardwareStatus"}));
    EXPECT_EQ(out.calls("GenerarTrama_GetHardwareStatus")[0].args, std::vector<int>{255});

    // Now the slot reads 0 from that answer: the reset first lets 5 s pass.
    g.getCliente(1)->setConectado(true);
    const auto [rc, moved] = runWhileClockMoves([&] { return cmd(0, 1, {}); });
    EXPECT_EQ(rc, 0);
    EXPECT_GE(moved, 5);
}

TEST_F(ResetTest, ResetOfTheOnlyClientClosesTheLinkUntilTheNextConnect)
{
    answerStatus();
    ASSERT_EQ(connect("J1939"), 1);
    ASSERT_EQ(cmd(29, 1, {}), 0);  // no disconnect will come to lift this
    EXPECT_EQ(withoutWait([&] { return cmd(0, 1, {}); }), 0);
    EXPECT_FALSE(g.getConnectionsDisallowed());
    EXPECT_FALSE(out.sendThreadRunning());
    EXPECT_FALSE(in.running());
    EXPECT_EQ(out.count("limpiarDescargarProxy"), 1);
    // Closed after the status answer, which needs the link.
    std::vector<std::string> order;
    for (const auto& c : out.calls())
        if (c.name == "GenerarTrama_GetHardwareStatus" || c.name == "pararHiloEnvio" ||
            c.name == "limpiarDescargarProxy")
            order.push_back(c.name);
    EXPECT_EQ(order, (std::vector<std::string>{"GenerarTrama_GetHardwareStatus", "pararHiloEnvio",
                                               "limpiarDescargarProxy"}));

    ASSERT_EQ(connect("J1939"), 1);
    EXPECT_EQ(out.count("initializeConnection"), 2);
    EXPECT_TRUE(out.sendThreadRunning());
    EXPECT_TRUE(in.running());
}

TEST_F(ResetTest, WithoutAStatusAnswerGivesHardwareNotResponding)
{
    ASSERT_EQ(connect("J1939"), 1);
    const auto [rc, moved] = runWhileClockMoves([&] { return cmd(0, 1, {}); });
    EXPECT_EQ(rc, 142);
    EXPECT_GE(moved, 2);
    EXPECT_FALSE(g.getCliente(1)->getConectado());
    EXPECT_FALSE(out.sendThreadRunning());
}

TEST_F(ResetTest, NeedsExactlyOneConnectedClientAndItMustBeTheCaller)
{
    answerStatus();
    EXPECT_EQ(cmd(0, 1, {}), 156);  // none connected
    ASSERT_EQ(connect("J1939"), 1);
    EXPECT_EQ(cmd(0, 2, {}), 148);
    ASSERT_EQ(connect("J1708"), 2);
    EXPECT_EQ(cmd(0, 1, {}), 156);
    EXPECT_EQ(out.count("removeAllOutputMessages"), 0);
    EXPECT_EQ(out.count("GenerarTrama_ResetearTravoneLink"), 0);
    EXPECT_TRUE(g.getCliente(1)->getConectado());
}

}  // namespace
