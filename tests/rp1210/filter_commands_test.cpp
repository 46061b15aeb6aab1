// Filter and transport-layer commands of RP1210_SendCommand, and the exported
// local-only filter additions.
#include "rp1210/command_rig.h"

#include "client/filters.h"

#include <functional>

namespace {

// Interface letters and versions of the adapter generations used here.
struct Generation {
    const char* type;
    int version;
};
constexpr Generation kGen1{"J", 1};
constexpr Generation kGen2{"A", 7};
constexpr Generation kGen3{"K", 1};
constexpr Generation kGen5{"E", 1};

TEST(J1939FilterCommand, FirstRecordGoesToAdaptersThatHoldFilters)
{
    struct Row {
        Generation gen;
        const char* data;
        short rc;
        const char* v6Pgn;  // expected SetFiltersV6 bytes, or null for none
        int sourceAddress;  // expected SetFilter_SA_V6 address, or -1
        int filters;
    };
    const Row rows[] = {
        {kGen1, "01ECFE0006334401FEEB00060000", 0, "ECFE00", -1, 2},
        {kGen2, "01ECFE0006334401FEEB00060000", 0, nullptr, -1, 2},
        {kGen5, "01ECFE00063344", 0, "ECFE00", -1, 1},
        {kGen3, "04000000003300", 0, nullptr, 0x33, 1},
        {kGen1, "06000000003300", 0, nullptr, -1, 1},  // priority and source: not sent
        {kGen2, "04000000003300", 0, nullptr, -1, 1},
        // A size that is no multiple of 7 still sends the first record before the walk refuses it.
        {kGen1, "01ECFE00063344010203", 144, "ECFE00", -1, 0},
        {kGen2, "01ECFE00063344010203", 144, nullptr, -1, 0},
        {kGen1, "01ECFE000633", 144, nullptr, -1, 0},  // shorter than the record the adapter gets
        {kGen1, "", 144, nullptr, -1, 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.gen.type) + " " + r.data);
        CommandRig rig;
        ASSERT_EQ(rig.connectOn(r.gen.type, r.gen.version, "J1939"), 1);
        EXPECT_EQ(rig.withoutWait([&] { return rig.cmdHex(4, 1, r.data); }), r.rc);
        const auto v6 = rig.out.calls("GenerarTrama_SetFiltersV6");
        ASSERT_EQ(v6.size(), r.v6Pgn ? 1u : 0u);
        if (r.v6Pgn) {
            EXPECT_EQ(v6[0].args, (std::vector<int>{1, PROTOCOLO_J1939, 1}));
            EXPECT_EQ(v6[0].data, hex(r.v6Pgn));
        }
        const auto sa = rig.out.calls("GenerarTrama_SetFilter_SA_V6");
        ASSERT_EQ(sa.size(), r.sourceAddress >= 0 ? 1u : 0u);
        if (r.sourceAddress >= 0) {
            EXPECT_EQ(sa[0].args, (std::vector<int>{1, PROTOCOLO_J1939, r.sourceAddress}));
        }
        EXPECT_EQ(rig.g.getCliente(1)->getFilterSize(), r.filters);
        EXPECT_EQ(rig.g.getCliente(1)->getFilterState(), r.filters ? 2 : 0);
    }
}

