// An in-process K-line carrying whole messages between ports, with the delivery, speed
// and queue rules of SimulatedCanBus, and the two initialisations. An initialisation goes
// in order with the messages: when its turn comes, the ECU ports are asked in the order
// they opened, the first that answers wins, and the tester hears the outcome at once (the
// simulated line skips the 2 s of a five-baud address and the wake-up pattern).
#pragma once

#include "bus/simulated_can_bus.h"

namespace rp1210core::bus {

class SimulatedKLineBus {
public:
    struct Config {
        quint32 baud = 10400;
        int queueCapacity = 1024;
    };
    // An ECU's side of an initialisation, called on the bus's thread: its answer (the key
    // bytes, or the response to StartCommunication), empty when the request is not for it.
    using Responder = std::function<QByteArray(KLineBus::Init kind, const QByteArray& request)>;

    SimulatedKLineBus();
    explicit SimulatedKLineBus(const Config& config);
    ~SimulatedKLineBus();
    SimulatedKLineBus(const SimulatedKLineBus&) = delete;
    SimulatedKLineBus& operator=(const SimulatedKLineBus&) = delete;

    // A tester's node: it answers no initialisation.
    std::unique_ptr<KLineBus> createPort();
    // An ECU's node: while open, `responder` answers the initialisations of the others.
    std::unique_ptr<KLineBus> createEcuPort(Responder responder);

    quint32 baud() const;
    int openPorts() const;
    void setPortObserver(std::function<void()> observer);

    struct Shared;

private:
    std::shared_ptr<Shared> shared_;
};

}  // namespace rp1210core::bus
