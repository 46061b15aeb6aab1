// Creation, the client table, the adapter generation and the mapping of adapter
// answer states to RP1210 codes.
#include "rp1210/gestor_rp1210.h"

#include "common/protocols.h"
#include "link/gestor_input.h"
#include "link/gestor_io.h"

using namespace rp1210core::internal;

GestorRP1210::GestorRP1210() : clock_(SystemClock::instance()), errores_(GestionErrores::kDefaultMaxErrorMsgSize)
{
    crearMapaEstaticoClientes();
}

void GestorRP1210::setIGestorOutput(rp1210core::Gestor_IO* output)
{
    // The host hands back what rp1210core::Gestor_IO::getInstance() gave it.
    setIGestorOutput(static_cast<::Gestor_IO*>(output));
}

void GestorRP1210::setIGestorOutput(::Gestor_IO* output)
{
    output_ = output;
}

void GestorRP1210::setIGestorInput(rp1210core::GestorInput* input)
{
    setIGestorInput(static_cast<::GestorInput*>(input));
}

void GestorRP1210::setIGestorInput(::GestorInput* input)
{
    input_ = input;
}

GestorRP1210::~GestorRP1210()
{
    if (output_)
        output_->limpiarDescargarProxy();
}

void GestorRP1210::crearMapaEstaticoClientes()
{
    if (clientes_[0])
        return;
    for (int i = 0; i < kMaxClients; ++i)
        clientes_[i] = std::make_unique<Cliente>(static_cast<quint8>(i + 1), 0, 0, 0, false);
}

Cliente* GestorRP1210::getCliente(quint8 id) const
{
    if (id < 1 || id > kMaxClients)
        return nullptr;
    return clientes_[id - 1].get();
}

quint16 GestorRP1210::numeroClientesConectados() const
{
    quint16 n = 0;
    for (const auto& c : clientes_)
        if (c->getConectado())
            ++n;
    return n;
}

quint16 GestorRP1210::otrosClientesConProtocolo(quint8 protocolo) const
{
    quint16 n = 0;
    for (const auto& c : clientes_)
        if (c->getConectado() && c->getProtocolo() == protocolo)
            ++n;
    return n;
}

Cliente* GestorRP1210::darDeAltaNuevoCliente(quint8 protocolo, qint32 txSize, qint32 rxSize, bool packetize,
                                             enu_GATEWAY_Velocidad velocidad)
{
    for (const auto& c : clientes_) {
        if (c->getConectado())
            continue;
        c->valoresPorDefecto();
        c->setProtocolo(protocolo);
        c->setTamanoBufferSalida(txSize);
        c->setTamanoBufferEntrada(rxSize);
        c->setJ1939Packetize(packetize);
        c->setProtocolSpeed(velocidad);
        return c.get();
    }
    return nullptr;
}

short GestorRP1210::checkLinkAnswer(int state, const Cliente* cliente) const
{
    switch (state) {
    case RESP_SERV_PENDING:
    case 16:
    case 17:
        return rp1210rc::HARDWARE_NOT_RESPONDING;
    case RESP_SERV_OK:
    case RESP_SERV_ALREADY_CONNECTED:
        return rp1210rc::OK;
    case RESP_SERV_NOT_SUPPORTED:
        return rp1210rc::INVALID_PROTOCOL;
    case RESP_SERV_OTHER_SPEED:
        return cliente ? protocolFacts(cliente->getProtocolo()).otherSpeedCode : short(rp1210rc::CONNECT_NOT_ALLOWED);
    case RESP_SERV_NOT_CONNECTED:
        return rp1210rc::ADAPTER_NOT_CONNECTED;
    case RESP_SERV_HW_QUEUE_FULL:
        return rp1210rc::ADAPTER_QUEUE_FULL;
    case RESP_SERV_MAX_FLOW_CONTROL:
        return rp1210rc::INVALID_COMMAND;
    case RESP_SERV_MAX_ADDRESSING_TYPES:
        return rp1210rc::ADAPTER_MAX_ADDRESSING_TYPES;
    case RESP_SERV_UNKNOWN_REQUEST:
        return rp1210rc::COMMAND_NOT_SUPPORTED;
    case RESP_SERV_MAX_CAN_FILTERS:
    case 18:
        return rp1210rc::ADAPTER_MAX_CAN_FILTERS;
    case RESP_SERV_CAN_FILTER_NOT_FOUND:
        return rp1210rc::ADAPTER_CAN_FILTER_NOT_FOUND;
    case RESP_SERV_MESSAGE_TOO_LONG:
        return rp1210rc::MESSAGE_TOO_LONG;
    case RESP_SERV_CAN_LINES_IN_USE:
        return rp1210rc::ADAPTER_CAN_LINES_IN_USE;
    default:
        return rp1210rc::ADAPTER_NEGATIVE;
    }
}

void GestorRP1210::linkType()
{
    QString type;
    int version = 0;
    int other = 0;
    if (output_)
        output_->getTypeInterface(type, version, other);
    interfaceType_ = type;
    interfaceVersion_ = version;
    interfaceNumber2_ = other;

    enum_VersionVCI generation = VCI_DESCONOCIDA;
    if (type == QLatin1String("K"))
        generation = version == 1 ? VCI_K1 : VCI_K;
    else if (type == QLatin1String("L"))
        generation = version <= 6 ? VCI_J : VCI_A;
    else if (type == QLatin1String("J"))
        generation = VCI_J;
    else if (type == QLatin1String("A"))
        generation = VCI_A;
    else if (type == QLatin1String("E"))
        generation = VCI_E;
    generation_ = generation;
}

void GestorRP1210::set_Error(int code)
{
    linkError_ = code;
    if (code != 0) {
        // Blocked reads leave with the link error rather than wait on a dead link.
        for (const auto& c : clientes_)
            c->wakeReaders();
    }
    // A disconnect waiting for its answer gives up as soon as the link has failed.
    wakeWaiters();
}
