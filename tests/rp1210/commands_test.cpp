// RP1210_SendCommand: entry checks, client settings, speed changes and device reset,
// checked on the wire of the fake adapter.
#include "wire_rig.h"

#include <cstring>
#include <set>

namespace {

class CommandsTest : public ::testing::Test, public WireRig {
protected:
    // Leaves one message of client `id` waiting in the output list: the adapter does not
    // confirm sends, so the in-flight limit of the protocol (two for J1939) holds it back.
    void leaveAMessageWaiting(short id)
    {
        silence(4);
        for (int i = 0; i < 3; ++i)
            ASSERT_EQ(g.RP1210_SendMessage(id, "\x00\xef\x00\x06\xf9\x00\xaa", 7, 0, 0), 0);
        ASSERT_TRUE(waitUntil([&] { return io.outputListSize() == 1; }));
    }
};

TEST_F(CommandsTest, EntryChecksComeBeforeTheCommandAndSendNothing)
{
    ASSERT_EQ(connect("J1939"), 1);
    ASSERT_EQ(connect("J1939"), 2);
    ASSERT_EQ(g.RP1210_ClientDisconnect(2), 0);
    const int from = mark();
    // 257 and 272 would name clients 1 and 16 if narrowed to a byte.
    for (short id : {0, 17, -1, 257, 272})
        EXPECT_EQ(cmd(3, id, ""), 129) << "client " << id;
    for (short number : {1, 2, 6, 10, 11, 12, 13, 14, 36, 40, 43, 44, 49, 100, 212, 999, 1004, -1})
        EXPECT_EQ(cmd(number, 1, "01020304"), 143) << "command " << number;
    // Every command that acts on the client's slot, for a freed slot and a never connected one.
    const short slotCommands[] = {3,  4,  5,  7,  8,  9,  15, 16, 17, 18, 19,  20,  21,  22,  23,   24,   25,   26,  27,
                                  30, 31, 32, 33, 34, 35, 37, 38, 39, 41, 42, 45, 46, 47, 211, 215, 305, 1000, 1001,
                                  1002, 1003};
    withoutWait([&] {
        for (short id : {short(2), short(5)}) {
            for (short number : slotCommands)
                EXPECT_EQ(cmd(number, id, QByteArray(16, 1)), 129) << number << " on " << id;
            EXPECT_EQ(g.getCliente(quint8(id))->getFilterState(), 0) << id;
            EXPECT_EQ(g.getCliente(quint8(id))->getBlockingTimeout(), 0u) << id;
        }
        return short(0);
    });
    // Client 2's old protocol is client 1's bus: its speed did not move.
    EXPECT_EQ(g.getCliente(1)->getProtocolSpeed(), VELOCIDAD_250000);
    // Commands for the manager or the adapter as a whole need no connected slot.
    EXPECT_EQ(cmd(28, 5, "5100"), 0);
    EXPECT_EQ(cmd(48, 5, ""), 1);
    EXPECT_EQ(cmd(0, 5, ""), 148);  // the reset answers for itself
    EXPECT_EQ(cmd(29, 5, ""), 0);
    EXPECT_TRUE(g.getConnectionsDisallowed());
    g.set_Error(142);
    EXPECT_EQ(cmd(3, 1, ""), 142);
    EXPECT_EQ(cmd(1, 1, ""), 142);
    EXPECT_EQ(g.getCliente(1)->getFilterState(), 0);
    EXPECT_EQ(link.frameCount(), from);
    EXPECT_EQ(io.outputListSize(), 0);
}

TEST_F(CommandsTest, EchoAndReceiveSwitchesTakeOnlyTheirValues)
{
    ASSERT_EQ(connect("J1939"), 1);
    Cliente* c = g.getCliente(1);
    QByteArray queued = hex("010203040506");
    ASSERT_EQ(c->addMsjRecibidoECHO(queued), 0u);
    leaveAMessageWaiting(1);
    struct Row {
        int command;
        const char* data;
        short rc;
        bool echo, receive;
    };
    const Row rows[] = {
        {16, "31", 0, true, true},     {16, "00", 0, false, true},  {16, "01", 0, true, true},
        {16, "30", 0, false, true},    {16, "02", 144, false, true}, {16, "", 144, false, true},
        {18, "00", 0, false, false},   {18, "02", 144, false, false}, {18, "31", 144, false, false},
        {18, "01", 0, false, true},    {18, "", 144, false, true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::to_string(r.command) + " " + r.data);
        EXPECT_EQ(cmd(short(r.command), 1, r.data), r.rc);
        EXPECT_EQ(c->getEchoMode(), r.echo);
        EXPECT_EQ(c->getMessageReceive(), r.receive);
    }
    // Turning echo on dropped what was queued and the client's frames waiting to go.
    EXPECT_EQ(c->receivedCount(), 0);
    EXPECT_EQ(io.outputListSize(), 0);
}

TEST_F(CommandsTest, FilterTypeCommandsNeedTheirProtocol)
{
    reply(0xF2, "04f200", false);  // the J1850 interface
    for (const char* s : {"J1708", "J1939", "CAN", "J1850VPW", "ISO15765", "KWP2000"})
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
            EXPECT_EQ(cmd(command, id, "07"), ok ? 0 : 144) << command << " on " << id;
            EXPECT_EQ(c->getFilterSize(), ok || id == 6 ? 0 : 1) << command << " on " << id;
            EXPECT_EQ(c->getFilterMode(), ok ? 1 : 0) << command << " on " << id;
        }
        ASSERT_EQ(g.getCliente(quint8(owner))->addFiltro(record), 0u);
        EXPECT_EQ(cmd(command, owner, ""), 144) << "no mode byte";
        EXPECT_EQ(g.getCliente(quint8(owner))->getFilterSize(), 1) << command;
    }
}

