// What the adapter link reports to the API manager: the answer updates that the
// dispatch makes on the receive thread, the link error that the send thread raises and
// the broadcast scheduler that it ticks. The link depends on this interface only;
// GestorRP1210 implements it.
//
// Threads and locks: every update is called on the receive thread with no link lock
// held and must not block on an application thread (a waiting API call would never
// see its own answer). set_Error and sendBroadcastMsg are called on the send thread,
// with no link lock held. Returns are informational and the link ignores them, except
// for sendBroadcastMsg's.
#pragma once

#include <rp1210core/types.h>

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

class IGestorRespuestas {
public:
    // ---- send thread ----
    // A transport write failed: later API calls report `code` (142) until a connect succeeds.
    virtual void set_Error(int code) = 0;
    // Queues every periodic broadcast record that is due. Returns the process time
    // (Rp1210Clock::processMillis) at which the next record falls due; none when no
    // connected client holds a record. The send thread sleeps until then, or until
    // IGestorOutput::wakeSendThread.
    virtual std::optional<quint32> sendBroadcastMsg() = 0;

    // ---- receive thread: service states ----
    virtual int modificarEstadoServicio(quint8 idCliente, IDS_SERV_RP1210 servicio, RESPONSES_SERV_RP1210 estado) = 0;
    virtual int modificarEstadoJ1939AdressClaim(quint8 idCliente, IDS_SERV_RP1210 servicio, quint8 estado,
                                                short address) = 0;
    virtual int actualizar_ClienteConnectRequest(const QByteArray& answer) = 0;
    virtual int actualizar_GET_IOCTL_Params(quint8 idCliente, const QList<quint32>& params) = 0;
    virtual int actualizar_FAST_INIT_AND_FIVE_BAUD_INIT_MSG(quint8 idCliente, const QByteArray& bytes,
                                                            quint32 kind) = 0;
    virtual int actualizar_SendPulsesInit_MSG(quint8 idCliente, const QByteArray& bytes) = 0;
    virtual int actualizar_SetPollResponse(quint8 idCliente) = 0;
    virtual int actualizar_BecomeMaster(quint8 idCliente) = 0;
    virtual int actualizar_RequestConnection(quint8 idCliente) = 0;
    virtual int actualizar_TeardownConnection(quint8 idCliente) = 0;
    virtual int actualizar_RequestCommands(quint8 idCliente) = 0;
    virtual int actualizarSET_IO_Response(quint8 idCliente) = 0;
    virtual int actualizarSET_BAUD_RATE_Response(quint8 idCliente) = 0;
    virtual int actualizarSet_Padding_ISO15765_Response(quint8 idCliente, quint8 estado) = 0;
    virtual int actualizarSet_Remote_CAN_Message(quint8 idCliente, quint8 estado) = 0;
    virtual int actualizarSet_Can_First_Consecutive_Frame_Value(quint8 idCliente, quint8 estado) = 0;
    virtual int actualizar_SetFiltersV6(quint8 idCliente, quint8 estado) = 0;
    virtual int actualizar_SetFilters_SA_V6(quint8 idCliente, quint8 estado) = 0;
    virtual int actualizar_ClearFiltersV6(quint8 idCliente, quint8 estado) = 0;
    virtual int actualizar_ClearFilters_SA_V6(quint8 idCliente, quint8 estado) = 0;
    virtual int actualizar_EstadoSetJ1939InterpacketTime(quint8 idCliente, quint8 estado) = 0;

    // ---- receive thread: the manager's status slots ----
    virtual void setIsCmmdMuxEnded(RESPONSES_SERV_RP1210 v) = 0;
    virtual void setPICConnectionEnded(RESPONSES_SERV_RP1210 v) = 0;
    virtual void setJ1850FilterStatus(RESPONSES_SERV_RP1210 v) = 0;
    virtual void setJ1850ClearFilterStatus(RESPONSES_SERV_RP1210 v) = 0;
    virtual void setCANFilterStatus(RESPONSES_SERV_RP1210 v) = 0;
    virtual void setCANClearFilterStatus(RESPONSES_SERV_RP1210 v) = 0;
    virtual void setISO15765FilterStatus(RESPONSES_SERV_RP1210 v) = 0;

    // ---- receive thread: traffic, versions and hardware status ----
    // A received network message: timestamp and message, for every client of `protocolo`.
    virtual quint32 almacenarMsjBuzon(quint8 protocolo, QByteArray& message) = 0;
    // The echo of a client's own message: timestamp and message, plus the answer's data.
    virtual quint32 almacenarMsjconECHO(quint8 idCliente, quint8 flag, QByteArray& message,
                                        const QByteArray& extra) = 0;
    // A repetition of the broadcast record the adapter holds.
    virtual quint32 almacenarMsjconECHOBroadcastLink(quint8 flag, QByteArray& message, quint8 protocolo,
                                                     const QByteArray& extra) = 0;
    virtual void SetHardwareSatusResponse(quint8 idCliente, const QByteArray& answer) = 0;
    virtual int modificarEstadoDetailedVersion(const QString& text) = 0;

protected:
    ~IGestorRespuestas() = default;
};