TEST(CanFilterCommand, AdaptersThatHoldFiltersAreAskedFirst)
{
    constexpr const char* kRecord = "00000007FF00000123";
    struct Row {
        Generation gen;
        QByteArray data;
        int answer;  // -1: silent adapter
        short rc;
        bool requested;
        int filters;
    };
    const Row rows[] = {
        {kGen2, hex(kRecord), 0, 0, false, 1},
        {kGen2, hex(kRecord) + hex("01"), 0, 144, false, 0},
        {kGen1, hex(kRecord), 0, 0, true, 1},
        {kGen1, hex(kRecord) + hex(kRecord), 0, 0, true, 2},
        {kGen1, hex(kRecord), 12, 161, true, 0},
        {kGen1, hex(kRecord), -1, 142, true, 0},
        {kGen1, hex(kRecord) + hex("01"), 0, 144, true, 0},
        {kGen1, hex(kRecord).left(8), 0, 144, false, 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.gen.type) + " " + r.data.toHex().constData() + " answer " +
                     std::to_string(r.answer));
        CommandRig rig;
        if (r.answer >= 0)
            rig.answerSlot("GenerarTrama_Set_CAN_Filter", &GestorRP1210::setCANFilterStatus, r.answer);
        ASSERT_EQ(rig.connectOn(r.gen.type, r.gen.version, "CAN"), 1);
        const auto [rc, moved] = rig.runWhileClockMoves([&] { return rig.cmd(5, 1, r.data); });
        EXPECT_EQ(rc, r.rc);
        if (r.answer < 0) {
            EXPECT_GE(moved, 7);
        }
        const auto requests = rig.out.calls("GenerarTrama_Set_CAN_Filter");
        ASSERT_EQ(requests.size(), r.requested ? 1u : 0u);
        if (r.requested) {
            EXPECT_EQ(requests[0].data, hex(kRecord));
        }
        EXPECT_EQ(rig.g.getCliente(1)->getFilterSize(), r.filters);
    }
}

class FilterCommandsTest : public ::testing::Test, public CommandRig {};

TEST_F(FilterCommandsTest, J1708FiltersOneMidPerByte)
{
    ASSERT_EQ(connect("J1708"), 1);
    Cliente* c = g.getCliente(1);
    EXPECT_EQ(cmd(7, 1, {}), 0);
    EXPECT_EQ(c->getFilterState(), 0);
    EXPECT_EQ(cmd(7, 1, {0x80, 0x81, 0x82}), 0);
    EXPECT_EQ(c->getFilterSize(), 3);
    // Past 255 bytes the walk neither wraps nor stops early: every byte is offered.
    EXPECT_EQ(cmd(7, 1, QByteArray(256, char(0x90))), 501);
    EXPECT_EQ(c->getFilterSize(), 65);
}

TEST_F(FilterCommandsTest, CdlFilterIsOneLengthPrefixedRecord)
{
    ASSERT_EQ(connect("CAT"), 1);
    Cliente* c = g.getCliente(1);
    EXPECT_EQ(cmd(211, 1, {0x80}), 0);
    EXPECT_EQ(c->getFilterSize(), 0);
    EXPECT_EQ(cmd(211, 1, {0x80, 0x81, 0x82}), 0);
    ASSERT_EQ(c->getFilterSize(), 1);
    const auto* f = dynamic_cast<const CDL_Filtro*>(c->getActiveFilter(0));
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->getPattern(), (std::vector<quint8>{0x80, 0x81, 0x82}));
    // The one-byte length cannot hold more.
    EXPECT_EQ(cmd(211, 1, QByteArray(256, 1)), 144);
    EXPECT_EQ(cmd(211, 1, QByteArray(255, 1)), 0);
    EXPECT_EQ(c->getFilterSize(), 2);
}

TEST_F(FilterCommandsTest, FilterCommandsNeedTheirProtocol)
{
    ASSERT_EQ(connect("KWP2000"), 1);
    const int before = callCount();
    const std::pair<short, int> commands[] = {{4, 7}, {5, 9}, {7, 1}, {8, 6}, {9, 11}, {211, 3}};
    for (const auto& [command, size] : commands)
        EXPECT_EQ(cmd(command, 1, QByteArray(size, 1)), 144) << command;
    EXPECT_EQ(callCount(), before);
}

TEST_F(FilterCommandsTest, J1850FiltersAreAddedBeforeTheAdapterIsAsked)
{
    ASSERT_EQ(connect("J1850VPW"), 1);
    const auto [rc, moved] = runWhileClockMoves([&] { return cmdHex(8, 1, "FF000040000000FF00004100"); });
    EXPECT_EQ(rc, 142);
    EXPECT_GE(moved, 7);
    EXPECT_EQ(g.getCliente(1)->getFilterSize(), 2);
    ASSERT_EQ(out.count("GenerarTrama_Set_J1850_Filter"), 1);
    EXPECT_EQ(out.calls("GenerarTrama_Set_J1850_Filter")[0].data, hex("FF0000400000"));

    answerSlot("GenerarTrama_Set_J1850_Filter", &GestorRP1210::setJ1850FilterStatus, RESP_SERV_OK);
    EXPECT_EQ(cmdHex(8, 1, "FF0000400000"), 0);
    EXPECT_EQ(cmdHex(8, 1, "FF000040000000"), 144);
    EXPECT_EQ(g.getCliente(1)->getFilterSize(), 3);
    EXPECT_EQ(out.count("GenerarTrama_Set_J1850_Filter"), 2);
}

