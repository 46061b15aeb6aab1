// Dispatch of the adapter's answer frames, on the receive thread.
//
// Every frame is untrusted: each handler checks the length before it reads a byte, and
// drops a frame that is too short or contradicts itself. Nothing here blocks except the
// short sent-frames, in-flight and output-list locks.
#include "link/byte_order.h"
#include "link/gestor_io.h"
#include "link/igestor_respuestas.h"
#include "common/protocols.h"
#include "common/wire_format.h"

#include <QString>

using namespace rp1210core::internal;

namespace {

using wire::kClassApplication;
using wire::kTimestampSize;
constexpr int kMinFrame = 3;  // class, code, first field
constexpr int kSegmentMinimum = wire::kReceivedSegmentTimestamp + kTimestampSize;  // every segment carries the timestamp

// Firmware version answer (code 0x01): text from offset 3 to offset 19 inclusive.
constexpr int kVersionTextFirst = 3;
constexpr int kVersionTextLast = 19;

// Ioctl answer (code 0x0D): client, one byte, sub, then for the subs that return data
// four more bytes and the data.
constexpr int kIoctlSub = 4;
constexpr int kIoctlData = 9;

// Send-answer states with which the adapter refuses a message: the remembered frame is
// forgotten and its slot freed; the client hears nothing of it.
bool isSendFailure(quint8 state)
{
    switch (state) {
    case RESP_SERV_NEGATIVE:
    case RESP_SERV_NOT_SUPPORTED:
    case RESP_SERV_NOT_CONNECTED:
    case RESP_SERV_HW_QUEUE_FULL:
    case RESP_SERV_MESSAGE_TOO_LONG:
    case 23:
        return true;
    default:
        return false;
    }
}

inline quint8 at(const QByteArray& frame, int i)
{
    return static_cast<quint8>(frame.at(i));
}

inline int be16(const QByteArray& frame, int i)
{
    return (at(frame, i) << 8) | at(frame, i + 1);
}

// Frame without its first `n` bytes; empty when it has no more than that.
QByteArray cut(const QByteArray& frame, int n)
{
    return frame.size() > n ? frame.mid(n) : QByteArray();
}

// Byte 2 of one of our send-message frames is the client id plus 0x10 when the client
// asked for echo. Client ids run to 16, so client 16 reads 0x10 without echo and 0x20
// with it; no frame is ever sent for client 0, which keeps both readings unambiguous.
struct SentBy {
    quint8 client;
    bool echo;
};

SentBy sentBy(const QByteArray& sent)
{
    if (sent.size() <= wire::kSendClient)
        return {0, false};
    const quint8 v = at(sent, wire::kSendClient);
    if (v == 0x10)
        return {16, false};
    if (v == 0x20)
        return {16, true};
    return {static_cast<quint8>(v & 0x0F), (v & 0xF0) == 0x10};
}

inline IDS_SERV_RP1210 service(quint8 code)
{
    return static_cast<IDS_SERV_RP1210>(code);
}

inline RESPONSES_SERV_RP1210 state(quint8 value)
{
    return static_cast<RESPONSES_SERV_RP1210>(value);
}

}  // namespace

