// Client connect and disconnect with their adapter handshakes, and the checks that
// decide whether a new connection may share the adapter.
#include "rp1210/gestor_rp1210.h"

#include "common/protocols.h"
#include "common/wire_format.h"

#include "link/igestor_input.h"
#include "link/igestor_output.h"

using namespace rp1210core::internal;

namespace {
constexpr int kPicConnectionLimitS = 7;
constexpr int kConnectLimitS = 8;
constexpr int kDisconnectLimitS = 3;
constexpr int kDisconnectAttempts = 3;

}  // namespace

short GestorRP1210::RP1210_ClientConnect(quint32 hwnd, short /*deviceId*/, const char* connectString,
                                         qint32 txBufferSize, qint32 rxBufferSize, short appPacketizing)
{
    MutexLocker lock(connectionLock_);
    if (!output_ || !input_)
        return rp1210rc::DLL_NOT_INITIALIZED;

    linkType();
    enu_GATEWAY_Protocolo protocolo = PROTOCOLO_NULL;
    enu_GATEWAY_Velocidad velocidad = VELOCIDAD_NINGUNA;
    QString mux;
    const short parsed = TranslateProtocolString(connectString, &protocolo, &velocidad, &mux);
    if (parsed != 0)
        return parsed;

    short result = 0;
    [&] {
        if (numeroClientesConectados() == 0) {
            const short opened = output_->initializeConnection();
            if (opened != 0) {
                result = opened;
                return;
            }
            output_->ArrancarHiloEnvio(getAdapterGeneration(), hwnd);
            input_->ArrancarHiloRecepcion();
        }
        if (numeroClientesConectados() > kMaxClients - 1) {
            result = rp1210rc::CLIENT_AREA_FULL;
            return;
        }
        result = ConnectionModeRestrictions(static_cast<quint8>(protocolo), appPacketizing, velocidad);
        if (result != 0)
            return;

        if (protocolo == PROTOCOLO_J1850) {
            result = AnswerWait(*this, picConnectionEnded, nullptr, EndsEarlyOn::Nothing)
                         .request(kPicConnectionLimitS,
                                  [&] { output_->GenerarTrama_PICConnection(static_cast<quint8>(velocidad)); })
                         .code;
            if (result != 0)
                return;
        }

        Cliente* cliente = darDeAltaNuevoCliente(static_cast<quint8>(protocolo), txBufferSize, rxBufferSize,
                                                 appPacketizing != 0, velocidad);
        if (otrosClientesConProtocolo(static_cast<quint8>(protocolo)) >= 1) {
            // The adapter already carries this protocol: nothing to ask it.
            cliente->setConectado(true);
            result = cliente->getIdCliente();
            return;
        }

        cliente->setPendienteConexion(true);
        // The record is not connected yet, and a failed link may recover: only the answer
        // or the limit ends this wait.
        const AnswerWait::Result answer =
            AnswerWait(*this, *cliente, SERV_CONECTAR_CLIENTE, EndsEarlyOn::Nothing).request(kConnectLimitS, [&] {
                output_->GenerarTrama_ConectarCliente(cliente->getIdCliente(), cliente->getProtocolo(),
                                                      static_cast<quint8>(cliente->getProtocolSpeed()),
                                                      cliente->getJ1939Packetize());
            });

        const int state = answer.state;
        // "Already connected" is a success answer: the client gets its slot rather than
        // a result of 0, which the application would take for a client id.
        if (state == RESP_SERV_OK || state == RESP_SERV_ALREADY_CONNECTED) {
            cliente->setConectado(true);
            result = cliente->getIdCliente();
            linkError_ = 0;
        } else {
            result = answer.code;
        }
        cliente->setPendienteConexion(false);
    }();

    closeLinkIfIdle();
    return result;
}

