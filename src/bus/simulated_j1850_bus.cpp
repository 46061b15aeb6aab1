#include "bus/simulated_j1850_bus.h"

namespace rp1210core::bus {

namespace {

class SimulatedJ1850Port final : public J1850Bus {
public:
    using Core = SimulatedJ1850Bus::Core;

    SimulatedJ1850Port(std::shared_ptr<Core> vpw, std::shared_ptr<Core> pwm)
        : vpw_(std::move(vpw)), pwm_(std::move(pwm)), vpwPort_(vpw_->addPort()), pwmPort_(pwm_->addPort())
    {
    }
    ~SimulatedJ1850Port() override { close(); }

    // Called by the port's owner only, like every operation of a bus: `open_` needs no lock.
    bool open(quint32 bitrate, Receiver receiver) override
    {
        if (!receiver || open_)
            return false;
        Core* core = bitrate == kVpwBitrate ? vpw_.get() : bitrate == kPwmBitrate ? pwm_.get() : nullptr;
        if (core == nullptr || !core->open(portOn(core), bitrate, std::move(receiver)))
            return false;
        open_ = core;
        return true;
    }
    bool write(const QByteArray& message) override
    {
        return open_ != nullptr && !message.isEmpty() && open_->write(portOn(open_), message);
    }
    void close() override
    {
        if (open_ != nullptr)
            open_->close(portOn(open_));
        open_ = nullptr;
    }

private:
    int portOn(const Core* core) const { return core == vpw_.get() ? vpwPort_ : pwmPort_; }

    std::shared_ptr<Core> vpw_, pwm_;
    const int vpwPort_, pwmPort_;
    Core* open_ = nullptr;
};

}  // namespace

SimulatedJ1850Bus::SimulatedJ1850Bus(int queueCapacity)
    : vpw_(std::make_shared<Core>(J1850Bus::kVpwBitrate, queueCapacity)),
      pwm_(std::make_shared<Core>(J1850Bus::kPwmBitrate, queueCapacity))
{
}

SimulatedJ1850Bus::~SimulatedJ1850Bus()
{
    vpw_->shutdown();
    pwm_->shutdown();
}

std::unique_ptr<J1850Bus> SimulatedJ1850Bus::createPort() { return std::make_unique<SimulatedJ1850Port>(vpw_, pwm_); }

int SimulatedJ1850Bus::openPorts() const { return vpw_->openPorts() + pwm_->openPorts(); }

void SimulatedJ1850Bus::setPortObserver(std::function<void()> observer)
{
    vpw_->setObserver(observer);
    pwm_->setObserver(std::move(observer));
}

}  // namespace rp1210core::bus
