// The API manager: the one object behind the RP1210 entry points.
//
// Its definition is spread over one source file per concern: core.cpp (creation,
// client table, generation, answer codes), connect.cpp, connect_string.cpp,
// service_states.cpp (answer waits and the answer updates), messages.cpp,
// commands.cpp, filter_commands.cpp, ioctl.cpp, broadcast.cpp and info.cpp.
//
// Threads: application threads enter through IRp1210; the receive thread calls the
// answer updates (modificarEstado..., actualizar..., the status-slot setters,
// almacenarMsj..., SetHardwareSatusResponse, modificarEstadoDetailedVersion); the send
// thread calls set_Error and sendBroadcastMsg. Answer updates never take a manager
// lock, so a waiting API call never blocks its own answer.
#pragma once

#include "client/cliente.h"
#include "common/clock.h"
#include "common/mutex.h"
#include "link/igestor_respuestas.h"
#include "rp1210/answer_wait.h"
#include "rp1210/gestion_errores.h"

#include <rp1210core/managers.h>
#include <rp1210core/types.h>

#include <QList>
#include <QString>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>

class IGestorInput;
class IGestorOutput;
class Gestor_IO;
class GestorInput;

class GestorRP1210 final : public rp1210core::GestorRP1210, public IGestorRespuestas {
public:
    static constexpr int kMaxClients = 16;

    // The host's instance comes from rp1210core::GestorRP1210::getInstance(); tests and
    // embedders may own further, independent managers (wired with wireCore).
    GestorRP1210();
    ~GestorRP1210();
    GestorRP1210(const GestorRP1210&) = delete;
    GestorRP1210& operator=(const GestorRP1210&) = delete;

    // ---- wiring ----
    void setIGestorOutput(rp1210core::Gestor_IO* output) override;
    void setIGestorInput(rp1210core::GestorInput* input) override;
    // Internal wiring (wireCore, tests): any output or input manager. The overloads for
    // the concrete managers and null keep those calls unambiguous.
    void setIGestorOutput(IGestorOutput* output) { output_ = output; }
    void setIGestorOutput(::Gestor_IO* output);
    void setIGestorOutput(std::nullptr_t) { output_ = nullptr; }
    IGestorOutput* getIGestorOutput() const { return output_; }
    void setIGestorInput(IGestorInput* input) { input_ = input; }
    void setIGestorInput(::GestorInput* input);
    void setIGestorInput(std::nullptr_t) { input_ = nullptr; }
    // Not owned; must outlive the manager. Defaults to the system clock.
    void setClock(const Rp1210Clock* clock) { clock_ = clock; }
    const Rp1210Clock& clock() const { return *clock_; }
    // Makes every answer wait re-check its state and its clock.
    void wakeWaiters();

    // ---- IRp1210 ----
    short RP1210_ClientConnect(quint32 hwnd, short deviceId, const char* connectString, qint32 txBufferSize,
                               qint32 rxBufferSize, short appPacketizing) override;
    short RP1210_ClientDisconnect(short clientId) override;
    short RP1210_SendMessage(short clientId, const char* message, short size, short notifyStatusOnTx,
                             short blockOnSend) override;
    short RP1210_ReadMessage(short clientId, char* buffer, short bufferSize, short blockOnRead) override;
    short RP1210_SendCommand(short command, short clientId, char* data, short size) override;
    short RP1210_ReadVersion(char* dllMajor, char* dllMinor, char* apiMajor, char* apiMinor) override;
    short RP1210_GetErrorMsg(short code, char* text) override;
    short RP1210_GetHardwareStatus(short clientId, char* status, short size, short blockOnRequest) override;
    short RP1210_ReadDetailedVersion(short clientId, char* apiVersion, char* dllVersion,
                                     char* firmwareVersion) override;
    short RP1210_Ioctl(short clientId, qint32 ioctlId, void* input, void* output) override;

    short RP1210_GetLastErrorMsg(short code, int* subCode, char* text, short clientId) override;

    // ---- client table (core.cpp) ----
    void crearMapaEstaticoClientes();
    Cliente* getCliente(quint8 id) const;  // null for ids other than 1..16
    quint16 numeroClientesConectados() const;
    quint16 otrosClientesConProtocolo(quint8 protocolo) const;
    Cliente* darDeAltaNuevoCliente(quint8 protocolo, qint32 txSize, qint32 rxSize, bool packetize,
                                   enu_GATEWAY_Velocidad velocidad);

