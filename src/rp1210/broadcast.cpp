// Periodic broadcast messages: the two command handlers, the scheduler tick of the
// send thread and the echo of the records that the adapter repeats by itself.
//
// Threads: the handlers run on application threads under the command lock;
// sendBroadcastMsg runs on the send thread whenever it wakes (a frame, a due record, a
// record added, the end of a hold-back);
// almacenarMsjconECHOBroadcastLink runs on the receive thread. The broadcast id list is
// guarded by broadcastIdsLock_, each client's records by its broadcast lock; neither
// is held while the other is taken, nor while the output manager is called.
#include "rp1210/gestor_rp1210.h"

#include "common/wire_format.h"

#include "link/igestor_output.h"

#include <array>

using namespace rp1210core::internal;


namespace {

using wire::kTimestampSize;
constexpr quint8 kLinkSlot = 0;  // the adapter's broadcast slot that the link record uses
constexpr quint8 kLastLinkClient = 0x0F;  // broadcast-link frames carry the client in a nibble

enum BroadcastFunction : quint8 {
    kAdd = 1,
    kView = 2,
    kRemoveAll = 3,
    kRemoveOne = 4,
    kCount = 5,
};

// Bytes a function reads from the command before doing anything: the function byte,
// and the key byte of view (byte 2) and remove-one (byte 1). Add checks its record itself.
int bytesNeeded(quint8 function)
{
    switch (function) {
    case kView:
        return 3;
    case kRemoveOne:
        return 2;
    default:
        return 1;
    }
}


}  // namespace

quint16 GestorRP1210::Cmd_Set_Broadcast_Msg(Cliente* cliente, char* command, short size)
{
    if (cliente == nullptr || command == nullptr || size < 1)
        return rp1210rc::INVALID_COMMAND;
    const quint8 function = static_cast<quint8>(command[0]);
    if (size < bytesNeeded(function))
        return rp1210rc::INVALID_COMMAND;
    IGestorOutput* output = output_;
    const quint8 id = cliente->getIdCliente();

    quint8 answer = 0;
    switch (function) {
    case kAdd: {
        const int key = cliente->addBroadcastMSG(command + 1, size - 1);
        if (key == rp1210rc::INVALID_COMMAND)
            return rp1210rc::INVALID_COMMAND;  // the record is longer than the command data
        answer = static_cast<quint8>(key);
        break;
    }
    case kView: {
        const quint8 key = static_cast<quint8>(command[2]);
        const int found = cliente->viewBroadcastMSG(command + 1, size - 1, key);
        if (found == rp1210rc::INVALID_COMMAND)
            return rp1210rc::INVALID_COMMAND;  // the view does not fit in the caller's buffer
        answer = static_cast<quint8>(found);
        break;
    }
    case kRemoveAll: {
        QList<quint8> keys;
        const int removed = cliente->clearBroadcastMsgList(&keys);
        // Only this client's waiting frames go: the broadcasts of other clients keep
        // their queued repetitions.
        if (output) {
            for (quint8 key : keys)
                output->removeBroadcastMsgByID(key, id);
        }
        answer = static_cast<quint8>(removed & 0xFF);
        break;
    }
    case kRemoveOne: {
        const quint8 key = static_cast<quint8>(command[1]);
        answer = static_cast<quint8>(cliente->removeBroadcastMsg(key));
        if (output)
            output->removeBroadcastMsgByID(key, id);
        break;
    }
    case kCount:
        answer = static_cast<quint8>(cliente->broadcastMsgListSize() & 0xFF);
        break;
    default:
        break;
    }
    command[0] = static_cast<char>(answer);
    updateBroadcastIds(id, cliente->broadcastMsgListSize());
    // A new record may fall due before the send thread's current sleep ends.
    if (function == kAdd && output)
        output->wakeSendThread();
    return rp1210rc::OK;
}

quint16 GestorRP1210::broadcast_Link(Cliente* cliente, char* command, short size)
{
    if (cliente == nullptr || command == nullptr || size < 1)
        return rp1210rc::INVALID_COMMAND;
    // Client 16 has no nibble value of its own: its records would reach the adapter as
    // another client's, and clearing them would clear that client's.
    if (cliente->getIdCliente() > kLastLinkClient)
        return rp1210rc::HARDWARE_NOT_SUPPORTED;
    const quint8 function = static_cast<quint8>(command[0]);
    if (size < bytesNeeded(function))
        return rp1210rc::INVALID_COMMAND;
    IGestorOutput* output = output_;
    const quint8 id = cliente->getIdCliente();
    const quint8 protocolo = cliente->getProtocolo();

    quint8 answer = 0;
    switch (function) {
    case kAdd: {
        const char* record = command + 1;
        const int key = cliente->addBroadcastMSG_Link(record, size - 1);
        if (key == rp1210rc::INVALID_COMMAND)
            return rp1210rc::INVALID_COMMAND;
        // A refused record (every key taken) does not reach the adapter either: the
        // application was told it is not repeated.
        if (key != Cliente::kBroadcastFull && output)
            output->GenerarTrama_setBroadcastLink(id, protocolo, kLinkSlot, record);
        answer = static_cast<quint8>(key);
        break;
    }
    case kView: {
        const quint8 key = static_cast<quint8>(command[2]);
        const int found = cliente->viewBroadcastMSG_Link(command + 1, size - 1, key);
        if (found == rp1210rc::INVALID_COMMAND)
            return rp1210rc::INVALID_COMMAND;
        answer = static_cast<quint8>(found);
        break;
    }
    case kRemoveAll: {
        const int removed = cliente->clearBroadcastMsgList();
        if (output)
            output->GenerarTrama_clearBroadcastLink(id, protocolo, kLinkSlot);
        cliente->deleteBrodCastMSGLink();
        answer = static_cast<quint8>(removed & 0xFF);
        break;
    }
    case kRemoveOne: {
        const quint8 key = static_cast<quint8>(command[1]);
        if (key != 0) {
            answer = static_cast<quint8>(cliente->removeBroadcastMsg(key));
        } else {
            // The adapter's record is cleared whether or not the library knew of one.
            if (output)
                output->GenerarTrama_clearBroadcastLink(id, protocolo, kLinkSlot);
            cliente->deleteBrodCastMSGLink();
            answer = 0;
        }
        break;
    }
    case kCount:
        answer = static_cast<quint8>(cliente->broadcastMsgListSize_Link() & 0xFF);
        break;
    default:
        break;
    }
    command[0] = static_cast<char>(answer);
    updateBroadcastIds(id, cliente->broadcastMsgListSize_Link());
    // Records after the link record are repeated by the send thread.
    if (function == kAdd && output)
        output->wakeSendThread();
    return rp1210rc::OK;
}