TEST_F(CommandsTest, SmallSettings)
{
    ASSERT_EQ(connect("J1939"), 1);
    Cliente* c = g.getCliente(1);
    const unsigned char record[7] = {};
    ASSERT_EQ(c->addFiltro(record), 0u);
    struct Row {
        short command;
        const char* data;
        short rc;
    };
    // Then: 28 takes exactly two bytes, least significant first, above 80; 215 the product of two bytes.
    const Row rows[] = {{3, "", 0},        {15, "00", 0},       {15, "", 144},      {28, "510000", 144},
                        {28, "5000", 144}, {28, "51", 144},     {215, "0a64", 0},   {215, "01c8", 0},
                        {215, "ffff", 0},  {215, "0a", 144}};
    for (const Row& r : rows)
        EXPECT_EQ(cmd(r.command, 1, r.data), r.rc) << r.command << " " << r.data;
    EXPECT_EQ(c->getFilterSize(), 0);
    EXPECT_EQ(c->getFilterState(), 1);
    EXPECT_EQ(c->getJ1708Mode(), 0);
    EXPECT_EQ(g.errores().getMaxErrorMsgSize(), 80);
    EXPECT_EQ(c->getBlockingTimeout(), 65025u);
    EXPECT_EQ(cmd(28, 1, "5100"), 0);
    EXPECT_EQ(g.errores().getMaxErrorMsgSize(), 81);
    EXPECT_EQ(cmd(28, 1, "0001"), 0);
    EXPECT_EQ(g.errores().getMaxErrorMsgSize(), 256);
    EXPECT_EQ(cmd(215, 1, "0a64"), 0);
    EXPECT_EQ(c->getBlockingTimeout(), 1000u);

    link.setComChannel(3);
    EXPECT_EQ(cmd(48, 1, ""), 0);
    link.setComChannel(2);
    EXPECT_EQ(cmd(48, 1, ""), 1);

    // 39 empties both queues, and the client's frames waiting to go.
    QByteArray rx = hex("0102030405");
    ASSERT_EQ(c->addMsjRecibidoECHO(rx), 0u);
    leaveAMessageWaiting(1);
    ASSERT_EQ(c->addMsjSaliente("\x01\x02\x03", 3), 0u);
    EXPECT_EQ(cmd(39, 1, ""), 0);
    EXPECT_EQ(c->receivedCount(), 0);
    EXPECT_TRUE(c->GetMsjToSend().isEmpty());
    EXPECT_EQ(c->getfreeBufferSalida(), c->getTamanoBufferSalida());
    EXPECT_EQ(io.outputListSize(), 0);
}

TEST_F(CommandsTest, DisallowFurtherConnectionsOnlyWithOneClient)
{
    ASSERT_EQ(connect("J1939"), 1);
    EXPECT_EQ(cmd(29, 1, ""), 0);
    EXPECT_EQ(connect("J1708"), 455);
    ASSERT_EQ(g.RP1210_ClientDisconnect(1), 0);  // clears the flag
    ASSERT_EQ(connect("J1939"), 1);
    ASSERT_EQ(connect("J1708"), 2);
    EXPECT_EQ(cmd(29, 2, ""), 156);
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
    EXPECT_EQ(cmd(46, 1, "01"), 0);  // the default mode
    EXPECT_EQ(cmd(46, 1, "00"), 0);
    EXPECT_EQ(g.getCliente(1)->getISO9141_KWP200_Mode(), 0);
    // 128 and above are compared as negative bytes: sent every time. The flag is the inverse of the mode.
    EXPECT_EQ(cmd(46, 1, "c8"), 0);
    EXPECT_EQ(cmd(46, 1, "c8"), 0);
    EXPECT_EQ(g.getCliente(1)->getISO9141_KWP200_Mode(), 200);
    EXPECT_EQ(cmd(46, 1, ""), 144);
    EXPECT_EQ(wire(0x0E), (std::vector<std::string>{"04 0e 01 01 01", "04 0e 01 01 01", "04 0e 01 01 01"}));
}

