// An in-process J1850 bus pair: a port opened at the VPW rate joins the VPW bus, one
// opened at the PWM rate the PWM bus, as a tester's connector reaches whichever the
// vehicle has. Each carries whole messages (header, data, CRC) with the delivery and
// queue rules of SimulatedCanBus.
#pragma once

#include "bus/simulated_can_bus.h"

namespace rp1210core::bus {

class SimulatedJ1850Bus {
public:
    explicit SimulatedJ1850Bus(int queueCapacity = 1024);
    ~SimulatedJ1850Bus();
    SimulatedJ1850Bus(const SimulatedJ1850Bus&) = delete;
    SimulatedJ1850Bus& operator=(const SimulatedJ1850Bus&) = delete;

    std::unique_ptr<J1850Bus> createPort();

    int openPorts() const;  // on both
    void setPortObserver(std::function<void()> observer);

    using Core = sim::BusCore<QByteArray>;

private:
    std::shared_ptr<Core> vpw_, pwm_;
};

}  // namespace rp1210core::bus
