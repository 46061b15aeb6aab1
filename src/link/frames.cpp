// Request frame builders of the output manager, the message counter and the
// transport pass-throughs.
//
// Every frame is class 0x04 (0x02 for the two link diagnostics), service code, then
// the service's fields; multi-byte fields are big-endian. Queued frames go to the
// send thread through addMessageSentList; direct frames are written at once from the
// caller's thread and their write result is ignored.
#include "link/byte_order.h"
#include "link/gestor_io.h"

#include "common/wire_format.h"
#include <rp1210core/iproxy_link.h>

#include <algorithm>

using namespace rp1210core::internal;

namespace {

using wire::kClassApplication;
using wire::kClassDiagnostic;

QByteArray frame(quint8 code, int reserve = 8, char frameClass = kClassApplication)
{
    QByteArray f;
    f.reserve(reserve);
    f.append(frameClass);
    f.append(static_cast<char>(code));
    return f;
}

void appendByte(QByteArray& f, int v) { f.append(static_cast<char>(v & 0xFF)); }

void appendWord(QByteArray& f, int v)
{
    appendByte(f, v >> 8);
    appendByte(f, v);
}

// Byte count of a caller's byte array; a null record or a null byte pointer counts as
// empty so that a malformed record never makes the builder read through null.
quint32 byteCount(const SBYTE_ARRAY* a)
{
    return (a != nullptr && a->BytePtr != nullptr) ? a->NumOfBytes : 0;
}

void appendBytes(QByteArray& f, const SBYTE_ARRAY* a)
{
    const quint32 n = byteCount(a);
    if (n > 0)
        f.append(reinterpret_cast<const char*>(a->BytePtr), static_cast<int>(n));
}

}  // namespace

Gestor_IO::Gestor_IO() = default;

Gestor_IO::~Gestor_IO()
{
    pararHiloEnvio();
}


void Gestor_IO::queueFrame(quint8 idCliente, const QByteArray& f)
{
    addMessageSentList(idCliente, wire::kNoBroadcast, f);
}

void Gestor_IO::writeDirect(const QByteArray& f)
{
    if (IProxyLink* link = link_.load())
        (void)link->writeData(f.constData(), f.size());
}

// ---- message counter ----

void Gestor_IO::increaseContIdMsgs()
{
    MutexLocker lock(counterMutex_);
    contIdMsgs_ = (contIdMsgs_ == 255) ? 1 : static_cast<quint8>(contIdMsgs_ + 1);
}

quint8 Gestor_IO::getContIdMsgs() const
{
    MutexLocker lock(counterMutex_);
    return contIdMsgs_;
}

// ---- builders ----

void Gestor_IO::GenerarTrama_ConectarCliente(quint8 idCliente, quint8 protocolo, quint8 velocidad, bool packetize)
{
    QByteArray f = frame(SERV_CONECTAR_CLIENTE);
    appendByte(f, idCliente);
    appendByte(f, protocolo);
    appendByte(f, velocidad);
    appendByte(f, packetize ? 1 : 0);
    queueFrame(idCliente, f);
}

void Gestor_IO::GenerarTrama_DesconectarCliente(quint8 idCliente, quint8 protocolo)
{
    QByteArray f = frame(SERV_DESCONECTAR_CLIENTE);
    appendByte(f, idCliente);
    appendByte(f, protocolo);
    queueFrame(idCliente, f);
}

void Gestor_IO::GenerarTrama_GetHardwareStatus(quint8 idCliente)
{
    QByteArray f = frame(SERV_ESTADO_HARDWARE);
    appendByte(f, idCliente);
    queueFrame(idCliente, f);
}

void Gestor_IO::GenerarTrama_ResetearTravoneLink()
{
    queueFrame(0, frame(SERV_RESETEAR_LINK));
}

