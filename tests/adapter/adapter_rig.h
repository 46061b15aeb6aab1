// The real core wired to a software adapter over scripted buses, as a host wires them.
#pragma once

#include "adapter/software_adapter.h"
#include "link/gestor_input.h"
#include "link/gestor_io.h"
#include "rp1210/gestor_rp1210.h"
#include "rp1210/wiring.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QList>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

// A CAN bus in the test's hands: records what the adapter writes, stamped with the steady
// clock, injects frames of other nodes (on the caller's thread, as a bus's own thread
// would), and may answer writes.
class ScriptedCanBus final : public rp1210core::bus::CanBus {
public:
    using Frame = rp1210core::bus::CanFrame;
    bool open(quint32 bitrate, Receiver receiver) override
    {
        std::lock_guard<std::mutex> d(delivery_);
        std::lock_guard<std::mutex> l(mutex_);
        bitrate_ = bitrate;
        receiver_ = std::move(receiver);
        return true;
    }
    bool write(const Frame& frame) override
    {
        Frame f = frame;
        f.timestampUs = std::chrono::duration_cast<std::chrono::microseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
        {
            std::lock_guard<std::mutex> l(mutex_);
            if (refuse_)
                return false;
            written_.push_back(f);
        }
        std::lock_guard<std::mutex> p(peerMutex_);
        if (peer_)
            peer_(f);
        return true;
    }
    void close() override
    {
        std::lock_guard<std::mutex> d(delivery_);
        std::lock_guard<std::mutex> l(mutex_);
        receiver_ = nullptr;
    }
    void inject(const Frame& f)
    {
        std::lock_guard<std::mutex> d(delivery_);
        Receiver r;
        {
            std::lock_guard<std::mutex> l(mutex_);
            r = receiver_;
        }
        if (r)
            r(f, false);
    }
    // Called on the adapter's thread after each write (a node that answers); returns once
    // no call to the previous peer runs.
    void setPeer(std::function<void(const Frame&)> p)
    {
        std::lock_guard<std::mutex> l(peerMutex_);
        peer_ = std::move(p);
    }
    void setRefuse(bool r)
    {
        std::lock_guard<std::mutex> l(mutex_);
        refuse_ = r;
    }
    std::vector<Frame> written() const { std::lock_guard<std::mutex> l(mutex_); return written_; }
    quint32 bitrate() const { std::lock_guard<std::mutex> l(mutex_); return bitrate_; }

private:
    mutable std::mutex mutex_;
    std::mutex delivery_;  // held while a frame is delivered, so close() waits for it
    std::mutex peerMutex_;  // held while the peer runs
    Receiver receiver_;
    std::function<void(const Frame&)> peer_;
    std::vector<Frame> written_;
    quint32 bitrate_ = 0;
    bool refuse_ = false;
};

class ScriptedJ1708Bus final : public rp1210core::bus::J1708Bus {
public:
    bool open(quint32, Receiver receiver) override
    {
        std::lock_guard<std::mutex> l(mutex_);
        receiver_ = std::move(receiver);
        return true;
    }
    bool write(const QByteArray& m) override
    {
        std::lock_guard<std::mutex> l(mutex_);
        written_.append(m);
        return true;
    }
    void close() override
    {
        std::lock_guard<std::mutex> l(mutex_);
        receiver_ = nullptr;
    }
    void inject(const QByteArray& m)
    {
        std::lock_guard<std::mutex> l(mutex_);  // held through the delivery: close() waits for it
        if (receiver_)
            receiver_(m, 0, false);
    }
    QList<QByteArray> written() const { std::lock_guard<std::mutex> l(mutex_); return written_; }

private:
    mutable std::mutex mutex_;
    Receiver receiver_;
    QList<QByteArray> written_;
};

