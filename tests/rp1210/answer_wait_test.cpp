// The answer wait ends early only on what its caller names; an early end outranks an answer.
#include "rp1210/answer_wait.h"
#include "wire_rig.h"
#include <functional>

namespace {

using namespace std::chrono_literals;
class AnswerWaitTest : public ::testing::Test, public WireRig {
protected:
    // A wait that should end without the clock; the clock moves only to free a stuck one.
    template <class F>
    short endsWithoutTheClock(F wait)
    {
        auto done = std::async(std::launch::async, wait);
        EXPECT_EQ(done.wait_for(5s), std::future_status::ready);
        while (done.wait_for(2ms) != std::future_status::ready)
            clock.advanceSeconds(1);
        return done.get();
    }
};

TEST_F(AnswerWaitTest, EndsEarlyOnlyOnWhatItNamesAndAnEarlyEndOutranksAnAnswer)
{
    ASSERT_EQ(connect("J1708"), 1);
    Cliente& c = *g.getCliente(1);
    const std::function<void()> leave = [&] { c.setPendiente_desconexion(true), g.wakeWaiters(); };
    const std::function<void()> fail = [&] { g.set_Error(rp1210rc::HARDWARE_NOT_RESPONDING); };
    const struct { EndsEarlyOn policy; bool leaves; short code; } rows[] = {
        {EndsEarlyOn::Disconnect, true, 148}, {EndsEarlyOn::LinkError, false, 142},
        {EndsEarlyOn::Disconnect | EndsEarlyOn::LinkError, true, 148}};
    for (const auto& r : rows) {
        EXPECT_EQ(endsWithoutTheClock([&] { return AnswerWait(g, c, SERV_IOCTL, r.policy).request(6, r.leaves ? leave : fail).code; }), r.code);
        c.setPendiente_desconexion(false), g.set_Error(0);
    }
    // Named by nobody, a disconnect and a failed link leave the wait to its limit.
    leave(), fail();
    EXPECT_GE(runWhileClockMoves([&] { return AnswerWait(g, c, SERV_SET_BAUD, EndsEarlyOn::Nothing).request(2, [] {}).code; }).second, 2);
    const auto answered = [&] { g.modificarEstadoServicio(1, SERV_DESCONECTAR_CLIENTE, RESP_SERV_OK); };
    EXPECT_EQ(AnswerWait(g, c, SERV_DESCONECTAR_CLIENTE, EndsEarlyOn::LinkError).request(3, answered).code, 142);
}

}  // namespace