TEST_F(FilterCommandsTest, Iso15765FiltersAreAskedOnlyForWhatIsNew)
{
    constexpr const char* kA = "000000FFFF0000000123" "00";
    constexpr const char* kB = "000000FFFF0000000456" "00";
    constexpr const char* kC = "000000FFFF0000000789" "00";
    answerSlot("GenerarTrama_Set_ISO15765_Filter", &GestorRP1210::setISO15765FilterStatus, RESP_SERV_OK);
    ASSERT_EQ(connect("ISO15765"), 1);
    Cliente* c = g.getCliente(1);

    EXPECT_EQ(cmd(9, 1, hex(kA) + hex(kB)), 0);
    EXPECT_EQ(c->getFilterSize(), 2);
    EXPECT_EQ(cmd(9, 1, hex(kB) + hex(kA)), 0);  // both held already
    EXPECT_EQ(cmd(9, 1, {}), 0);
    EXPECT_EQ(cmd(9, 1, hex(kA) + hex(kC)), 0);
    EXPECT_EQ(c->getFilterSize(), 3);
    const auto requests = out.calls("GenerarTrama_Set_ISO15765_Filter");
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].args, (std::vector<int>{1, PROTOCOLO_ISO15765, 1, 22}));
    EXPECT_EQ(requests[0].data, hex(kA) + hex(kB));
    EXPECT_EQ(requests[1].args, (std::vector<int>{1, PROTOCOLO_ISO15765, 1, 11}));
    EXPECT_EQ(requests[1].data, hex(kC));

    EXPECT_EQ(cmd(9, 1, hex(kA) + hex("00")), 144);
    // A negative answer is reported as an invalid command; nothing is added.
    answerSlot("GenerarTrama_Set_ISO15765_Filter", &GestorRP1210::setISO15765FilterStatus, RESP_SERV_NEGATIVE);
    EXPECT_EQ(cmd(9, 1, QByteArray(11, 0)), 144);
    EXPECT_EQ(c->getFilterSize(), 3);
    EXPECT_EQ(out.count("GenerarTrama_Set_ISO15765_Filter"), 3);
}

TEST(DiscardAllFilters, ClearsTheAdapterThenTheClientWhateverTheAnswer)
{
    struct Row {
        Generation gen;
        const char* connectString;
        const char* builder;  // the clear request expected, or null
        void (GestorRP1210::*slot)(RESPONSES_SERV_RP1210);
        int answer;
        short rc;
    };
    const Row rows[] = {
        {kGen2, "ISO15765", "GenerarTrama_Set_ISO15765_Filter", &GestorRP1210::setISO15765FilterStatus, 3, 136},
        {kGen1, "ISO15765", "GenerarTrama_Set_ISO15765_Filter", &GestorRP1210::setISO15765FilterStatus, 0, 0},
        {kGen2, "J1850VPW", "GenerarTrama_ClearFilterJ1850", &GestorRP1210::setJ1850ClearFilterStatus, 0, 0},
        {kGen1, "CAN", "GenerarTrama_ClearFilterCAN", &GestorRP1210::setCANClearFilterStatus, 13, 523},
        {kGen2, "CAN", nullptr, nullptr, 0, 0},
        {kGen1, "J1708", nullptr, nullptr, 0, 0},
    };
    const unsigned char record[11] = {};
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.gen.type) + " " + r.connectString);
        CommandRig rig;
        if (r.builder)
            rig.answerSlot(r.builder, r.slot, r.answer);
        ASSERT_EQ(rig.connectOn(r.gen.type, r.gen.version, r.connectString), 1);
        Cliente* c = rig.g.getCliente(1);
        ASSERT_EQ(c->addFiltro(record), 0u);
        const int before = rig.callCount();
        EXPECT_EQ(rig.withoutWait([&] { return rig.cmd(17, 1, {}); }), r.rc);
        EXPECT_EQ(rig.callCount() - before, r.builder ? 1 : 0);
        if (r.builder) {
            EXPECT_EQ(rig.out.count(r.builder), 1);
        }
        EXPECT_EQ(c->getFilterSize(), 0);
        EXPECT_EQ(c->getFilterState(), 0);
    }
}