// A K-line in the test's hands: records messages and initialisations, and answers each
// initialisation with the bytes scripted for it (none: no ECU, the outcome is empty).
class ScriptedKLineBus final : public rp1210core::bus::KLineBus {
public:
    bool open(quint32 baud, Receiver receiver) override
    {
        std::lock_guard<std::mutex> l(mutex_);
        baud_ = baud;
        receiver_ = std::move(receiver);
        return true;
    }
    bool write(const QByteArray& m) override
    {
        Receiver peer;
        QByteArray reply;
        {
            std::lock_guard<std::mutex> l(mutex_);
            written_.append(m);
            auto answer = answers_.find(m);
            if (answer == answers_.end() || !receiver_)
                return true;
            peer = receiver_;
            reply = answer->second;
        }
        peer(reply, 0, false);  // the node answers at once, on the writer's thread
        return true;
    }
    bool fiveBaudInit(quint8 address, InitDone done) override { return init(QByteArray(1, char(address)), done); }
    bool fastInit(const QByteArray& request, InitDone done) override { return init(request, done); }
    void close() override
    {
        std::lock_guard<std::mutex> l(mutex_);
        receiver_ = nullptr;
    }
    void inject(const QByteArray& m)
    {
        Receiver r;
        {
            std::lock_guard<std::mutex> l(mutex_);
            r = receiver_;
        }
        if (r)
            r(m, 0, false);
    }
    // What an initialisation with this request (the address for five-baud) is answered.
    void answerInit(const QByteArray& request, const QByteArray& answer)
    {
        std::lock_guard<std::mutex> l(mutex_);
        inits_[request] = answer;
    }
    // What the node answers a written message with.
    void answerMessage(const QByteArray& message, const QByteArray& answer)
    {
        std::lock_guard<std::mutex> l(mutex_);
        answers_[message] = answer;
    }
    QList<QByteArray> written() const { std::lock_guard<std::mutex> l(mutex_); return written_; }
    QList<QByteArray> initRequests() const { std::lock_guard<std::mutex> l(mutex_); return initRequests_; }
    quint32 baud() const { std::lock_guard<std::mutex> l(mutex_); return baud_; }

private:
    bool init(const QByteArray& request, const InitDone& done)
    {
        QByteArray answer;
        {
            std::lock_guard<std::mutex> l(mutex_);
            initRequests_.append(request);
            answer = inits_.count(request) ? inits_[request] : QByteArray();
        }
        done(answer);
        return true;
    }

    mutable std::mutex mutex_;
    Receiver receiver_;
    std::map<QByteArray, QByteArray> inits_, answers_;
    QList<QByteArray> written_, initRequests_;
    quint32 baud_ = 0;
};

class ScriptedJ1850Bus final : public rp1210core::bus::J1850Bus {
public:
    bool open(quint32 bitrate, Receiver receiver) override
    {
        std::lock_guard<std::mutex> l(mutex_);
        bitrate_ = bitrate;
        receiver_ = std::move(receiver);
        ++opens_;
        return bitrate == kVpwBitrate || bitrate == kPwmBitrate;
    }
    bool write(const QByteArray& m) override
    {
        std::lock_guard<std::mutex> l(mutex_);
        written_.append(m);
        return true;
    }
    void close() override
    {
        std::lock_guard<std::mutex> l(mutex_);
        receiver_ = nullptr;
        bitrate_ = 0;
    }
    void inject(const QByteArray& m)
    {
        std::lock_guard<std::mutex> l(mutex_);  // held through the delivery: close() waits for it
        if (receiver_)
            receiver_(m, 0, false);
    }
    QList<QByteArray> written() const { std::lock_guard<std::mutex> l(mutex_); return written_; }
    quint32 bitrate() const { std::lock_guard<std::mutex> l(mutex_); return bitrate_; }
    int opens() const { std::lock_guard<std::mutex> l(mutex_); return opens_; }

private:
    mutable std::mutex mutex_;
    Receiver receiver_;
    QList<QByteArray> written_;
    quint32 bitrate_ = 0;
    int opens_ = 0;
};

