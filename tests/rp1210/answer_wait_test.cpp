// The answer wait: what ends it early is what the caller names, and nothing else.
#include "support/manager_rig.h"

#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <thread>

namespace {

using namespace std::chrono_literals;

class AnswerWaitPolicyTest : public ::testing::Test, public ManagerRig {
protected:
    AnswerWaitPolicyTest()
    {
        c->setProtocolo(PROTOCOLO_J1708);
        c->setConectado(true);
    }

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

    Cliente* c = g.getCliente(3);
};

TEST_F(AnswerWaitPolicyTest, EachEarlyEndStopsOnlyTheWaitsThatNameIt)
{
    const auto disconnect = [&] {
        c->setPendiente_desconexion(true);
        g.wakeWaiters();
    };
    const auto linkFails = [&] { g.set_Error(rp1210rc::HARDWARE_NOT_RESPONDING); };
    const auto both = EndsEarlyOn::Disconnect | EndsEarlyOn::LinkError;
    const struct {
        EndsEarlyOn policy;
        std::function<void()> event;
        short code;
    } rows[] = {{EndsEarlyOn::Disconnect, disconnect, 148}, {both, disconnect, 148},
                {EndsEarlyOn::LinkError, linkFails, 142}, {both, linkFails, 142}};
    for (const auto& r : rows) {
        const AnswerWait::Result result =
            endsWithoutTheClock([&] { return AnswerWait(g, *c, SERV_IOCTL, r.policy).request(6, r.event); });
        EXPECT_EQ(result.state, RESP_SERV_PENDING);
        EXPECT_EQ(result.code, r.code);
        c->setPendiente_desconexion(false);
        g.set_Error(0);
    }
    // A wait that does not name them runs to its limit: a client's own disconnect needs that.
    disconnect();
    linkFails();
    const auto [rc, seconds] = runWhileClockMoves(
        [&] { return AnswerWait(g, *c, SERV_SET_BAUD, EndsEarlyOn::Nothing).request(2, [] {}).code; });
    EXPECT_EQ(rc, rp1210rc::HARDWARE_NOT_RESPONDING);
    EXPECT_GE(seconds, 2);
    EXPECT_EQ(AnswerWait(g, *c, SERV_SET_BAUD, EndsEarlyOn::Nothing)
                  .request(2, [&] { g.actualizarSET_BAUD_RATE_Response(3); })
                  .code,
              0);
}

TEST_F(AnswerWaitPolicyTest, AnEarlyEndOutranksAnAnswerThatCameWithIt)
{
    g.set_Error(rp1210rc::HARDWARE_NOT_RESPONDING);
    const AnswerWait::Result r = AnswerWait(g, *c, SERV_DESCONECTAR_CLIENTE, EndsEarlyOn::LinkError).request(3, [&] {
        g.modificarEstadoServicio(3, SERV_DESCONECTAR_CLIENTE, RESP_SERV_NOT_CONNECTED);
    });
    EXPECT_EQ(r.state, RESP_SERV_NOT_CONNECTED);
    EXPECT_EQ(r.linkError, rp1210rc::HARDWARE_NOT_RESPONDING);
    EXPECT_EQ(r.code, rp1210rc::HARDWARE_NOT_RESPONDING);

    c->setConectado(false);  // no longer connected counts as leaving
    const AnswerWait::Result left =
        AnswerWait(g, *c, SERV_IOCTL, EndsEarlyOn::Disconnect).request(6, [&] { g.actualizar_SetPollResponse(3); });
    EXPECT_EQ(left.state, RESP_SERV_OK);
    EXPECT_TRUE(left.clientLeft);
    EXPECT_EQ(left.code, rp1210rc::CLIENT_DISCONNECTED);
}

TEST_F(AnswerWaitPolicyTest, SlotWaitsMarkPendingAndMapForTheirClient)
{
    g.setCANFilterStatus(RESP_SERV_OK);
    int seenBySend = 0;
    std::thread adapter;
    const AnswerWait::Result r = endsWithoutTheClock([&] {
        return AnswerWait(g, g.canFilterStatus, c, EndsEarlyOn::Nothing).request(7, [&] {
            seenBySend = g.getCANFilterStatus();
            adapter = std::thread([&] { g.setCANFilterStatus(RESP_SERV_OTHER_SPEED); });
        });
    });
    adapter.join();
    EXPECT_EQ(seenBySend, RESP_SERV_PENDING);
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

}  // namespace