TEST(DiscardAllFilters, J1939FiltersAreClearedInTheAdapterOneByOne)
{
    for (const bool adapterHoldsFilters : {true, false}) {
        SCOPED_TRACE(adapterHoldsFilters);
        const Generation gen = adapterHoldsFilters ? kGen1 : kGen2;
        CommandRig rig;
        ASSERT_EQ(rig.connectOn(gen.type, gen.version, "J1939"), 1);
        Cliente* c = rig.g.getCliente(1);
        for (const char* h : {"01ECFE00000000", "04000000003300", "02000000060000", "03FEEB00000000"})
            ASSERT_EQ(c->addFiltro(reinterpret_cast<const unsigned char*>(hex(h).constData())), 0u);
        EXPECT_EQ(rig.cmd(17, 1, {}), 0);
        const auto pgns = rig.out.calls("GenerarTrama_ClearFilterV6");
        const auto sources = rig.out.calls("GenerarTrama_ClearFilter_SA_V6");
        if (adapterHoldsFilters) {
            ASSERT_EQ(pgns.size(), 2u);
            EXPECT_EQ(pgns[0].data, hex("ECFE00"));
            EXPECT_EQ(pgns[1].data, hex("FEEB00"));
            EXPECT_EQ(sources.size(), 1u);
        } else {
            EXPECT_TRUE(pgns.empty());
            EXPECT_TRUE(sources.empty());
        }
        EXPECT_EQ(c->getFilterSize(), 0);
    }
}

using Update = std::function<void(GestorRP1210&, quint8 id, quint8 state)>;

TEST(TransportCommands, PassTheirBytesAndMapTheAnswer)
{
    const Update flowControl = [](GestorRP1210& g, quint8 id, quint8 s) {
        g.modificarEstadoServicio(id, SERV_ISO15765_FLOW_CONTROL, RESPONSES_SERV_RP1210(s));
    };
    const Update clearFlowControl = [](GestorRP1210& g, quint8 id, quint8 s) {
        g.modificarEstadoServicio(id, SERV_ISO15765_CLEAR_FLOW_CONTROL, RESPONSES_SERV_RP1210(s));
    };
    const Update padding = [](GestorRP1210& g, quint8 id, quint8 s) { g.actualizarSet_Padding_ISO15765_Response(id, s); };
    const Update remote = [](GestorRP1210& g, quint8 id, quint8 s) { g.actualizarSet_Remote_CAN_Message(id, s); };
    const Update firstFrame = [](GestorRP1210& g, quint8 id, quint8 s) {
        g.actualizarSet_Can_First_Consecutive_Frame_Value(id, s);
    };
    const Update interpacket = [](GestorRP1210& g, quint8 id, quint8 s) {
        g.actualizar_EstadoSetJ1939InterpacketTime(id, s);
    };
    struct Row {
        short command;
        const char* builder;
        Update update;
        const char* data;
        int answer;
        short rc;
        const char* sent;  // bytes the builder was given; null: not called
    };
    const Row rows[] = {
        {34, "GenerarTrama_ISO15765_Flow_Control", flowControl, "0000000123000000045600080A", 0, 0,
         "0000000123000000045600080A"},
        {34, "GenerarTrama_ISO15765_Flow_Control", flowControl, "00000001230000", 9, 144, "00000001230000"},
        {34, "GenerarTrama_ISO15765_Flow_Control", flowControl, "00000001230000", 1, 144, "00000001230000"},
        {35, "GenerarTrama_ISO15765_Clear_Flow_Control", clearFlowControl, "", 5, 515, ""},
        {1001, "GenerarTrama_Set_Padding_ISO15765", padding, "01AA", 0, 0, "01AA"},
        {1001, "GenerarTrama_Set_Padding_ISO15765", padding, "01AA", 1, 144, "01AA"},
        {1001, "GenerarTrama_Set_Padding_ISO15765", padding, "01", 0, 144, nullptr},
        {1002, "GenerarTrama_Set_Remote_CAN_Message", remote, "01", 3, 136, "01"},
        {1002, "GenerarTrama_Set_Remote_CAN_Message", remote, "", 0, 144, nullptr},
        {1003, "GenerarTrama_Set_Can_First_Consecutive_Frame_Value", firstFrame, "30", 0, 0, "30"},
        {1003, "GenerarTrama_Set_Can_First_Consecutive_Frame_Value", firstFrame, "", 0, 144, nullptr},
        {27, "GenerarTrama_Set_J1939_Interpacket_Time", interpacket, "32000000", 0, 0, "32000000"},
        {27, "GenerarTrama_Set_J1939_Interpacket_Time", interpacket, "320000", 0, 144, nullptr},
        {27, "GenerarTrama_Set_J1939_Interpacket_Time", interpacket, "3200000000", 0, 144, nullptr},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::to_string(r.command) + " " + r.data + " answer " + std::to_string(r.answer));
        CommandRig rig;
        const Update update = r.update;
        const int state = r.answer;
        rig.answer(r.builder, [update, state](GestorRP1210& g, const OutputCall& c) {
            update(g, quint8(c.args[0]), quint8(state));
        });
        ASSERT_EQ(rig.connect("ISO15765"), 1);
        EXPECT_EQ(rig.withoutWait([&] { return rig.cmdHex(r.command, 1, r.data); }), r.rc);
        const auto calls = rig.out.calls(r.builder);
        ASSERT_EQ(calls.size(), r.sent ? 1u : 0u);
        if (r.sent) {
            EXPECT_EQ(calls[0].args[0], 1);
            EXPECT_EQ(calls[0].data, hex(r.sent));
        }
    }
}

