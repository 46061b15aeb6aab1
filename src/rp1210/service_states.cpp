// Answer waits and the answer updates that the receive thread makes.
//
// Every update stores its state first and then wakes the waits, so a waiting API call
// sleeps instead of polling and still sees an answer that arrived before it began
// to wait (the state is set to pending before the request is queued).
#include "rp1210/gestor_rp1210.h"

#include <algorithm>
#include <chrono>

using namespace rp1210core::internal;

void GestorRP1210::wakeWaiters()
{
    {
        // Taking the mutex orders the state write before the waiter's next check.
        MutexLocker lock(waitMutex_);
    }
    waitCv_.notify_all();
}

void GestorRP1210::waitWhile(int limitSeconds, const std::function<bool()>& pending)
{
    const qint64 start = clock_->wallSeconds();
    UniqueLock lock(waitMutex_);
    while (pending()) {
        if (clock_->wallSeconds() - start >= limitSeconds)
            return;
        // Sleep until the limit's second begins; re-read the wall clock at least once a
        // second so that a clock step cannot stretch the wait.
        const auto deadline = clock_->realTimeOf(start + limitSeconds);
        const auto cap = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        lock.waitUntil(waitCv_, std::min(deadline, cap));
    }
}

void GestorRP1210::setSlot(StatusSlot& slot, RESPONSES_SERV_RP1210 v)
{
    slot.store(v);
    wakeWaiters();
}

// ---- answer updates ----

int GestorRP1210::modificarEstadoServicio(quint8 idCliente, IDS_SERV_RP1210 servicio, RESPONSES_SERV_RP1210 estado)
{
    if (Cliente* c = getCliente(idCliente)) {
        c->setServiceRequestState(servicio, estado);
        wakeWaiters();
    }
    return 0;
}

int GestorRP1210::modificarEstadoJ1939AdressClaim(quint8 idCliente, IDS_SERV_RP1210 servicio, quint8 estado,
                                                  short address)
{
    Cliente* c = getCliente(idCliente);
    if (!c)
        return rp1210rc::INVALID_CLIENT_ID;
    if (estado == RESP_SERV_OK) {
        // Claim first, state last: whoever sees the answer also sees the claimed address.
        c->set_J1939_Claim_Address_State(1);
        c->set_J1939_Claim_Address_Value(address);
    }
    c->setServiceRequestState(servicio, static_cast<RESPONSES_SERV_RP1210>(estado));
    wakeWaiters();
    return 0;
}

int GestorRP1210::actualizar_ClienteConnectRequest(const QByteArray& answer)
{
    if (answer.size() < 4)
        return 0;
    const quint8 id = static_cast<quint8>(answer.at(2));
    // The speed goes in before the state, so a connect that sees its answer also sees
    // the speed the adapter actually uses.
    if (answer.size() >= 5) {
        if (Cliente* c = getCliente(id))
            c->setProtocolSpeed(static_cast<enu_GATEWAY_Velocidad>(static_cast<quint8>(answer.at(4))));
    }
    return modificarEstadoServicio(id, static_cast<IDS_SERV_RP1210>(static_cast<quint8>(answer.at(1))),
                                   static_cast<RESPONSES_SERV_RP1210>(static_cast<quint8>(answer.at(3))));
}

namespace {
// Looks the client up and applies an update; 129 when there is no such client.
template <class Update>
int updateClient(GestorRP1210& g, quint8 idCliente, Update update)
{
    Cliente* c = g.getCliente(idCliente);
    if (!c)
        return rp1210rc::INVALID_CLIENT_ID;
    update(*c);
    g.wakeWaiters();
    return 0;
}
}  // namespace

int GestorRP1210::actualizar_GET_IOCTL_Params(quint8 idCliente, const QList<quint32>& params)
{
    return updateClient(*this, idCliente, [&](Cliente& c) { c.set_IOCTL_Params(params); });
}