void Gestor_IO::switchApplication(QByteArray& frame)
{
    const int n = frame.size();
    if (n < kMinFrame || frame.at(0) != kClassApplication)
        return;
    // Unwired (no manager to report to): nobody waits for anything.
    if (gestor_.load() == nullptr)
        return;
    const quint8 code = at(frame, 1);
    const quint8 b2 = at(frame, 2);
    IGestorRespuestas& g = gestor();

    switch (code) {
    case SERV_VERSION_FIRMWARE:
        DeserializarRespuestaVersionFirmware(frame);
        break;
    case SERV_CONECTAR_CLIENTE:
        if (n >= 4)
            g.actualizar_ClienteConnectRequest(frame);
        break;
    case SERV_DESCONECTAR_CLIENTE:
    case SERV_ISO15765_FLOW_CONTROL:
    case SERV_ISO15765_CLEAR_FLOW_CONTROL:
        if (n >= 4)
            g.modificarEstadoServicio(b2, service(code), state(at(frame, 3)));
        break;
    case SERV_ENVIAR_MENSAJE:
        DeserializarRespuestaEnvioMsj(frame);
        break;
    case SERV_RECEPCION_TRAMA:
        DeserializarRecepcionTrama(frame);
        break;
    case SERV_ESTADO_HARDWARE:
        DeserializarRespuestaEstadoHardware(frame);
        break;
    case SERV_J1939_ADDRESS_CLAIM:
    case SERV_PROTECT_J1939_ADDRESS:
        DeserializarRespuestaJ1939_AdressClaim(frame);
        break;
    case SERV_IOCTL:
        Deserializar_IOCTL(frame);
        break;
    case SERV_SET_BAUD:
        g.actualizarSET_BAUD_RATE_Response(b2);
        break;
    case SERV_CMMD_MUX:
        g.setIsCmmdMuxEnded(state(b2));
        break;
    case SERV_J1939_INTERPACKET_TIME:
        DeserializarSetJ1939InterpacketTime(frame);
        break;
    case SERV_TESTER_LINK:
        Deserializar_TesterLink(frame);
        break;
    case SERV_SEGMENTO:
        Deserializar_Seg(frame);
        break;
    case SERV_SET_FILTERS_V6:
    case SERV_CLEAR_FILTER_V6:
    case SERV_SET_FILTER_SA_V6:
    case SERV_CLEAR_FILTER_SA_V6:
    case SERV_SET_PADDING_ISO15765:
    case SERV_SET_REMOTE_CAN_MESSAGE:
    case SERV_SET_CAN_FIRST_CONSECUTIVE_FRAME_VALUE: {
        // client, one byte, state
        if (n < 5)
            break;
        const quint8 estado = at(frame, 4);
        switch (code) {
        case SERV_SET_FILTERS_V6:
            g.actualizar_SetFiltersV6(b2, estado);
            break;
        case SERV_CLEAR_FILTER_V6:
            g.actualizar_ClearFiltersV6(b2, estado);
            break;
        case SERV_SET_FILTER_SA_V6:
            g.actualizar_SetFilters_SA_V6(b2, estado);
            break;
        case SERV_CLEAR_FILTER_SA_V6:
            g.actualizar_ClearFilters_SA_V6(b2, estado);
            break;
        case SERV_SET_PADDING_ISO15765:
            g.actualizarSet_Padding_ISO15765_Response(b2, estado);
            break;
        case SERV_SET_REMOTE_CAN_MESSAGE:
            g.actualizarSet_Remote_CAN_Message(b2, estado);
            break;
        default:
            g.actualizarSet_Can_First_Consecutive_Frame_Value(b2, estado);
            break;
        }
        break;
    }
    case SERV_SET_CAN_FILTER:
        g.setCANFilterStatus(state(b2));
        break;
    case SERV_CLEAR_CAN_FILTERS:
        g.setCANClearFilterStatus(state(b2));
        break;
    case SERV_SET_ISO15765_FILTER:
        if (n > 5)
            g.setISO15765FilterStatus(state(at(frame, 5)));
        break;
    case SERV_PIC_CONNECTION:
        g.setPICConnectionEnded(state(b2));
        break;
    case SERV_SET_J1850_FILTER:
        g.setJ1850FilterStatus(state(b2));
        break;
    case SERV_CLEAR_J1850_FILTERS:
        g.setJ1850ClearFilterStatus(state(b2));
        break;
    default:
        // Answers without a handler (reset, mode change, clear-all, broadcast link, ...).
        break;
    }
}

void Gestor_IO::DeserializarRespuestaVersionFirmware(QByteArray& frame)
{
    QString text;
    const int end = qMin(frame.size() - 1, kVersionTextLast);
    for (int i = kVersionTextFirst; i <= end; ++i) {
        const quint8 c = at(frame, i);
        if (c == 0)
            break;
        text.append(QChar(c));
    }
    gestor().modificarEstadoDetailedVersion(text);
}

void Gestor_IO::DeserializarRecepcionTrama(QByteArray& frame)
{
    if (frame.size() < wire::kReceivedHeader)
        return;
    const quint8 protocolo = at(frame, wire::kReceivedProtocol);
    const int declared = be16(frame, wire::kReceivedLength);
    // The message starts with its timestamp; a length that cannot hold it, or that
    // runs past the frame, is not a message.
    if (declared < kTimestampSize || declared > frame.size() - wire::kReceivedHeader)
        return;
    frame.remove(0, wire::kReceivedHeader);
    // Bytes after the declared length (padding) are not part of the message.
    frame.truncate(declared);
    gestor().almacenarMsjBuzon(protocolo, frame);
}