TEST_F(FilterCommandsTest, ProtectAddressWaitsOnlyWhenBlocking)
{
    ASSERT_EQ(connect("J1939"), 1);
    Cliente* c = g.getCliente(1);
    constexpr const char* kNonBlocking = "F90102030405060708" "02";
    EXPECT_EQ(withoutWait([&] { return cmdHex(19, 1, kNonBlocking); }), 146);
    ASSERT_EQ(out.count("GenerarTrama_J1939_AdressClaim"), 1);
    EXPECT_EQ(out.calls("GenerarTrama_J1939_AdressClaim")[0].data, hex(kNonBlocking));
    EXPECT_EQ(cmdHex(19, 1, "F9010203040506070800FF"), 144);
    EXPECT_EQ(cmdHex(19, 1, "F901020304050607"), 144);
    EXPECT_EQ(out.count("GenerarTrama_J1939_AdressClaim"), 1);

    const auto answerClaim = [this](int state) {
        answer("GenerarTrama_J1939_AdressClaim", [state](GestorRP1210& g, const OutputCall& call) {
            g.modificarEstadoJ1939AdressClaim(quint8(call.args[0]), SERV_PROTECT_J1939_ADDRESS, quint8(state),
                                              quint8(call.data[0]));
        });
    };
    answerClaim(RESP_SERV_NEGATIVE);
    EXPECT_EQ(cmdHex(19, 1, "F90102030405060708" "00"), 146);
    EXPECT_EQ(c->get_J1939_Claim_Address_State(), 0);
    answerClaim(RESP_SERV_OK);
    EXPECT_EQ(cmdHex(19, 1, "F90102030405060708" "00"), 0);
    EXPECT_EQ(c->get_J1939_Claim_Address_Value(), 0xF9);
    EXPECT_EQ(c->get_J1939_Claim_Address_State(), 1);

    // Release is local: only the claimed address frees it.
    EXPECT_EQ(cmd(31, 1, {0xF8}), 227);
    EXPECT_EQ(cmd(31, 1, {}), 144);
    EXPECT_EQ(c->get_J1939_Claim_Address_Value(), 0xF9);
    EXPECT_EQ(cmd(31, 1, {0xF9}), 0);
    EXPECT_EQ(c->get_J1939_Claim_Address_Value(), 0);
    EXPECT_EQ(c->get_J1939_Claim_Address_State(), 0);
    EXPECT_EQ(out.count("GenerarTrama_J1939_AdressClaim"), 3);
}