void Gestor_IO::GenerarTrama_EnviarMensaje(quint8 idCliente, quint8 protocolo, bool echo, const QByteArray& data,
                                           quint8 idBroadcast)
{
    quint8 counter;
    {
        MutexLocker lock(counterMutex_);
        counter = contIdMsgs_;
        contIdMsgs_ = (contIdMsgs_ == 255) ? 1 : static_cast<quint8>(contIdMsgs_ + 1);
    }
    QByteArray f = frame(SERV_ENVIAR_MENSAJE, kHeaderLength + data.size());
    // High nibble: echo flag; client 16 thus reads 0x10 / 0x20 (the adapter's affair).
    appendByte(f, idCliente + (echo ? wire::kEchoFlag : 0x00));
    appendByte(f, protocolo);
    appendByte(f, counter);
    appendWord(f, data.size());
    f.append(data);
    addMessageSentList(idCliente, idBroadcast, f);
}

void Gestor_IO::GenerarTrama_VersionFirmware(quint8 x)
{
    QByteArray f = frame(SERV_VERSION_FIRMWARE);
    appendByte(f, x);
    writeDirect(f);
}

void Gestor_IO::GenerarTrama_J1939_AdressClaim(quint8 idCliente, const char* p)
{
    if (p == nullptr)
        return;
    QByteArray f = frame(SERV_PROTECT_J1939_ADDRESS, 12);
    appendByte(f, idCliente);
    f.append(p, 9);  // address and 8-byte NAME
    queueFrame(idCliente, f);
}

void Gestor_IO::GenerarTrama_ISO15765_Flow_Control(quint8 idCliente, quint8 protocolo, const char* data, int n)
{
    if (data == nullptr || n < 0)
        n = 0;
    QByteArray f = frame(SERV_ISO15765_FLOW_CONTROL, 6 + n);
    appendByte(f, idCliente);
    appendWord(f, n);
    if (n > 0)
        f.append(data, n);
    appendByte(f, protocolo);
    queueFrame(idCliente, f);
}

void Gestor_IO::GenerarTrama_ISO15765_Clear_Flow_Control(quint8 idCliente)
{
    QByteArray f = frame(SERV_ISO15765_CLEAR_FLOW_CONTROL);
    appendByte(f, idCliente);
    queueFrame(idCliente, f);
}

void Gestor_IO::GenerarTrama_SET_GET_IOCTL(quint8 idCliente, quint8 protocolo, quint8 sub, const SCONFIG_LIST* list)
{
    // A missing list, or a count without a pointer, is sent as an empty list.
    const quint32 count = (list != nullptr && list->ConfigPtr != nullptr) ? list->NumOfParams : 0;
    QByteArray f = frame(SERV_IOCTL, 9 + 8 * static_cast<int>(std::min<quint32>(count, 1024)));
    appendByte(f, idCliente);
    appendByte(f, protocolo);
    appendByte(f, sub);
    uLong2ByteArray(count, f);
    if (sub == IOCTL_GET_CONFIG || sub == IOCTL_SET_CONFIG) {
        for (quint32 i = 0; i < count; ++i) {
            uLong2ByteArray(list->ConfigPtr[i].Parameter, f);
            if (sub == IOCTL_SET_CONFIG)
                uLong2ByteArray(list->ConfigPtr[i].Value, f);
        }
    }
    queueFrame(idCliente, f);
}

void Gestor_IO::GenerarTrama_IOCTL_INIT(quint8 idCliente, quint8 protocolo, quint8 sub, const SBYTE_ARRAY* in,
                                        const SBYTE_ARRAY* out)
{
    QByteArray f = frame(SERV_IOCTL, 10 + static_cast<int>(std::min<quint32>(byteCount(in), 4096)));
    appendByte(f, idCliente);
    appendByte(f, protocolo);
    appendByte(f, sub);
    uLong2ByteArray(byteCount(in), f);
    appendBytes(f, in);
    if (sub == IOCTL_FIVE_BAUD_INIT) {
        // Number of key bytes the adapter should return; at least 2.
        const quint32 want = out != nullptr ? out->NumOfBytes : 0;
        appendByte(f, want < 3 ? 2 : static_cast<int>(want & 0xFF));
    }
    queueFrame(idCliente, f);
}

