// RP1210_SendCommand: entry checks, client settings, speed changes and reset, on the fake adapter's wire.
#include "wire_rig.h"

#include <functional>

namespace {

class CommandsTest : public ::testing::Test, public WireRig {
protected:
    // Client 1 (J1939) gets a received message and one waiting to go: unconfirmed, J1939 lets two out.
    void fillQueues(int sends)
    {
        QByteArray rx = hex("0102");
        ASSERT_EQ(g.getCliente(1)->addMsjRecibidoECHO(rx), 0u);
        silence(4);
        for (int i = 0; i < sends; ++i)
            ASSERT_EQ(g.RP1210_SendMessage(1, "\x00\xef\x00\x06\xf9\x00\xaa", 7, 0, 0), 0);
        ASSERT_TRUE(waitUntil([&] { return io.outputListSize() == 1; }));
    }
};

TEST_F(CommandsTest, EntryChecksComeBeforeTheCommandAndSendNothing)
{
    ASSERT_EQ(connect("J1939"), 1);
    ASSERT_EQ(connect("J1939"), 2);
    ASSERT_EQ(g.RP1210_ClientDisconnect(2), 0);
    const int from = mark();
    for (short id : {0, 17, -1, 257})  // 257 would be client 1 if narrowed to a byte
        EXPECT_EQ(cmd(3, id, ""), 129) << id;
    for (short number : {1, 44, 212, 1004, -1})
        EXPECT_EQ(cmd(number, 1, "01020304"), 143) << number;
    // A freed slot's commands; client 2's old protocol is client 1's bus.
    for (short number : {3, 16, 18, 24, 37, 39, 45, 46, 215, 1000})
        EXPECT_EQ(withoutWait([&] { return cmd(number, 2, QByteArray(16, 1)); }), 129) << number;
    EXPECT_EQ(g.getCliente(1)->getProtocolSpeed(), VELOCIDAD_250000);
    // Commands for the manager or the adapter as a whole need no connected slot.
    EXPECT_EQ(cmd(28, 5, "5100"), 0);
    EXPECT_EQ(cmd(48, 5, ""), 1);
    link.setComChannel(3);  // wireless
    EXPECT_EQ(cmd(48, 5, ""), 0);
    EXPECT_EQ(link.frameCount(), from);
    // 29 needs a single client and refuses connects until the last disconnect.
    EXPECT_EQ(cmd(29, 5, ""), 0);
    EXPECT_EQ(connect("J1708"), 455);
    ASSERT_EQ(g.RP1210_ClientDisconnect(1), 0);
    ASSERT_EQ(connect("J1939"), 1);
    ASSERT_EQ(connect("J1708"), 2);
    EXPECT_EQ(cmd(29, 2, ""), 156);
    EXPECT_EQ(connect("CAN"), 3);
    g.set_Error(142);
    EXPECT_EQ(cmd(1, 1, ""), 142);  // before the command number
}

TEST_F(CommandsTest, ClientSettings)
{
    reply(0xF2, "04f200", false);  // the J1850 interface
    for (const char* s : {"J1939", "J1708", "CAN", "J1850VPW", "ISO15765", "KWP2000"})
        ASSERT_GT(connect(s), 0) << s;
    Cliente* c = g.getCliente(1);
    const unsigned char record[11] = {};
    // 39 empties both queues and the client's frames waiting to go; so does turning echo on (16).
    fillQueues(3);
    ASSERT_EQ(c->addMsjSaliente("\x01\x02\x03", 3), 0u);
    EXPECT_EQ(cmd(39, 1, ""), 0);
    EXPECT_EQ(std::make_tuple(c->receivedCount(), c->getfreeBufferSalida(), io.outputListSize()),
              std::make_tuple(0, c->getTamanoBufferSalida(), 0));
    fillQueues(1);
    ASSERT_EQ(c->addFiltro(record), 0u);
    using Get = std::function<int()>;
    const Get echo = [&] { return c->getEchoMode(); }, receive = [&] { return c->getMessageReceive(); },
              filters = [&] { return c->getFilterState() * 10 + c->getFilterSize(); },
              j1708 = [&] { return c->getJ1708Mode(); }, errorSize = [&] { return g.errores().getMaxErrorMsgSize(); },
              blocking = [&] { return int(c->getBlockingTimeout()); };
    const std::tuple<short, const char*, short, Get, int> rows[] = {  // command, data, rc, then the setting
        {16, "31", 0, echo, 1},          {16, "00", 0, echo, 0},              {16, "01", 0, echo, 1},
        {16, "30", 0, echo, 0},          {16, "02", 144, echo, 0},            {16, "", 144, echo, 0},
        {18, "00", 0, receive, 0},       {18, "02", 144, receive, 0},         {18, "01", 0, receive, 1},
        {18, "", 144, receive, 1},       {3, "", 0, filters, 10},             {15, "02", 0, j1708, 2},
        {15, "", 144, j1708, 2},         {28, "5000", 144, errorSize, 80},    {28, "5100", 0, errorSize, 81},
        {28, "0001", 0, errorSize, 256}, {28, "0a", 144, errorSize, 256},     {28, "010000", 144, errorSize, 256},
        {215, "ffff", 0, blocking, 65025}, {215, "01c8", 0, blocking, 200}, {215, "0a", 144, blocking, 200},
    };
    for (const auto& [command, data, rc, setting, value] : rows) {
        EXPECT_EQ(cmd(command, 1, data), rc) << command << " " << data;
        EXPECT_EQ(setting(), value) << command << " " << data;
    }
    EXPECT_EQ(c->receivedCount(), 0);
    EXPECT_EQ(io.outputListSize(), 0);
    // Filter type commands take only their protocol's client: they empty its filters and set the mode.
    for (auto [command, owner] : {std::pair{24, 2}, {25, 1}, {26, 3}, {30, 4}, {32, 5}})
        for (short id = 1; id <= 5; ++id) {
            Cliente* k = g.getCliente(quint8(id));
            k->deleteAllFilters();
            ASSERT_EQ(k->addFiltro(record), 0u);
            k->setFilterMode(0);
            EXPECT_EQ(cmd(short(command), id, ""), 144);
            EXPECT_EQ(cmd(short(command), id, "07"), id == owner ? 0 : 144) << command << " on " << id;
            EXPECT_EQ(k->getFilterSize() * 10 + k->getFilterMode(), id == owner ? 1 : 10) << command << " on " << id;
        }
    // 45 writes the speed text only if it and its zero fit: "250000" needs 7 bytes.
    char buf[8] = {'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x'};
    EXPECT_EQ(g.RP1210_SendCommand(45, 1, buf, 6), 144);
    EXPECT_EQ(std::string(buf, 8), "xxxxxxxx");
    EXPECT_EQ(g.RP1210_SendCommand(45, 1, buf, 7), 0);
    EXPECT_EQ(std::string(buf, 8), std::string("250000\0x", 8));
    // 46 sends a mode only when it differs: 1 is the default; 128 and above never match.
    for (const char* mode : {"01", "00", "c8", "c8", ""})
        EXPECT_EQ(cmd(46, 6, mode), *mode ? 0 : 144) << mode;
    EXPECT_EQ(wire(0x0E), (std::vector<std::string>(3, "04 0e 06 01 01")));
    // Broadcast commands go to the manager's list or to the adapter, and answer the key in the buffer.
    for (auto [command, byAdapter] : {std::pair{20, 0}, {22, 0}, {23, 0}, {33, 0}, {21, 1}, {41, 1}, {42, 1}}) {
        const int from = mark();
        char add[] = {1, 0x64, 0x00, 0x03, 0x00, 0x18, char(0xEF), 0x00}, removeAll[] = {3};
        EXPECT_EQ(g.RP1210_SendCommand(short(command), 3, add, sizeof add), 0) << command;
        EXPECT_EQ(add[0], 0) << command;                       // the key of the new record
        EXPECT_EQ(count(0xFE, from), byAdapter) << command;  // repeated by the adapter
        EXPECT_EQ(g.RP1210_SendCommand(short(command), 3, removeAll, 1), 0) << command;
        EXPECT_EQ(g.RP1210_SendCommand(short(command), 3, add, -1), 144) << command;
        EXPECT_EQ(g.RP1210_SendCommand(short(command), 3, nullptr, 8), 144) << command;
    }
}

TEST(SpeedChange, SendsTheSpeedAndStoresItOrRefusesAnUnknownCode)
{
    const std::tuple<short, const char*, int, const char*, short> rows[] = {  // frame null: refused with rc
        {37, "J1939", 5, "04 10 01 10 42 24", 0},    {37, "J1939", 8, nullptr, 457},
        {38, "ISO15765", 6, "04 10 01 11 42 25", 0}, {38, "ISO15765", 8, nullptr, 458},
        {47, "CAN", 152, "04 10 01 02 42 28", 0},    {47, "CAN", 8, nullptr, 454},
        {305, "J1708", 151, "04 10 01 0f 42 2d", 0}, {305, "J1708", 4, nullptr, 456},
    };
    for (const auto& [command, connectString, code, frame, rc] : rows) {
        WireRig rig;
        ASSERT_EQ(rig.connect(connectString), 1);
        const int before = rig.g.getCliente(1)->getProtocolSpeed();
        EXPECT_EQ(rig.cmd(command, 1, QByteArray("\x42") + char(code)), rc) << command << " " << code;
        EXPECT_EQ(rig.cmd(command, 1, "42"), 144);
        EXPECT_EQ(rig.wire(0x10), frame ? std::vector<std::string>{frame} : std::vector<std::string>{});
        EXPECT_EQ(rig.g.getCliente(1)->getProtocolSpeed(), frame ? quint8(hex(frame).back()) : before);
    }
    // 1000 takes the K-line speed values (their table is checked in texts_test.cpp): 3 is one, 2 is not.
    WireRig rig;
    ASSERT_EQ(rig.connect("KWP2000"), 1);
    EXPECT_EQ(rig.cmd(1000, 1, "0002"), 507);
    EXPECT_EQ(rig.cmd(1000, 1, "0003"), 0);
    EXPECT_EQ(rig.wire(0x10), std::vector<std::string>{"04 10 01 01 00 03"});
}

TEST_F(CommandsTest, SpeedChangeNeedsTheOnlyClientAndTimesOutStoringTheSpeedWhileOthersSendAndRead)
{
    ASSERT_EQ(connect("J1939"), 1);
    ASSERT_EQ(connect("J1708"), 2);
    silence(0x10);
    auto waiting = std::async(std::launch::async, [&] { return cmd(37, 1, "0006"); });
    ASSERT_TRUE(waitUntil([&] { return count(0x10) == 1; }));
    // The command lock does not hold another client's send and read.
    EXPECT_EQ(g.RP1210_SendMessage(2, "\x08\x80\x01", 3, 0, 0), 0);
    ASSERT_TRUE(waitUntil([&] { return count(0x04) == 1; }));
    char buf[16];
    EXPECT_EQ(g.RP1210_ReadMessage(2, buf, sizeof buf, 0), 0);
    EXPECT_EQ(waiting.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
    int moved = 0;  // moved here, not through another thread, so the count stops when the command returns
    for (; waiting.wait_for(std::chrono::milliseconds(2)) != std::future_status::ready; ++moved)
        clock.advanceSeconds(1);
    EXPECT_EQ(waiting.get(), 142);
    // The clock moves on while a loaded machine delays the return: the upper bound only
    // tells the injected clock from real time (7 real seconds would be some 3500 steps).
    EXPECT_TRUE(moved >= 7 && moved < 7 + 600) << moved;
    EXPECT_EQ(g.getCliente(1)->getProtocolSpeed(), VELOCIDAD_500000);
    ASSERT_EQ(connect("J1939:Baud=Auto"), 3);
    EXPECT_EQ(cmd(37, 1, "0005"), 156);
    EXPECT_EQ(count(0x10), 1);
}

TEST_F(CommandsTest, ResetOfTheOnlyClientResetsTheAdapterAndClosesTheLink)
{
    EXPECT_EQ(cmd(0, 1, ""), 156);  // none connected
    ASSERT_EQ(connect("J1939"), 1);
    EXPECT_EQ(cmd(0, 2, ""), 148);  // needs no connected slot: it answers for itself
    ASSERT_EQ(connect("J1708"), 2);
    EXPECT_EQ(cmd(0, 1, ""), 156);
    ASSERT_EQ(g.RP1210_ClientDisconnect(2), 0);
    ASSERT_EQ(cmd(29, 1, ""), 0);  // no disconnect will come to lift this
    fillQueues(3);
    EXPECT_EQ(count(7), 0);
    const int from = mark();
    // The status slot is pending from creation: only the status request is waited for.
    EXPECT_EQ(withoutWait([&] { return cmd(0, 1, ""); }), 0);
    // The waiting frames were dropped before the reset went out; then the adapter's status.
    EXPECT_EQ(wire(-1, from), (std::vector<std::string>{"04 07", "04 06 ff"}));
    EXPECT_EQ(std::make_tuple(g.numeroClientesConectados(), linkOpen(), link.releaseCalls()),
              std::make_tuple(0, false, 1));
    ASSERT_EQ(connect("J1939"), 1);  // allowed again, on a link opened afresh
    EXPECT_EQ(link.initializeCalls(), 2);
    // Now the slot reads 0 from that answer: the reset first lets 5 s pass; no status answer: 142.
    silence(6);
    const auto [rc, moved] = runWhileClockMoves([&] { return cmd(0, 1, ""); });
    EXPECT_TRUE(rc == 142 && moved >= 7) << rc << " after " << moved << " s";
    EXPECT_FALSE(linkOpen());
}

}  // namespace