int GestorRP1210::actualizar_FAST_INIT_AND_FIVE_BAUD_INIT_MSG(quint8 idCliente, const QByteArray& bytes, quint32)
{
    return updateClient(*this, idCliente, [&](Cliente& c) {
        c.setFAST_INIT_AND_FIVE_BAUD_INIT_MSG(bytes);
        c.setServiceRequestState(SERV_IOCTL, RESP_SERV_OK);
    });
}

int GestorRP1210::actualizar_SendPulsesInit_MSG(quint8 idCliente, const QByteArray& bytes)
{
    return updateClient(*this, idCliente, [&](Cliente& c) {
        c.setSendPulsesInit_Response(bytes);
        c.setServiceRequestState(SERV_IOCTL, RESP_SERV_OK);
    });
}

namespace {
int setClientState(GestorRP1210& g, quint8 idCliente, IDS_SERV_RP1210 servicio, int estado)
{
    return updateClient(g, idCliente,
                        [&](Cliente& c) { c.setServiceRequestState(servicio, static_cast<RESPONSES_SERV_RP1210>(estado)); });
}
}  // namespace

int GestorRP1210::actualizar_SetPollResponse(quint8 id) { return setClientState(*this, id, SERV_IOCTL, RESP_SERV_OK); }
int GestorRP1210::actualizar_BecomeMaster(quint8 id) { return setClientState(*this, id, SERV_IOCTL, RESP_SERV_OK); }
int GestorRP1210::actualizar_RequestConnection(quint8 id) { return setClientState(*this, id, SERV_IOCTL, RESP_SERV_OK); }
int GestorRP1210::actualizar_TeardownConnection(quint8 id) { return setClientState(*this, id, SERV_IOCTL, RESP_SERV_OK); }
int GestorRP1210::actualizar_RequestCommands(quint8 id) { return setClientState(*this, id, SERV_IOCTL, RESP_SERV_OK); }
int GestorRP1210::actualizarSET_IO_Response(quint8 id) { return setClientState(*this, id, SERV_IOCTL, RESP_SERV_OK); }

int GestorRP1210::actualizarSET_BAUD_RATE_Response(quint8 id)
{
    return setClientState(*this, id, SERV_SET_BAUD, RESP_SERV_OK);
}

int GestorRP1210::actualizarSet_Padding_ISO15765_Response(quint8 id, quint8 estado)
{
    return setClientState(*this, id, SERV_SET_PADDING_ISO15765, estado);
}

int GestorRP1210::actualizarSet_Remote_CAN_Message(quint8 id, quint8 estado)
{
    return setClientState(*this, id, SERV_SET_REMOTE_CAN_MESSAGE, estado);
}

int GestorRP1210::actualizarSet_Can_First_Consecutive_Frame_Value(quint8 id, quint8 estado)
{
    return setClientState(*this, id, SERV_SET_CAN_FIRST_CONSECUTIVE_FRAME_VALUE, estado);
}

int GestorRP1210::actualizar_SetFiltersV6(quint8 id, quint8 estado)
{
    return setClientState(*this, id, SERV_SET_FILTERS_V6, estado);
}

int GestorRP1210::actualizar_SetFilters_SA_V6(quint8 id, quint8 estado)
{
    return setClientState(*this, id, SERV_SET_FILTER_SA_V6, estado);
}

int GestorRP1210::actualizar_ClearFiltersV6(quint8 id, quint8 estado)
{
    return setClientState(*this, id, SERV_CLEAR_FILTER_V6, estado);
}

int GestorRP1210::actualizar_ClearFilters_SA_V6(quint8 id, quint8 estado)
{
    return setClientState(*this, id, SERV_CLEAR_FILTER_SA_V6, estado);
}

int GestorRP1210::actualizar_EstadoSetJ1939InterpacketTime(quint8 id, quint8 estado)
{
    return setClientState(*this, id, SERV_J1939_INTERPACKET_TIME, estado);
}
