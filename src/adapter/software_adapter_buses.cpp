// The software adapter's buses: each opens with its first client at that client's speed
// and closes with its last; what a bus delivers is queued for the adapter's thread.
#include "adapter/software_adapter.h"

#include "adapter/adapter_speeds.h"

namespace rp1210core::adapter {

bus::J1708Bus::Receiver SoftwareAdapter::messageReceiver(Event::Kind kind)
{
    return [this, kind](const QByteArray& m, qint64, bool own) {
        if (own)
            return;  // confirmed when written (a K-line reads its own bytes back)
        Event e;
        e.kind = kind;
        e.bytes = m;
        post(std::move(e));
    };
}

bool SoftwareAdapter::openBus(AdapterClients::Bus bus, quint8 speed)
{
    switch (bus) {
    case AdapterClients::Bus::Can:
        return openCan(speed);
    case AdapterClients::Bus::J1708:
        return openJ1708(speed);
    case AdapterClients::Bus::KLine:
        return openKLine(speed);
    case AdapterClients::Bus::J1850:
        return openJ1850(speed);
    default:
        return false;
    }
}

void SoftwareAdapter::closeBus(AdapterClients::Bus bus)
{
    if (bus == AdapterClients::Bus::Can && canOpen_) {
        canBus_->close();
        canOpen_ = false;
        loseAllWrites();  // their confirmations can no longer come
    } else if (bus == AdapterClients::Bus::J1708 && j1708Open_) {
        j1708Bus_->close();
        j1708Open_ = false;
    } else if (bus == AdapterClients::Bus::KLine && klineOpen_) {
        klineBus_->close();
        klineOpen_ = false;
        klineInit_.reset();  // its answer can no longer come
    } else if (bus == AdapterClients::Bus::J1850 && j1850Bitrate_ != 0) {
        j1850Bus_->close();
        j1850Bitrate_ = 0;
    }
}

bool SoftwareAdapter::openCan(quint8 speed)
{
    if (canBus_ == nullptr)
        return false;
    const quint32 opening = ++canOpens_;
    auto receiver = [this, opening](const bus::CanFrame& f, bool own) {
        // Our own frames confirm the sends on a bus that reports its transmissions; on
        // one that does not, they were confirmed when written. The transports want only
        // others' frames.
        if (own && !canConfirms_)
            return;
        Event e;
        e.kind = own ? Event::Kind::CanOwn : Event::Kind::Can;
        e.can = f;
        e.opening = opening;
        post(std::move(e));
    };
    canBus_->setEventReceiver([this, opening](const bus::CanBus::Event& ev) {
        Event e;
        e.opening = opening;
        e.kind = ev.kind == bus::CanBus::Event::Kind::WriteFailed ? Event::Kind::CanLost : Event::Kind::CanHealth;
        e.can = ev.frame;
        e.health = ev.health;
        e.text = ev.text;
        post(std::move(e));
    });
    canOpen_ = canBus_->open(AdapterClients::bitrate(speed), receiver);
    if (canOpen_)
        setCanHealth(bus::CanHealth::Ok, QString());
    return canOpen_;
}

bool SoftwareAdapter::openJ1708(quint8 speed)
{
    const auto receiver = messageReceiver(Event::Kind::J1708);
    j1708Open_ = j1708Bus_ != nullptr && j1708Bus_->open(AdapterClients::bitrate(speed), receiver);
    return j1708Open_;
}

bool SoftwareAdapter::openKLine(quint8 speed)
{
    const auto receiver = messageReceiver(Event::Kind::KLine);
    klineOpen_ = klineBus_ != nullptr && klineBus_->open(AdapterClients::bitrate(speed), receiver);
    return klineOpen_;
}

bool SoftwareAdapter::openJ1850(quint8 speed)
{
    const quint32 bitrate = AdapterClients::bitrate(speed);
    if (j1850Bitrate_ == bitrate)
        return true;  // initialised at this speed by 0xF2
    if (j1850Bitrate_ != 0)
        closeBus(AdapterClients::Bus::J1850);
    const auto receiver = messageReceiver(Event::Kind::J1850);
    if (j1850Bus_ != nullptr && j1850Bus_->open(bitrate, receiver))
        j1850Bitrate_ = bitrate;
    return j1850Bitrate_ != 0;
}

quint8 SoftwareAdapter::openFailure(AdapterClients::Bus bus, quint8 speed) const
{
    if (!hasBus(bus))
        return RESP_SERV_NOT_SUPPORTED;
    // A bus that is there but will not run at this speed (a simulated vehicle's fixed
    // rate, an interface set up outside the driver) is another speed in use; a CAN
    // interface that cannot be reached at all is an unavailable device.
    if (bus != AdapterClients::Bus::Can)
        return RESP_SERV_OTHER_SPEED;
    const quint32 preset = canBus_->presetBitrate();
    return preset != 0 && preset != AdapterClients::bitrate(speed) ? quint8(RESP_SERV_OTHER_SPEED)
                                                                    : kStateBusUnavailable;
}

quint8 SoftwareAdapter::autoSpeed(quint8 protocol, quint8 speed) const
{
    // "Auto" on a CAN interface whose rate is set outside the driver is that rate.
    if (speed != VELOCIDAD_AUTO || !AdapterClients::onCanBus(protocol) || canBus_ == nullptr ||
        clients_.countOn(AdapterClients::Bus::Can) != 0)
        return speed;
    const quint8 preset = speedCodeOf(protocol, canBus_->presetBitrate());
    return preset != 0 ? preset : speed;
}

bool SoftwareAdapter::hasBus(AdapterClients::Bus bus) const
{
    switch (bus) {
    case AdapterClients::Bus::Can:
        return canBus_ != nullptr;
    case AdapterClients::Bus::J1708:
        return j1708Bus_ != nullptr;
    case AdapterClients::Bus::KLine:
        return klineBus_ != nullptr;
    case AdapterClients::Bus::J1850:
        return j1850Bus_ != nullptr;
    case AdapterClients::Bus::None:
        break;
    }
    return false;
}

void SoftwareAdapter::closeBuses()
{
    for (const auto bus : {AdapterClients::Bus::Can, AdapterClients::Bus::J1708, AdapterClients::Bus::KLine,
                           AdapterClients::Bus::J1850})
        closeBus(bus);
}

}  // namespace rp1210core::adapter