short GestorRP1210::RP1210_ClientDisconnect(short clientId)
{
    MutexLocker lock(connectionLock_);
    if (!output_ || !input_)
        return rp1210rc::DLL_NOT_INITIALIZED;

    short result = 0;
    Cliente* cliente = (clientId >= 1 && clientId <= kMaxClients) ? getCliente(static_cast<quint8>(clientId)) : nullptr;
    // A free slot has nothing to disconnect; a handshake for it would take the protocol
    // from under another client that still uses it.
    if (!cliente || !cliente->getConectado()) {
        result = rp1210rc::INVALID_CLIENT_ID;
    } else {
        const quint8 id = cliente->getIdCliente();
        // Raise the flag before taking the locks: a blocked read or status request of
        // this client sees it, returns 148 and lets go of its lock.
        cliente->setPendiente_desconexion(true);
        wakeWaiters();
        std::unique_lock<Mutex> readLock(readLocks_[id]);
        std::unique_lock<Mutex> statusLock(statusLocks_[id]);

        output_->removeClientMessages(id);

        const quint8 protocolo = cliente->getProtocolo();
        if (isIso15765Family(protocolo)) {
            if (linkError_ == 0) {
                Cmd_ISO15765_Clear_Flow_Control(cliente);
                if (segmentation::segments(getAdapterGeneration()))
                    Cmd_ISO15765_Clear_Filter(cliente);
            } else {
                result = static_cast<short>(linkError_.load());
            }
        }

        if (otrosClientesConProtocolo(protocolo) == 1) {
            if (linkError_ != 0)
                result = static_cast<short>(linkError_.load());
            else
                result = disconnectHandshake(cliente);
        }

        // The slot is freed whatever the adapter said; the result only reports it.
        cliente->setConectado(false);
        statusLock.unlock();
        readLock.unlock();
        cliente->setPendiente_desconexion(false);
        connectionsDisallowed_ = false;
    }

    closeLinkIfIdle();
    return result;
}

short GestorRP1210::disconnectHandshake(Cliente* cliente)
{
    short result = 0;
    for (int attempt = 0; attempt < kDisconnectAttempts; ++attempt) {
        // The client's own disconnect flag is up: only a failed link ends this early, and
        // then its code is the result even if the answer came too.
        const AnswerWait::Result answer =
            AnswerWait(*this, *cliente, SERV_DESCONECTAR_CLIENTE, EndsEarlyOn::LinkError)
                .request(kDisconnectLimitS, [&] {
                    output_->GenerarTrama_DesconectarCliente(cliente->getIdCliente(), cliente->getProtocolo());
                });
        result = answer.code;
        // The adapter no longer holding the protocol is what a disconnect wants.
        if (answer.linkError == 0 && result == rp1210rc::ADAPTER_NOT_CONNECTED)
            result = 0;
        if (result == 0)
            break;
    }
    return result;
}

void GestorRP1210::closeLinkIfIdle()
{
    if (numeroClientesConectados() != 0)
        return;
    output_->pararHiloEnvio();
    input_->pararHiloRecepcion();
    output_->limpiarDescargarProxy();
}

short GestorRP1210::ConnectionModeRestrictions(quint8 protocolo, short appPacketizing,
                                               enu_GATEWAY_Velocidad& velocidad)
{
    if (connectionsDisallowed_)
        return rp1210rc::CONNECTIONS_DISALLOWED;
    switch (protocolFacts(protocolo).speedCheck) {
    case SpeedCheck::J1939: {
        const short packetizing = CheckJ1939_PacketizingMode(protocolo, appPacketizing);
        if (packetizing != 0)
            return packetizing;
        return check_CAN_Speed(velocidad);
    }
    case SpeedCheck::CanBus:
        return check_CAN_Speed(velocidad);
    case SpeedCheck::SameProtocol:
        break;
    }
    return checkProtocolSpeed(protocolo, velocidad);
}

short GestorRP1210::CheckJ1939_PacketizingMode(quint8 protocolo, short appPacketizing)
{
    if (protocolo != PROTOCOLO_J1939)
        return 0;
    for (const auto& c : clientes_) {
        if (!c->getConectado() || c->getProtocolo() != PROTOCOLO_J1939)
            continue;
        if ((c->getJ1939Packetize() ? 1 : 0) != appPacketizing)
            return rp1210rc::CONNECT_NOT_ALLOWED;
    }
    return 0;
}

short GestorRP1210::check_CAN_Speed(enu_GATEWAY_Velocidad& velocidad)
{
    for (const auto& c : clientes_) {
        if (!c->getConectado() || !isCanFamily(c->getProtocolo()))
            continue;
        const enu_GATEWAY_Velocidad inUse = c->getProtocolSpeed();
        if (velocidad == VELOCIDAD_AUTO)
            velocidad = inUse;
        else if (inUse != velocidad)
            return rp1210rc::CAN_SPEED_MISMATCH;
    }
    return 0;
}

short GestorRP1210::checkProtocolSpeed(quint8 protocolo, enu_GATEWAY_Velocidad& velocidad)
{
    // A later client joins the adapter's connection without a frame, so it runs at the
    // speed already in use whatever it asked for.
    for (const auto& c : clientes_) {
        if (!c->getConectado() || c->getProtocolo() != protocolo)
            continue;
        const enu_GATEWAY_Velocidad inUse = c->getProtocolSpeed();
        if (velocidad == VELOCIDAD_AUTO)
            velocidad = inUse;
        else if (inUse != velocidad)
            return checkLinkAnswer(RESP_SERV_OTHER_SPEED, c.get());  // as the adapter's own refusal
    }
    return 0;
}
