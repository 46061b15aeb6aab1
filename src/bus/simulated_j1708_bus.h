// An in-process J1708 bus carrying whole messages (MID, data, checksum) between ports,
// with the same delivery, speed and queue rules as SimulatedCanBus. The bus carries what
// it is given; checking checksums is the receivers' business, as on a real wire.
#pragma once

#include "bus/simulated_can_bus.h"

namespace rp1210core::bus {

class SimulatedJ1708Bus {
public:
    struct Config {
        quint32 baud = 9600;
        int queueCapacity = 1024;
    };

    SimulatedJ1708Bus();
    explicit SimulatedJ1708Bus(const Config& config);
    ~SimulatedJ1708Bus();
    SimulatedJ1708Bus(const SimulatedJ1708Bus&) = delete;
    SimulatedJ1708Bus& operator=(const SimulatedJ1708Bus&) = delete;

    std::unique_ptr<J1708Bus> createPort();

    quint32 baud() const { return core_->speed(); }
    int openPorts() const { return core_->openPorts(); }
    void setPortObserver(std::function<void()> observer) { core_->setObserver(std::move(observer)); }

private:
    std::shared_ptr<sim::BusCore<QByteArray>> core_;
};

}  // namespace rp1210core::bus