    // ---- connect checks (connect.cpp) ----
    short ConnectionModeRestrictions(quint8 protocolo, short appPacketizing, enu_GATEWAY_Velocidad& velocidad);
    short CheckJ1939_PacketizingMode(quint8 protocolo, short appPacketizing);
    short check_CAN_Speed(enu_GATEWAY_Velocidad& velocidad);
    // Speed of a later client of a protocol outside the CAN family: "Auto" inherits the
    // speed in use, another explicit speed is refused with the protocol's speed code.
    short checkProtocolSpeed(quint8 protocolo, enu_GATEWAY_Velocidad& velocidad);

    // ---- answers and errors (core.cpp) ----
    short checkLinkAnswer(int state, const Cliente* cliente) const;
    void linkType();
    void set_Error(int code) override;
    int getLinkError() const { return linkError_; }
    enum_VersionVCI getAdapterGeneration() const { return static_cast<enum_VersionVCI>(generation_.load()); }
    bool getConnectionsDisallowed() const { return connectionsDisallowed_; }
    void setConnectionsDisallowed(bool v) { connectionsDisallowed_ = v; }

    // ---- connect string (connect_string.cpp) ----
    short TranslateProtocolString(const char* connectString, enu_GATEWAY_Protocolo* protocolo,
                                  enu_GATEWAY_Velocidad* velocidad, QString* mux);
    bool isMuxSent(enu_GATEWAY_Protocolo protocolo) const;

    // ---- manager status slots: the answers to manager-wide requests; only the setters
    // (which wake the waits) and AnswerWait (which marks them pending) write them ----
    StatusSlot isHardwareStatusEnded{RESP_SERV_PENDING};
    StatusSlot isCmmdMuxEnded{0};
    StatusSlot picConnectionEnded{0};
    StatusSlot j1850FilterStatus{RESP_SERV_PENDING};
    StatusSlot j1850ClearFilterStatus{RESP_SERV_PENDING};
    StatusSlot canFilterStatus{RESP_SERV_PENDING};
    StatusSlot canClearFilterStatus{RESP_SERV_PENDING};
    StatusSlot iso15765FilterStatus{RESP_SERV_PENDING};
    RESPONSES_SERV_RP1210 getIsHardwareStatusEnded() const { return isHardwareStatusEnded.get(); }
    void setIsHardwareStatusEnded(RESPONSES_SERV_RP1210 v) { setSlot(isHardwareStatusEnded, v); }
    RESPONSES_SERV_RP1210 getIsCmmdMuxEnded() const { return isCmmdMuxEnded.get(); }
    void setIsCmmdMuxEnded(RESPONSES_SERV_RP1210 v) override { setSlot(isCmmdMuxEnded, v); }
    RESPONSES_SERV_RP1210 getPICConnectionEnded() const { return picConnectionEnded.get(); }
    void setPICConnectionEnded(RESPONSES_SERV_RP1210 v) override { setSlot(picConnectionEnded, v); }
    RESPONSES_SERV_RP1210 getJ1850FilterStatus() const { return j1850FilterStatus.get(); }
    void setJ1850FilterStatus(RESPONSES_SERV_RP1210 v) override { setSlot(j1850FilterStatus, v); }
    RESPONSES_SERV_RP1210 getJ1850ClearFilterStatus() const { return j1850ClearFilterStatus.get(); }
    void setJ1850ClearFilterStatus(RESPONSES_SERV_RP1210 v) override { setSlot(j1850ClearFilterStatus, v); }
    RESPONSES_SERV_RP1210 getCANFilterStatus() const { return canFilterStatus.get(); }
    void setCANFilterStatus(RESPONSES_SERV_RP1210 v) override { setSlot(canFilterStatus, v); }
    RESPONSES_SERV_RP1210 getCANClearFilterStatus() const { return canClearFilterStatus.get(); }
    void setCANClearFilterStatus(RESPONSES_SERV_RP1210 v) override { setSlot(canClearFilterStatus, v); }
    RESPONSES_SERV_RP1210 getISO15765FilterStatus() const { return iso15765FilterStatus.get(); }
    void setISO15765FilterStatus(RESPONSES_SERV_RP1210 v) override { setSlot(iso15765FilterStatus, v); }
    quint8 getBufferHardwareStatus() const { return bufferHardwareStatus_; }
    void setBufferHardwareStatus(quint8 v) { bufferHardwareStatus_ = v; }

