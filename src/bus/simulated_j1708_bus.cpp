#include "bus/simulated_j1708_bus.h"

namespace rp1210core::bus {

namespace {

class SimulatedJ1708Port final : public J1708Bus {
public:
    explicit SimulatedJ1708Port(std::shared_ptr<sim::BusCore<QByteArray>> core)
        : core_(std::move(core)), port_(core_->addPort())
    {
    }
    ~SimulatedJ1708Port() override { close(); }

    bool open(quint32 baud, Receiver receiver) override
    {
        if (!receiver)
            return false;
        return core_->open(port_, baud, std::move(receiver));
    }
    bool write(const QByteArray& message) override { return !message.isEmpty() && core_->write(port_, message); }
    void close() override { core_->close(port_); }

private:
    std::shared_ptr<sim::BusCore<QByteArray>> core_;
    const int port_;
};

}  // namespace

SimulatedJ1708Bus::SimulatedJ1708Bus() : SimulatedJ1708Bus(Config()) {}

SimulatedJ1708Bus::SimulatedJ1708Bus(const Config& config)
    : core_(std::make_shared<sim::BusCore<QByteArray>>(config.baud, config.queueCapacity))
{
}

SimulatedJ1708Bus::~SimulatedJ1708Bus() { core_->shutdown(); }

std::unique_ptr<J1708Bus> SimulatedJ1708Bus::createPort() { return std::make_unique<SimulatedJ1708Port>(core_); }

}  // namespace rp1210core::bus
