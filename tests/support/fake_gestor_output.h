// Test double of the output manager, for the unit tests that need no wire: records every
// call and plays the adapter by answering chosen calls from its own thread through the
// manager's update operations, as the receive thread does.
#pragma once

#include "link/igestor_input.h"
#include "link/igestor_output.h"
#include "rp1210/gestor_rp1210.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct OutputCall {
    std::string name;
    std::vector<int> args;
    QByteArray data;
};

class FakeGestorOutput final : public IGestorOutput {
public:
    using Responder = std::function<void(GestorRP1210&, const OutputCall&)>;

    explicit FakeGestorOutput(GestorRP1210& g) : g_(g), thread_([this] { answerLoop(); }) {}
    ~FakeGestorOutput()
    {
        locked([&] { stop_ = true; });
        changed_.notify_all();
        thread_.join();
        if (g_.getIGestorOutput() == this)  // the manager must not keep a dangling output
            g_.setIGestorOutput(nullptr);
    }

    // Answers every later call of `name` on the fake's thread; others stay unanswered.
    void respond(const std::string& name, Responder r) { locked([&] { responders_[name] = std::move(r); }); }
    void answerConnect(int state)
    {
        respond("GenerarTrama_ConectarCliente", [state](GestorRP1210& g, const OutputCall& c) {
            g.actualizar_ClienteConnectRequest(QByteArray::fromHex("0402") + char(c.args[0]) + char(state));
        });
    }
    void answerDisconnect(int state)
    {
        respond("GenerarTrama_DesconectarCliente", [state](GestorRP1210& g, const OutputCall& c) {
            g.modificarEstadoServicio(quint8(c.args[0]), SERV_DESCONECTAR_CLIENTE, RESPONSES_SERV_RP1210(state));
        });
    }
    std::vector<OutputCall> calls(const std::string& name = std::string()) const
    {
        std::vector<OutputCall> out;
        locked([&] { std::copy_if(calls_.begin(), calls_.end(), std::back_inserter(out),
                                  [&](const OutputCall& c) { return name.empty() || c.name == name; }); });
        return out;
    }
    int count(const std::string& name) const { return int(calls(name).size()); }
    void drainAnswers()  // until every answer queued so far has been delivered
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return inFlight_ == 0; });
    }
    void setInterface(const QString& type, int version) { locked([&] { type_ = type, version_ = version; }); }

