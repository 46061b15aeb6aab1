#include "bus/simulated_vehicle.h"

#include <chrono>

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
    : can_(can), j1708_(j1708), config_(std::move(config)), clock_(config_.clockMs ? config_.clockMs : steadyMs),
      uds_(QByteArray(SimEngineEcu::kVin))
{
}

SimulatedVehicle::~SimulatedVehicle() { stop(); }

bool SimulatedVehicle::begin()
{
    if (begun_)
        return false;
    if (can_ && !can_->open(config_.canBitrate, [this](const CanFrame& f, bool own) { onCan(f, own); }))
        return false;
    // The J1708 controller answers nothing, so it ignores what it hears.
    if (j1708_ && !j1708_->open(config_.j1708Baud, [](const QByteArray&, qint64, bool) {})) {
        if (can_)
            can_->close();
        return false;
    }
    begun_ = true;
    const qint64 t = now();
    engine_.start(t);
    j1708Ecu_.start(t);
    std::vector<CanFrame> none;
    process(none, t, true);
    return true;
}

void SimulatedVehicle::advanceTo(qint64 ms)
{
    std::vector<CanFrame> inbox;
    {
        MutexLocker lock(mutex_);
        inbox.swap(inbox_);
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

void SimulatedVehicle::onCan(const CanFrame& frame, bool own)
{
    if (own)
        return;  // the engines must not hear themselves
    bool first = false;
    {
        MutexLocker lock(mutex_);
        first = inbox_.empty();
        inbox_.push_back(frame);
    }
    if (first)
        wake_.notify_all();
}

void SimulatedVehicle::process(std::vector<CanFrame>& inbox, qint64 nowMs, bool audible)
{
    for (const CanFrame& f : inbox) {
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
    std::vector<CanFrame> inbox;
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
            inbox.clear();
            inbox.swap(inbox_);
        }
        audible = !config_.audience || config_.audience();
        process(inbox, now(), audible);
    }
}

VehicleSimulation::VehicleSimulation()
    : vehicleCan_(can_.createPort()), vehicleJ1708_(j1708_.createPort())
{
    SimulatedVehicle::Config config;
    config.canBitrate = can_.bitrate();
    config.j1708Baud = j1708_.baud();
    // The vehicle holds one port on each bus; anyone else on either is an audience.
    config.audience = [this] { return can_.openPorts() > 1 || j1708_.openPorts() > 1; };
    vehicle_ = std::make_unique<SimulatedVehicle>(vehicleCan_.get(), vehicleJ1708_.get(), config);
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
