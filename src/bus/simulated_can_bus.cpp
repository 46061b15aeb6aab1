#include "bus/simulated_can_bus.h"

namespace rp1210core::bus {

namespace {

class SimulatedCanPort final : public CanBus {
public:
    explicit SimulatedCanPort(std::shared_ptr<sim::BusCore<CanFrame>> core)
        : core_(std::move(core)), port_(core_->addPort())
    {
    }
    ~SimulatedCanPort() override { close(); }

    bool open(quint32 bitrate, Receiver receiver) override
    {
        if (!receiver)
            return false;
        return core_->open(port_, bitrate, [receiver = std::move(receiver)](const CanFrame& f, qint64 ts, bool own) {
            CanFrame stamped = f;
            stamped.timestampUs = ts;
            receiver(stamped, own);
        });
    }
    bool write(const CanFrame& frame) override
    {
        if (frame.length > 8)
            return false;
        return core_->write(port_, frame);
    }
    void close() override { core_->close(port_); }
    // The vehicle's bus runs at its own rate, whatever a node asks.
    quint32 presetBitrate() const override { return core_->speed(); }

private:
    std::shared_ptr<sim::BusCore<CanFrame>> core_;
    const int port_;
};

}  // namespace

SimulatedCanBus::SimulatedCanBus() : SimulatedCanBus(Config()) {}

SimulatedCanBus::SimulatedCanBus(const Config& config)
    : core_(std::make_shared<sim::BusCore<CanFrame>>(config.bitrate, config.queueCapacity))
{
}

SimulatedCanBus::~SimulatedCanBus() { core_->shutdown(); }

std::unique_ptr<CanBus> SimulatedCanBus::createPort() { return std::make_unique<SimulatedCanPort>(core_); }

}  // namespace rp1210core::bus
