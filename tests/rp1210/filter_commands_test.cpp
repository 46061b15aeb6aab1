// Filter and transport-layer commands on the fake adapter's wire; the exported local filter additions.
#include "wire_rig.h"

#include "client/filters.h"

namespace {

// Adapter generations by interface letter and version: J, K1 and E hold filters, A does not.
const std::pair<const char*, int> kJ{"J", 1}, kA{"A", 7}, kK1{"K", 1}, kE{"E", 1};

struct FilterRig : WireRig {
    explicit FilterRig(std::pair<const char*, int> gen, const char* protocol)
    {
        reply(0xF2, "04f200", false);  // J1850 connects start the interface first
        EXPECT_EQ(connectOn(gen.first, gen.second, protocol), 1);
        from = mark();
    }
    std::string sent()  // the frames written since the mark, in hex, joined by " | "
    {
        std::string s;
        for (const std::string& f : wire(-1, from))
            s += (s.empty() ? "" : " | ") + f;
        return s;
    }
    int filters() { return g.getCliente(1)->getFilterSize(); }
    int from = 0;
};

TEST(FilterCommands, J1939FirstRecordGoesToAdaptersThatHoldFilters)
{
    const std::tuple<std::pair<const char*, int>, const char*, short, const char*, int> rows[] = {
        {kJ, "01ECFE0006334401FEEB00060000", 0, "04 e0 01 10 01 ec fe 00", 2},
        {kA, "01ECFE0006334401FEEB00060000", 0, "", 2},
        {kE, "01ECFE00063344", 0, "04 e0 01 10 01 ec fe 00", 1},
        {kK1, "04000000003300", 0, "04 e3 01 10 33", 1},
        {kJ, "06000000003300", 0, "", 1},  // priority and source: not sent
        // A size that is no multiple of 7 still sends the first record before the walk refuses it.
        {kJ, "01ECFE00063344010203", 144, "04 e0 01 10 01 ec fe 00", 0},
        {kJ, "01ECFE000633", 144, "", 0},
        {kJ, "", 144, "", 0}};
    for (const auto& [gen, data, rc, frames, filters] : rows) {
        SCOPED_TRACE(std::string(gen.first) + " " + data);
        FilterRig rig(gen, "J1939");
        EXPECT_EQ(rig.withoutWait([&, d = data] { return rig.cmd(4, 1, d); }), rc);
        EXPECT_EQ(rig.sent(), frames);
        EXPECT_EQ(rig.filters(), filters);
        EXPECT_EQ(rig.g.getCliente(1)->getFilterState(), filters ? 2 : 0);
    }
}

TEST(FilterCommands, CanFilterAdaptersThatHoldFiltersAreAskedFirst)
{
    const QByteArray record = hex("00000007FF00000123");
    const std::tuple<std::pair<const char*, int>, QByteArray, int, short, int> rows[] = {
        {kA, record, 0, 0, 1},           {kA, record + hex("01"), 0, 144, 0}, {kJ, record, 0, 0, 1},
        {kJ, record + record, 0, 0, 2},  {kJ, record, 12, 161, 0},            {kJ, record, -1, 142, 0},  // -1: silent
        {kJ, record + hex("01"), 0, 144, 0}, {kJ, record.left(8), 0, 144, 0}};
    for (const auto& [gen, data, answer, rc, filters] : rows) {
        SCOPED_TRACE(std::string(gen.first) + " " + toHex(data) + " answer " + std::to_string(answer));
        FilterRig rig(gen, "CAN");
        if (answer >= 0)
            rig.reply(0xE6, QByteArray(1, char(answer)).prepend(hex("04e6")).toHex().constData(), false);
        const auto [result, moved] = rig.runWhileClockMoves([&, d = data] { return rig.cmd(5, 1, d); });
        EXPECT_EQ(result, rc);
        EXPECT_GE(moved, answer < 0 ? 7 : 0);
        const bool asked = gen == kJ && data.size() >= 9;
        EXPECT_EQ(rig.sent(), asked ? "04 e6 01 00 00 00 01 23 00 00 07 ff" : "");
        EXPECT_EQ(rig.filters(), filters);
    }
}

TEST(FilterCommands, LocalFiltersAndProtocolChecks)
{
    FilterRig rig(kA, "J1708");
    EXPECT_EQ(rig.cmd(7, 1, ""), 0);  // J1708: one MID per byte
    EXPECT_EQ(rig.g.getCliente(1)->getFilterState(), 0);
    EXPECT_EQ(rig.cmd(7, 1, "808182"), 0);
    // Past 255 bytes the walk neither wraps nor stops early: every byte is offered.
    EXPECT_EQ(rig.cmd(7, 1, QByteArray(256, char(0x90))), 501);
    EXPECT_EQ(rig.filters(), 3 + 62);

    ASSERT_EQ(rig.connect("CAT"), 2);  // CDL: one record behind a one-byte length
    Cliente* c = rig.g.getCliente(2);
    EXPECT_EQ(rig.cmd(211, 2, "80") + rig.cmd(211, 2, "808182") + rig.cmd(211, 2, QByteArray(255, 1)), 0);
    EXPECT_EQ(rig.cmd(211, 2, QByteArray(256, 1)), 144);
    const auto* f = dynamic_cast<const CDL_Filtro*>(c->getActiveFilter(0));
    ASSERT_TRUE(f && c->getFilterSize() == 2);
    EXPECT_EQ(f->getPattern(), (std::vector<quint8>{0x80, 0x81, 0x82}));

    ASSERT_EQ(rig.connect("KWP2000"), 3);  // each filter command needs its protocol
    for (const auto& [command, size] : {std::pair<short, int>{4, 7}, {5, 9}, {7, 1}, {8, 6}, {9, 11}, {211, 3}})
        EXPECT_EQ(rig.cmd(command, 3, QByteArray(size, 1)), 144) << command;
    // Impossible buffers are refused.
    char data[11] = {};
    for (const auto& [command, id] : {std::pair<short, short>{34, 1}, {9, 1}, {7, 1}, {211, 2}}) {
        EXPECT_EQ(rig.g.RP1210_SendCommand(command, id, data, -1), 144) << command;
        EXPECT_EQ(rig.g.RP1210_SendCommand(command, id, nullptr, 4), 144) << command;
    }
    EXPECT_EQ(rig.filters() + c->getFilterSize() + rig.g.getCliente(3)->getFilterSize(), 65 + 2);
    EXPECT_EQ(rig.count(-1, rig.from), rig.count(2, rig.from));  // the connects only
}

TEST(FilterCommands, J1850FiltersAreAddedBeforeTheAdapterIsAsked)
{
    FilterRig rig(kA, "J1850VPW");
    rig.reply(0xF3, "04f300", false);
    EXPECT_EQ(rig.cmd(8, 1, "FF0000400000"), 0);
    EXPECT_EQ(rig.cmd(8, 1, "FF000040000000"), 144);
    EXPECT_EQ(rig.filters(), 1);
    // Only the first record is sent; the filters stay when the adapter does not answer.
    rig.silence(0xF3);
    const int from = rig.mark();
    const auto [rc, moved] = rig.runWhileClockMoves([&] { return rig.cmd(8, 1, "FF000041000000FF00004200"); });
    EXPECT_TRUE(rc == 142 && moved >= 7) << rc << " after " << moved;
    EXPECT_EQ(rig.filters(), 3);
    EXPECT_EQ(rig.wire(0xF3, from), std::vector<std::string>{"04 f3 ff 00 00 41 00 00"});
}

TEST(FilterCommands, Iso15765FiltersAreAskedOnlyForWhatIsNew)
{
    const char *a = "000000FFFF000000012300", *b = "000000FFFF000000045600", *c = "000000FFFF000000078900";
    FilterRig rig(kA, "ISO15765");
    rig.reply(0xEB, "04eb00000000", false);
    EXPECT_EQ(rig.cmd(9, 1, hex(a) + hex(b)), 0);
    EXPECT_EQ(rig.filters(), 2);
    EXPECT_EQ(rig.cmd(9, 1, hex(b) + hex(a)), 0);  // both held already
    EXPECT_EQ(rig.cmd(9, 1, ""), 0);
    EXPECT_EQ(rig.cmd(9, 1, hex(a) + hex(c)), 0);
    EXPECT_EQ(rig.filters(), 3);
    EXPECT_EQ(rig.sent(), "04 eb 01 11 01 00 16 " + toHex(hex(a) + hex(b)) + " | 04 eb 01 11 01 00 0b " + toHex(hex(c)));
    EXPECT_EQ(rig.cmd(9, 1, hex(a) + hex("00")), 144);
    // A negative answer is reported as an invalid command; nothing is added.
    rig.reply(0xEB, "04eb00000001", false);
    EXPECT_EQ(rig.cmd(9, 1, QByteArray(11, 0)), 144);
    EXPECT_EQ(rig.filters(), 3);
    EXPECT_EQ(rig.count(0xEB), 3);
}

TEST(FilterCommands, DiscardAllClearsTheAdapterThenTheClientWhateverTheAnswer)
{
    const std::tuple<std::pair<const char*, int>, const char*, const char*, short, const char*> rows[] = {
        {kA, "ISO15765", "04eb00000003", 136, "04 eb 01 11 00 00 00"},
        {kJ, "ISO15765", "04eb00000000", 0, "04 eb 01 11 00 00 00"},
        {kA, "J1850VPW", "04f400", 0, "04 f4"},
        {kJ, "CAN", "04e70d", 523, "04 e7 01"},
        {kA, "CAN", "", 0, ""},
        {kJ, "J1708", "", 0, ""}};
    for (const auto& [gen, protocol, answer, rc, frames] : rows) {
        SCOPED_TRACE(std::string(gen.first) + " " + protocol);
        FilterRig rig(gen, protocol);
        if (*answer)
            rig.reply(hex(answer)[1], answer, false);
        ASSERT_EQ(rig.g.getCliente(1)->addFiltro(ubytes(QByteArray(11, 0))), 0u);
        EXPECT_EQ(rig.withoutWait([&] { return rig.cmd(17, 1, ""); }), rc);
        EXPECT_EQ(rig.sent(), frames);
        EXPECT_EQ(rig.filters() + rig.g.getCliente(1)->getFilterState(), 0);
    }
    // J1939 filters are cleared in the adapter one by one, in their order.
    for (const auto& gen : {kJ, kA}) {
        FilterRig rig(gen, "J1939");
        for (const char* h : {"01ECFE00000000", "04000000003300", "02000000060000", "03FEEB00000000"})
            ASSERT_EQ(rig.g.getCliente(1)->addFiltro(ubytes(hex(h))), 0u);
        EXPECT_EQ(rig.cmd(17, 1, ""), 0);
        EXPECT_EQ(rig.sent(), gen == kA ? "" : "04 e2 01 10 01 ec fe 00 | 04 e4 01 10 | 04 e2 01 10 01 fe eb 00");
        EXPECT_EQ(rig.filters(), 0);
    }
}

TEST(FilterCommands, TransportCommandsPassTheirBytesAndMapTheAnswer)
{
    const std::tuple<short, const char*, const char*, short, const char*> rows[] = {
        {34, "0000000123000000045600080A", "04090000", 0, "04 09 01 00 0d 00 00 00 01 23 00 00 00 04 56 00 08 0a 11"},
        {34, "00000001230000", "04090009", 144, "04 09 01 00 07 00 00 00 01 23 00 00 11"},
        {34, "00000001230000", "04090001", 144, "04 09 01 00 07 00 00 00 01 23 00 00 11"},
        {35, "", "040a0005", 515, "04 0a 01"},
        {1001, "01AA", "04e8000000", 0, "04 e8 01 11 01 aa"},
        {1001, "01AA", "04e8000001", 144, "04 e8 01 11 01 aa"},
        {1001, "01", "04e8000000", 144, ""},
        {1002, "01", "04e9000003", 136, "04 e9 01 11 01"},
        {1002, "", "04e9000000", 144, ""},
        {1003, "30", "04ea000000", 0, "04 ea 01 11 30"},
        {1003, "", "04ea000000", 144, ""},
        {27, "32000000", "0414000000", 0, "04 14 01 11 00 00 00 32"},
        {27, "320000", "0414000000", 144, ""},
        {27, "3200000000", "0414000000", 144, ""}};
    for (const auto& [command, data, answer, rc, frames] : rows) {
        SCOPED_TRACE(std::to_string(command) + " " + data + " answer " + answer);
        FilterRig rig(kA, "ISO15765");
        rig.reply(hex(answer)[1], answer);
        EXPECT_EQ(rig.withoutWait([&, n = command, d = data] { return rig.cmd(n, 1, d); }), rc);
        EXPECT_EQ(rig.sent(), frames);
    }
}

TEST(FilterCommands, ProtectAddressWaitsOnlyWhenBlocking)
{
    FilterRig rig(kA, "J1939");
    Cliente* c = rig.g.getCliente(1);
    EXPECT_EQ(rig.withoutWait([&] { return rig.cmd(19, 1, "F9010203040506070802"); }), 146);  // not blocking
    EXPECT_EQ(rig.cmd(19, 1, "F9010203040506070800FF"), 144);
    EXPECT_EQ(rig.cmd(19, 1, "F901020304050607"), 144);
    EXPECT_EQ(rig.sent(), "04 e5 01 f9 01 02 03 04 05 06 07 08");
    for (const int state : {1, 0}) {
        rig.onService(0xE5, [state](const QByteArray& w) {
            return QList<QByteArray>{w.left(3) + char(state) + w[3]};  // client, state, address
        });
        EXPECT_EQ(rig.cmd(19, 1, "F9010203040506070800"), state ? 146 : 0);
        EXPECT_EQ(c->get_J1939_Claim_Address_State(), state ? 0 : 1);
    }
    EXPECT_EQ(c->get_J1939_Claim_Address_Value(), 0xF9);
    // Release is local: only the claimed address frees it.
    EXPECT_EQ(rig.cmd(31, 1, "F8"), 227);
    EXPECT_EQ(rig.cmd(31, 1, ""), 144);
    EXPECT_EQ(c->get_J1939_Claim_Address_Value(), 0xF9);
    EXPECT_EQ(rig.cmd(31, 1, "F9"), 0);
    EXPECT_EQ(c->get_J1939_Claim_Address_Value() + c->get_J1939_Claim_Address_State(), 0);
    EXPECT_EQ(rig.count(0xE5), 3);
}

TEST(FilterCommands, ExportedAdditionsRefuseRecordsShorterThanTheFilter)
{
    FilterRig rig(kA, "J1939");
    GestorRP1210& g = rig.g;
    for (const char* protocol : {"J1708", "CAT", "CAN"})
        ASSERT_GT(rig.connect(protocol), 1);
    Cliente *j1939 = g.getCliente(1), *j1708 = g.getCliente(2), *cat = g.getCliente(3), *can = g.getCliente(4);
    const QByteArray seven = hex("01ECFE00063344"), cans = hex("00000007FF00000123000000000000000456");
    const char* s = seven.constData();
    EXPECT_EQ(g.Cmd_Set_Message_Filtering(j1939, s, 7, 1), 144u);
    EXPECT_EQ(g.Cmd_Set_Message_Filtering(j1939, s, 7, 7) + g.Cmd_Set_Message_Filtering_For_J1939(j1939, s, 7), 0u);
    EXPECT_EQ(g.Cmd_Set_Message_Filtering_For_J1708(j1708, s, 3), 0u);
    EXPECT_EQ(j1939->getFilterSize() * 10 + j1708->getFilterSize(), 23);
    // A CAT record's first byte counts the bytes behind it: they must be there.
    EXPECT_EQ(g.Cmd_Set_Message_Filtering(cat, hex("05AABB").constData(), 3, 3), 144u);
    EXPECT_EQ(g.Cmd_Set_Message_Filtering(cat, hex("02AABB").constData(), 3, 3), 0u);
    EXPECT_EQ(g.Cmd_Set_Message_Filtering_For_CDL(cat, s, 1), 0u);
    EXPECT_EQ(cat->getFilterSize(), 1);
    EXPECT_EQ(g.Cmd_Set_Message_Filtering_For_CAN(can, cans.constData(), 18), 0u);
    EXPECT_EQ(can->getFilterSize(), 2);
    EXPECT_EQ(g.Cmd_Set_Message_Filtering_For_ISO15765(j1939, cans.constData(), 11, 11), 144);
    EXPECT_EQ(rig.count(0xEB), 0);
}

}  // namespace