TEST_F(CommandsTest, BroadcastCommandsGoToTheirHandlerAndAnswerInTheBuffer)
{
    ASSERT_EQ(connect("CAN"), 1);
    // Commands repeated by the adapter itself send their first record to it.
    const std::pair<short, bool> rows[] = {{20, false}, {22, false}, {23, false}, {33, false},
                                           {21, true},  {41, true},  {42, true}};
    for (const auto& [command, byAdapter] : rows) {
        const int from = mark();
        char add[] = {1, 0x64, 0x00, 0x03, 0x00, 0x18, char(0xEF), 0x00};
        EXPECT_EQ(g.RP1210_SendCommand(command, 1, add, sizeof add), 0) << command;
        EXPECT_EQ(add[0], 0) << command;  // the key of the new record
        EXPECT_EQ(count(0xFE, from), byAdapter ? 1 : 0) << command;
        char removeAll[] = {3};
        EXPECT_EQ(g.RP1210_SendCommand(command, 1, removeAll, 1), 0) << command;
        EXPECT_EQ(g.RP1210_SendCommand(command, 1, add, -1), 144) << command;
        EXPECT_EQ(g.RP1210_SendCommand(command, 1, nullptr, 8), 144) << command;
    }
}

TEST(SpeedChange, SendsTheSpeedAndStoresIt)
{
    struct Row {
        short command;
        const char* connectString;
        int code;
        const char* frame;  // null: refused with `rc`
        short rc;
    };
    const Row rows[] = {
        {37, "J1939", 5, "04 10 01 10 42 24", 0},      {37, "J1939", 152, "04 10 01 10 42 28", 0},
        {38, "ISO15765", 6, "04 10 01 11 42 25", 0},   {47, "CAN", 7, "04 10 01 02 42 26", 0},
        {47, "CAN", 4, "04 10 01 02 42 23", 0},        {305, "J1708", 151, "04 10 01 0f 42 2d", 0},
        {305, "J1708", 153, "04 10 01 0f 42 2a", 0},   {305, "J1708", 3, "04 10 01 0f 42 20", 0},
        {1000, "KWP2000", 34, "04 10 01 01 42 22", 0}, {37, "J1939", 8, nullptr, 457},
        {38, "ISO15765", 8, nullptr, 458},             {47, "CAN", 8, nullptr, 454},
        {305, "J1708", 4, nullptr, 456},               {1000, "KWP2000", 36, nullptr, 507},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::to_string(r.command) + " code " + std::to_string(r.code));
        WireRig rig;
        ASSERT_EQ(rig.connect(r.connectString), 1);
        const enu_GATEWAY_Velocidad before = rig.g.getCliente(1)->getProtocolSpeed();
        EXPECT_EQ(rig.cmd(r.command, 1, QByteArray("\x42") + char(r.code)), r.rc);
        EXPECT_EQ(rig.cmd(r.command, 1, "42"), 144);
        EXPECT_EQ(rig.wire(0x10), r.frame ? std::vector<std::string>{r.frame} : std::vector<std::string>{});
        if (r.frame) {
            EXPECT_EQ(rig.g.getCliente(1)->getProtocolSpeed(), quint8(hex(r.frame).back()));
        } else {
            EXPECT_EQ(rig.g.getCliente(1)->getProtocolSpeed(), before);
        }
    }
}

TEST_F(CommandsTest, ProtocolBaudAcceptsOnlyTheTabledSpeeds)
{
    ASSERT_EQ(connect("KWP2000"), 1);
    std::set<int> accepted = {34, 39, 41, 42, 43, 44, 45};
    for (int v = 3; v <= 32; ++v)
        accepted.insert(v);
    for (int v = 0; v < 256; ++v)
        EXPECT_EQ(cmd(1000, 1, QByteArray(1, 0) + char(v)), accepted.count(v) ? 0 : 507) << v;
    EXPECT_EQ(count(0x10), int(accepted.size()));
}

