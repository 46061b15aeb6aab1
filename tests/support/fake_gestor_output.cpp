#include "support/fake_gestor_output.h"

#include "rp1210/gestor_rp1210.h"

FakeGestorOutput::FakeGestorOutput(GestorRP1210& gestor) : gestor_(gestor), thread_([this] { answerLoop(); }) {}

FakeGestorOutput::~FakeGestorOutput()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
    // The manager releases its output at destruction; do not leave it a dangling one.
    if (gestor_.getIGestorOutput() == this)
        gestor_.setIGestorOutput(nullptr);
}

void FakeGestorOutput::answerLoop()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stop_ || !answers_.empty(); });
        if (answers_.empty())
            return;
        auto answer = std::move(answers_.front());
        answers_.pop_front();
        lock.unlock();
        answer();
        lock.lock();
        --answersInFlight_;
        changed_.notify_all();
    }
}

void FakeGestorOutput::record(std::string name, std::vector<int> args, QByteArray data)
{
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(OutputCall{std::move(name), std::move(args), std::move(data)});
    const OutputCall& call = calls_.back();
    auto it = responders_.find(call.name);
    if (it != responders_.end()) {
        Responder responder = it->second;
        answers_.push_back([this, responder, call] { responder(gestor_, call); });
        ++answersInFlight_;
    }
    changed_.notify_all();
}

void FakeGestorOutput::respond(const std::string& name, Responder responder)
{
    std::lock_guard<std::mutex> lock(mutex_);
    responders_[name] = std::move(responder);
}

void FakeGestorOutput::silence(const std::string& name)
{
    std::lock_guard<std::mutex> lock(mutex_);
    responders_.erase(name);
}

void FakeGestorOutput::answerConnect(int state, int speed)
{
    respond("GenerarTrama_ConectarCliente", [state, speed](GestorRP1210& g, const OutputCall& c) {
        QByteArray answer;
        answer.append(char(0x04)).append(char(0x02)).append(char(c.args[0])).append(char(state));
        if (speed >= 0)
            answer.append(char(speed));
        g.actualizar_ClienteConnectRequest(answer);
    });
}

void FakeGestorOutput::answerDisconnect(int state)
{
    respond("GenerarTrama_DesconectarCliente", [state](GestorRP1210& g, const OutputCall& c) {
        g.modificarEstadoServicio(quint8(c.args[0]), SERV_DESCONECTAR_CLIENTE, RESPONSES_SERV_RP1210(state));
    });
}

void FakeGestorOutput::answerPicConnection(int state)
{
    respond("GenerarTrama_PICConnection",
            [state](GestorRP1210& g, const OutputCall&) { g.setPICConnectionEnded(RESPONSES_SERV_RP1210(state)); });
}

std::vector<OutputCall> FakeGestorOutput::calls() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
}

std::vector<OutputCall> FakeGestorOutput::calls(const std::string& name) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<OutputCall> out;
    for (const auto& c : calls_)
        if (c.name == name)
            out.push_back(c);
    return out;
}

int FakeGestorOutput::count(const std::string& name) const
{
    return static_cast<int>(calls(name).size());
}

bool FakeGestorOutput::waitForCount(const std::string& name, int n, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        int seen = 0;
        for (const auto& c : calls_)
            if (c.name == name)
                ++seen;
        return seen >= n;
    });
}

void FakeGestorOutput::drainAnswers()
{
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return answersInFlight_ == 0; });
}

void FakeGestorOutput::setInterface(const QString& type, int version, int other)
{
    std::lock_guard<std::mutex> lock(mutex_);
    type_ = type;
    version_ = version;
    other_ = other;
}

bool FakeGestorOutput::sendThreadRunning() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return sendRunning_;
}

namespace {
QByteArray bytes(const char* p, int n)
{
    return p ? QByteArray(p, n) : QByteArray();
}
}  // namespace

