// Sends on a CAN bus that confirms its transmissions (a real interface): a send is
// confirmed once every frame it wrote has come back from the interface, and fails when
// one was refused, lost with the interface, or not confirmed within the limit. The bus's
// health (error states, bus-off, a vanished interface) is kept for the hardware status
// and told to the device's owner. Buses that confirm as they accept a write (the
// simulated ones) never get here: their sends are confirmed at once.
#include "adapter/software_adapter.h"

#include "adapter/answer_builder.h"

#include <algorithm>

namespace rp1210core::adapter {

namespace {

// Traffic seen within this long lights the traffic bit of the hardware status.
constexpr qint64 kTrafficWindowMs = 1000;

}  // namespace

void SoftwareAdapter::confirmWrites(quint8 protocol, quint8 state, quint8 counter, quint64 firstWrite)
{
    if (state != RESP_SERV_OK || writes_ == firstWrite) {
        confirm(protocol, state, counter);  // failed, or nothing went to a confirming bus
        return;
    }
    deferred_.push_back(Deferred{protocol, state, counter, firstWrite, writes_});
    settleWrites();
}

void SoftwareAdapter::settleWrites()
{
    // In-flight writes are in write order: the first is the oldest still open.
    const quint64 open = inFlight_.empty() ? writes_ + 1 : inFlight_.front().write;
    while (!deferred_.empty() && deferred_.front().last < open) {
        const Deferred d = deferred_.front();
        deferred_.pop_front();
        const auto lost = lostWrites_.upper_bound(d.first);
        const bool failed = lost != lostWrites_.end() && *lost <= d.last;
        confirm(d.protocol, failed ? quint8(RESP_SERV_NEGATIVE) : d.state, d.counter);
    }
    // A failure is kept while a send that started before it may still ask about it.
    quint64 keep = deferred_.empty() ? open : deferred_.front().first;
    for (const auto& p : j1939Pending_)
        keep = std::min(keep, p.second.firstWrite);
    for (const auto& p : isoPending_)
        keep = std::min(keep, p.second.firstWrite);
    lostWrites_.erase(lostWrites_.begin(), lostWrites_.upper_bound(keep));
}

void SoftwareAdapter::onCanOwn(const bus::CanFrame& f)
{
    canTrafficMs_ = nowMs();
    const auto it = std::find_if(inFlight_.begin(), inFlight_.end(),
                                 [&f](const InFlight& w) { return w.frame.sameContent(f); });
    if (it != inFlight_.end())
        inFlight_.erase(it);
    // Our frame went out: the bus carries frames again.
    if (canHealth_ != bus::CanHealth::Ok && canHealth_ != bus::CanHealth::Gone)
        setCanHealth(bus::CanHealth::Ok, QString());
    settleWrites();
}

void SoftwareAdapter::onCanLost(const bus::CanFrame& f)
{
    const auto it = std::find_if(inFlight_.begin(), inFlight_.end(),
                                 [&f](const InFlight& w) { return w.frame.sameContent(f); });
    if (it == inFlight_.end())
        return;
    lostWrites_.insert(it->write);
    inFlight_.erase(it);
    settleWrites();
}

void SoftwareAdapter::loseAllWrites()
{
    for (const InFlight& w : inFlight_)
        lostWrites_.insert(w.write);
    inFlight_.clear();
    settleWrites();
}

void SoftwareAdapter::expireWrites(qint64 now)
{
    bool expired = false;
    while (!inFlight_.empty() && inFlight_.front().dueMs <= now) {
        lostWrites_.insert(inFlight_.front().write);
        inFlight_.pop_front();
        expired = true;
    }
    if (!expired)
        return;
    // No word from the interface, and no frame out: as a controller that no node answers.
    if (canHealth_ == bus::CanHealth::Ok || canHealth_ == bus::CanHealth::Warning)
        setCanHealth(bus::CanHealth::Passive,
                     QStringLiteral("frames not confirmed by the interface within %1 ms").arg(config_.confirmLimitMs));
    settleWrites();
}

void SoftwareAdapter::setCanHealth(bus::CanHealth health, const QString& text)
{
    const bool changed = health != canHealth_;
    canHealth_ = health;
    // Frames the interface holds while it is off or gone will not be confirmed in time.
    if (health == bus::CanHealth::BusOff || health == bus::CanHealth::Gone)
        loseAllWrites();
    if (changed && faultHandler_)
        faultHandler_(health, text);
}

quint8 SoftwareAdapter::canStatus(bool active) const
{
    quint8 status = active ? 0x01 : 0x00;
    if (canOpen_ && canTrafficMs_ >= 0 && nowMs() - canTrafficMs_ <= kTrafficWindowMs)
        status |= 0x02;
    if (canHealth_ == bus::CanHealth::BusOff)
        status |= 0x04;
    return status;
}

}  // namespace rp1210core::adapter
