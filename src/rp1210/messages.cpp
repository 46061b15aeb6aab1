// The data path: RP1210_SendMessage, RP1210_ReadMessage, the hand-over of queued
// messages to the output manager, and the routing of received messages and echoes
// into the clients' receive queues.
//
// Threads: send and read run on application threads; almacenarMsjBuzon and
// almacenarMsjconECHO run on the receive thread and take no manager lock, only the
// slot's own short locks inside Cliente.
#include "rp1210/gestor_rp1210.h"

#include "link/igestor_output.h"
#include "common/protocols.h"
#include "common/wire_format.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <limits>

using namespace rp1210core::internal;

namespace {

using wire::kNoBroadcast;
using wire::kTimestampSize;
// A non-blocking read still waits this long for a message, so applications that poll
// in a loop do not spin the processor.
constexpr int kNonBlockingWaitMs = 1;

bool isJ1708Framing(quint8 protocolo)
{
    return protocolFacts(protocolo).framing != Framing::Plain;
}

bool validClientId(short clientId)
{
    return static_cast<quint16>(clientId - 1) < GestorRP1210::kMaxClients;
}

bool usable(const Cliente& c)
{
    return c.getConectado() && !c.getPendiente_desconexion();
}

}  // namespace

short GestorRP1210::RP1210_SendMessage(short clientId, const char* message, short size, short /*notifyStatusOnTx*/,
                                       short /*blockOnSend*/)
{
    if (!validClientId(clientId))
        return rp1210rc::INVALID_CLIENT_ID;
    const int linkError = linkError_;
    if (linkError != 0)
        return static_cast<short>(linkError);

    MutexLocker lock(sendLock_);
    Cliente* cliente = getCliente(static_cast<quint8>(clientId));
    if (!usable(*cliente))
        return rp1210rc::CLIENT_DISCONNECTED;
    if (size < 0 || (message == nullptr && size > 0))
        return rp1210rc::INVALID_COMMAND;
    if (cliente->getfreeBufferSalida() < size)
        return rp1210rc::TX_QUEUE_FULL;

    // A segmenting adapter takes no more segments than its sequence byte can number; the
    // send thread would drop a longer frame after this call had reported it queued.
    const int maxLength = segmentation::segments(getAdapterGeneration()) ? segmentation::kMaxSegmentedData
                                                                         : std::numeric_limits<int>::max();
    const quint32 result = cliente->addMsjSaliente(message, size, maxLength);
    // Even a refused message gives the queues a turn, so nothing stays behind.
    getNewMessageToTransmit();
    return static_cast<short>(result);
}

void GestorRP1210::getNewMessageToTransmit()
{
    IGestorOutput* output = output_;
    if (!output)
        return;  // leave the messages queued rather than lose them
    for (const auto& slot : clientes_) {
        Cliente& c = *slot;
        if (!usable(c))
            continue;
        const QByteArray msg = c.GetMsjToSend();
        // A zero-byte message leaves the queue here and goes no further.
        if (msg.isEmpty())
            continue;
        output->GenerarTrama_EnviarMensaje(c.getIdCliente(), c.getProtocolo(), c.getEchoMode(), msg, kNoBroadcast);
    }
}

short GestorRP1210::RP1210_ReadMessage(short clientId, char* buffer, short bufferSize, short blockOnRead)
{
    if (!validClientId(clientId))
        return static_cast<short>(-rp1210rc::INVALID_CLIENT_ID);
    const int linkError = linkError_;
    if (linkError != 0)
        return static_cast<short>(-linkError);

    Cliente* cliente = getCliente(static_cast<quint8>(clientId));
    if (!usable(*cliente))
        return static_cast<short>(-rp1210rc::CLIENT_DISCONNECTED);

    if (blockOnRead != 1)
        return cliente->GetMsjToRead(buffer, bufferSize, kNonBlockingWaitMs);

    MutexLocker readLock(readLocks_[static_cast<size_t>(clientId)]);
    const quint32 timeout = cliente->getBlockingTimeout();
    quint32 start = 0;
    for (bool first = true;; first = false) {
        // Checked after every wake: a failed link and a disconnect each wake this wait, and
        // a disconnect that completed before the read lock was ours left the slot free.
        const int failed = linkError_;
        if (failed != 0)
            return static_cast<short>(-failed);
        if (!usable(*cliente))
            return static_cast<short>(-rp1210rc::CLIENT_DISCONNECTED);
        if (first) {
            // A message already queued is handed over without reading the clock.
            if (const qint16 ready = cliente->GetMsjToRead(buffer, bufferSize, 0, &linkError_))
                return ready;
            start = clock().processMillis();
        }

        int waitMs = -1;  // time-out 0: wait without limit
        if (timeout != 0) {
            const quint32 elapsed = clock().processMillis() - start;
            waitMs = elapsed >= timeout ? 0 : static_cast<int>(std::min<quint32>(timeout - elapsed, INT_MAX));
        }
        // One wait for the whole remaining time: a new message ends it at once.
        const qint16 result = cliente->GetMsjToRead(buffer, bufferSize, waitMs, &linkError_);
        if (result != 0 || waitMs == 0)
            return result;
    }
}