    // ---- answer updates, called on the receive thread (service_states.cpp) ----
    int modificarEstadoServicio(quint8 idCliente, IDS_SERV_RP1210 servicio, RESPONSES_SERV_RP1210 estado) override;
    int modificarEstadoJ1939AdressClaim(quint8 idCliente, IDS_SERV_RP1210 servicio, quint8 estado, short address) override;
    int actualizar_ClienteConnectRequest(const QByteArray& answer) override;
    int actualizar_GET_IOCTL_Params(quint8 idCliente, const QList<quint32>& params) override;
    int actualizar_FAST_INIT_AND_FIVE_BAUD_INIT_MSG(quint8 idCliente, const QByteArray& bytes, quint32 kind) override;
    int actualizar_SendPulsesInit_MSG(quint8 idCliente, const QByteArray& bytes) override;
    int actualizar_SetPollResponse(quint8 idCliente) override;
    int actualizar_BecomeMaster(quint8 idCliente) override;
    int actualizar_RequestConnection(quint8 idCliente) override;
    int actualizar_TeardownConnection(quint8 idCliente) override;
    int actualizar_RequestCommands(quint8 idCliente) override;
    int actualizarSET_IO_Response(quint8 idCliente) override;
    int actualizarSET_BAUD_RATE_Response(quint8 idCliente) override;
    int actualizarSet_Padding_ISO15765_Response(quint8 idCliente, quint8 estado) override;
    int actualizarSet_Remote_CAN_Message(quint8 idCliente, quint8 estado) override;
    int actualizarSet_Can_First_Consecutive_Frame_Value(quint8 idCliente, quint8 estado) override;
    int actualizar_SetFiltersV6(quint8 idCliente, quint8 estado) override;
    int actualizar_SetFilters_SA_V6(quint8 idCliente, quint8 estado) override;
    int actualizar_ClearFiltersV6(quint8 idCliente, quint8 estado) override;
    int actualizar_ClearFilters_SA_V6(quint8 idCliente, quint8 estado) override;
    int actualizar_EstadoSetJ1939InterpacketTime(quint8 idCliente, quint8 estado) override;

    // ---- send and read path (messages.cpp) ----
    void getNewMessageToTransmit();
    quint32 almacenarMsjBuzon(quint8 protocolo, QByteArray& message) override;
    quint32 almacenarMsjconECHO(quint8 idCliente, quint8 flag, QByteArray& message, const QByteArray& extra) override;

    // ---- commands (commands.cpp) ----
    short Cmd_ResetDevice(Cliente* cliente);

    // ---- filter commands (filter_commands.cpp) ----
    // Record walk: 144 when size is below 1 or not a multiple of recordLength, else one
    // addFiltro per record and the result of the last.
    quint32 addFiltros(Cliente* cliente, const char* data, int size, int recordLength);
    short Cmd_SetFiltersV6(Cliente* cliente, const char* data, short count);
    short Cmd_SetFilters_SA_V6(Cliente* cliente, const char* data);
    short Cmd_ClearFiltersV6(Cliente* cliente, const QByteArray& pgn);
    short Cmd_ClearFilters_SA_V6(Cliente* cliente);
    short Cmd_Set_Message_Filtering_For_ISO15765(Cliente* cliente, const char* data, int size, short recordLength);
    // Exported local-only filter additions.
    quint32 Cmd_Set_Message_Filtering_For_J1708(Cliente* cliente, const char* data, short size);
    quint32 Cmd_Set_Message_Filtering_For_CDL(Cliente* cliente, const char* data, short size);
    quint32 Cmd_Set_Message_Filtering_For_J1939(Cliente* cliente, const char* data, short size);
    quint32 Cmd_Set_Message_Filtering_For_CAN(Cliente* cliente, const char* data, short size);
    quint32 Cmd_Set_Message_Filtering(Cliente* cliente, const char* data, int size, short recordLength);

