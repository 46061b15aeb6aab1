#include "bus/simulated_kline_bus.h"

#include <map>

namespace rp1210core::bus {

namespace {

// What the line carries: a message, or a tester's initialisation with where its outcome goes.
struct KLineItem {
    QByteArray bytes;  // the message; the address or StartCommunication of an initialisation
    bool init = false;
    KLineBus::Init kind = KLineBus::Init::Fast;
    std::shared_ptr<const KLineBus::InitDone> done;
};

}  // namespace

struct SimulatedKLineBus::Shared {
    explicit Shared(const Config& c) : core(c.baud, c.queueCapacity) {}

    // The answer of the first open ECU port that has one, other than `asker`.
    QByteArray ask(int asker, KLineBus::Init kind, const QByteArray& request) EXCLUDES(mutex)
    {
        std::vector<std::shared_ptr<const Responder>> ecus;
        {
            internal::MutexLocker lock(mutex);
            for (const auto& [port, responder] : responders)
                if (port != asker)
                    ecus.push_back(responder);
        }
        for (const auto& ecu : ecus) {
            const QByteArray answer = (*ecu)(kind, request);
            if (!answer.isEmpty())
                return answer;
        }
        return QByteArray();
    }

    sim::BusCore<KLineItem> core;
    internal::Mutex mutex;
    // The open ECU ports by port number, which is their opening order's tie-break.
    std::map<int, std::shared_ptr<const Responder>> responders GUARDED_BY(mutex);
};

namespace {

class SimulatedKLinePort final : public KLineBus {
public:
    SimulatedKLinePort(std::shared_ptr<SimulatedKLineBus::Shared> shared, SimulatedKLineBus::Responder responder)
        : shared_(std::move(shared)), port_(shared_->core.addPort()),
          responder_(responder ? std::make_shared<const SimulatedKLineBus::Responder>(std::move(responder)) : nullptr)
    {
    }
    ~SimulatedKLinePort() override { close(); }

    bool open(quint32 baud, Receiver receiver) override
    {
        if (!receiver)
            return false;
        const int port = port_;
        auto shared = shared_.get();
        auto deliver = [receiver = std::move(receiver), shared, port](const KLineItem& item, qint64 ts, bool own) {
            if (!item.init) {
                receiver(item.bytes, ts, own);
            } else if (own) {
                // The tester that started it; the ECUs answer through their responders.
                (*item.done)(shared->ask(port, item.kind, item.bytes));
            }
        };
        if (!shared_->core.open(port_, baud, std::move(deliver)))
            return false;
        if (responder_) {
            internal::MutexLocker lock(shared_->mutex);
            shared_->responders[port_] = responder_;
        }
        return true;
    }
    bool write(const QByteArray& message) override
    {
        return !message.isEmpty() && shared_->core.write(port_, KLineItem{message, false, Init::Fast, nullptr});
    }
    bool fiveBaudInit(quint8 address, InitDone done) override { return init(Init::FiveBaud, QByteArray(1, char(address)), std::move(done)); }
    bool fastInit(const QByteArray& request, InitDone done) override { return init(Init::Fast, request, std::move(done)); }
    void close() override
    {
        {
            internal::MutexLocker lock(shared_->mutex);
            shared_->responders.erase(port_);
        }
        // Waits for a delivery in progress, which may be asking our responder.
        shared_->core.close(port_);
    }

private:
    bool init(Init kind, const QByteArray& request, InitDone done)
    {
        if (!done || request.isEmpty())
            return false;
        return shared_->core.write(port_, KLineItem{request, true, kind, std::make_shared<const InitDone>(std::move(done))});
    }

    std::shared_ptr<SimulatedKLineBus::Shared> shared_;
    const int port_;
    const std::shared_ptr<const SimulatedKLineBus::Responder> responder_;
};

}  // namespace

SimulatedKLineBus::SimulatedKLineBus() : SimulatedKLineBus(Config()) {}

SimulatedKLineBus::SimulatedKLineBus(const Config& config) : shared_(std::make_shared<Shared>(config)) {}

SimulatedKLineBus::~SimulatedKLineBus() { shared_->core.shutdown(); }

std::unique_ptr<KLineBus> SimulatedKLineBus::createPort()
{
    return std::make_unique<SimulatedKLinePort>(shared_, nullptr);
}

std::unique_ptr<KLineBus> SimulatedKLineBus::createEcuPort(Responder responder)
{
    return std::make_unique<SimulatedKLinePort>(shared_, std::move(responder));
}

quint32 SimulatedKLineBus::baud() const { return shared_->core.speed(); }
int SimulatedKLineBus::openPorts() const { return shared_->core.openPorts(); }
void SimulatedKLineBus::setPortObserver(std::function<void()> observer) { shared_->core.setObserver(std::move(observer)); }

}  // namespace rp1210core::bus
