// Test double of the output manager: records every call and plays the adapter by
// answering selected requests from its own thread through the manager's update
// operations, as the receive thread does.
#pragma once

#include "link/igestor_input.h"
#include "link/igestor_output.h"

#include <QByteArray>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class GestorRP1210;

struct OutputCall {
    std::string name;
    std::vector<int> args;
    QByteArray data;
};

class FakeGestorOutput final : public IGestorOutput {
public:
    using Responder = std::function<void(GestorRP1210&, const OutputCall&)>;

    explicit FakeGestorOutput(GestorRP1210& gestor);
    ~FakeGestorOutput();

    // Answers every later call of `name` on the fake's thread. Without a responder a
    // request goes unanswered, like a silent adapter.
    void respond(const std::string& name, Responder responder);
    void silence(const std::string& name);
    // Common answers.
    void answerConnect(int state, int speed = -1);
    void answerDisconnect(int state);
    void answerPicConnection(int state);

    std::vector<OutputCall> calls() const;
    std::vector<OutputCall> calls(const std::string& name) const;
    int count(const std::string& name) const;
    bool waitForCount(const std::string& name, int n,
                      std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) const;
    // Waits until every answer queued so far has been delivered.
    void drainAnswers();

    void setInterface(const QString& type, int version, int other = 0);
    void setInitializeResult(short rc) { initializeResult_ = rc; }
    void setComChannel(int channel) { comChannel_ = channel; }
    bool sendThreadRunning() const;

    // ---- IGestorOutput ----
    void GenerarTrama_ConectarCliente(quint8, quint8, quint8, bool) override;
    void GenerarTrama_DesconectarCliente(quint8, quint8) override;
    void GenerarTrama_GetHardwareStatus(quint8) override;
    void GenerarTrama_ResetearTravoneLink() override;
    void GenerarTrama_EnviarMensaje(quint8, quint8, bool, const QByteArray&, quint8) override;
    void GenerarTrama_VersionFirmware(quint8) override;
    void GenerarTrama_J1939_AdressClaim(quint8, const char*) override;
    void GenerarTrama_ISO15765_Flow_Control(quint8, quint8, const char*, int) override;
    void GenerarTrama_ISO15765_Clear_Flow_Control(quint8) override;
    void GenerarTrama_SET_GET_IOCTL(quint8, quint8, quint8, const SCONFIG_LIST*) override;
    void GenerarTrama_IOCTL_INIT(quint8, quint8, quint8, const SBYTE_ARRAY*, const SBYTE_ARRAY*) override;
    void GenerarTrama_IOCTL_SendPulses(quint8, quint8, const SBYTE_ARRAY*, const SBYTE_ARRAY*) override;
    void GenerarTrama_IOCTL_BecomeMaster(quint8, quint8, const SBYTE_ARRAY*, const SBYTE_ARRAY*) override;
    void GenerarTrama_IOCTL_Request_Teardown_Connection_Commands(quint8, quint8, IDS_RP1210_IOCTL,
                                                                 const SBYTE_ARRAY*) override;
    void GenerarTrama_CambioModo(quint8, quint8, quint8) override;
    void GenerarTrama_CMMD_MUX(const QString&) override;
    void GenerarTrama_PICConnection(quint8) override;
    void GenerarTrama_SetBaud(quint8, quint8, quint8, quint8) override;
    void GenerarTrama_setBroadcastLink(quint8, quint8, quint8, const char*) override;
    void GenerarTrama_clearBroadcastLink(quint8, quint8, quint8) override;
    void GenerarTrama_Set_J1850_Filter(const char*) override;
    void GenerarTrama_ClearFilterJ1850() override;
    void GenerarTrama_Set_Padding_ISO15765(quint8, quint8, const char*) override;
    void GenerarTrama_Set_Remote_CAN_Message(quint8, quint8, const char*) override;
    void GenerarTrama_Set_Can_First_Consecutive_Frame_Value(quint8, quint8, const char*) override;
    void GenerarTrama_Set_J1939_Interpacket_Time(quint8, quint8, const char*) override;
    void GenerarTrama_Set_CAN_Filter(const char*) override;
    void GenerarTrama_ClearFilterCAN() override;
    void GenerarTrama_SetFiltersV6(quint8, quint8, const char*, int) override;
    void GenerarTrama_ClearAllFiltersV6(quint8, quint8) override;
    void GenerarTrama_ClearFilterV6(quint8, quint8, const QByteArray&) override;
    void GenerarTrama_SetFilter_SA_V6(quint8, quint8, quint8) override;
    void GenerarTrama_ClearFilter_SA_V6(quint8, quint8) override;
    void GenerarTrama_Set_ISO15765_Filter(quint8, quint8, quint8, const QByteArray*, short) override;
    void GenerarTrama_LogSegmentos(quint8) override;
    void GenerarTrama_testVelocidad() override;
    void ArrancarHiloEnvio(enum_VersionVCI, quint32) override;
    bool pararHiloEnvio() override;
    void removeClientMessages(quint8) override;
    void removeAllBroadcastMsgs() override;
    void removeBroadcastMsgByID(quint8, quint8) override;
    void removeAllOutputMessages() override;
    void setIProxyLink(IProxyLink*) override {}
    short initializeConnection() override;
    void getTypeInterface(QString& type, int& version, int& other) override;
    void limpiarDescargarProxy() override;
    int getComChannel() override;
    void wakeSendThread() override {}  // no request: not recorded

private:
    void record(std::string name, std::vector<int> args, QByteArray data = QByteArray());
    void answerLoop();

    GestorRP1210& gestor_;
    mutable std::mutex mutex_;  // guards everything below
    mutable std::condition_variable changed_;
    std::vector<OutputCall> calls_;
    std::map<std::string, Responder> responders_;
    std::deque<std::function<void()>> answers_;
    int answersInFlight_ = 0;
    bool stop_ = false;
    bool sendRunning_ = false;
    QString type_ = QStringLiteral("A");
    int version_ = 7;
    int other_ = 0;
    short initializeResult_ = 0;
    int comChannel_ = 1;
    std::thread thread_;
};

// Test double of the input manager: counts starts and stops.
class FakeGestorInput final : public IGestorInput {
public:
    void ArrancarHiloRecepcion() override;
    bool pararHiloRecepcion() override;
    void storeMsg(const char*, quint32) override {}
    int starts() const;
    int stops() const;
    bool running() const;

private:
    mutable std::mutex mutex_;
    int starts_ = 0;
    int stops_ = 0;
    bool running_ = false;
};
