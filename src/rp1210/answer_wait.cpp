#include "rp1210/answer_wait.h"

#include "rp1210/gestor_rp1210.h"

AnswerWait::AnswerWait(GestorRP1210& g, Cliente& cliente, IDS_SERV_RP1210 servicio, EndsEarlyOn endsOn)
    : g_(g), cliente_(&cliente), servicio_(servicio), slot_(nullptr), mapFor_(&cliente), endsOn_(endsOn)
{
}

AnswerWait::AnswerWait(GestorRP1210& g, StatusSlot& slot, const Cliente* cliente, EndsEarlyOn endsOn)
    : g_(g), cliente_(nullptr), servicio_(), slot_(&slot), mapFor_(cliente), endsOn_(endsOn)
{
}

bool AnswerWait::clientLeaving(const Cliente& c)
{
    return c.getPendiente_desconexion() || !c.getConectado();
}

AnswerWait::Result AnswerWait::request(int limitSeconds, const std::function<void()>& send)
{
    // Pending before the request leaves, so an answer that beats the wait is not lost.
    if (slot_)
        g_.setSlot(*slot_, RESP_SERV_PENDING);
    else
        cliente_->setServiceRequestState(servicio_, RESP_SERV_PENDING);
    send();
    return waitWhileState(RESP_SERV_PENDING, limitSeconds);
}

AnswerWait::Result AnswerWait::waitWhileState(int state, int limitSeconds)
{
    g_.waitWhile(limitSeconds, [&] { return this->state() == state && !endedEarly(); });
    return result();
}

bool AnswerWait::endsOn(EndsEarlyOn flag) const
{
    return (static_cast<unsigned>(endsOn_) & static_cast<unsigned>(flag)) != 0;
}

int AnswerWait::state() const
{
    return slot_ ? slot_->get() : cliente_->getServiceRequestState(servicio_);
}

bool AnswerWait::endedEarly() const
{
    return (endsOn(EndsEarlyOn::Disconnect) && mapFor_ && clientLeaving(*mapFor_)) ||
           (endsOn(EndsEarlyOn::LinkError) && g_.getLinkError() != 0);
}

AnswerWait::Result AnswerWait::result() const
{
    Result r{};
    // The early ends first, the state last: a state read after them is never older.
    r.clientLeft = endsOn(EndsEarlyOn::Disconnect) && mapFor_ && clientLeaving(*mapFor_);
    r.linkError = endsOn(EndsEarlyOn::LinkError) ? g_.getLinkError() : 0;
    r.state = state();
    if (r.linkError != 0)
        r.code = static_cast<short>(r.linkError);
    else if (r.clientLeft)
        r.code = rp1210rc::CLIENT_DISCONNECTED;
    else
        r.code = g_.checkLinkAnswer(r.state, mapFor_);
    return r;
}
