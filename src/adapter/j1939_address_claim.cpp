#include "adapter/j1939_address_claim.h"

namespace rp1210core::adapter {

namespace {
constexpr quint8 kClaimPriority = 6;
}

bool J1939AddressClaim::claim(quint64 name, quint8 address, qint64 now)
{
    if (address >= kJ1939Null)
        return false;
    name_ = name;
    address_ = address;
    state_ = State::Claiming;
    sendClaim(address_);
    pending_ = Pending::ClaimWait;
    deadline_ = now + kClaimWaitMs;
    return true;
}

void J1939AddressClaim::reset()
{
    state_ = State::Idle;
    pending_ = Pending::None;
    deadline_ = -1;
    address_ = kJ1939Null;
}

void J1939AddressClaim::receive(const bus::CanFrame& f, qint64 now)
{
    if (!f.extended || state_ == State::Idle)
        return;
    const J1939Id id = j1939DecodeId(f.id);
    if (id.pgn == kPgnAddressClaimed)
        onClaim(id, f, now);
    else if (id.pgn == kPgnRequest)
        onRequest(id, f, now);
}

void J1939AddressClaim::poll(qint64 now)
{
    if (deadline_ < 0 || now < deadline_)
        return;
    deadline_ = -1;
    const Pending due = pending_;
    pending_ = Pending::None;
    if (due == Pending::ClaimWait && state_ == State::Claiming) {
        state_ = State::Claimed;
        events_.push_back({J1939ClaimEvent::Kind::Claimed, address_});
    } else if (due == Pending::CannotClaimReply && state_ == State::CannotClaim) {
        sendClaim(kJ1939Null);
    }
}

void J1939AddressClaim::take(std::vector<bus::CanFrame>& frames, std::vector<J1939ClaimEvent>& events)
{
    frames.clear();
    events.clear();
    frames.swap(frames_);
    events.swap(events_);
}

void J1939AddressClaim::sendClaim(quint8 source)
{
    quint8 bytes[8];
    for (int i = 0; i < 8; ++i)
        bytes[i] = quint8(name_ >> (8 * i));  // NAME least significant byte first
    const J1939Id id{kClaimPriority, kPgnAddressClaimed, source, kJ1939Global};
    frames_.push_back(bus::CanFrame::make(j1939EncodeId(id), true, bytes, 8));
}

void J1939AddressClaim::lose()
{
    const quint8 lost = address_;
    state_ = State::CannotClaim;
    pending_ = Pending::None;
    deadline_ = -1;
    sendClaim(kJ1939Null);
    events_.push_back({J1939ClaimEvent::Kind::CannotClaim, lost});
}

void J1939AddressClaim::onClaim(const J1939Id& id, const bus::CanFrame& f, qint64 now)
{
    if (f.length < 8 || id.source != address_ || state_ == State::CannotClaim)
        return;
    quint64 theirs = 0;
    for (int i = 7; i >= 0; --i)
        theirs = (theirs << 8) | f.data[i];
    if (theirs == name_)
        return;
    if (theirs < name_)
        return lose();
    // We win: say so again, and a claim still pending waits its full time from this one.
    sendClaim(address_);
    if (state_ == State::Claiming)
        deadline_ = now + kClaimWaitMs;
}

void J1939AddressClaim::onRequest(const J1939Id& id, const bus::CanFrame& f, qint64 now)
{
    if (f.length < 3)
        return;
    const quint32 asked = quint32(f.data[0]) | (quint32(f.data[1]) << 8) | (quint32(f.data[2]) << 16);
    if (asked != kPgnAddressClaimed)
        return;
    if (state_ == State::CannotClaim) {
        // Only global requests reach a node without address. J1939-81 spreads the answers
        // of such nodes over 0 to 153 ms; the NAME gives each its own fixed delay.
        if (id.destination == kJ1939Global && pending_ == Pending::None) {
            pending_ = Pending::CannotClaimReply;
            deadline_ = now + qint64(name_ % (kMaxCannotClaimDelayMs + 1));
        }
        return;
    }
    if (id.destination == kJ1939Global || id.destination == address_)
        sendClaim(address_);
}

}  // namespace rp1210core::adapter