quint32 GestorRP1210::almacenarMsjBuzon(quint8 protocolo, QByteArray& message)
{
    const int size = message.size();
    // Without a whole timestamp there is no message, and the echo byte would have no place.
    if (size < kTimestampSize)
        return 0;
    const char* src = message.constData();
    const bool j1708Framing = isJ1708Framing(protocolo);

    // One copy per layout (checksum kept or cut, echo byte or not), shared by every client
    // that reads that layout: the queues hold references to the same bytes.
    QByteArray layouts[2][2];
    quint32 result = 0;
    for (const auto& slot : clientes_) {
        Cliente& c = *slot;
        if (c.getProtocolo() != protocolo || !c.getConectado() || c.getFilterState() == 0)
            continue;
        const bool stripChecksum = j1708Framing && c.getJ1708Mode() == 1;
        // A J1708 message must carry at least its checksum behind the timestamp; cutting
        // a shorter one would eat into the timestamp, so it is not delivered.
        if (stripChecksum && size <= kTimestampSize)
            continue;
        const bool echo = c.getEchoMode();
        QByteArray& copy = layouts[stripChecksum][echo];
        if (copy.isNull()) {
            const int kept = stripChecksum ? size - 1 : size;
            copy = QByteArray(kept + (echo ? 1 : 0), Qt::Uninitialized);
            char* dst = copy.data();
            std::memcpy(dst, src, kTimestampSize);
            int at = kTimestampSize;
            if (echo)
                dst[at++] = 0x00;  // received from the network, not this client's own
            std::memcpy(dst + at, src + kTimestampSize, size_t(kept - kTimestampSize));
        }
        result = c.addMsjRecibido(copy);
    }
    return result;
}

// The caller's message is left unchanged; the echo is built in a new array.
quint32 GestorRP1210::almacenarMsjconECHO(quint8 idCliente, quint8 flag, QByteArray& message, const QByteArray& extra)
{
    Cliente* cliente = getCliente(idCliente);
    if (!cliente)
        return rp1210rc::INVALID_CLIENT_ID;
    if (!cliente->getConectado() || !cliente->getMessageReceive())
        return rp1210rc::CLIENT_DISCONNECTED;

    const quint8 protocolo = cliente->getProtocolo();
    int length = message.size();
    // The checksum that was added at send time is not part of the client's message; a
    // confirmation with nothing behind its timestamp has no checksum to remove.
    if (isJ1708Framing(protocolo) && cliente->getJ1708Mode() == 1 && length > kTimestampSize)
        --length;
    // ISO 9141 mode 0: byte 5 carries the first byte of the adapter's answer data. Without
    // answer data there is nothing to put there.
    const bool setByte5 =
        protocolo == PROTOCOLO_ISO9141_1 && cliente->getISO9141_KWP200_Mode() == 0 && !extra.isEmpty();
    const int bodyLength = setByte5 ? std::max(length, 6) : length;

    if (!cliente->getEchoMode())
        return rp1210rc::ECHO_OFF;
    if (flag != 1)
        return flag;
    if (length < kTimestampSize)
        return rp1210rc::INVALID_COMMAND;  // no timestamp: not a confirmation

    const bool leadingByte = protocolo == PROTOCOLO_ISO15765;
    const int prefix = kTimestampSize + 1 + (leadingByte ? 1 : 0);
    QByteArray echo(prefix + bodyLength - kTimestampSize, 0x00);
    char* dst = echo.data();
    const char* src = message.constData();
    std::memcpy(dst, src, kTimestampSize);
    dst[kTimestampSize] = 0x01;  // this client's own message
    // With the leading byte the next one stays 0x00.
    std::memcpy(dst + prefix, src + kTimestampSize, size_t(length - kTimestampSize));
    if (setByte5)
        dst[prefix + 5 - kTimestampSize] = extra.at(0);

    return cliente->addMsjRecibidoECHO(echo);
}
