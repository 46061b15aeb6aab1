// A simulated vehicle on a CAN bus, a J1708 bus, a K-line and J1850 VPW and PWM: the J1939
// engine controller, the J1708 engine controller, the UDS server, the KWP2000 engine
// controller and a J1850 OBD node on each J1850 variant, driven by one thread that sleeps
// until the next due broadcast or engine deadline, a received message or a stop.
//
// Time comes from a clock the vehicle is given (milliseconds, monotonic). With start()
// the clock must advance with real time, as the thread sleeps real time until the next
// due moment. Without a thread, begin() and advanceTo() run the same work step by step on
// the caller's thread, for deterministic tests on a manual clock.
//
// VehicleSimulation below is the ready-made default: the simulated buses with the vehicle
// on them, its broadcasts paused while no one else is on the CAN or J1708 bus (the K-line
// and J1850 controllers only answer, which costs nothing while no one asks).
#pragma once

#include "bus/bus.h"
#include "bus/sim_engine_ecu.h"
#include "bus/sim_j1708_ecu.h"
#include "bus/sim_obd_ecus.h"
#include "bus/sim_uds_server.h"
#include "bus/simulated_can_bus.h"
#include "bus/simulated_j1708_bus.h"
#include "bus/simulated_j1850_bus.h"
#include "bus/simulated_kline_bus.h"
#include "common/mutex.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace rp1210core::bus {

class SimulatedVehicle {
    using Mutex = internal::Mutex;

public:
    struct Config {
        std::function<qint64()> clockMs;  // empty: the steady clock
        quint32 canBitrate = 250000;
        quint32 j1708Baud = 9600;
        quint32 klineBaud = 10400;
        // While it returns false the broadcasts pause and the thread sleeps until wake();
        // empty: always heard.
        std::function<bool()> audience;
    };

    // Any bus may be null. The buses outlive the vehicle.
    struct Buses {
        CanBus* can = nullptr;
        J1708Bus* j1708 = nullptr;
        KLineBus* kline = nullptr;
        J1850Bus* vpw = nullptr;  // opened at the VPW rate
        J1850Bus* pwm = nullptr;  // opened at the PWM rate
    };
    SimulatedVehicle(CanBus* can, J1708Bus* j1708);
    SimulatedVehicle(CanBus* can, J1708Bus* j1708, Config config);
    SimulatedVehicle(const Buses& buses, Config config);
    ~SimulatedVehicle();
    SimulatedVehicle(const SimulatedVehicle&) = delete;
    SimulatedVehicle& operator=(const SimulatedVehicle&) = delete;

    // Opens the buses and starts the ECUs at the clock's now, without a thread; false when
    // a bus does not open.
    bool begin();
    // Without a thread: handles the frames received so far and everything due at `ms`.
    void advanceTo(qint64 ms);
    // The earliest moment with work, -1 when none (without a thread only).
    qint64 nextDue() const;

    // begin() and the thread.
    bool start();
    // Stops the thread and closes the buses.
    void stop();
    // Makes the thread look again at the clock and the audience.
    void wake();

    // The K-line controller's side of an initialisation, for the bus to call from any
    // thread (a SimulatedKLineBus responder): its answer, and when it answers, the
    // controller wakes before it hears the next message.
    QByteArray answerKLineInit(KLineBus::Init kind, const QByteArray& request);

    quint64 writeFailures() const { return writeFailures_.load(); }
    const SimEngineEcu& engine() const { return engine_; }  // without a thread only
    const SimUdsServer& uds() const { return uds_; }        // without a thread only

private:
    struct KLineEvent {
        bool init = false;  // an initialisation the controller answered; else `message`
        QByteArray message;
    };
    // What the buses delivered, taken by the thread at once.
    struct Inbox {
        std::vector<CanFrame> can;
        std::vector<KLineEvent> kline;
        std::vector<QByteArray> vpw, pwm;
        bool empty() const { return can.empty() && kline.empty() && vpw.empty() && pwm.empty(); }
    };

    bool open();
    void onCan(const CanFrame& frame, bool own);
    // Queues a delivery for the thread, waking it for the first.
    template <class Put>
    void post(Put put);
    void process(Inbox& inbox, qint64 nowMs, bool audible);
    void write(J1850Bus* bus, const std::vector<QByteArray>& messages);
    void loop();
    qint64 now() const { return clock_(); }

    CanBus* const can_;
    J1708Bus* const j1708_;
    KLineBus* const kline_;
    J1850Bus* const vpw_;
    J1850Bus* const pwm_;
    const Config config_;
    std::function<qint64()> clock_;

    // The ECUs belong to the thread that runs them: the vehicle's, or the caller's without one.
    SimEngineEcu engine_;
    SimJ1708Ecu j1708Ecu_;
    SimUdsServer uds_;
    SimKwpEcu kwp_;
    SimJ1850Ecu vpwEcu_{false}, pwmEcu_{true};
    bool begun_ = false;

    mutable Mutex mutex_;
    std::condition_variable wake_;
    Inbox inbox_ GUARDED_BY(mutex_);
    bool stopping_ GUARDED_BY(mutex_) = false;
    bool woken_ GUARDED_BY(mutex_) = false;
    std::thread thread_;
    std::atomic<quint64> writeFailures_{0};
};

// Both simulated buses with the vehicle running on them: the software adapter's default.
// The vehicle pauses while it is alone on both buses, so an unused simulation costs nothing.
class VehicleSimulation {
public:
    VehicleSimulation();
    // Ports must be closed before the simulation goes.
    ~VehicleSimulation();

    std::unique_ptr<CanBus> createCanPort() { return can_.createPort(); }
    std::unique_ptr<J1708Bus> createJ1708Port() { return j1708_.createPort(); }
    std::unique_ptr<KLineBus> createKLinePort() { return kline_.createPort(); }
    // A port that reaches the VPW or the PWM node, by the rate it opens at.
    std::unique_ptr<J1850Bus> createJ1850Port() { return j1850_.createPort(); }
    SimulatedCanBus& canBus() { return can_; }
    SimulatedJ1708Bus& j1708Bus() { return j1708_; }
    SimulatedKLineBus& klineBus() { return kline_; }
    SimulatedJ1850Bus& j1850Bus() { return j1850_; }
    bool running() const { return running_; }

private:
    SimulatedCanBus can_;
    SimulatedJ1708Bus j1708_;
    SimulatedKLineBus kline_;
    SimulatedJ1850Bus j1850_;
    std::unique_ptr<CanBus> vehicleCan_;
    std::unique_ptr<J1708Bus> vehicleJ1708_;
    std::unique_ptr<KLineBus> vehicleKLine_;
    std::unique_ptr<J1850Bus> vehicleVpw_, vehiclePwm_;
    std::unique_ptr<SimulatedVehicle> vehicle_;
    bool running_ = false;
};

}  // namespace rp1210core::bus