void Gestor_IO::DeserializarRespuestaEstadoHardware(QByteArray& frame)
{
    // Exactly 3 bytes is a status report without status bytes (client 255 needs none).
    const quint8 idCliente = at(frame, 2);
    const QByteArray status = cut(frame, 3);
    gestor().SetHardwareSatusResponse(idCliente, status);
}

void Gestor_IO::DeserializarRespuestaJ1939_AdressClaim(QByteArray& frame)
{
    if (frame.size() < 5)
        return;
    gestor().modificarEstadoJ1939AdressClaim(at(frame, 2), service(at(frame, 1)), at(frame, 3),
                                             static_cast<short>(at(frame, 4)));
}

void Gestor_IO::DeserializarSetJ1939InterpacketTime(QByteArray& frame)
{
    if (frame.size() < 5)
        return;
    gestor().actualizar_EstadoSetJ1939InterpacketTime(at(frame, 2), at(frame, 4));
}

void Gestor_IO::DeserializarRespuestaEnvioMsj(QByteArray& frame)
{
    const int n = frame.size();
    if (n < 4)
        return;
    const quint8 estado = at(frame, wire::kAnswerState);
    if (estado > 23)
        return;
    const bool failure = isSendFailure(estado);
    if (estado != RESP_SERV_OK && !failure)
        return;  // e.g. 2 and 10: the slot stays taken until the hold-back frees it
    if (n <= wire::kAnswerCounter)
        return;
    const quint8 counter = at(frame, wire::kAnswerCounter);

    // The timestamp, the data length and the data it announces; only the echo and the
    // broadcast-link paths read them.
    const bool hasData = n >= wire::kAnswerData && be16(frame, wire::kAnswerDataLength) <= n - wire::kAnswerData;

    QByteArray sent;
    bool found = false;
    bool echo = false;
    {
        // Look-up and removal in one lock: the send thread gives the counter to a new
        // frame only once it is no longer remembered here.
        MutexLocker lock(sentMutex_);
        auto it = sentFrames_.find(counter);
        if (it != sentFrames_.end()) {
            echo = !failure && sentBy(it.value()).echo;
            if (echo && !hasData)
                return;  // truncated answer: keep the frame for a complete one
            sent = it.value();
            sentFrames_.erase(it);
            found = true;
        }
    }

    if (found) {
        if (echo) {
            QByteArray message = frame.mid(wire::kAnswerTimestamp, kTimestampSize);
            if (sent.size() > kHeaderLength) {
                const int announced = be16(sent, wire::kSendLength);
                message.append(sent.constData() + kHeaderLength, qMin(announced, sent.size() - kHeaderLength));
            }
            const QByteArray extra = frame.mid(wire::kAnswerData, be16(frame, wire::kAnswerDataLength));
            gestor().almacenarMsjconECHO(sentBy(sent).client, 1, message, extra);
        }
        // Free the slot of the protocol the answer names, and the counter for the head
        // that may wait for it.
        decreaseSendProtocolBuffer(static_cast<qint8>(frame.at(wire::kAnswerProtocol)));
        wakeHeldBack();
        return;
    }

    // Counter 0 is never given to a frame of ours: the adapter reports a repetition of
    // the broadcast record it holds.
    if (failure || counter != 0 || !hasData)
        return;
    QByteArray timestamp = frame.mid(wire::kAnswerTimestamp, kTimestampSize);
    const QByteArray extra = frame.mid(wire::kAnswerData, be16(frame, wire::kAnswerDataLength));
    gestor().almacenarMsjconECHOBroadcastLink(1, timestamp, at(frame, 2), extra);
}

