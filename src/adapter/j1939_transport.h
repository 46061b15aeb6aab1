// J1939-21 transport protocol: whole messages of 0 to 1785 bytes over single CAN frames,
// broadcast (BAM) to global and connection-managed (RTS/CTS) to one destination, both ways.
//
// The engine does no I/O and keeps no clock: the caller hands it received frames and the
// time (milliseconds on any monotonic clock), sends the frames it takes out, and calls
// poll() again at nextDeadline(). Feed it only frames of other nodes, not the bus's echo
// of its own.
//
// One session per source, destination and direction. A second message to a pair that is
// still busy is refused (Busy), not queued: the caller reports the refusal and the
// application resends, as against hardware that rejects a send while a session is open.
// Timers: T1 between received packets, T2 after our CTS, T3 after our RTS or last packet,
// T4 after a hold; each ends the session with Connection Abort (reason 3), except a
// broadcast, which is never answered. Tr and Th bind the responder: this engine answers
// in the same call that brings the frame and never holds, so it meets both by design.
//
// Received multi-packet messages are accepted as BAM from anyone and as RTS/CTS only when
// addressed to one of the local addresses; RTS/CTS traffic between other nodes is dropped.
#pragma once

#include "adapter/j1939_id.h"
#include "bus/can_frame.h"

#include <QByteArray>

#include <map>
#include <set>
#include <utility>
#include <vector>

namespace rp1210core::adapter {

struct J1939Message {
    quint8 priority = 6;
    quint32 pgn = 0;  // 18 bits; PDU1 groups with the low byte zero
    quint8 source = 0;
    quint8 destination = kJ1939Global;
    QByteArray data;
    qint64 timestampUs = 0;  // received: the bus time of the message's last frame
};

enum class J1939Failure : int {
    None = 0,
    Timeout = 1,        // a J1939-21 timer ran out; an abort was sent where the standard wants one
    AbortedByPeer = 2,  // the peer sent Connection Abort (its reason in the event)
    TooLong = 3,        // over 1785 bytes
    Busy = 4,           // a session of that pair and direction is open, or no session slot is free
    Invalid = 5,        // bad priority, PGN or source address
    Protocol = 6,       // the peer broke the protocol; we aborted (our reason in the event)
};

// J1939-21 Connection Abort reasons this engine sends.
enum J1939AbortReason : quint8 {
    kAbortBusy = 1,         // already in a session and cannot support another
    kAbortResources = 2,    // resources needed elsewhere (used for oversize requests)
    kAbortTimeout = 3,
    kAbortRetransmits = 5,  // maximum retransmit requests reached
    kAbortBadSequence = 7,
    kAbortDuplicateSequence = 8,
    kAbortOther = 250,
};

struct J1939TpEvent {
    enum class Kind { Received, Sent, Failed };
    Kind kind = Kind::Received;
    int ticket = 0;         // send()'s ticket for our own messages; 0 for incoming ones
    bool incoming = false;  // Failed: a message being received was lost
    J1939Failure failure = J1939Failure::None;
    quint8 abortReason = 0;  // Connection Abort reason sent or received, 0 when none
    J1939Message message;    // incoming failures carry no data
};

class J1939Transport {
public:
    static constexpr int kMaxSize = 1785;
    static constexpr qint64 kT1 = 750, kT2 = 1250, kT3 = 1250, kT4 = 1050, kTr = 200, kTh = 500;

    struct Config {
        qint64 bamGapMs = 50;       // between BAM packets; the standard asks 50 to 200
        int maxPacketsPerCts = 255;  // what one of our CTS grants, 1 to 255
        int maxSessions = 64;        // open sessions of both directions together
        int maxRetransmitRequests = 2;
        quint8 tpPriority = 7;
    };

    struct Counters {
        quint64 framesIn = 0;
        quint64 dropped = 0;  // frames that fitted no session or were malformed
        quint64 abortsSent = 0;
        quint64 abortsReceived = 0;
    };

    J1939Transport();
    explicit J1939Transport(const Config& config);