void FakeGestorOutput::GenerarTrama_ConectarCliente(quint8 id, quint8 p, quint8 v, bool k)
{
    record(__func__, {id, p, v, k});
}
void FakeGestorOutput::GenerarTrama_DesconectarCliente(quint8 id, quint8 p) { record(__func__, {id, p}); }
void FakeGestorOutput::GenerarTrama_GetHardwareStatus(quint8 id) { record(__func__, {id}); }
void FakeGestorOutput::GenerarTrama_ResetearTravoneLink() { record(__func__, {}); }
void FakeGestorOutput::GenerarTrama_EnviarMensaje(quint8 id, quint8 p, bool echo, const QByteArray& d, quint8 b)
{
    record(__func__, {id, p, echo, b}, d);
}
void FakeGestorOutput::GenerarTrama_VersionFirmware(quint8 x) { record(__func__, {x}); }
void FakeGestorOutput::GenerarTrama_J1939_AdressClaim(quint8 id, const char* p)
{
    record(__func__, {id}, bytes(p, 10));
}
void FakeGestorOutput::GenerarTrama_ISO15765_Flow_Control(quint8 id, quint8 p, const char* d, int n)
{
    record(__func__, {id, p, n}, bytes(d, n));
}
void FakeGestorOutput::GenerarTrama_ISO15765_Clear_Flow_Control(quint8 id) { record(__func__, {id}); }
void FakeGestorOutput::GenerarTrama_SET_GET_IOCTL(quint8 id, quint8 p, quint8 sub, const SCONFIG_LIST* l)
{
    record(__func__, {id, p, sub, l ? int(l->NumOfParams) : -1});
}
void FakeGestorOutput::GenerarTrama_IOCTL_INIT(quint8 id, quint8 p, quint8 sub, const SBYTE_ARRAY* in,
                                               const SBYTE_ARRAY*)
{
    record(__func__, {id, p, sub}, in ? bytes(reinterpret_cast<const char*>(in->BytePtr), int(in->NumOfBytes))
                                      : QByteArray());
}
void FakeGestorOutput::GenerarTrama_IOCTL_SendPulses(quint8 id, quint8 p, const SBYTE_ARRAY* in, const SBYTE_ARRAY*)
{
    record(__func__, {id, p}, in ? bytes(reinterpret_cast<const char*>(in->BytePtr), int(in->NumOfBytes))
                                 : QByteArray());
}
void FakeGestorOutput::GenerarTrama_IOCTL_BecomeMaster(quint8 id, quint8 p, const SBYTE_ARRAY*, const SBYTE_ARRAY*)
{
    record(__func__, {id, p});
}
void FakeGestorOutput::GenerarTrama_IOCTL_Request_Teardown_Connection_Commands(quint8 id, quint8 p,
                                                                               IDS_RP1210_IOCTL i,
                                                                               const SBYTE_ARRAY*)
{
    record(__func__, {id, p, int(i)});
}
void FakeGestorOutput::GenerarTrama_CambioModo(quint8 id, quint8 p, quint8 m) { record(__func__, {id, p, m}); }
void FakeGestorOutput::GenerarTrama_CMMD_MUX(const QString& s) { record(__func__, {}, s.toLatin1()); }
void FakeGestorOutput::GenerarTrama_PICConnection(quint8 v) { record(__func__, {v}); }
void FakeGestorOutput::GenerarTrama_SetBaud(quint8 id, quint8 p, quint8 a, quint8 b)
{
    record(__func__, {id, p, a, b});
}
void FakeGestorOutput::GenerarTrama_setBroadcastLink(quint8 id, quint8 p, quint8 s, const char* m)
{
    const int len = m ? (quint8(m[2]) | (quint8(m[3]) << 8)) : 0;
    record(__func__, {id, p, s}, bytes(m, m ? 4 + len : 0));
}
void FakeGestorOutput::GenerarTrama_clearBroadcastLink(quint8 id, quint8 p, quint8 s)
{
    record(__func__, {id, p, s});
}
void FakeGestorOutput::GenerarTrama_Set_J1850_Filter(const char* f) { record(__func__, {}, bytes(f, 6)); }
void FakeGestorOutput::GenerarTrama_ClearFilterJ1850() { record(__func__, {}); }
void FakeGestorOutput::GenerarTrama_Set_Padding_ISO15765(quint8 id, quint8 p, const char* d)
{
    record(__func__, {id, p}, bytes(d, 2));
}
void FakeGestorOutput::GenerarTrama_Set_Remote_CAN_Message(quint8 id, quint8 p, const char* d)
{
    record(__func__, {id, p}, bytes(d, 1));
}
void FakeGestorOutput::GenerarTrama_Set_Can_First_Consecutive_Frame_Value(quint8 id, quint8 p, const char* d)
{
    record(__func__, {id, p}, bytes(d, 1));
}
void FakeGestorOutput::GenerarTrama_Set_J1939_Interpacket_Time(quint8 id, quint8 p, const char* d)
{
    record(__func__, {id, p}, bytes(d, 4));
}
void FakeGestorOutput::GenerarTrama_Set_CAN_Filter(const char* f) { record(__func__, {}, bytes(f, 9)); }
void FakeGestorOutput::GenerarTrama_ClearFilterCAN() { record(__func__, {}); }
void FakeGestorOutput::GenerarTrama_SetFiltersV6(quint8 id, quint8 p, const char* f, int n)
{
    record(__func__, {id, p, n}, bytes(f, 3 * n));
}
void FakeGestorOutput::GenerarTrama_ClearAllFiltersV6(quint8 id, quint8 p) { record(__func__, {id, p}); }
void FakeGestorOutput::GenerarTrama_ClearFilterV6(quint8 id, quint8 p, const QByteArray& l)
{
    record(__func__, {id, p}, l);
}
void FakeGestorOutput::GenerarTrama_SetFilter_SA_V6(quint8 id, quint8 p, quint8 sa) { record(__func__, {id, p, sa}); }
void FakeGestorOutput::GenerarTrama_ClearFilter_SA_V6(quint8 id, quint8 p) { record(__func__, {id, p}); }
void FakeGestorOutput::GenerarTrama_Set_ISO15765_Filter(quint8 id, quint8 p, quint8 a, const QByteArray* d, short n)
{
    record(__func__, {id, p, a, n}, d ? d->left(n) : QByteArray());
}
void FakeGestorOutput::GenerarTrama_LogSegmentos(quint8 x) { record(__func__, {x}); }
void FakeGestorOutput::GenerarTrama_testVelocidad() { record(__func__, {}); }