// The core and the adapter over the scripted buses, or over the buses given.
struct AdapterRig {
    explicit AdapterRig(const char* type = "A", int version = 7) : AdapterRig(type, version, {}) {}
    // On the given buses instead of the scripted ones (which are then unused).
    AdapterRig(const char* type, int version, rp1210core::adapter::SoftwareAdapter::Buses buses)
        : adapter(config(type, version), buses.can ? buses : rp1210core::adapter::SoftwareAdapter::Buses{&can, &j1708, &kline, &j1850})
    {
        rp1210core::internal::wireCore(g, io, in, &adapter);
        adapter.setDelivery([this](const QByteArray& f) {
            {
                std::lock_guard<std::mutex> l(mutex);
                answered.append(f);
            }
            in.storeMsg(f.constData(), quint32(f.size()));
        });
    }
    ~AdapterRig()  // the adapter's thread delivers into `in`: it stops first
    {
        adapter.limpiarDescargarProxy();
        in.pararHiloRecepcion();
        io.pararHiloEnvio();
        g.setIGestorOutput(nullptr);
    }
    static rp1210core::adapter::SoftwareAdapter::Config config(const char* type, int version)
    {
        rp1210core::adapter::SoftwareAdapter::Config c;
        c.interfaceType = QString::fromLatin1(type);
        c.interfaceVersion = version;
        return c;
    }
    QList<QByteArray> answers()
    {
        std::lock_guard<std::mutex> l(mutex);
        return answered;
    }
    // The states of the adapter's send confirmations, in order.
    std::vector<int> sendStates()
    {
        std::vector<int> states;
        for (const QByteArray& a : answers())
            if (a.size() > 3 && a[1] == char(SERV_ENVIAR_MENSAJE))
                states.push_back(quint8(a[3]));
        return states;
    }

    GestorRP1210 g;
    Gestor_IO io;
    GestorInput in;
    ScriptedCanBus can;
    ScriptedJ1708Bus j1708;
    ScriptedKLineBus kline;
    ScriptedJ1850Bus j1850;
    rp1210core::adapter::SoftwareAdapter adapter;
    std::mutex mutex;
    QList<QByteArray> answered;
};

// RP1210 calls on a rig, as an application makes them.
class AdapterTest : public ::testing::Test {
protected:
    void start(const char* type, int version) { rig = std::make_unique<AdapterRig>(type, version); }
    short connect(const char* s, int rxBytes = 0) { return rig->g.RP1210_ClientConnect(0, 1, s, 0, rxBytes, 0); }
    short send(short id, const QByteArray& m)
    {
        return rig->g.RP1210_SendMessage(id, const_cast<char*>(m.constData()), short(m.size()), 0, 0);
    }
    short command(short cmd, short id, QByteArray data = QByteArray())
    {
        return rig->g.RP1210_SendCommand(cmd, id, data.data(), short(data.size()));
    }
    // A blocking read of at most a second: the message, or the result as text.
    QByteArray read(short id, short block = 1)
    {
        QByteArray buffer(8192, '\0');
        rig->g.getCliente(quint8(id))->setBlockingTimeout(1000);
        const short n = rig->g.RP1210_ReadMessage(id, buffer.data(), short(buffer.size()), block);
        return n > 0 ? buffer.left(n) : QByteArray::number(n);
    }
    // A client with every filter open and the echo on or off: its id, or the error.
    short open(const char* connectString, bool echo = false)
    {
        const short id = connect(connectString, 1 << 16);
        return id >= 1 && id <= 16 && command(3, id) == 0 && command(16, id, QByteArray(1, echo ? 1 : 0)) == 0 ? id
                                                                                                                : -1;
    }
    // The ISO 15765 flow control of 0x7E0 to 0x7E8: what the adapter grants the ECU.
    short flowControl(short id, quint8 blockSize, quint8 stMin)
    {
        return command(34, id, QByteArray::fromHex("00 000007e8 000007e0") + char(blockSize) + char(stMin) + QByteArray(2, '\0'));
    }
    // Every queued frame went out and was answered.
    bool confirmedAll()
    {
        return waitUntil([&] { return rig->io.outputListSize() == 0 && rig->io.sentFramesCount() == 0; });
    }

    std::unique_ptr<AdapterRig> rig;
};