    // The gap between the packets of the broadcasts started from now on.
    void setBamGap(qint64 ms) { config_.bamGapMs = ms < 0 ? 0 : ms; }

    // Destinations of RTS/CTS sessions this engine answers.
    void setLocalAddresses(const std::set<quint8>& addresses) { local_ = addresses; }
    void addLocalAddress(quint8 a) { local_.insert(a); }
    void removeLocalAddress(quint8 a) { local_.erase(a); }

    // Starts sending; 0 to 8 bytes go out at once as one frame (to all when the PGN is a
    // PDU2 group, whose identifier has no room for a destination). A ticket (1 or more) that names the message in its Sent or Failed
    // event, or minus the J1939Failure that refused it (nothing is sent then).
    int send(const J1939Message& message, qint64 nowMs);
    void receive(const bus::CanFrame& frame, qint64 nowMs);
    // Runs every deadline that is due at `nowMs`.
    void poll(qint64 nowMs);
    // Earliest time poll() has work, -1 when no session is open.
    qint64 nextDeadline() const { return timers_.empty() ? -1 : timers_.begin()->first; }

    // Moves out the frames to put on the bus, in order, and the events.
    void take(std::vector<bus::CanFrame>& frames, std::vector<J1939TpEvent>& events);
    bool hasOutput() const { return !frames_.empty() || !events_.empty(); }

    int openSessions() const { return static_cast<int>(sessions_.size()); }
    const Counters& counters() const { return counters_; }

private:
    enum class Phase { BamSend, WaitCts, Hold, BamReceive, Receive };

    struct Session {
        quint32 key = 0;
        Phase phase = Phase::WaitCts;
        int ticket = 0;
        J1939Message message;
        int packets = 0;
        int next = 1;          // send: next BAM packet; receive: next sequence number expected
        int windowEnd = 0;     // receive: last packet the current CTS granted
        int highestSent = 0;   // send: RTS/CTS packets put out so far
        int retransmits = 0;
        int senderWindow = 255;  // receive: the originator's packets-per-CTS limit
        qint64 deadline = -1;
    };

    static quint32 keyOf(bool outgoing, quint8 source, quint8 destination)
    {
        return (outgoing ? 0x10000u : 0u) | (quint32(source) << 8) | destination;
    }
    bool isLocal(quint8 a) const { return local_.count(a) != 0; }

    Session* find(quint32 key);
    Session& open(quint32 key);
    void close(Session& s);
    void arm(Session& s, qint64 deadline);

    void onControl(const J1939Id& id, const bus::CanFrame& f, qint64 now);
    void onRts(const J1939Id& id, const bus::CanFrame& f, quint32 pgn, qint64 now);
    void onBam(const J1939Id& id, const bus::CanFrame& f, quint32 pgn, qint64 now);
    void onCts(const J1939Id& id, const bus::CanFrame& f, quint32 pgn, qint64 now);
    void onEndOfMessage(const J1939Id& id, quint32 pgn);
    void onAbort(const J1939Id& id, const bus::CanFrame& f, quint32 pgn);
    void onData(const J1939Id& id, const bus::CanFrame& f, qint64 now);
    void expire(Session& s, qint64 now);

    void sendCts(Session& s, qint64 now);
    void sendPacket(const Session& s, int sequence);
    void sendControl(quint8 source, quint8 destination, quint8 control, quint8 b1, quint8 b2, quint8 b3, quint8 b4,
                     quint32 pgn);
    void abortSession(Session& s, quint8 reason, J1939Failure failure);
    void finish(Session& s, J1939TpEvent::Kind kind, J1939Failure failure = J1939Failure::None, quint8 reason = 0);
    void drop() { ++counters_.dropped; }

    Config config_;
    std::set<quint8> local_;
    std::map<quint32, Session> sessions_;
    std::set<std::pair<qint64, quint32>> timers_;  // (deadline, session key), earliest first
    std::vector<bus::CanFrame> frames_;
    std::vector<J1939TpEvent> events_;
    Counters counters_;
    int lastTicket_ = 0;
};

}  // namespace rp1210core::adapter
