// Answer codes, adapter generations, the answer wait and the answer updates.
#include "wire_rig.h"

#include <functional>
#include <thread>

namespace {

using namespace std::chrono_literals;

TEST(CheckLinkAnswer, MapsEveryAdapterState)
{
    GestorRP1210 g;
    Cliente* c = g.getCliente(2);
    c->setProtocolo(PROTOCOLO_J1939);
    const std::pair<int, short> states[] = {{-1, 142}, {16, 142}, {17, 142}, {0, 0},    {2, 0},    {3, 136},
                                            {5, 515},  {8, 518},  {9, 144},  {10, 520}, {11, 143}, {12, 161},
                                            {18, 161}, {13, 523}, {14, 141}, {15, 525}, {1, 511},  {6, 511},
                                            {7, 511},  {19, 511}, {-2, 511}, {4, 457}};
    for (const auto& [state, code] : states)
        EXPECT_EQ(g.checkLinkAnswer(state, c), code) << "state " << state;
    // Another speed: the code depends on the client's protocol.
    const std::pair<int, short> speeds[] = {{PROTOCOLO_J1708, 456}, {PROTOCOLO_CAN, 457}, {PROTOCOLO_ISO15765, 458},
                                            {PROTOCOLO_J1850, 149}, {PROTOCOLO_CAT, 149}, {PROTOCOLO_ISO15765_ALT, 149}};
    for (const auto& [protocolo, code] : speeds) {
        c->setProtocolo(quint8(protocolo));
        EXPECT_EQ(g.checkLinkAnswer(RESP_SERV_OTHER_SPEED, c), code) << "protocol " << protocolo;
    }
    EXPECT_EQ(g.checkLinkAnswer(RESP_SERV_OTHER_SPEED, nullptr), 149);
}

TEST(LinkType, DerivesTheAdapterGeneration)
{
    const std::tuple<const char*, int, enum_VersionVCI> rows[] = {
        {"K", 1, VCI_K1}, {"K", 2, VCI_K}, {"K", 0, VCI_K}, {"L", 6, VCI_J}, {"L", 7, VCI_A}, {"L", 0, VCI_J},
        {"J", 9, VCI_J},  {"A", 1, VCI_A}, {"E", 3, VCI_E}, {"k", 1, VCI_DESCONOCIDA}, {"", 1, VCI_DESCONOCIDA},
        {"KK", 1, VCI_DESCONOCIDA}};
    LinkRig rig;
    EXPECT_EQ(rig.g.getAdapterGeneration(), VCI_DESCONOCIDA);
    for (const auto& [type, version, generation] : rows) {
        rig.link.setInterface(QString::fromLatin1(type), version);
        rig.g.linkType();
        EXPECT_EQ(rig.g.getAdapterGeneration(), generation) << type << version;
    }
}

class AnswerWaitTest : public ::testing::Test, public WireRig {
protected:
    AnswerWaitTest() { c->setProtocolo(PROTOCOLO_J1708), c->setConectado(true); }
    // Runs a wait that must end without the clock; moves the clock only to free a stuck one.
    template <class F>
    AnswerWait::Result endsWithoutTheClock(F wait)
    {
        auto result = std::async(std::launch::async, wait);
        EXPECT_EQ(result.wait_for(5s), std::future_status::ready);
        while (result.wait_for(2ms) != std::future_status::ready)
            clock.advanceSeconds(1);
        return result.get();
    }
    AnswerWait::Result wait(EndsEarlyOn policy, int limit, std::function<void()> send, IDS_SERV_RP1210 s = SERV_IOCTL)
    {
        return AnswerWait(g, *c, s, policy).request(limit, send);
    }
    Cliente* c = g.getCliente(3);
};

TEST_F(AnswerWaitTest, AnAnswerEndsTheWaitWhenEverItComes)
{
    // Before the wait begins (from the request itself): not lost; the clock never moves.
    EXPECT_EQ(wait(EndsEarlyOn::Nothing, 7, [&] { g.actualizarSET_BAUD_RATE_Response(3); }, SERV_SET_BAUD).code, 0);
    EXPECT_EQ(AnswerWait(g, g.canFilterStatus, c, EndsEarlyOn::Nothing)
                  .request(7, [&] { g.setCANFilterStatus(RESP_SERV_NOT_SUPPORTED); }).code, 136);
    // From another thread; a slot is marked pending before the request and mapped for its client.
    int seenByRequest = 0;
    std::thread adapter;
    const AnswerWait::Result r = endsWithoutTheClock([&] {
        return AnswerWait(g, g.canFilterStatus, c, EndsEarlyOn::Nothing).request(7, [&] {
            seenByRequest = g.getCANFilterStatus();
            adapter = std::thread([&] { g.setCANFilterStatus(RESP_SERV_OTHER_SPEED); });
        });
    });
    adapter.join();
    EXPECT_EQ(seenByRequest, RESP_SERV_PENDING);
    EXPECT_EQ(r.code, rp1210rc::J1708_BAUD_NONSTANDARD);
    // Waiting while a slot holds a state: at once when it does not, else until it changes.
    AnswerWait status(g, g.isHardwareStatusEnded, c, EndsEarlyOn::Nothing);
    EXPECT_EQ(status.waitWhileState(RESP_SERV_OK, 5).state, RESP_SERV_PENDING);
    g.setIsHardwareStatusEnded(RESP_SERV_OK);
    auto waiting = std::async(std::launch::async, [&] { return status.waitWhileState(RESP_SERV_OK, 5); });
    EXPECT_EQ(waiting.wait_for(20ms), std::future_status::timeout);
    g.setIsHardwareStatusEnded(RESP_SERV_NOT_SUPPORTED);
    EXPECT_EQ(endsWithoutTheClock([&] { return waiting.get(); }).code, rp1210rc::INVALID_PROTOCOL);
}

TEST_F(AnswerWaitTest, EachEarlyEndStopsOnlyTheWaitsThatNameIt)
{
    const auto disconnect = [&] { c->setPendiente_desconexion(true), g.wakeWaiters(); };
    const auto linkFails = [&] { g.set_Error(rp1210rc::HARDWARE_NOT_RESPONDING); };
    const auto both = EndsEarlyOn::Disconnect | EndsEarlyOn::LinkError;
    const std::tuple<EndsEarlyOn, std::function<void()>, short> rows[] = {
        {EndsEarlyOn::Disconnect, disconnect, 148}, {both, disconnect, 148},
        {EndsEarlyOn::LinkError, linkFails, 142},   {both, linkFails, 142}};
    for (const auto& [policy, event, code] : rows) {
        const AnswerWait::Result r = endsWithoutTheClock([&, p = policy, e = event] { return wait(p, 6, e); });
        EXPECT_EQ(r.state, RESP_SERV_PENDING);
        EXPECT_EQ(r.code, code);
        c->setPendiente_desconexion(false);
        g.set_Error(0);
    }
    // A wait that names neither runs to its limit, counted in seconds of the wall clock.
    disconnect();
    linkFails();
    for (int limit : {2, 5}) {
        const auto [rc, seconds] = runWhileClockMoves([&] { return wait(EndsEarlyOn::Nothing, limit, [] {}).code; });
        EXPECT_EQ(rc, rp1210rc::HARDWARE_NOT_RESPONDING);
        EXPECT_GE(seconds, limit);
        EXPECT_EQ(c->getServiceRequestState(SERV_IOCTL), RESP_SERV_PENDING);
    }
    // An early end outranks an answer that came with it, but the state is the answer's.
    const AnswerWait::Result r = wait(EndsEarlyOn::LinkError, 3, [&] {
        g.modificarEstadoServicio(3, SERV_IOCTL, RESP_SERV_NOT_CONNECTED);
    });
    EXPECT_EQ(r.state, RESP_SERV_NOT_CONNECTED);
    EXPECT_EQ(r.linkError, rp1210rc::HARDWARE_NOT_RESPONDING);
    EXPECT_EQ(r.code, rp1210rc::HARDWARE_NOT_RESPONDING);
    c->setConectado(false);  // no longer connected counts as leaving
    const AnswerWait::Result left = wait(EndsEarlyOn::Disconnect, 6, [&] { g.actualizar_SetPollResponse(3); });
    EXPECT_EQ(left.state, RESP_SERV_OK);
    EXPECT_TRUE(left.clientLeft);
    EXPECT_EQ(left.code, rp1210rc::CLIENT_DISCONNECTED);
}

TEST(AnswerUpdates, ConnectAnswersAndTheUpdatesNoCallWaitsFor)
{
    GestorRP1210 g;
    Cliente* c = g.getCliente(3);
    c->setProtocolSpeed(VELOCIDAD_250000);
    c->setServiceRequestState(SERV_CONECTAR_CLIENTE, RESP_SERV_PENDING);
    // The state needs four bytes; a fifth is the speed the adapter chose.
    g.actualizar_ClienteConnectRequest(hex("040203"));
    EXPECT_EQ(c->getServiceRequestState(SERV_CONECTAR_CLIENTE), RESP_SERV_PENDING);
    g.actualizar_ClienteConnectRequest(hex("04020302"));
    EXPECT_EQ(c->getServiceRequestState(SERV_CONECTAR_CLIENTE), RESP_SERV_ALREADY_CONNECTED);
    EXPECT_EQ(c->getProtocolSpeed(), VELOCIDAD_250000);
    g.actualizar_ClienteConnectRequest(hex("0402030025"));
    EXPECT_EQ(c->getProtocolSpeed(), VELOCIDAD_500000);
    EXPECT_EQ(g.actualizar_ClienteConnectRequest(hex("0402110025")), 0);  // no such client: ignored
    // The other updates are checked through the calls that wait for them.
    const std::tuple<std::function<int()>, IDS_SERV_RP1210, int> rows[] = {
        {[&] { return g.actualizar_SetFiltersV6(3, 200); }, SERV_SET_FILTERS_V6, 200},
        {[&] { return g.actualizar_SetFilters_SA_V6(3, 1); }, SERV_SET_FILTER_SA_V6, 1},
        {[&] { return g.actualizar_ClearFiltersV6(3, 2); }, SERV_CLEAR_FILTER_V6, 2},
        {[&] { return g.actualizar_ClearFilters_SA_V6(3, 5); }, SERV_CLEAR_FILTER_SA_V6, 5},
        {[&] { return g.modificarEstadoJ1939AdressClaim(3, SERV_J1939_ADDRESS_CLAIM, 0, 249); },
         SERV_J1939_ADDRESS_CLAIM, 0}};
    for (const auto& [update, service, expected] : rows) {
        c->setServiceRequestState(service, RESP_SERV_PENDING);
        EXPECT_EQ(update(), 0);
        EXPECT_EQ(c->getServiceRequestState(service), expected) << service;
    }
    EXPECT_EQ(c->get_J1939_Claim_Address_Value(), 249);
    EXPECT_EQ(g.actualizarSET_BAUD_RATE_Response(0), 129);  // no such client
    EXPECT_EQ(g.modificarEstadoJ1939AdressClaim(17, SERV_PROTECT_J1939_ADDRESS, 0, 0x80), 129);
}

}  // namespace