void Gestor_IO::GenerarTrama_IOCTL_SendPulses(quint8 idCliente, quint8 protocolo, const SBYTE_ARRAY* in,
                                              const SBYTE_ARRAY* /*out*/)
{
    QByteArray f = frame(SERV_IOCTL, 9 + static_cast<int>(std::min<quint32>(byteCount(in), 4096)));
    appendByte(f, idCliente);
    appendByte(f, protocolo);
    appendByte(f, IOCTL_SEND_PULSES);
    uLong2ByteArray(byteCount(in), f);
    appendBytes(f, in);
    queueFrame(idCliente, f);
}

void Gestor_IO::GenerarTrama_IOCTL_BecomeMaster(quint8 idCliente, quint8 protocolo, const SBYTE_ARRAY* in,
                                                const SBYTE_ARRAY* /*out*/)
{
    QByteArray f = frame(SERV_IOCTL);
    appendByte(f, idCliente);
    appendByte(f, protocolo);
    appendByte(f, IOCTL_BECOME_MASTER);
    if (byteCount(in) > 0)  // an empty input has no first byte to send
        appendByte(f, in->BytePtr[0]);
    queueFrame(idCliente, f);
}

void Gestor_IO::GenerarTrama_IOCTL_Request_Teardown_Connection_Commands(quint8 idCliente, quint8 protocolo,
                                                                        IDS_RP1210_IOCTL id, const SBYTE_ARRAY* in)
{
    QByteArray f = frame(SERV_IOCTL, 5 + static_cast<int>(std::min<quint32>(byteCount(in), 4096)));
    appendByte(f, idCliente);
    appendByte(f, protocolo);
    appendByte(f, id);
    appendBytes(f, in);
    queueFrame(idCliente, f);
}

void Gestor_IO::GenerarTrama_CambioModo(quint8 idCliente, quint8 protocolo, quint8 mode)
{
    QByteArray f = frame(SERV_CAMBIO_MODO);
    appendByte(f, idCliente);
    appendByte(f, protocolo);
    appendByte(f, mode == 1 ? 0 : 1);  // the adapter's flag is the inverse of the RP1210 mode
    queueFrame(idCliente, f);
}

void Gestor_IO::GenerarTrama_CMMD_MUX(const QString& command)
{
    QByteArray f = frame(SERV_CMMD_MUX);
    for (int i = 0; i < 5; ++i) {
        const ushort c = i < command.size() ? command.at(i).unicode() : 0;
        appendByte(f, c > 255 ? 0 : c);
    }
    queueFrame(0, f);
}

void Gestor_IO::GenerarTrama_PICConnection(quint8 velocidad)
{
    QByteArray f = frame(SERV_PIC_CONNECTION);
    appendByte(f, velocidad);
    queueFrame(0, f);
}

void Gestor_IO::GenerarTrama_SetBaud(quint8 idCliente, quint8 protocolo, quint8 a, quint8 b)
{
    QByteArray f = frame(SERV_SET_BAUD);
    appendByte(f, idCliente);
    appendByte(f, protocolo);
    appendByte(f, a);
    appendByte(f, b);
    queueFrame(idCliente, f);
}

void Gestor_IO::GenerarTrama_setBroadcastLink(quint8 idCliente, quint8 protocolo, quint8 slot, const char* m)
{
    if (m == nullptr)
        return;
    const auto* u = reinterpret_cast<const unsigned char*>(m);
    const int length = u[2] + 256 * u[3];
    QByteArray f = frame(SERV_SET_BROADCAST_LINK, 8 + length);
    appendByte(f, (slot << 4) | (idCliente & 0x0F));
    appendByte(f, protocolo);
    // Interval and length arrive little-endian and go out big-endian.
    appendByte(f, u[1]);
    appendByte(f, u[0]);
    appendByte(f, u[3]);
    appendByte(f, u[2]);
    f.append(m + 4, length);
    queueFrame(idCliente, f);
}

