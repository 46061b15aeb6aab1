// Answer codes, adapter generations, answer waits and the answer updates.
#include "link/gestor_io.h"
#include "support/fake_proxy_link.h"
#include "wire_rig.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

TEST(CheckLinkAnswer, MapsEveryAdapterState)
{
    GestorRP1210 g;
    Cliente* j1939 = g.getCliente(1);
    j1939->setProtocolo(PROTOCOLO_J1939);
    struct Row {
        int state;
        short code;
    };
    const Row rows[] = {
        {-1, 142}, {16, 142}, {17, 142}, {0, 0},    {2, 0},     {3, 136},   {5, 515},   {8, 518},  {9, 144},
        {10, 520}, {11, 143}, {12, 161}, {18, 161}, {13, 523},  {14, 141},  {15, 525},  {1, 511},  {6, 511},
        {7, 511},  {19, 511}, {255, 511}, {-2, 511}, {4, 457},
    };
    for (const Row& r : rows)
        EXPECT_EQ(g.checkLinkAnswer(r.state, j1939), r.code) << "state " << r.state;
}

TEST(CheckLinkAnswer, OtherSpeedDependsOnTheClientsProtocol)
{
    GestorRP1210 g;
    Cliente* c = g.getCliente(2);
    const std::pair<int, short> rows[] = {
        {PROTOCOLO_J1708, 456}, {PROTOCOLO_CAN, 457},  {PROTOCOLO_J1939, 457},   {PROTOCOLO_ISO15765, 458},
        {PROTOCOLO_J1850, 149}, {PROTOCOLO_CAT, 149},  {PROTOCOLO_ISO15765_ALT, 149},
    };
    for (const auto& [protocolo, code] : rows) {
        c->setProtocolo(quint8(protocolo));
        EXPECT_EQ(g.checkLinkAnswer(RESP_SERV_OTHER_SPEED, c), code) << "protocol " << protocolo;
    }
    EXPECT_EQ(g.checkLinkAnswer(RESP_SERV_OTHER_SPEED, nullptr), 149);
}

TEST(LinkType, DerivesTheAdapterGeneration)
{
    struct Row {
        const char* type;
        int version;
        enum_VersionVCI generation;
    };
    const Row rows[] = {
        {"K", 1, VCI_K1}, {"K", 2, VCI_K},  {"K", 0, VCI_K},  {"L", 6, VCI_J}, {"L", 7, VCI_A},
        {"L", 0, VCI_J},  {"J", 9, VCI_J},  {"A", 1, VCI_A},  {"E", 3, VCI_E}, {"k", 1, VCI_DESCONOCIDA},
        {"", 1, VCI_DESCONOCIDA}, {"KK", 1, VCI_DESCONOCIDA},
    };
    FakeProxyLink link;
    Gestor_IO io;
    io.setIProxyLink(&link);
    GestorRP1210 g;
    g.setIGestorOutput(&io);
    for (const Row& r : rows) {
        link.setInterface(QString::fromLatin1(r.type), r.version);
        g.linkType();
        EXPECT_EQ(g.getAdapterGeneration(), r.generation) << r.type << r.version;
    }
    g.setIGestorOutput(nullptr);
}

TEST(ClientTable, HoldsSixteenReusableRecords)
{
    GestorRP1210 g;
    EXPECT_EQ(g.getCliente(0), nullptr);
    EXPECT_EQ(g.getCliente(17), nullptr);
    for (quint8 id = 1; id <= 16; ++id) {
        ASSERT_NE(g.getCliente(id), nullptr);
        EXPECT_EQ(g.getCliente(id)->getIdCliente(), id);
        EXPECT_EQ(g.getCliente(id)->getTamanoBufferEntrada(), 8192);
    }
    Cliente* first = g.getCliente(1);
    g.crearMapaEstaticoClientes();  // a second call changes nothing
    EXPECT_EQ(g.getCliente(1), first);

    Cliente* c = g.darDeAltaNuevoCliente(PROTOCOLO_CAN, 100, 200, true, VELOCIDAD_500000);
    ASSERT_EQ(c, first);
    EXPECT_EQ(c->getProtocolo(), PROTOCOLO_CAN);
    EXPECT_EQ(c->getTamanoBufferSalida(), 100);
    EXPECT_EQ(c->getTamanoBufferEntrada(), 200);
    EXPECT_TRUE(c->getJ1939Packetize());
    EXPECT_EQ(c->getProtocolSpeed(), VELOCIDAD_500000);
    EXPECT_FALSE(c->getConectado());  // taking a record does not connect it
    c->setConectado(true);
    EXPECT_EQ(g.darDeAltaNuevoCliente(PROTOCOLO_CAN, 0, 0, false, VELOCIDAD_250000), g.getCliente(2));
    EXPECT_EQ(g.numeroClientesConectados(), 1);
    EXPECT_EQ(g.otrosClientesConProtocolo(PROTOCOLO_CAN), 1);
    EXPECT_EQ(g.otrosClientesConProtocolo(PROTOCOLO_J1939), 0);
}

