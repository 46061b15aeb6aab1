#include "adapter/j1939_transport.h"

#include <algorithm>
#include <climits>

namespace rp1210core::adapter {

namespace {

constexpr quint32 kPgnControl = 0xEC00;  // TP.CM
constexpr quint32 kPgnData = 0xEB00;     // TP.DT
constexpr quint8 kRts = 16, kCts = 17, kEndOfMessage = 19, kBam = 32, kAbort = 255;
constexpr int kBytesPerPacket = 7;

int packetsFor(int size) { return (size + kBytesPerPacket - 1) / kBytesPerPacket; }

quint32 pgnAt(const bus::CanFrame& f, int at)
{
    return (quint32(f.data[at]) | (quint32(f.data[at + 1]) << 8) | (quint32(f.data[at + 2]) << 16)) & kJ1939PgnMask;
}

}  // namespace

J1939Transport::J1939Transport() : J1939Transport(Config()) {}

J1939Transport::J1939Transport(const Config& config) : config_(config)
{
    config_.bamGapMs = std::max<qint64>(0, config_.bamGapMs);
    config_.maxPacketsPerCts = std::clamp(config_.maxPacketsPerCts, 1, 255);
    config_.maxSessions = std::max(1, config_.maxSessions);
    config_.maxRetransmitRequests = std::max(0, config_.maxRetransmitRequests);
}

int J1939Transport::send(const J1939Message& m, qint64 now)
{
    if (m.priority > 7 || m.pgn > kJ1939PgnMask || m.source >= kJ1939Null)
        return -int(J1939Failure::Invalid);
    if (m.data.size() > kMaxSize)
        return -int(J1939Failure::TooLong);
    J1939Message msg = m;
    if (j1939IsPdu1(msg.pgn))
        msg.pgn &= 0x3FF00;  // the destination travels separately

    if (msg.data.size() <= 8) {
        const J1939Id id{msg.priority, msg.pgn, msg.source, msg.destination};
        frames_.push_back(bus::CanFrame::make(j1939EncodeId(id), true,
                                              reinterpret_cast<const quint8*>(msg.data.constData()),
                                              msg.data.size()));
        lastTicket_ = lastTicket_ == INT_MAX ? 1 : lastTicket_ + 1;
        J1939TpEvent e;
        e.kind = J1939TpEvent::Kind::Sent;
        e.ticket = lastTicket_;
        e.message = msg;
        events_.push_back(e);
        return lastTicket_;
    }

    const quint32 key = keyOf(true, msg.source, msg.destination);
    if (find(key) != nullptr || int(sessions_.size()) >= config_.maxSessions)
        return -int(J1939Failure::Busy);
    Session& s = open(key);
    lastTicket_ = lastTicket_ == INT_MAX ? 1 : lastTicket_ + 1;
    s.ticket = lastTicket_;
    s.message = msg;
    s.packets = packetsFor(msg.data.size());
    const quint8 size0 = quint8(msg.data.size() & 0xFF), size1 = quint8(msg.data.size() >> 8);
    if (msg.destination == kJ1939Global) {
        s.phase = Phase::BamSend;
        sendControl(msg.source, kJ1939Global, kBam, size0, size1, quint8(s.packets), 0xFF, msg.pgn);
        arm(s, now + config_.bamGapMs);
    } else {
        s.phase = Phase::WaitCts;
        sendControl(msg.source, msg.destination, kRts, size0, size1, quint8(s.packets), 0xFF, msg.pgn);
        arm(s, now + kT3);
    }
    return s.ticket;
}

void J1939Transport::receive(const bus::CanFrame& f, qint64 now)
{
    ++counters_.framesIn;
    if (!f.extended || f.length > 8) {
        drop();
        return;
    }
    const J1939Id id = j1939DecodeId(f.id);
    if (id.pgn == kPgnControl) {
        onControl(id, f, now);
    } else if (id.pgn == kPgnData) {
        onData(id, f, now);
    } else {
        J1939TpEvent e;
        e.kind = J1939TpEvent::Kind::Received;
        e.message.priority = id.priority;
        e.message.pgn = id.pgn;
        e.message.source = id.source;
        e.message.destination = id.destination;
        e.message.data = QByteArray(reinterpret_cast<const char*>(f.data.data()), f.length);
        e.message.timestampUs = f.timestampUs;
        events_.push_back(e);
    }
}

void J1939Transport::poll(qint64 now)
{
    while (!timers_.empty() && timers_.begin()->first <= now) {
        const quint32 key = timers_.begin()->second;
        timers_.erase(timers_.begin());
        Session* s = find(key);
        if (s == nullptr)
            continue;
        s->deadline = -1;
        expire(*s, now);
    }
}

void J1939Transport::take(std::vector<bus::CanFrame>& frames, std::vector<J1939TpEvent>& events)
{
    frames.clear();
    events.clear();
    frames.swap(frames_);
    events.swap(events_);
}

J1939Transport::Session* J1939Transport::find(quint32 key)
{
    const auto it = sessions_.find(key);
    return it == sessions_.end() ? nullptr : &it->second;
}

J1939Transport::Session& J1939Transport::open(quint32 key)
{
    Session& s = sessions_[key];
    s = Session();
    s.key = key;
    return s;
}

void J1939Transport::close(Session& s)
{
    const quint32 key = s.key;  // s lives in the node being erased
    if (s.deadline >= 0)
        timers_.erase({s.deadline, key});
    sessions_.erase(key);
}

void J1939Transport::arm(Session& s, qint64 deadline)
{
    if (s.deadline >= 0)
        timers_.erase({s.deadline, s.key});
    s.deadline = deadline;
    timers_.insert({deadline, s.key});
}

// --- Connection management frames -------------------------------------------------------

void J1939Transport::onControl(const J1939Id& id, const bus::CanFrame& f, qint64 now)
{
    if (f.length < 8) {
        drop();
        return;
    }
    const quint32 pgn = pgnAt(f, 5);
    switch (f.data[0]) {
    case kRts: onRts(id, f, pgn, now); break;
    case kBam: onBam(id, f, pgn, now); break;
    case kCts: onCts(id, f, pgn, now); break;
    case kEndOfMessage: onEndOfMessage(id, pgn); break;
    case kAbort: onAbort(id, f, pgn); break;
    default: drop(); break;
    }
}

void J1939Transport::onRts(const J1939Id& id, const bus::CanFrame& f, quint32 pgn, qint64 now)
{
    if (id.destination == kJ1939Global || !isLocal(id.destination) || id.source >= kJ1939Null) {
        drop();
        return;
    }
    const int size = f.data[1] | (f.data[2] << 8);
    const quint32 key = keyOf(false, id.source, id.destination);
    if (Session* old = find(key)) {
        // A new RTS on an open pair means the originator gave up the old session.
        finish(*old, J1939TpEvent::Kind::Failed, J1939Failure::Protocol);
    }
    auto refuse = [&](quint8 reason) {
        ++counters_.abortsSent;
        sendControl(id.destination, id.source, kAbort, reason, 0xFF, 0xFF, 0xFF, pgn);
    };
    if (size > kMaxSize)
        return refuse(kAbortResources);
    if (size <= 8 || f.data[3] != packetsFor(size))
        return refuse(kAbortOther);
    if (int(sessions_.size()) >= config_.maxSessions)
        return refuse(kAbortBusy);

    Session& s = open(key);
    s.phase = Phase::Receive;
    s.message.priority = id.priority;
    s.message.pgn = pgn;
    s.message.source = id.source;
    s.message.destination = id.destination;
    s.message.data = QByteArray(size, '\0');
    s.packets = f.data[3];
    s.senderWindow = (f.data[4] == 0 || f.data[4] == 0xFF) ? 255 : f.data[4];
    sendCts(s, now);
}

void J1939Transport::onBam(const J1939Id& id, const bus::CanFrame& f, quint32 pgn, qint64 now)
{
    const int size = f.data[1] | (f.data[2] << 8);
    // Broadcasts are never answered, not even with an abort.
    if (id.destination != kJ1939Global || id.source >= kJ1939Null || size <= 8 || size > kMaxSize || f.data[3] != packetsFor(size)) {
        drop();
        return;
    }
    const quint32 key = keyOf(false, id.source, kJ1939Global);
    if (Session* old = find(key)) {
        // A new BAM from the same source replaces the unfinished one.
        finish(*old, J1939TpEvent::Kind::Failed, J1939Failure::Protocol);
    }
    if (int(sessions_.size()) >= config_.maxSessions) {
        drop();
        return;
    }
    Session& s = open(key);
    s.phase = Phase::BamReceive;
    s.message.priority = id.priority;
    s.message.pgn = pgn;
    s.message.source = id.source;
    s.message.destination = kJ1939Global;
    s.message.data = QByteArray(size, '\0');
    s.packets = f.data[3];
    s.windowEnd = s.packets;
    arm(s, now + kT1);
}

void J1939Transport::onCts(const J1939Id& id, const bus::CanFrame& f, quint32 pgn, qint64 now)
{
    Session* s = find(keyOf(true, id.destination, id.source));
    if (s == nullptr || (s->phase != Phase::WaitCts && s->phase != Phase::Hold) || pgn != s->message.pgn) {
        drop();
        return;
    }
    const int count = f.data[1], next = f.data[2];
    if (count == 0) {
        // Hold: the responder keeps the connection open and must speak again within Th;
        // each hold restarts our wait.
        s->phase = Phase::Hold;
        arm(*s, now + kT4);
        return;
    }
    if (next < 1 || next > s->packets)
        return abortSession(*s, kAbortOther, J1939Failure::Protocol);
    if (next <= s->highestSent && ++s->retransmits > config_.maxRetransmitRequests)
        return abortSession(*s, kAbortRetransmits, J1939Failure::Protocol);
    const int last = std::min(s->packets, next + count - 1);
    for (int seq = next; seq <= last; ++seq)
        sendPacket(*s, seq);
    s->highestSent = std::max(s->highestSent, last);
    s->phase = Phase::WaitCts;  // for the next CTS or the end-of-message acknowledgement
    arm(*s, now + kT3);
}

void J1939Transport::onEndOfMessage(const J1939Id& id, quint32 pgn)
{
    Session* s = find(keyOf(true, id.destination, id.source));
    if (s == nullptr || s->phase == Phase::BamSend || pgn != s->message.pgn || s->highestSent < s->packets) {
        drop();
        return;
    }
    finish(*s, J1939TpEvent::Kind::Sent);
}

void J1939Transport::onAbort(const J1939Id& id, const bus::CanFrame& f, quint32 pgn)
{
    // The abort names the PGN; it may close our sending or our receiving session of the pair.
    bool used = false;
    for (quint32 key : {keyOf(true, id.destination, id.source), keyOf(false, id.source, id.destination)}) {
        Session* s = find(key);
        if (s == nullptr || s->phase == Phase::BamSend || s->phase == Phase::BamReceive || pgn != s->message.pgn)
            continue;
        used = true;
        finish(*s, J1939TpEvent::Kind::Failed, J1939Failure::AbortedByPeer, f.data[1]);
    }
    if (used)
        ++counters_.abortsReceived;
    else
        drop();
}

// --- Data frames ------------------------------------------------------------------------------

void J1939Transport::onData(const J1939Id& id, const bus::CanFrame& f, qint64 now)
{
    Session* s = find(keyOf(false, id.source, id.destination));
    if (s == nullptr || f.length < 1) {
        drop();
        return;
    }
    const int seq = f.data[0];
    if (seq != s->next) {
        drop();
        if (s->phase == Phase::BamReceive)
            return finish(*s, J1939TpEvent::Kind::Failed, J1939Failure::Protocol);
        const bool duplicate = seq >= 1 && seq == s->next - 1;
        return abortSession(*s, duplicate ? kAbortDuplicateSequence : kAbortBadSequence, J1939Failure::Protocol);
    }
    const int offset = (seq - 1) * kBytesPerPacket;
    const int n = std::min(kBytesPerPacket, s->message.data.size() - offset);
    if (f.length < 1 + n) {
        drop();  // a short packet; the sender's retry or our timer settles the session
        return;
    }
    std::copy(f.data.begin() + 1, f.data.begin() + 1 + n, s->message.data.data() + offset);
    s->message.timestampUs = f.timestampUs;
    ++s->next;
    if (s->next > s->packets) {
        if (s->phase == Phase::Receive) {
            const int size = s->message.data.size();
            sendControl(s->message.destination, s->message.source, kEndOfMessage, quint8(size & 0xFF),
                        quint8(size >> 8), quint8(s->packets), 0xFF, s->message.pgn);
        }
        return finish(*s, J1939TpEvent::Kind::Received);
    }
    if (s->phase == Phase::Receive && s->next > s->windowEnd)
        sendCts(*s, now);
    else
        arm(*s, now + kT1);
}

// --- Deadlines -----------------------------------------------------------------------------------

void J1939Transport::expire(Session& s, qint64 now)
{
    switch (s.phase) {
    case Phase::BamSend:
        sendPacket(s, s.next);
        if (++s.next > s.packets)
            return finish(s, J1939TpEvent::Kind::Sent);
        // The gap counts from this packet, so a late poll never bunches packets together.
        arm(s, now + config_.bamGapMs);
        return;
    case Phase::WaitCts:  // T3: no CTS after the RTS or the last packet, no acknowledgement
    case Phase::Hold:     // T4: no CTS after a hold
    case Phase::Receive:  // T1 between packets, T2 after our CTS
        return abortSession(s, kAbortTimeout, J1939Failure::Timeout);
    case Phase::BamReceive:  // T1
        return finish(s, J1939TpEvent::Kind::Failed, J1939Failure::Timeout);
    }
}

// --- Frames out ------------------------------------------------------------------------------------

void J1939Transport::sendCts(Session& s, qint64 now)
{
    const int count = std::min({s.packets - s.next + 1, s.senderWindow, config_.maxPacketsPerCts});
    s.windowEnd = s.next + count - 1;
    sendControl(s.message.destination, s.message.source, kCts, quint8(count), quint8(s.next), 0xFF, 0xFF,
                s.message.pgn);
    arm(s, now + kT2);
}

void J1939Transport::sendPacket(const Session& s, int seq)
{
    quint8 bytes[8];
    bytes[0] = quint8(seq);
    const int offset = (seq - 1) * kBytesPerPacket;
    const int n = std::min(kBytesPerPacket, s.message.data.size() - offset);
    std::copy(s.message.data.constData() + offset, s.message.data.constData() + offset + n, bytes + 1);
    std::fill(bytes + 1 + n, bytes + 8, quint8(0xFF));
    const J1939Id id{config_.tpPriority, kPgnData, s.message.source, s.message.destination};
    frames_.push_back(bus::CanFrame::make(j1939EncodeId(id), true, bytes, 8));
}

void J1939Transport::sendControl(quint8 source, quint8 destination, quint8 control, quint8 b1, quint8 b2, quint8 b3,
                                 quint8 b4, quint32 pgn)
{
    const quint8 bytes[8] = {control, b1, b2, b3, b4, quint8(pgn & 0xFF), quint8((pgn >> 8) & 0xFF),
                             quint8((pgn >> 16) & 0xFF)};
    const J1939Id id{config_.tpPriority, kPgnControl, source, destination};
    frames_.push_back(bus::CanFrame::make(j1939EncodeId(id), true, bytes, 8));
}

void J1939Transport::abortSession(Session& s, quint8 reason, J1939Failure failure)
{
    // Our side of the pair is the source when sending, the destination when receiving.
    const bool outgoing = (s.key & 0x10000u) != 0;
    const quint8 us = outgoing ? s.message.source : s.message.destination;
    const quint8 peer = outgoing ? s.message.destination : s.message.source;
    ++counters_.abortsSent;
    sendControl(us, peer, kAbort, reason, 0xFF, 0xFF, 0xFF, s.message.pgn);
    finish(s, J1939TpEvent::Kind::Failed, failure, reason);
}

void J1939Transport::finish(Session& s, J1939TpEvent::Kind kind, J1939Failure failure, quint8 reason)
{
    J1939TpEvent e;
    e.kind = kind;
    e.ticket = s.ticket;
    e.incoming = (s.key & 0x10000u) == 0;
    e.failure = failure;
    e.abortReason = reason;
    e.message = std::move(s.message);
    if (e.incoming && kind == J1939TpEvent::Kind::Failed)
        e.message.data.clear();
    events_.push_back(std::move(e));
    close(s);
}

}  // namespace rp1210core::adapter