void FakeGestorOutput::ArrancarHiloEnvio(enum_VersionVCI g, quint32 hwnd)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        sendRunning_ = true;
    }
    record(__func__, {int(g), int(hwnd)});
}

bool FakeGestorOutput::pararHiloEnvio()
{
    bool wasRunning;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        wasRunning = sendRunning_;
        sendRunning_ = false;
    }
    record(__func__, {});
    return wasRunning;
}

void FakeGestorOutput::removeClientMessages(quint8 id) { record(__func__, {id}); }
void FakeGestorOutput::removeAllBroadcastMsgs() { record(__func__, {}); }
void FakeGestorOutput::removeBroadcastMsgByID(quint8 b, quint8 id) { record(__func__, {b, id}); }
void FakeGestorOutput::removeAllOutputMessages() { record(__func__, {}); }

short FakeGestorOutput::initializeConnection()
{
    record(__func__, {});
    return initializeResult_;
}

void FakeGestorOutput::getTypeInterface(QString& type, int& version, int& other)
{
    std::lock_guard<std::mutex> lock(mutex_);
    type = type_;
    version = version_;
    other = other_;
}

void FakeGestorOutput::limpiarDescargarProxy() { record(__func__, {}); }
int FakeGestorOutput::getComChannel() { return comChannel_; }

void FakeGestorInput::ArrancarHiloRecepcion()
{
    std::lock_guard<std::mutex> lock(mutex_);
    ++starts_;
    running_ = true;
}

bool FakeGestorInput::pararHiloRecepcion()
{
    std::lock_guard<std::mutex> lock(mutex_);
    ++stops_;
    const bool was = running_;
    running_ = false;
    return was;
}

int FakeGestorInput::starts() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return starts_;
}

int FakeGestorInput::stops() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return stops_;
}

bool FakeGestorInput::running() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return running_;
}