class AnswerWaitTest : public ::testing::Test, public WireRig {};

TEST_F(AnswerWaitTest, AnswerBeforeTheWaitIsNotLost)
{
    Cliente* c = g.getCliente(4);
    // The "adapter" answers synchronously, before the wait begins; the clock never moves.
    const short rc = AnswerWait(g, *c, SERV_SET_BAUD, EndsEarlyOn::Nothing)
                         .request(7, [&] { g.actualizarSET_BAUD_RATE_Response(4); })
                         .code;
    EXPECT_EQ(rc, 0);
    const short slot = AnswerWait(g, g.canFilterStatus, c, EndsEarlyOn::Nothing)
                           .request(7, [&] { g.setCANFilterStatus(RESP_SERV_NOT_SUPPORTED); })
                           .code;
    EXPECT_EQ(slot, 136);
}

TEST_F(AnswerWaitTest, AnswerFromAnotherThreadEndsTheWait)
{
    Cliente* c = g.getCliente(5);
    std::thread adapter;
    const short rc = AnswerWait(g, *c, SERV_ISO15765_FLOW_CONTROL, EndsEarlyOn::Nothing).request(3, [&] {
        adapter = std::thread([&] { g.modificarEstadoServicio(5, SERV_ISO15765_FLOW_CONTROL, RESP_SERV_MAX_FLOW_CONTROL); });
    }).code;
    adapter.join();
    EXPECT_EQ(rc, 144);
}

TEST_F(AnswerWaitTest, LimitIsCountedInWholeSecondsOfTheWallClock)
{
    Cliente* c = g.getCliente(6);
    for (int limit : {3, 5}) {
        const auto [rc, seconds] = runWhileClockMoves(
            [&] {
                return AnswerWait(g, *c, SERV_J1939_INTERPACKET_TIME, EndsEarlyOn::Nothing).request(limit, [] {}).code;
            });
        EXPECT_EQ(rc, 142);
        EXPECT_GE(seconds, limit);
        EXPECT_EQ(c->getServiceRequestState(SERV_J1939_INTERPACKET_TIME), RESP_SERV_PENDING);
    }
}

TEST(AnswerUpdates, ConnectAnswerNeedsFourBytesAndTheFifthIsTheSpeed)
{
    GestorRP1210 g;
    Cliente* c = g.getCliente(3);
    c->setProtocolSpeed(VELOCIDAD_250000);
    c->setServiceRequestState(SERV_CONECTAR_CLIENTE, RESP_SERV_PENDING);

    g.actualizar_ClienteConnectRequest(QByteArray::fromHex("040203"));
    EXPECT_EQ(c->getServiceRequestState(SERV_CONECTAR_CLIENTE), RESP_SERV_PENDING);
    g.actualizar_ClienteConnectRequest(QByteArray::fromHex("04020302"));
    EXPECT_EQ(c->getServiceRequestState(SERV_CONECTAR_CLIENTE), RESP_SERV_ALREADY_CONNECTED);
    EXPECT_EQ(c->getProtocolSpeed(), VELOCIDAD_250000);
    g.actualizar_ClienteConnectRequest(QByteArray::fromHex("0402030025"));
    EXPECT_EQ(c->getServiceRequestState(SERV_CONECTAR_CLIENTE), RESP_SERV_OK);
    EXPECT_EQ(c->getProtocolSpeed(), VELOCIDAD_500000);
    // An answer for a client that does not exist is ignored.
    EXPECT_EQ(g.actualizar_ClienteConnectRequest(QByteArray::fromHex("0402110025")), 0);
}

TEST(AnswerUpdates, AddressClaimRecordsTheAddressOnlyOnSuccess)
{
    GestorRP1210 g;
    Cliente* c = g.getCliente(2);
    EXPECT_EQ(g.modificarEstadoJ1939AdressClaim(17, SERV_PROTECT_J1939_ADDRESS, 0, 0x80), 129);
    EXPECT_EQ(g.modificarEstadoJ1939AdressClaim(2, SERV_PROTECT_J1939_ADDRESS, 1, 0x80), 0);
    EXPECT_EQ(c->getServiceRequestState(SERV_PROTECT_J1939_ADDRESS), RESP_SERV_NEGATIVE);
    EXPECT_EQ(c->get_J1939_Claim_Address_State(), 0);
    EXPECT_EQ(c->get_J1939_Claim_Address_Value(), 0);
    EXPECT_EQ(g.modificarEstadoJ1939AdressClaim(2, SERV_J1939_ADDRESS_CLAIM, 0, 249), 0);
    EXPECT_EQ(c->getServiceRequestState(SERV_J1939_ADDRESS_CLAIM), RESP_SERV_OK);
    EXPECT_EQ(c->get_J1939_Claim_Address_State(), 1);
    EXPECT_EQ(c->get_J1939_Claim_Address_Value(), 249);
}