TEST_F(CommandsTest, SpeedChangeThatTimesOutStillStoresTheSpeedAndNeedsTheOnlyClient)
{
    ASSERT_EQ(connect("J1939"), 1);
    silence(0x10);
    const auto [rc, moved] = runWhileClockMoves([&] { return cmd(37, 1, "0006"); });
    EXPECT_EQ(rc, 142);
    EXPECT_GE(moved, 7);
    EXPECT_LE(moved, 9);
    char text[8] = {};
    EXPECT_EQ(g.RP1210_SendCommand(45, 1, text, sizeof text), 0);
    EXPECT_STREQ(text, "500000");

    ASSERT_EQ(connect("J1939:Baud=Auto"), 2);
    const int from = mark();
    EXPECT_EQ(cmd(37, 1, "0005"), 156);
    EXPECT_EQ(count(0x10, from), 0);
    EXPECT_EQ(g.getCliente(1)->getProtocolSpeed(), VELOCIDAD_500000);
}

// Another client's send and read go on while a command holds the command lock.
TEST_F(CommandsTest, OtherClientsSendAndReadWhileACommandWaits)
{
    ASSERT_EQ(connect("J1939"), 1);
    ASSERT_EQ(connect("J1708"), 2);
    silence(0x10);
    auto waiting = std::async(std::launch::async, [&] { return cmd(37, 1, "0006"); });
    ASSERT_TRUE(waitUntil([&] { return count(0x10) == 1; }));
    EXPECT_EQ(g.RP1210_SendMessage(2, "\x08\x80\x01", 3, 0, 0), 0);
    ASSERT_TRUE(waitUntil([&] { return count(0x04) == 1; }));
    EXPECT_EQ(wire(0x04)[0].substr(0, 8), "04 04 02");
    char buf[16];
    EXPECT_EQ(g.RP1210_ReadMessage(2, buf, sizeof buf, 0), 0);
    // Nothing answered and the clock stood still: the command is still waiting.
    EXPECT_EQ(waiting.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
    link.deliver(hex("041001"));
    EXPECT_EQ(waiting.get(), 0);
}

TEST_F(CommandsTest, ResetOfTheOnlyClientResetsTheAdapterAndClosesTheLink)
{
    ASSERT_EQ(connect("J1939"), 1);
    ASSERT_EQ(cmd(29, 1, ""), 0);  // no disconnect will come to lift this
    leaveAMessageWaiting(1);
    const int from = mark();
    // The status slot is pending from creation: only the status request is waited for.
    EXPECT_EQ(withoutWait([&] { return cmd(0, 1, ""); }), 0);
    // The waiting frames were dropped before the reset went out; then the adapter's status.
    EXPECT_EQ(wire(-1, from), (std::vector<std::string>{"04 07", "04 06 ff"}));
    EXPECT_FALSE(g.getCliente(1)->getConectado());
    EXPECT_FALSE(g.getConnectionsDisallowed());
    EXPECT_FALSE(linkOpen());
    EXPECT_EQ(link.releaseCalls(), 1);

    answerConnects();
    ASSERT_EQ(connect("J1939"), 1);
    EXPECT_EQ(link.initializeCalls(), 2);
    EXPECT_TRUE(linkOpen());
    // Now the slot reads 0 from that answer: the reset first lets 5 s pass.
    const auto [rc, moved] = runWhileClockMoves([&] { return cmd(0, 1, ""); });
    EXPECT_EQ(rc, 0);
    EXPECT_GE(moved, 5);
}

TEST_F(CommandsTest, ResetWithoutAStatusAnswerGivesHardwareNotResponding)
{
    silence(6);
    ASSERT_EQ(connect("J1939"), 1);
    const auto [rc, moved] = runWhileClockMoves([&] { return cmd(0, 1, ""); });
    EXPECT_EQ(rc, 142);
    EXPECT_GE(moved, 2);
    EXPECT_FALSE(g.getCliente(1)->getConectado());
    EXPECT_FALSE(linkOpen());
}

TEST_F(CommandsTest, ResetNeedsExactlyOneConnectedClientAndItMustBeTheCaller)
{
    EXPECT_EQ(cmd(0, 1, ""), 156);  // none connected
    ASSERT_EQ(connect("J1939"), 1);
    EXPECT_EQ(cmd(0, 2, ""), 148);
    ASSERT_EQ(connect("J1708"), 2);
    EXPECT_EQ(cmd(0, 1, ""), 156);
    EXPECT_EQ(count(0x07), 0);
    EXPECT_EQ(count(0x06), 0);
    EXPECT_TRUE(g.getCliente(1)->getConectado());
}

}  // namespace