#define REC(name, params, ...) \
    void name params override { record(#name, __VA_ARGS__); }
    REC(GenerarTrama_ConectarCliente, (quint8 id, quint8 p, quint8 v, bool k), {id, p, v, k})
    REC(GenerarTrama_DesconectarCliente, (quint8 id, quint8 p), {id, p})
    REC(GenerarTrama_GetHardwareStatus, (quint8 id), {id})
    REC(GenerarTrama_ResetearTravoneLink, (), {})
    REC(GenerarTrama_EnviarMensaje, (quint8 id, quint8 p, bool e, const QByteArray& d, quint8 b), {id, p, e, b}, d)
    REC(GenerarTrama_VersionFirmware, (quint8), {})
    REC(GenerarTrama_J1939_AdressClaim, (quint8 id, const char*), {id})
    REC(GenerarTrama_ISO15765_Flow_Control, (quint8 id, quint8, const char*, int), {id})
    REC(GenerarTrama_ISO15765_Clear_Flow_Control, (quint8 id), {id})
    REC(GenerarTrama_SET_GET_IOCTL, (quint8 id, quint8, quint8, const SCONFIG_LIST*), {id})
    REC(GenerarTrama_IOCTL_INIT, (quint8 id, quint8, quint8, const SBYTE_ARRAY*, const SBYTE_ARRAY*), {id})
    REC(GenerarTrama_IOCTL_SendPulses, (quint8 id, quint8, const SBYTE_ARRAY*, const SBYTE_ARRAY*), {id})
    REC(GenerarTrama_IOCTL_BecomeMaster, (quint8 id, quint8, const SBYTE_ARRAY*, const SBYTE_ARRAY*), {id})
    REC(GenerarTrama_IOCTL_Request_Teardown_Connection_Commands,
        (quint8 id, quint8, IDS_RP1210_IOCTL, const SBYTE_ARRAY*), {id})
    REC(GenerarTrama_CambioModo, (quint8 id, quint8, quint8), {id})
    REC(GenerarTrama_CMMD_MUX, (const QString&), {})
    REC(GenerarTrama_PICConnection, (quint8), {})
    REC(GenerarTrama_SetBaud, (quint8 id, quint8, quint8, quint8), {id})
    // The record: interval and length little-endian, then the message.
    REC(GenerarTrama_setBroadcastLink, (quint8 id, quint8 p, quint8 s, const char* m), {id, p, s},
        m ? QByteArray(m, 4 + (quint8(m[2]) | quint8(m[3]) << 8)) : QByteArray())
    REC(GenerarTrama_clearBroadcastLink, (quint8 id, quint8 p, quint8 s), {id, p, s})
    REC(GenerarTrama_Set_J1850_Filter, (const char*), {})
    REC(GenerarTrama_ClearFilterJ1850, (), {})
    REC(GenerarTrama_Set_Padding_ISO15765, (quint8 id, quint8, const char*), {id})
    REC(GenerarTrama_Set_Remote_CAN_Message, (quint8 id, quint8, const char*), {id})
    REC(GenerarTrama_Set_Can_First_Consecutive_Frame_Value, (quint8 id, quint8, const char*), {id})
    REC(GenerarTrama_Set_J1939_Interpacket_Time, (quint8 id, quint8, const char*), {id})
    REC(GenerarTrama_Set_CAN_Filter, (const char*), {})
    REC(GenerarTrama_ClearFilterCAN, (), {})
    REC(GenerarTrama_SetFiltersV6, (quint8 id, quint8, const char*, int), {id})
    REC(GenerarTrama_ClearAllFiltersV6, (quint8 id, quint8), {id})
    REC(GenerarTrama_ClearFilterV6, (quint8 id, quint8, const QByteArray&), {id})
    REC(GenerarTrama_SetFilter_SA_V6, (quint8 id, quint8, quint8), {id})
    REC(GenerarTrama_ClearFilter_SA_V6, (quint8 id, quint8), {id})
    REC(GenerarTrama_Set_ISO15765_Filter, (quint8 id, quint8, quint8, const QByteArray*, short), {id})
    REC(GenerarTrama_LogSegmentos, (quint8), {})
    REC(GenerarTrama_testVelocidad, (), {})
    REC(ArrancarHiloEnvio, (enum_VersionVCI v, quint32), {int(v)})
    REC(removeClientMessages, (quint8 id), {id})
    REC(removeAllBroadcastMsgs, (), {})
    REC(removeBroadcastMsgByID, (quint8 b, quint8 id), {b, id})
    REC(removeAllOutputMessages, (), {})
    REC(limpiarDescargarProxy, (), {})
#undef REC
    void setIProxyLink(IProxyLink*) override {}
    bool pararHiloEnvio() override { return record("pararHiloEnvio", {}), true; }
    short initializeConnection() override { return record("initializeConnection", {}), 0; }
    void getTypeInterface(QString& t, int& v, int& o) override { locked([&] { t = type_, v = version_, o = 0; }); }
    int getComChannel() override { return 1; }
    void wakeSendThread() override {}  // no request: not recorded

private:
    template <class F>
    void locked(F f) const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        f();
    }
    void record(const char* name, std::vector<int> args, QByteArray data = QByteArray())
    {
        locked([&] {
            calls_.push_back(OutputCall{name, std::move(args), std::move(data)});
            const auto it = responders_.find(name);
            if (it == responders_.end())
                return;
            answers_.push_back([this, r = it->second, c = calls_.back()] { r(g_, c); });
            ++inFlight_;
        });
        changed_.notify_all();
    }
    void answerLoop()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            changed_.wait(lock, [this] { return stop_ || !answers_.empty(); });
            if (answers_.empty())
                return;
            const auto answer = std::move(answers_.front());
            answers_.pop_front();
            lock.unlock();
            answer();
            lock.lock();
            --inFlight_;
            changed_.notify_all();
        }
    }

    GestorRP1210& g_;
    mutable std::mutex mutex_;  // guards everything below
    mutable std::condition_variable changed_;
    std::vector<OutputCall> calls_;
    std::map<std::string, Responder> responders_;
    std::deque<std::function<void()>> answers_;
    int inFlight_ = 0;
    bool stop_ = false;
    QString type_ = QStringLiteral("A");
    int version_ = 7;
    std::thread thread_;  // last: starts once everything it reads exists
};

// Test double of the input manager: does nothing.
class FakeGestorInput final : public IGestorInput {
public:
    void ArrancarHiloRecepcion() override {}
    bool pararHiloRecepcion() override { return true; }
    void storeMsg(const char*, quint32) override {}
};