TEST_F(FilterCommandsTest, ImpossibleBuffersAreRefused)
{
    ASSERT_EQ(connect("ISO15765"), 1);
    ASSERT_EQ(connect("J1708"), 2);
    const int before = callCount();
    char data[11] = {};
    const std::pair<short, short> rows[] = {{34, 1}, {9, 1}, {7, 2}};  // command, client
    for (const auto& [command, id] : rows) {
        EXPECT_EQ(g.RP1210_SendCommand(command, id, data, -1), 144) << command;
        EXPECT_EQ(g.RP1210_SendCommand(command, id, nullptr, 4), 144) << command;
    }
    EXPECT_EQ(callCount(), before);
    EXPECT_EQ(g.getCliente(2)->getFilterSize() + g.getCliente(1)->getFilterSize(), 0);
}

TEST_F(FilterCommandsTest, ExportedAdditionsRefuseRecordsShorterThanTheFilter)
{
    ASSERT_EQ(connect("J1939"), 1);
    ASSERT_EQ(connect("J1708"), 2);
    ASSERT_EQ(connect("CAT"), 3);
    ASSERT_EQ(connect("CAN"), 4);
    Cliente* j1939 = g.getCliente(1);
    Cliente* j1708 = g.getCliente(2);
    Cliente* cat = g.getCliente(3);
    const QByteArray seven = hex("01ECFE00063344");
    EXPECT_EQ(g.Cmd_Set_Message_Filtering_For_J1708(j1939, seven.constData(), 3), 144u);
    EXPECT_EQ(g.Cmd_Set_Message_Filtering(j1939, seven.constData(), 7, 1), 144u);
    EXPECT_EQ(g.Cmd_Set_Message_Filtering(j1939, seven.constData(), 7, 0), 144u);
    EXPECT_EQ(g.Cmd_Set_Message_Filtering_For_CDL(j1939, seven.constData(), 3), 144u);
    EXPECT_EQ(g.Cmd_Set_Message_Filtering_For_J1939(j1939, seven.constData(), 6), 144u);
    EXPECT_EQ(j1939->getFilterSize(), 0);
    EXPECT_EQ(g.Cmd_Set_Message_Filtering(j1939, seven.constData(), 7, 7), 0u);
    EXPECT_EQ(g.Cmd_Set_Message_Filtering_For_J1939(j1939, seven.constData(), 7), 0u);
    EXPECT_EQ(j1939->getFilterSize(), 2);

    EXPECT_EQ(g.Cmd_Set_Message_Filtering_For_J1708(j1708, seven.constData(), 0), 0u);
    EXPECT_EQ(g.Cmd_Set_Message_Filtering_For_J1708(j1708, seven.constData(), 3), 0u);
    EXPECT_EQ(j1708->getFilterSize(), 3);

    // A CAT record's first byte counts the bytes behind it: they must be there.
    const QByteArray counted = hex("05AABB");
    EXPECT_EQ(g.Cmd_Set_Message_Filtering(cat, counted.constData(), 3, 3), 144u);
    EXPECT_EQ(g.Cmd_Set_Message_Filtering(cat, hex("02AABB").constData(), 3, 3), 0u);
    EXPECT_EQ(g.Cmd_Set_Message_Filtering_For_CDL(cat, seven.constData(), 1), 0u);
    EXPECT_EQ(cat->getFilterSize(), 1);

    const QByteArray can = hex("00000007FF00000123000000000000000456");
    EXPECT_EQ(g.Cmd_Set_Message_Filtering_For_CAN(g.getCliente(4), can.constData(), 14), 144u);
    EXPECT_EQ(g.Cmd_Set_Message_Filtering_For_CAN(g.getCliente(4), can.constData(), 18), 0u);
    EXPECT_EQ(g.getCliente(4)->getFilterSize(), 2);
    EXPECT_EQ(g.Cmd_Set_Message_Filtering_For_ISO15765(j1939, can.constData(), 11, 11), 144);
    EXPECT_EQ(out.count("GenerarTrama_Set_ISO15765_Filter"), 0);
}

}  // namespace
