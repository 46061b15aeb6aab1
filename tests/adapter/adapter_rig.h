// The real core wired to a software adapter over scripted buses or the simulated vehicle's,
// as a host wires them.
#pragma once

#include "adapter/software_adapter.h"
#include "bus/simulated_vehicle.h"
#include "link/gestor_input.h"
#include "link/gestor_io.h"
#include "rp1210/gestor_rp1210.h"
#include "rp1210/wiring.h"
#include "support/bytes.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QList>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

// A bus in the test's hands: records the rate it runs at and what the adapter writes, and
// injects other nodes' traffic on the caller's thread, as the bus's own thread would;
// close() waits for a running delivery.
template <class Bus, class Message, class Log = QList<Message>>
class ScriptedBus : public Bus {
public:
    bool open(quint32 rate, typename Bus::Receiver receiver) override
    {
        std::lock_guard<std::mutex> d(delivery_), l(mutex_);
        rate_ = rate;
        receiver_ = std::move(receiver);
        return true;
    }
    bool write(const Message& m) override { return record(m); }
    void close() override
    {
        std::lock_guard<std::mutex> d(delivery_), l(mutex_);
        receiver_ = nullptr;
        rate_ = 0;
    }
    void inject(const Message& m)
    {
        std::lock_guard<std::mutex> d(delivery_);
        deliver(m);
    }
    Log written() const { std::lock_guard<std::mutex> l(mutex_); return written_; }
    quint32 rate() const { std::lock_guard<std::mutex> l(mutex_); return rate_; }

protected:
    bool record(const Message& m)
    {
        std::lock_guard<std::mutex> l(mutex_);
        written_.push_back(m);
        return true;
    }
    void deliver(const Message& m)
    {
        typename Bus::Receiver r;
        {
            std::lock_guard<std::mutex> l(mutex_);
            r = receiver_;
        }
        if (r)
            call(r, m);
    }
    static void call(const rp1210core::bus::CanBus::Receiver& r, const rp1210core::bus::CanFrame& f) { r(f, false); }
    template <class Receiver>
    static void call(const Receiver& r, const QByteArray& m) { r(m, 0, false); }

    mutable std::mutex mutex_;

private:
    std::mutex delivery_;  // held while a message is delivered
    typename Bus::Receiver receiver_;
    Log written_;
    quint32 rate_ = 0;
};

// Written frames are stamped with the steady clock; the bus may refuse them, and a peer may
// answer them.
class ScriptedCanBus final : public ScriptedBus<rp1210core::bus::CanBus, rp1210core::bus::CanFrame,
                                                std::vector<rp1210core::bus::CanFrame>> {
public:
    using Frame = rp1210core::bus::CanFrame;
    bool write(const Frame& frame) override
    {
        if (refuse)
            return false;
        Frame f = frame;
        f.timestampUs = std::chrono::duration_cast<std::chrono::microseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
        record(f);
        std::lock_guard<std::mutex> p(peerMutex_);
        if (peer_)
            peer_(f);
        return true;
    }
    // Called on the adapter's thread after each write (a node that answers); returns once
    // no call to the previous peer runs.
    void setPeer(std::function<void(const Frame&)> p)
    {
        std::lock_guard<std::mutex> l(peerMutex_);
        peer_ = std::move(p);
    }
    std::atomic<bool> refuse{false};

private:
    std::mutex peerMutex_;  // held while the peer runs
    std::function<void(const Frame&)> peer_;
};

