// The output side of the adapter link: frame builders, send-thread control and the
// transport queries, as the API manager sees it.
//
// Threads and locks: builders run on the calling application thread. Queued builders
// take only the output-list mutex (and the message-counter mutex for send-message
// frames) and never block for long; direct builders write through the transport at
// once with no lock. No builder checks its arguments: callers validate them, and every
// builder that takes a caller buffer reads exactly the bytes its frame layout names.
// None returns a result. Nothing here calls back into the API manager.
#pragma once

#include <rp1210core/types.h>

#include <QByteArray>
#include <QString>

class IProxyLink;

class IGestorOutput {
public:
    // 0..35: request frame builders.
    virtual void GenerarTrama_ConectarCliente(quint8 idCliente, quint8 protocolo, quint8 velocidad,
                                              bool packetize) = 0;
    virtual void GenerarTrama_DesconectarCliente(quint8 idCliente, quint8 protocolo) = 0;
    virtual void GenerarTrama_GetHardwareStatus(quint8 idCliente) = 0;
    virtual void GenerarTrama_ResetearTravoneLink() = 0;
    virtual void GenerarTrama_EnviarMensaje(quint8 idCliente, quint8 protocolo, bool echo, const QByteArray& data,
                                            quint8 idBroadcast) = 0;
    virtual void GenerarTrama_VersionFirmware(quint8 x) = 0;
    // p: 9 bytes (address and 8-byte NAME).
    virtual void GenerarTrama_J1939_AdressClaim(quint8 idCliente, const char* p) = 0;
    virtual void GenerarTrama_ISO15765_Flow_Control(quint8 idCliente, quint8 protocolo, const char* data, int n) = 0;
    virtual void GenerarTrama_ISO15765_Clear_Flow_Control(quint8 idCliente) = 0;
    virtual void GenerarTrama_SET_GET_IOCTL(quint8 idCliente, quint8 protocolo, quint8 sub,
                                            const SCONFIG_LIST* list) = 0;
    virtual void GenerarTrama_IOCTL_INIT(quint8 idCliente, quint8 protocolo, quint8 sub, const SBYTE_ARRAY* in,
                                         const SBYTE_ARRAY* out) = 0;
    virtual void GenerarTrama_IOCTL_SendPulses(quint8 idCliente, quint8 protocolo, const SBYTE_ARRAY* in,
                                               const SBYTE_ARRAY* out) = 0;
    virtual void GenerarTrama_IOCTL_BecomeMaster(quint8 idCliente, quint8 protocolo, const SBYTE_ARRAY* in,
                                                 const SBYTE_ARRAY* out) = 0;
    virtual void GenerarTrama_IOCTL_Request_Teardown_Connection_Commands(quint8 idCliente, quint8 protocolo,
                                                                         IDS_RP1210_IOCTL id,
                                                                         const SBYTE_ARRAY* in) = 0;
    virtual void GenerarTrama_CambioModo(quint8 idCliente, quint8 protocolo, quint8 mode) = 0;
    virtual void GenerarTrama_CMMD_MUX(const QString& command) = 0;
    virtual void GenerarTrama_PICConnection(quint8 velocidad) = 0;
    virtual void GenerarTrama_SetBaud(quint8 idCliente, quint8 protocolo, quint8 a, quint8 b) = 0;
    // m: broadcast record, interval and length little-endian, then the message.
    virtual void GenerarTrama_setBroadcastLink(quint8 idCliente, quint8 protocolo, quint8 slot, const char* m) = 0;
    virtual void GenerarTrama_clearBroadcastLink(quint8 idCliente, quint8 protocolo, quint8 slot) = 0;
    // f: 6 bytes.
    virtual void GenerarTrama_Set_J1850_Filter(const char* f) = 0;
    virtual void GenerarTrama_ClearFilterJ1850() = 0;
    // p: 2 bytes.
    virtual void GenerarTrama_Set_Padding_ISO15765(quint8 idCliente, quint8 protocolo, const char* p) = 0;
    // p: 1 byte.
    virtual void GenerarTrama_Set_Remote_CAN_Message(quint8 idCliente, quint8 protocolo, const char* p) = 0;
    // p: 1 byte.
    virtual void GenerarTrama_Set_Can_First_Consecutive_Frame_Value(quint8 idCliente, quint8 protocolo,
                                                                    const char* p) = 0;
    // p: 4 bytes, little-endian time.
    virtual void GenerarTrama_Set_J1939_Interpacket_Time(quint8 idCliente, quint8 protocolo, const char* p) = 0;
    // f: one 9-byte CAN filter record.
    virtual void GenerarTrama_Set_CAN_Filter(const char* f) = 0;
    virtual void GenerarTrama_ClearFilterCAN() = 0;
    // f: 3 * n bytes.
    virtual void GenerarTrama_SetFiltersV6(quint8 idCliente, quint8 protocolo, const char* f, int n) = 0;
    virtual void GenerarTrama_ClearAllFiltersV6(quint8 idCliente, quint8 protocolo) = 0;
    virtual void GenerarTrama_ClearFilterV6(quint8 idCliente, quint8 protocolo, const QByteArray& pgns) = 0;
    virtual void GenerarTrama_SetFilter_SA_V6(quint8 idCliente, quint8 protocolo, quint8 sa) = 0;
    virtual void GenerarTrama_ClearFilter_SA_V6(quint8 idCliente, quint8 protocolo) = 0;
    virtual void GenerarTrama_Set_ISO15765_Filter(quint8 idCliente, quint8 protocolo, quint8 action,
                                                  const QByteArray* data, short n) = 0;
    virtual void GenerarTrama_LogSegmentos(quint8 x) = 0;
    virtual void GenerarTrama_testVelocidad() = 0;

    // 36..41: send thread and output list. The start and stop run under the
    // connection lock; the remove operations may be called from any application thread.
    virtual void ArrancarHiloEnvio(enum_VersionVCI generation, quint32 hwnd) = 0;
    // Returns once the send loop has ended; false when it was not running.
    virtual bool pararHiloEnvio() = 0;
    virtual void removeClientMessages(quint8 idCliente) = 0;
    virtual void removeAllBroadcastMsgs() = 0;
    virtual void removeBroadcastMsgByID(quint8 idBroadcast, quint8 idCliente) = 0;
    virtual void removeAllOutputMessages() = 0;

    // 42..46: transport pass-throughs (see IProxyLink for their contracts).
    virtual void setIProxyLink(IProxyLink* link) = 0;
    virtual short initializeConnection() = 0;
    virtual void getTypeInterface(QString& type, int& version, int& other) = 0;
    virtual void limpiarDescargarProxy() = 0;
    virtual int getComChannel() = 0;

    // 47: the manager added a periodic broadcast record: the send thread looks for the
    // next due record at once rather than at the end of its current sleep. Any thread.
    virtual void wakeSendThread() = 0;

protected:
    ~IGestorOutput() = default;
};