void Gestor_IO::Deserializar_IOCTL(QByteArray& frame)
{
    if (frame.size() <= kIoctlSub)
        return;
    const quint8 idCliente = at(frame, 2);
    const quint8 sub = at(frame, kIoctlSub);
    IGestorRespuestas& g = gestor();
    switch (sub) {
    case IOCTL_GET_CONFIG: {
        QList<quint32> params;
        byteVector2UlongVector(cut(frame, kIoctlData), &params);
        g.actualizar_GET_IOCTL_Params(idCliente, params);
        break;
    }
    case IOCTL_SET_CONFIG:
        g.actualizarSET_IO_Response(idCliente);
        break;
    case IOCTL_FIVE_BAUD_INIT:
    case IOCTL_FAST_INIT:
        g.actualizar_FAST_INIT_AND_FIVE_BAUD_INIT_MSG(idCliente, cut(frame, kIoctlData), sub);
        break;
    case IOCTL_REQUEST_COMMANDS:
        g.actualizar_RequestCommands(idCliente);
        break;
    case IOCTL_TEARDOWN_CONNECTION:
        g.actualizar_TeardownConnection(idCliente);
        break;
    case IOCTL_REQUEST_CONNECTION:
        g.actualizar_RequestConnection(idCliente);
        break;
    case IOCTL_BECOME_MASTER:
        g.actualizar_BecomeMaster(idCliente);
        break;
    case IOCTL_SET_POLL_RESPONSE:
        g.actualizar_SetPollResponse(idCliente);
        break;
    case IOCTL_SEND_PULSES:
        g.actualizar_SendPulsesInit_MSG(idCliente, cut(frame, kIoctlData));
        break;
    default:
        break;
    }
}

void Gestor_IO::Deserializar_TesterLink(QByteArray& frame)
{
    // The adapter checks the link by getting its own frame back with one byte added.
    frame.append(static_cast<char>(0x01));
    addMessageSentList(0, wire::kNoBroadcast, frame);
}

void Gestor_IO::Deserializar_Seg(QByteArray& frame)
{
    if (frame.size() < kSegmentMinimum)
        return;
    const quint8 protocolo = at(frame, wire::kReceivedSegmentProtocol);
    const int key = at(frame, wire::kReceivedSegmentKey);
    const quint8 sequence = at(frame, wire::kReceivedSegmentSequence);
    const quint8 index = sequence & 0x0F;

    if (index == 0) {
        reassembly_.remove(key);  // a new first segment restarts the key
        LINK_SEG_MSG msg;
        msg.nextIndex = 0;
        msg.segmentCount = static_cast<quint8>((sequence >> 4) + 1);
        msg.expectedLength = be16(frame, wire::kReceivedSegmentTotal) + protocolFacts(protocolo).segmentExtraBytes;
        msg.receivedLength = 0;
        // The whole message must fit the 16-bit length of the code-5 frame it becomes.
        if (msg.expectedLength + kTimestampSize > 0xFFFF)
            return;
        actualizar_Seg(frame, wire::kFirstSegmentData, &msg);
        if (msg.receivedLength > msg.expectedLength)
            return;  // more data than announced: it can never complete
        if (!comprobar_Seg(frame, &msg))
            reassembly_.insert(key, msg);
        return;
    }

    auto it = reassembly_.find(key);
    if (it == reassembly_.end() || it.value().nextIndex != index)
        return;  // out of order or unknown: the message waits for the expected segment
    LINK_SEG_MSG* msg = &it.value();
    actualizar_Seg(frame, wire::kLaterSegmentData, msg);
    if (msg->receivedLength > msg->expectedLength) {
        reassembly_.erase(it);
        return;
    }
    if (comprobar_Seg(frame, msg))
        reassembly_.remove(key);  // by key: the delivery re-entered switchApplication
}

void Gestor_IO::actualizar_Seg(const QByteArray& frame, int offset, LINK_SEG_MSG* msg)
{
    if (msg == nullptr || offset < 0 || frame.size() <= offset)
        return;
    const int count = frame.size() - offset;
    msg->data.append(frame.constData() + offset, count);
    msg->receivedLength += count;
}

bool Gestor_IO::comprobar_Seg(const QByteArray& frame, LINK_SEG_MSG* msg)
{
    if (msg == nullptr || frame.size() < kSegmentMinimum)
        return false;
    if (msg->receivedLength != msg->expectedLength) {
        ++msg->nextIndex;
        return false;
    }
    const int length = msg->receivedLength + kTimestampSize;
    QByteArray whole;
    whole.reserve(wire::kReceivedHeader + length);
    whole.append(kClassApplication);
    whole.append(static_cast<char>(SERV_RECEPCION_TRAMA));
    whole.append(frame.at(2));
    whole.append(static_cast<char>((length >> 8) & 0xFF));
    whole.append(static_cast<char>(length & 0xFF));
    whole.append(frame.constData() + wire::kReceivedSegmentTimestamp, kTimestampSize);
    whole.append(msg->data);
    switchApplication(whole);
    return true;
}