TEST(AnswerUpdates, EachUpdateSetsItsService)
{
    GestorRP1210 g;
    Cliente* c = g.getCliente(7);
    using Update = std::function<int()>;
    struct Row {
        Update update;
        IDS_SERV_RP1210 service;
        int expected;
    };
    const Row rows[] = {
        {[&] { return g.actualizarSET_BAUD_RATE_Response(7); }, SERV_SET_BAUD, 0},
        {[&] { return g.actualizarSET_IO_Response(7); }, SERV_IOCTL, 0},
        {[&] { return g.actualizar_SetPollResponse(7); }, SERV_IOCTL, 0},
        {[&] { return g.actualizar_BecomeMaster(7); }, SERV_IOCTL, 0},
        {[&] { return g.actualizar_RequestConnection(7); }, SERV_IOCTL, 0},
        {[&] { return g.actualizar_TeardownConnection(7); }, SERV_IOCTL, 0},
        {[&] { return g.actualizar_RequestCommands(7); }, SERV_IOCTL, 0},
        {[&] { return g.actualizarSet_Padding_ISO15765_Response(7, 9); }, SERV_SET_PADDING_ISO15765, 9},
        {[&] { return g.actualizarSet_Remote_CAN_Message(7, 3); }, SERV_SET_REMOTE_CAN_MESSAGE, 3},
        {[&] { return g.actualizarSet_Can_First_Consecutive_Frame_Value(7, 4); },
         SERV_SET_CAN_FIRST_CONSECUTIVE_FRAME_VALUE, 4},
        {[&] { return g.actualizar_SetFiltersV6(7, 200); }, SERV_SET_FILTERS_V6, 200},
        {[&] { return g.actualizar_SetFilters_SA_V6(7, 1); }, SERV_SET_FILTER_SA_V6, 1},
        {[&] { return g.actualizar_ClearFiltersV6(7, 2); }, SERV_CLEAR_FILTER_V6, 2},
        {[&] { return g.actualizar_ClearFilters_SA_V6(7, 5); }, SERV_CLEAR_FILTER_SA_V6, 5},
        {[&] { return g.actualizar_EstadoSetJ1939InterpacketTime(7, 11); }, SERV_J1939_INTERPACKET_TIME, 11},
    };
    for (const Row& r : rows) {
        c->setServiceRequestState(r.service, RESP_SERV_PENDING);
        EXPECT_EQ(r.update(), 0);
        EXPECT_EQ(c->getServiceRequestState(r.service), r.expected) << r.service;
    }
    // Ioctl answers count as done whatever the adapter reported, and store their data.
    c->setServiceRequestState(SERV_IOCTL, RESP_SERV_PENDING);
    g.actualizar_FAST_INIT_AND_FIVE_BAUD_INIT_MSG(7, QByteArray::fromHex("c16b8f"), 5);
    EXPECT_EQ(c->getServiceRequestState(SERV_IOCTL), RESP_SERV_OK);
    EXPECT_EQ(c->GetFAST_INIT_AND_FIVE_BAUD_INIT_MSG(), QByteArray::fromHex("c16b8f"));
    c->setServiceRequestState(SERV_IOCTL, RESP_SERV_PENDING);
    g.actualizar_SendPulsesInit_MSG(7, QByteArray::fromHex("55"));
    EXPECT_EQ(c->GetSendPulsesInit_Response(), QByteArray::fromHex("55"));
    c->setServiceRequestState(SERV_IOCTL, RESP_SERV_PENDING);
    g.actualizar_GET_IOCTL_Params(7, {5, 100, 7, 200});
    EXPECT_EQ(c->getServiceRequestState(SERV_IOCTL), RESP_SERV_OK);
    EXPECT_EQ(c->get_IOCTL_SingleParam(7), 200u);
    // No such client: 129 and nothing changes.
    EXPECT_EQ(g.actualizarSET_BAUD_RATE_Response(0), 129);
    EXPECT_EQ(g.actualizar_SendPulsesInit_MSG(17, QByteArray("x")), 129);
}

TEST(AnswerUpdates, StatusSlotsStartAsDocumented)
{
    GestorRP1210 g;
    EXPECT_EQ(g.getIsHardwareStatusEnded(), RESP_SERV_PENDING);
    EXPECT_EQ(g.getLinkError(), 0);
    EXPECT_EQ(g.getAdapterGeneration(), VCI_DESCONOCIDA);
    EXPECT_FALSE(g.getConnectionsDisallowed());
    g.setJ1850ClearFilterStatus(RESP_SERV_NOT_CONNECTED);
    EXPECT_EQ(g.getJ1850ClearFilterStatus(), RESP_SERV_NOT_CONNECTED);
}

}  // namespace