void Gestor_IO::GenerarTrama_clearBroadcastLink(quint8 idCliente, quint8 protocolo, quint8 slot)
{
    QByteArray f = frame(SERV_CLEAR_BROADCAST_LINK);
    appendByte(f, (slot << 4) | (idCliente & 0x0F));
    appendByte(f, protocolo);
    queueFrame(idCliente, f);
}

void Gestor_IO::GenerarTrama_Set_J1850_Filter(const char* flt)
{
    if (flt == nullptr)
        return;
    QByteArray f = frame(SERV_SET_J1850_FILTER);
    f.append(flt, 6);
    queueFrame(0, f);
}

void Gestor_IO::GenerarTrama_ClearFilterJ1850()
{
    queueFrame(0, frame(SERV_CLEAR_J1850_FILTERS));
}

void Gestor_IO::GenerarTrama_Set_Padding_ISO15765(quint8 idCliente, quint8 protocolo, const char* p)
{
    if (p == nullptr)
        return;
    QByteArray f = frame(SERV_SET_PADDING_ISO15765);
    appendByte(f, idCliente);
    appendByte(f, protocolo);
    f.append(p, 2);
    queueFrame(idCliente, f);
}

void Gestor_IO::GenerarTrama_Set_Remote_CAN_Message(quint8 idCliente, quint8 protocolo, const char* p)
{
    if (p == nullptr)
        return;
    QByteArray f = frame(SERV_SET_REMOTE_CAN_MESSAGE);
    appendByte(f, idCliente);
    appendByte(f, protocolo);
    f.append(p[0]);
    queueFrame(idCliente, f);
}

void Gestor_IO::GenerarTrama_Set_Can_First_Consecutive_Frame_Value(quint8 idCliente, quint8 protocolo,
                                                                   const char* p)
{
    if (p == nullptr)
        return;
    QByteArray f = frame(SERV_SET_CAN_FIRST_CONSECUTIVE_FRAME_VALUE);
    appendByte(f, idCliente);
    appendByte(f, protocolo);
    f.append(p[0]);
    queueFrame(idCliente, f);
}

void Gestor_IO::GenerarTrama_Set_J1939_Interpacket_Time(quint8 idCliente, quint8 protocolo, const char* p)
{
    if (p == nullptr)
        return;
    QByteArray f = frame(SERV_J1939_INTERPACKET_TIME);
    appendByte(f, idCliente);
    appendByte(f, protocolo);
    // The caller's time is little-endian; the adapter wants it big-endian.
    f.append(p[3]);
    f.append(p[2]);
    f.append(p[1]);
    f.append(p[0]);
    queueFrame(idCliente, f);
}

void Gestor_IO::GenerarTrama_Set_CAN_Filter(const char* flt)
{
    if (flt == nullptr)
        return;
    // Record: type, mask (4), header (4); the adapter takes type, header, mask.
    QByteArray f = frame(SERV_SET_CAN_FILTER, 12);
    f.append(char(0x01));
    f.append(flt[0]);
    f.append(flt + 5, 4);
    f.append(flt + 1, 4);
    queueFrame(0, f);
}

void Gestor_IO::GenerarTrama_ClearFilterCAN()
{
    QByteArray f = frame(SERV_CLEAR_CAN_FILTERS);
    f.append(char(0x01));
    queueFrame(0, f);
}

void Gestor_IO::GenerarTrama_SetFiltersV6(quint8 idCliente, quint8 protocolo, const char* flt, int n)
{
    // The count travels in one byte: never send more filters than it can say.
    n = (flt == nullptr) ? 0 : std::clamp(n, 0, 255);
    QByteArray f = frame(SERV_SET_FILTERS_V6, 5 + 3 * n);
    appendByte(f, idCliente);
    appendByte(f, protocolo);
    appendByte(f, n);
    if (n > 0)
        f.append(flt, 3 * n);
    writeDirect(f);
}