// One scheduler tick. The id list is copied under its lock into a plain array (no
// allocation, and no implicitly shared data left between this thread and the
// commands); the due records are collected under each client's lock; the output
// manager is called with no lock of this manager held.
//
// A client that is not connected, or is being disconnected, adds no due time: in the
// API's flows it does not become usable again with its records (a new connection
// drops them), so it would only wake the send thread for nothing.
// The clients holding at least one record, each once, in the order they got their first.
void GestorRP1210::updateBroadcastIds(quint8 idCliente, int count)
{
    MutexLocker guard(broadcastIdsLock_);
    if (count >= 1) {
        if (!broadcastIds_.contains(idCliente))
            broadcastIds_.append(idCliente);
    } else {
        broadcastIds_.removeAll(idCliente);
    }
}

std::optional<quint32> GestorRP1210::sendBroadcastMsg()
{
    IGestorOutput* output = output_;
    if (output == nullptr)
        return std::nullopt;
    std::array<quint8, kMaxClients> ids;
    int count = 0;
    {
        MutexLocker lock(broadcastIdsLock_);
        for (const quint8 id : qAsConst(broadcastIds_)) {
            if (count == kMaxClients)
                break;
            ids[size_t(count++)] = id;
        }
    }
    const Rp1210Clock& processClock = clock();
    QList<BroadcastMSG> due;
    std::optional<quint32> next;
    for (int i = 0; i < count; ++i) {
        const quint8 id = ids[size_t(i)];
        Cliente* c = getCliente(id);
        if (c == nullptr || c->getPendiente_desconexion() || !c->getConectado())
            continue;
        if (!c->broadcastMsgToSend(&due, processClock, &next))
            continue;
        const quint8 protocolo = c->getProtocolo();
        const bool echo = c->getEchoMode();
        for (const BroadcastMSG& record : qAsConst(due))
            output->GenerarTrama_EnviarMensaje(id, protocolo, echo, record.getMsg(), record.getBroadcastID());
        due.clear();
    }
    return next;
}

// The adapter reports one repetition of a link record: `message` holds its four
// timestamp bytes, `extra` the data the report carries. The echo goes to the first
// client of that protocol that holds a link record.
quint32 GestorRP1210::almacenarMsjconECHOBroadcastLink(quint8 flag, QByteArray& message, quint8 protocolo,
                                                       const QByteArray& extra)
{
    const int timestampLength = message.size();
    Cliente* cliente = nullptr;
    QByteArray stored;
    for (const auto& slot : clientes_) {
        if (slot->getProtocolo() == protocolo && slot->getBroadcastMSG_Link(&stored)) {
            cliente = slot.get();
            break;
        }
    }
    if (cliente == nullptr)
        return rp1210rc::INVALID_CLIENT_ID;
    message.append(stored);

    if (!cliente->getConectado() || !cliente->getMessageReceive())
        return rp1210rc::CLIENT_DISCONNECTED;
    // The checksum of a J1708 message; never a byte of the timestamp.
    if (protocolo == PROTOCOLO_J1708 && cliente->getJ1708Mode() == 1 && message.size() > kTimestampSize)
        message.chop(1);
    if (protocolo == PROTOCOLO_ISO9141_1 && cliente->getISO9141_KWP200_Mode() == 0) {
        if (message.size() < 6)
            message.append(QByteArray(6 - message.size(), '\0'));
        message[5] = extra.isEmpty() ? '\0' : extra.at(0);
    }
    if (!cliente->getEchoMode())
        return rp1210rc::OK;
    if (flag != 1)
        return flag;
    if (timestampLength < kTimestampSize)
        return rp1210rc::INVALID_COMMAND;  // no timestamp: not a repetition report

    QByteArray echo;
    echo.reserve(message.size() + 2);
    echo.append(message.constData(), kTimestampSize);
    echo.append(char(0x01));  // the client's own message
    if (protocolo == PROTOCOLO_ISO15765)
        echo.append(char(0x00));
    echo.append(message.constData() + kTimestampSize, message.size() - kTimestampSize);
    return cliente->addMsjRecibidoECHO(echo);
}
