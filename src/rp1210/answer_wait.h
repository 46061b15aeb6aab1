// The answer wait of the API manager: mark a state pending, send the request, sleep
// until the answer, a time limit or a named early end, and map the state to a code.
//
// What ends a wait early is an argument of every wait, never a default, so the policy
// of each request is written where it is made.
#pragma once

#include <rp1210core/types.h>

#include <atomic>
#include <functional>

class Cliente;
class GestorRP1210;

// What, besides the answer and the limit, ends an answer wait. Flags: they combine.
enum class EndsEarlyOn : unsigned {
    Nothing = 0,
    Disconnect = 1,  // the client is disconnecting or no longer connected
    LinkError = 2,   // the link has failed (set_Error with a non-zero code)
};

constexpr EndsEarlyOn operator|(EndsEarlyOn a, EndsEarlyOn b)
{
    return static_cast<EndsEarlyOn>(static_cast<unsigned>(a) | static_cast<unsigned>(b));
}

// A manager-wide state that the receive thread writes (through the manager, which wakes
// the waits) and application threads wait on.
class StatusSlot {
public:
    explicit StatusSlot(int initial) : state_(initial) {}
    RESPONSES_SERV_RP1210 get() const { return static_cast<RESPONSES_SERV_RP1210>(state_.load()); }

private:
    friend class GestorRP1210;  // stores through setSlot, which wakes the waits
    void store(RESPONSES_SERV_RP1210 v) { state_ = v; }

    std::atomic<int> state_;
};

class AnswerWait {
public:
    // Waits on a service state of the client.
    AnswerWait(GestorRP1210& g, Cliente& cliente, IDS_SERV_RP1210 servicio, EndsEarlyOn endsOn);
    // Waits on a manager status slot; `cliente` (may be null) gives the protocol that the
    // mapping of some states depends on, and the client of EndsEarlyOn::Disconnect.
    AnswerWait(GestorRP1210& g, StatusSlot& slot, const Cliente* cliente, EndsEarlyOn endsOn);

    struct Result {
        int state;        // RESP_SERV_PENDING when no answer came
        bool clientLeft;  // with EndsEarlyOn::Disconnect: the client was leaving when the wait ended
        int linkError;    // with EndsEarlyOn::LinkError: the link error when the wait ended, else 0
        // The link error, else 148 for a client that left, else checkLinkAnswer of the state:
        // an early end outranks an answer that came with it.
        short code;
    };

    // Marks the state pending, calls send, and waits while the state stays pending for
    // fewer than limitSeconds whole wall-clock seconds.
    Result request(int limitSeconds, const std::function<void()>& send);
    // Waits while the state equals `state`, without marking or sending anything.
    Result waitWhileState(int state, int limitSeconds);

    // A client that a wait with EndsEarlyOn::Disconnect gives up on.
    static bool clientLeaving(const Cliente& c);

private:
    bool endsOn(EndsEarlyOn flag) const;
    int state() const;
    bool endedEarly() const;
    Result result() const;

    GestorRP1210& g_;
    Cliente* cliente_;  // the owner of the state; null for a slot
    IDS_SERV_RP1210 servicio_;
    StatusSlot* slot_;  // null for a client's state
    const Cliente* mapFor_;
    EndsEarlyOn endsOn_;
};