void Gestor_IO::GenerarTrama_ClearAllFiltersV6(quint8 idCliente, quint8 protocolo)
{
    QByteArray f = frame(SERV_CLEAR_ALL_FILTERS_V6);
    appendByte(f, idCliente);
    appendByte(f, protocolo);
    writeDirect(f);
}

void Gestor_IO::GenerarTrama_ClearFilterV6(quint8 idCliente, quint8 protocolo, const QByteArray& pgns)
{
    QByteArray f = frame(SERV_CLEAR_FILTER_V6, 5 + pgns.size());
    appendByte(f, idCliente);
    appendByte(f, protocolo);
    appendByte(f, pgns.size() / 3);
    f.append(pgns);
    writeDirect(f);
}

void Gestor_IO::GenerarTrama_SetFilter_SA_V6(quint8 idCliente, quint8 protocolo, quint8 sa)
{
    QByteArray f = frame(SERV_SET_FILTER_SA_V6);
    appendByte(f, idCliente);
    appendByte(f, protocolo);
    appendByte(f, sa);
    writeDirect(f);
}

void Gestor_IO::GenerarTrama_ClearFilter_SA_V6(quint8 idCliente, quint8 protocolo)
{
    QByteArray f = frame(SERV_CLEAR_FILTER_SA_V6);
    appendByte(f, idCliente);
    appendByte(f, protocolo);
    writeDirect(f);
}

void Gestor_IO::GenerarTrama_Set_ISO15765_Filter(quint8 idCliente, quint8 protocolo, quint8 action,
                                                 const QByteArray* data, short n)
{
    // Never read past the caller's array: a count beyond it is cut to its size.
    const int count = (data == nullptr || n < 0) ? 0 : std::min<int>(n, data->size());
    QByteArray f = frame(SERV_SET_ISO15765_FILTER, 7 + count);
    appendByte(f, idCliente);
    appendByte(f, protocolo);
    appendByte(f, action);
    appendWord(f, count);
    if (count > 0)
        f.append(data->constData(), count);
    queueFrame(idCliente, f);
}

void Gestor_IO::GenerarTrama_LogSegmentos(quint8 x)
{
    QByteArray f = frame(SERV_LOG_SEGMENTOS, 3, kClassDiagnostic);
    appendByte(f, x);
    writeDirect(f);
}

void Gestor_IO::GenerarTrama_testVelocidad()
{
    writeDirect(frame(SERV_TEST_VELOCIDAD, 2, kClassDiagnostic));
}

// ---- transport pass-throughs ----

short Gestor_IO::initializeConnection()
{
    IProxyLink* link = link_.load();
    return link != nullptr ? link->initializeConnection() : static_cast<short>(rp1210rc::HARDWARE_NOT_RESPONDING);
}

void Gestor_IO::getTypeInterface(QString& type, int& version, int& other)
{
    if (IProxyLink* link = link_.load())
        link->getTypeInterface(type, version, other);
}

void Gestor_IO::limpiarDescargarProxy()
{
    if (IProxyLink* link = link_.load())
        link->limpiarDescargarProxy();
}

int Gestor_IO::getComChannel()
{
    IProxyLink* link = link_.load();
    return link != nullptr ? link->getComChannel() : 0;
}

// ---- observation ----

int Gestor_IO::outputListSize() const
{
    MutexLocker lock(listMutex_);
    return outputList_.size();
}

int Gestor_IO::sentFramesCount() const
{
    MutexLocker lock(sentMutex_);
    return sentFrames_.size();
}

bool Gestor_IO::hasSentFrame(quint8 counter) const
{
    MutexLocker lock(sentMutex_);
    return sentFrames_.contains(counter);
}

int Gestor_IO::inFlight(int counter) const
{
    if (counter < 0 || counter >= kInFlightCounters)
        return 0;
    MutexLocker lock(inFlightMutex_);
    return inFlight_[static_cast<size_t>(counter)];
}