    // ---- transport-layer commands (transport_commands.cpp) ----
    short Cmd_ISO15765_Clear_Filter(Cliente* cliente);
    short Cmd_ISO15765_Flow_Control(Cliente* cliente, const char* data, int size);
    short Cmd_ISO15765_Clear_Flow_Control(Cliente* cliente);
    short Cmd_Set_Padding_ISO15765(Cliente* cliente, const char* data, int size);
    short Cmd_Set_Remote_CAN_Message(Cliente* cliente, const char* data, int size);
    short Cmd_Set_Can_First_Consecutive_Frame_Value(Cliente* cliente, const char* data, int size);
    short Cmd_Set_J1939_Interpacket_Time(Cliente* cliente, const char* data);
    short Cmd_Protect_J1939_Address(Cliente* cliente, const char* data);
    short Cmd_Release_J1939_Address(Cliente* cliente, char address);

    // ---- broadcast (broadcast.cpp) ----
    quint16 Cmd_Set_Broadcast_Msg(Cliente* cliente, char* command, short size);
    quint16 broadcast_Link(Cliente* cliente, char* command, short size);
    std::optional<quint32> sendBroadcastMsg() override;
    quint32 almacenarMsjconECHOBroadcastLink(quint8 flag, QByteArray& message, quint8 protocolo,
                                             const QByteArray& extra) override;

    // ---- versions and hardware status (info.cpp) ----
    void SetHardwareSatusResponse(quint8 idCliente, const QByteArray& answer) override;
    int modificarEstadoDetailedVersion(const QString& text) override;
    void set_Detailed_Version(const QString& text);
    RESPONSES_SERV_RP1210 get_detailedVersionEnded() const;
    void set_detailedVersionEnded(RESPONSES_SERV_RP1210 v);
    int getStateHardwareVersion() const { return 0; }
    bool get_Detailed_Version(char* out) const;  // false when the text was written
    GestionErrores& errores() { return errores_; }

private:
    friend class AnswerWait;
    // service_states.cpp. Sleeps while pending() holds and fewer than limitSeconds whole
    // wall-clock seconds have passed; woken by every answer update, set_Error and wakeWaiters.
    void waitWhile(int limitSeconds, const std::function<bool()>& pending);
    // Stores a slot's state and wakes the waits.
    void setSlot(StatusSlot& slot, RESPONSES_SERV_RP1210 v);

    // broadcast.cpp
    void updateBroadcastIds(quint8 idCliente, int count);
    // connect.cpp
    void closeLinkIfIdle();
    short disconnectHandshake(Cliente* cliente);
    // filter_commands.cpp: commands 4, 5, 7, 8, 9, 17 and 211, under commandLock_.
    short dispatchFilterCommand(short command, Cliente* cliente, const char* data, short size);

    IGestorOutput* output_ = nullptr;
    IGestorInput* input_ = nullptr;
    const Rp1210Clock* clock_;

    // Locks that serialise operations rather than guard members. Order: a device reset
    // takes the connection lock inside the command lock; a disconnect takes the client's
    // read and status locks inside the connection lock.
    rp1210core::internal::Mutex commandLock_ ACQUIRED_BEFORE(connectionLock_);  // the whole of RP1210_SendCommand
    rp1210core::internal::Mutex connectionLock_;  // connect, disconnect, device reset
    rp1210core::internal::Mutex sendLock_;        // RP1210_SendMessage
    std::array<rp1210core::internal::Mutex, kMaxClients + 1> readLocks_;    // blocking reads, by client id
    std::array<rp1210core::internal::Mutex, kMaxClients + 1> statusLocks_;  // blocking hardware status, by client id

    // Fixed for the manager's life: slot i holds client id i + 1.
    std::array<std::unique_ptr<Cliente>, kMaxClients> clientes_;

    rp1210core::internal::Mutex broadcastIdsLock_;
    QList<quint8> broadcastIds_ GUARDED_BY(broadcastIdsLock_);

    std::atomic<quint8> bufferHardwareStatus_{0};

    GestionErrores errores_;
    std::atomic<bool> connectionsDisallowed_{false};
    std::atomic<int> linkError_{0};
    std::atomic<int> generation_{VCI_DESCONOCIDA};
    // Written by linkType and read by the connect-string parser, both under connectionLock_.
    QString interfaceType_;
    int interfaceVersion_ = 0;
    int interfaceNumber2_ = 0;

    mutable rp1210core::internal::Mutex detailedVersionLock_;
    QString detailedVersion_ GUARDED_BY(detailedVersionLock_);
    std::atomic<int> detailedVersionEnded_{RESP_SERV_PENDING};

    // Answer waits sleep on this; every answer update notifies it.
    rp1210core::internal::Mutex waitMutex_;
    std::condition_variable waitCv_;
};
