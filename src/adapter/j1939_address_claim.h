// J1939-81 address claim for one NAME: claim, defend by NAME priority, give up with
// Cannot Claim, and answer requests for Address Claimed. No arbitrary-address search:
// a node that loses its address stays without one until claim() is called again.
//
// I/O-free like the transport engine: frames and the time (milliseconds) in, frames
// and events out, poll() at nextDeadline(). Feed it only frames of other nodes; a
// claim carrying our own NAME is taken for our echo and ignored.
#pragma once

#include "adapter/j1939_id.h"
#include "bus/can_frame.h"

#include <vector>

namespace rp1210core::adapter {

struct J1939ClaimEvent {
    enum class Kind { Claimed, CannotClaim };
    Kind kind = Kind::Claimed;
    quint8 address = kJ1939Null;  // the address claimed or lost
};

class J1939AddressClaim {
public:
    static constexpr quint32 kPgnAddressClaimed = 60928;  // 0xEE00
    static constexpr quint32 kPgnRequest = 59904;         // 0xEA00
    static constexpr qint64 kClaimWaitMs = 250;
    static constexpr qint64 kMaxCannotClaimDelayMs = 153;

    enum class State { Idle, Claiming, Claimed, CannotClaim };

    // Sends Address Claimed for `address` (0 to 253) and reports Claimed 250 ms later
    // unless a node with a lower NAME takes the address first. False for a bad address.
    bool claim(quint64 name, quint8 address, qint64 nowMs);
    // Forgets the claim without a word on the bus.
    void reset();

    void receive(const bus::CanFrame& frame, qint64 nowMs);
    void poll(qint64 nowMs);
    qint64 nextDeadline() const { return deadline_; }  // -1 when nothing is pending

    void take(std::vector<bus::CanFrame>& frames, std::vector<J1939ClaimEvent>& events);

    State state() const { return state_; }
    quint8 address() const { return state_ == State::Claimed ? address_ : kJ1939Null; }
    quint64 name() const { return name_; }

private:
    enum class Pending { None, ClaimWait, CannotClaimReply };

    void sendClaim(quint8 source);
    void lose();
    void onClaim(const J1939Id& id, const bus::CanFrame& f, qint64 now);
    void onRequest(const J1939Id& id, const bus::CanFrame& f, qint64 now);

    State state_ = State::Idle;
    Pending pending_ = Pending::None;
    quint64 name_ = 0;
    quint8 address_ = kJ1939Null;
    qint64 deadline_ = -1;
    std::vector<bus::CanFrame> frames_;
    std::vector<J1939ClaimEvent> events_;
};

}  // namespace rp1210core::adapter