using ScriptedJ1708Bus = ScriptedBus<rp1210core::bus::J1708Bus, QByteArray>;
// Its node answers each message and initialisation (five-baud: the address) with the bytes
// scripted for it, at once on the writer's thread; an initialisation without an answer has
// an empty outcome, as without an ECU.
class ScriptedKLineBus final : public ScriptedBus<rp1210core::bus::KLineBus, QByteArray> {
public:
    bool write(const QByteArray& m) override
    {
        record(m);
        if (const QByteArray a = answerTo(m, false); !a.isEmpty())
            deliver(a);
        return true;
    }
    bool fiveBaudInit(quint8 address, InitDone done) override { return fastInit(QByteArray(1, char(address)), done); }
    bool fastInit(const QByteArray& request, InitDone done) override
    {
        done(answerTo(request, true));
        return true;
    }
    void answer(const QByteArray& request, const QByteArray& answer)
    {
        std::lock_guard<std::mutex> l(mutex_);
        script_[request] = answer;
    }
    QList<QByteArray> initRequests() const { std::lock_guard<std::mutex> l(mutex_); return initRequests_; }

private:
    QByteArray answerTo(const QByteArray& request, bool init)
    {
        std::lock_guard<std::mutex> l(mutex_);
        if (init)
            initRequests_.append(request);
        const auto it = script_.find(request);
        return it == script_.end() ? QByteArray() : it->second;
    }

    std::map<QByteArray, QByteArray> script_;
    QList<QByteArray> initRequests_;
};

using ScriptedJ1850Bus = ScriptedBus<rp1210core::bus::J1850Bus, QByteArray>;

// The core and the adapter over the scripted buses, or over the buses given.
struct AdapterRig {
    using Buses = rp1210core::adapter::SoftwareAdapter::Buses;
    explicit AdapterRig(const char* type = "A", int version = 7, Buses buses = {})
        : adapter(config(type, version), buses.can ? buses : Buses{&can, &j1708, &kline, &j1850})
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
    // How many answers of this service the adapter gave.
    int answeredWith(quint8 service)
    {
        int n = 0;
        for (const QByteArray& a : answers())
            n += quint8(a[1]) == service ? 1 : 0;
        return n;
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
    void start(const char* type = "A", int version = 7) { rig = std::make_unique<AdapterRig>(type, version); }
    void onVehicle()
    {
        vehicle = std::make_unique<rp1210core::bus::VehicleSimulation>();
        canPort = vehicle->createCanPort(), j1708Port = vehicle->createJ1708Port();
        klinePort = vehicle->createKLinePort(), j1850Port = vehicle->createJ1850Port();
        const AdapterRig::Buses buses{canPort.get(), j1708Port.get(), klinePort.get(), j1850Port.get()};
        rig = std::make_unique<AdapterRig>("A", 7, buses);
    }
    short connect(const char* s, int rxBytes = 0) { return rig->g.RP1210_ClientConnect(0, 1, s, 0, rxBytes, 0); }
    short send(short id, const QByteArray& m)
    {
        return rig->g.RP1210_SendMessage(id, const_cast<char*>(m.constData()), short(m.size()), 0, 0);
    }
    short send(short id, const char* hexBytes) { return send(id, hex(hexBytes)); }
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
    // The same without the timestamp, in hex (a result's text is at most four characters).
    std::string readHex(short id, short block = 1)
    {
        const QByteArray m = read(id, block);
        return m.size() > 4 ? toHex(m.mid(4)) : m.toStdString();
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
        return command(34, id, hex("00 000007e8 000007e0") + char(blockSize) + char(stMin) + QByteArray(2, '\0'));
    }
    // Every queued frame went out and was answered.
    bool confirmedAll()
    {
        return waitUntil([&] { return rig->io.outputListSize() == 0 && rig->io.sentFramesCount() == 0; });
    }

    std::unique_ptr<rp1210core::bus::VehicleSimulation> vehicle;
    std::unique_ptr<rp1210core::bus::CanBus> canPort;
    std::unique_ptr<rp1210core::bus::J1708Bus> j1708Port;
    std::unique_ptr<rp1210core::bus::KLineBus> klinePort;
    std::unique_ptr<rp1210core::bus::J1850Bus> j1850Port;
    std::unique_ptr<AdapterRig> rig;  // goes first: the adapter closes the ports
};
