#include "bus/simulated_vehicle.h"

#include <chrono>
#include <tuple>
#include <utility>

namespace rp1210core::bus {

using internal::MutexLocker;
using internal::UniqueLock;

namespace {

qint64 steadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

SimulatedVehicle::SimulatedVehicle(CanBus* can, J1708Bus* j1708) : SimulatedVehicle(can, j1708, Config()) {}

SimulatedVehicle::SimulatedVehicle(CanBus* can, J1708Bus* j1708, Config config)
    : SimulatedVehicle(Buses{can, j1708, nullptr, nullptr, nullptr}, std::move(config))
{
}

SimulatedVehicle::SimulatedVehicle(const Buses& buses, Config config)
    : can_(buses.can), j1708_(buses.j1708), kline_(buses.kline), vpw_(buses.vpw), pwm_(buses.pwm),
      config_(std::move(config)), clock_(config_.clockMs ? config_.clockMs : steadyMs),
      uds_(QByteArray(SimEngineEcu::kVin))
{
}

SimulatedVehicle::~SimulatedVehicle() { stop(); }

bool SimulatedVehicle::open()
{
    std::vector<std::function<void()>> opened;  // the closes of the buses opened so far
    auto fail = [&opened] {
        for (auto& close : opened)
            close();
        return false;
    };
    if (can_) {
        if (!can_->open(config_.canBitrate, [this](const CanFrame& f, bool own) { onCan(f, own); }))
            return fail();
        opened.push_back([this] { can_->close(); });
    }
    // The J1708 controller answers nothing, so it ignores what it hears.
    if (j1708_) {
        if (!j1708_->open(config_.j1708Baud, [](const QByteArray&, qint64, bool) {}))
            return fail();
        opened.push_back([this] { j1708_->close(); });
    }
    if (kline_) {
        auto hear = [this](const QByteArray& m, qint64, bool own) {
            if (!own)
                post([&m](Inbox& in) { in.kline.push_back(KLineEvent{false, m}); });
        };
        if (!kline_->open(config_.klineBaud, hear))
            return fail();
        opened.push_back([this] { kline_->close(); });
    }
    for (const auto& [bus, bitrate, box] : {std::tuple{vpw_, J1850Bus::kVpwBitrate, &Inbox::vpw},
                                            std::tuple{pwm_, J1850Bus::kPwmBitrate, &Inbox::pwm}}) {
        if (!bus)
            continue;
        auto hear = [this, box = box](const QByteArray& m, qint64, bool own) {
            if (!own)
                post([&m, box](Inbox& in) { (in.*box).push_back(m); });
        };
        if (!bus->open(bitrate, hear))
            return fail();
        opened.push_back([bus = bus] { bus->close(); });
    }
    return true;
}

bool SimulatedVehicle::begin()
{
    if (begun_ || !open())
        return false;
    begun_ = true;
    const qint64 t = now();
    engine_.start(t);
    j1708Ecu_.start(t);
    kwp_.start(t);
    vpwEcu_.start(t);
    pwmEcu_.start(t);
    Inbox none;
    process(none, t, true);
    return true;
}

void SimulatedVehicle::advanceTo(qint64 ms)
{
    Inbox inbox;
    {
        MutexLocker lock(mutex_);
        inbox = std::exchange(inbox_, Inbox());
    }
    process(inbox, ms, !config_.audience || config_.audience());
}

qint64 SimulatedVehicle::nextDue() const
{
    // A controller without its bus has nothing to do and must not wake the thread.
    const qint64 can = can_ ? sim::earlier(engine_.nextDue(), uds_.nextDue()) : -1;
    return sim::earlier(can, j1708_ ? j1708Ecu_.nextDue() : -1);
}

bool SimulatedVehicle::start()
{
    if (thread_.joinable() || !begin())
        return false;
    {
        MutexLocker lock(mutex_);
        stopping_ = false;
    }
    thread_ = std::thread([this] { loop(); });
    return true;
}

void SimulatedVehicle::stop()
{
    {
        MutexLocker lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
    if (begun_) {
        // Closing returns once no delivery to us runs, so nothing calls onCan afterwards.
        if (can_)
            can_->close();
        if (j1708_)
            j1708_->close();
        if (kline_)
            kline_->close();
        if (vpw_)
            vpw_->close();
        if (pwm_)
            pwm_->close();
        begun_ = false;
    }
}

void SimulatedVehicle::wake()
{
    {
        MutexLocker lock(mutex_);
        woken_ = true;
    }
    wake_.notify_all();
}

QByteArray SimulatedVehicle::answerKLineInit(KLineBus::Init kind, const QByteArray& request)
{
    QByteArray answer = SimKwpEcu::initAnswer(kind, request);
    if (!answer.isEmpty())
        post([](Inbox& in) { in.kline.push_back(KLineEvent{true, QByteArray()}); });
    return answer;
}

template <class Put>
void SimulatedVehicle::post(Put put)
{
    bool first = false;
    {
        MutexLocker lock(mutex_);
        first = inbox_.empty();
        put(inbox_);
    }
    if (first)
        wake_.notify_all();
}

void SimulatedVehicle::onCan(const CanFrame& frame, bool own)
{
    if (own)
        return;  // the engines must not hear themselves
    post([&frame](Inbox& in) { in.can.push_back(frame); });
}

void SimulatedVehicle::write(J1850Bus* bus, const std::vector<QByteArray>& messages)
{
    for (const QByteArray& m : messages)
        if (!bus->write(m))
            writeFailures_.fetch_add(1);
}

void SimulatedVehicle::process(Inbox& inbox, qint64 nowMs, bool audible)
{
    // The byte buses' controllers answer whether or not anyone hears the broadcasts.
    std::vector<QByteArray> kline, vpw, pwm;
    for (const KLineEvent& e : inbox.kline) {
        if (e.init)
            kwp_.initialised(nowMs);
        else
            kwp_.receive(e.message, nowMs, kline);
    }
    for (const QByteArray& m : inbox.vpw)
        vpwEcu_.receive(m, nowMs, vpw);
    for (const QByteArray& m : inbox.pwm)
        pwmEcu_.receive(m, nowMs, pwm);
    for (const QByteArray& m : kline)
        if (!kline_->write(m))
            writeFailures_.fetch_add(1);
    write(vpw_, vpw);
    write(pwm_, pwm);

    for (const CanFrame& f : inbox.can) {
        if (f.extended)
            engine_.receive(f, nowMs);
        else
            uds_.receive(f, nowMs);
    }
    std::vector<QByteArray> messages;
    // Alone on the buses, broadcasts and deadlines wait; they resume from now when heard.
    if (audible && can_) {
        engine_.run(nowMs);
        uds_.run(nowMs);
    }
    if (audible && j1708_)
        j1708Ecu_.run(nowMs, messages);
    std::vector<CanFrame> frames;
    engine_.take(frames);
    uds_.take(frames);
    for (const CanFrame& f : frames)
        if (!can_->write(f))
            writeFailures_.fetch_add(1);
    for (const QByteArray& m : messages)
        if (!j1708_->write(m))
            writeFailures_.fetch_add(1);
}

void SimulatedVehicle::loop()
{
    Inbox inbox;
    bool audible = !config_.audience || config_.audience();
    for (;;) {
        {
            UniqueLock lock(mutex_);
            for (;;) {
                if (stopping_)
                    return;
                if (!inbox_.empty() || woken_)
                    break;
                const qint64 due = audible ? nextDue() : -1;
                const qint64 t = now();
                if (due >= 0 && due <= t)
                    break;
                if (due < 0)
                    lock.wait(wake_);
                else
                    lock.waitFor(wake_, std::chrono::milliseconds(due - t));
            }
            woken_ = false;
            inbox = std::exchange(inbox_, Inbox());
        }
        audible = !config_.audience || config_.audience();
        process(inbox, now(), audible);
    }
}

VehicleSimulation::VehicleSimulation()
    : vehicleCan_(can_.createPort()), vehicleJ1708_(j1708_.createPort()),
      // Asked only while the port is open, which the vehicle's start does after vehicle_ is set.
      vehicleKLine_(kline_.createEcuPort(
          [this](KLineBus::Init kind, const QByteArray& request) { return vehicle_->answerKLineInit(kind, request); })),
      vehicleVpw_(j1850_.createPort()), vehiclePwm_(j1850_.createPort())
{
    SimulatedVehicle::Config config;
    config.canBitrate = can_.bitrate();
    config.j1708Baud = j1708_.baud();
    config.klineBaud = kline_.baud();
    // The vehicle holds one port on each bus; anyone else on the broadcast buses is an audience.
    config.audience = [this] { return can_.openPorts() > 1 || j1708_.openPorts() > 1; };
    const SimulatedVehicle::Buses buses{vehicleCan_.get(), vehicleJ1708_.get(), vehicleKLine_.get(),
                                        vehicleVpw_.get(), vehiclePwm_.get()};
    vehicle_ = std::make_unique<SimulatedVehicle>(buses, config);
    running_ = vehicle_->start();
    SimulatedVehicle* vehicle = vehicle_.get();
    can_.setPortObserver([vehicle] { vehicle->wake(); });
    j1708_.setPortObserver([vehicle] { vehicle->wake(); });
}

VehicleSimulation::~VehicleSimulation()
{
    can_.setPortObserver(nullptr);
    j1708_.setPortObserver(nullptr);
    vehicle_->stop();
}

}  // namespace rp1210core::bus
