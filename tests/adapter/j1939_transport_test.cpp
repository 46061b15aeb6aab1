// J1939-21 transport: whole messages through two engines back to back, each timer against
// a silent or scripted peer, the aborts for broken peers, and arbitrary frames.
#include "adapter/j1939_transport.h"
#include "support/bytes.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <random>

using namespace rp1210core::adapter;
using rp1210core::bus::CanFrame;
using Kind = J1939TpEvent::Kind;

namespace {

constexpr quint8 kA = 0x10, kB = 0x20;
constexpr quint32 kPgn = 0xEF00;  // proprietary A: a PDU1 group, so single frames carry the destination

J1939Message message(quint8 source, quint8 destination, int size)
{
    J1939Message m;
    m.pgn = kPgn;
    m.source = source;
    m.destination = destination;
    m.data = pattern(size, size);
    return m;
}

CanFrame tp(bool control, quint8 source, quint8 destination, std::vector<int> bytes)
{
    std::vector<quint8> b(bytes.begin(), bytes.end());
    return CanFrame::make(j1939EncodeId({7, control ? 0xEC00u : 0xEB00u, source, destination}), true, b.data(),
                          int(b.size()));
}
// TP.CM with the PGN in bytes 5 to 7.
CanFrame cm(quint8 source, quint8 destination, int control, int b1, int b2, int b3, int b4 = 0xFF)
{
    return tp(true, source, destination, {control, b1, b2, b3, b4, kPgn & 0xFF, kPgn >> 8, 0});
}

struct Out {
    std::vector<CanFrame> frames;
    std::vector<J1939TpEvent> events;
};
Out take(J1939Transport& t)
{
    Out o;
    t.take(o.frames, o.events);
    return o;
}

// Two engines on one bus: what one puts out the other receives; time jumps to the next deadline.
struct Pair {
    J1939Transport a, b;
    qint64 now = 0;
    std::vector<J1939TpEvent> eventsA, eventsB;
    int framesB = 0;
    std::function<bool()> lose = [] { return false; };  // drops a frame on the bus
    Pair(J1939Transport::Config ca = {}, J1939Transport::Config cb = {}) : a(ca), b(cb)
    {
        a.addLocalAddress(kA);
        b.addLocalAddress(kB);
    }
    void shuttle(J1939Transport& from, J1939Transport& to, std::vector<J1939TpEvent>& events)
    {
        Out o = take(from);
        framesB += &from == &b ? int(o.frames.size()) : 0;
        events.insert(events.end(), o.events.begin(), o.events.end());
        for (CanFrame& f : o.frames) {
            if (lose())
                continue;
            f.timestampUs = now * 1000;
            to.receive(f, now);
        }
    }
    void run()
    {
        for (;;) {
            while (a.hasOutput() || b.hasOutput()) {
                shuttle(a, b, eventsA);
                shuttle(b, a, eventsB);
            }
            const qint64 da = a.nextDeadline(), db = b.nextDeadline();
            if (da < 0 && db < 0)
                return;
            now = std::max(now, da < 0 ? db : (db < 0 ? da : std::min(da, db)));
            a.poll(now);
            b.poll(now);
        }
    }
};

TEST(J1939Transport, MessagesArriveWholeByEachMode)
{
    const struct {
        int size;
        quint8 destination;
        int window;         // the receiver's packets per CTS
        qint64 durationMs;  // bus time to the end: BAM packets are 50 ms apart
    } cases[] = {{0, kB, 255, 0},    {8, kJ1939Global, 255, 0}, {9, kJ1939Global, 255, 100},
                 {1785, kB, 16, 0}, {1785, kB, 1, 0},          {1785, kJ1939Global, 255, 255 * 50}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.size << " bytes to " << int(c.destination) << " window " << c.window);
        J1939Transport::Config cb;
        cb.maxPacketsPerCts = c.window;
        Pair p({}, cb);
        const J1939Message m = message(kA, c.destination, c.size);
        const int ticket = p.a.send(m, 0);
        ASSERT_GT(ticket, 0);
        p.run();
        EXPECT_EQ(p.now, c.durationMs);
        const int packets = (c.size + 6) / 7, ctsCount = (packets + c.window - 1) / c.window;
        EXPECT_EQ(p.framesB, c.size > 8 && c.destination == kB ? ctsCount + 1 : 0);  // CTSs and the acknowledgement
        ASSERT_EQ(p.eventsA.size(), 1u);
        EXPECT_EQ(p.eventsA[0].kind, Kind::Sent);
        EXPECT_EQ(p.eventsA[0].ticket, ticket);
        ASSERT_EQ(p.eventsB.size(), 1u);
        const J1939TpEvent& r = p.eventsB[0];
        EXPECT_EQ(r.kind, Kind::Received);
        EXPECT_EQ(r.message.data, m.data);
        EXPECT_EQ(r.message.pgn, kPgn);
        EXPECT_EQ(r.message.source, kA);
        EXPECT_EQ(r.message.destination, c.destination);
        EXPECT_EQ(r.message.timestampUs, c.durationMs * 1000);
        EXPECT_EQ(p.a.openSessions() + p.b.openSessions(), 0);
    }
}

TEST(J1939Transport, RefusesOversizeBusyPairsAndBadSenders)
{
    J1939Transport::Config config;
    config.maxSessions = 3;
    J1939Transport t(config);
    EXPECT_EQ(t.send(message(kA, kB, 1786), 0), -int(J1939Failure::TooLong));
    EXPECT_EQ(t.send(message(kJ1939Null, kB, 100), 0), -int(J1939Failure::Invalid));
    EXPECT_GT(t.send(message(kA, kB, 100), 0), 0);
    EXPECT_EQ(t.send(message(kA, kB, 9), 0), -int(J1939Failure::Busy));
    EXPECT_GT(t.send(message(kA, kB, 8), 0), 0);  // a single frame needs no session
    EXPECT_GT(t.send(message(kA, 0x30, 100), 0), 0);
    EXPECT_GT(t.send(message(kA, kJ1939Global, 100), 0), 0);
    EXPECT_EQ(t.send(message(kA, kJ1939Global, 100), 0), -int(J1939Failure::Busy));
    EXPECT_EQ(t.send(message(kA, 0x40, 100), 0), -int(J1939Failure::Busy));  // no session slot
    EXPECT_EQ(t.counters().framesIn, 0u);
}

// Each timer: nothing at one millisecond before it runs out, the abort (or none, for a
// broadcast) and the failure when it does.
TEST(J1939Transport, EachTimerEndsItsSession)
{
    const struct {
        const char* name;
        bool sending;                 // we send 100 bytes to kB, else kB sends to us
        std::vector<CanFrame> script;  // from the peer at 100 ms
        qint64 deadline;
        bool abortSent;
        bool incoming;
    } cases[] = {
        {"T4 after hold", true, {cm(kB, kA, 17, 0, 1, 0xFF)}, 100 + 1050, true, false},
        {"T3 after the packets", true, {cm(kB, kA, 17, 2, 1, 0xFF)}, 100 + 1250, true, false},
        {"T2 after CTS", false, {cm(kB, kA, 16, 20, 0, 3)}, 100 + 1250, true, true},
        {"T1 between packets", false, {cm(kB, kA, 16, 20, 0, 3), tp(false, kB, kA, {1, 1, 2, 3, 4, 5, 6, 7})},
         100 + 750, true, true},
        {"T1 in a broadcast", false,
         {cm(kB, kJ1939Global, 32, 20, 0, 3), tp(false, kB, kJ1939Global, {1, 1, 2, 3, 4, 5, 6, 7})}, 100 + 750,
         false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        J1939Transport t;
        t.addLocalAddress(kA);
        const int ticket = c.sending ? t.send(message(kA, kB, 100), 0) : 0;
        for (const CanFrame& f : c.script)
            t.receive(f, 100);
        take(t);
        EXPECT_EQ(t.nextDeadline(), c.deadline);
        t.poll(c.deadline - 1);
        EXPECT_FALSE(t.hasOutput());
        t.poll(c.deadline);
        Out o = take(t);
        ASSERT_EQ(o.events.size(), 1u);
        EXPECT_EQ(o.events[0].kind, Kind::Failed);
        EXPECT_EQ(o.events[0].failure, J1939Failure::Timeout);
        EXPECT_EQ(o.events[0].incoming, c.incoming);
        EXPECT_EQ(o.events[0].ticket, ticket);
        ASSERT_EQ(o.frames.size(), c.abortSent ? 1u : 0u);
        if (c.abortSent) {
            EXPECT_EQ(toHex(QByteArray(reinterpret_cast<const char*>(o.frames[0].data.data()), 2)), "ff 03");
        }
        EXPECT_EQ(t.nextDeadline(), -1);
    }
}

// A peer that aborts or breaks the protocol: the abort we send (0 for none) and the failure.
TEST(J1939Transport, BrokenPeersGetTheAbortTheStandardNames)
{
    const CanFrame rts3 = cm(kB, kA, 16, 20, 0, 3), dt1 = tp(false, kB, kA, {1, 1, 2, 3, 4, 5, 6, 7});
    const struct {
        const char* name;
        bool sending;
        std::vector<CanFrame> script;
        int abortReason;  // in our last frame
        J1939Failure failure;
        int peerReason;
    } cases[] = {
        {"peer aborts our send", true, {cm(kB, kA, 255, 1, 0xFF, 0xFF)}, 0, J1939Failure::AbortedByPeer, 1},
        {"CTS beyond the message", true, {cm(kB, kA, 17, 1, 16, 0xFF)}, 250, J1939Failure::Protocol, 0},
        {"retransmit requests", true,
         {cm(kB, kA, 17, 1, 1, 0xFF), cm(kB, kA, 17, 1, 1, 0xFF), cm(kB, kA, 17, 1, 1, 0xFF),
          cm(kB, kA, 17, 1, 1, 0xFF)},
         5, J1939Failure::Protocol, 0},
        {"bad sequence", false, {rts3, tp(false, kB, kA, {2, 0, 0, 0, 0, 0, 0, 0})}, 7, J1939Failure::Protocol, 0},
        {"duplicate sequence", false, {rts3, dt1, dt1}, 8, J1939Failure::Protocol, 0},
        {"RTS with a wrong count", false, {cm(kB, kA, 16, 20, 0, 4)}, 250, J1939Failure::None, 0},
        {"RTS to another node", false, {cm(kB, 0x30, 16, 20, 0, 3)}, 0, J1939Failure::None, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        J1939Transport t;
        t.addLocalAddress(kA);
        if (c.sending)
            t.send(message(kA, kB, 100), 0);
        take(t);
        for (const CanFrame& f : c.script)
            t.receive(f, 10);
        Out o = take(t);
        const bool aborted = !o.frames.empty() && o.frames.back().data[0] == 0xFF;
        EXPECT_EQ(aborted ? o.frames.back().data[1] : 0, c.abortReason);
        if (aborted) {
            EXPECT_EQ(j1939DecodeId(o.frames.back().id).destination, kB);
        }
        ASSERT_EQ(o.events.size(), c.failure == J1939Failure::None ? 0u : 1u);
        if (!o.events.empty()) {
            EXPECT_EQ(o.events[0].failure, c.failure);
            EXPECT_EQ(o.events[0].abortReason, c.peerReason ? c.peerReason : c.abortReason);
        }
        EXPECT_EQ(t.openSessions(), 0);
    }
}

// Arbitrary frames around the transport PGNs: never a message over 1785 bytes or a frame
// over 8, never more sessions than allowed, and every session ends on its timers.
TEST(J1939Transport, ArbitraryFramesLeaveNothingBehind)
{
    std::mt19937 rng(1939);
    J1939Transport::Config config;
    config.maxSessions = 8;
    J1939Transport t(config);
    t.addLocalAddress(kA);
    const quint8 addresses[] = {kA, kB, 0x30, kJ1939Global};
    qint64 now = 0;
    for (int i = 0; i < 200000; ++i) {
        CanFrame f;
        f.extended = rng() % 16 != 0;
        f.id = j1939EncodeId({7, rng() % 2 ? 0xEC00u : 0xEB00u, addresses[rng() % 4], addresses[rng() % 4]});
        f.length = quint8(rng() % 10);  // 9 is malformed too
        for (auto& b : f.data)
            b = quint8(rng() % 4 ? rng() % 40 : rng());
        if (f.id % 3 == 0)
            f.data[0] = quint8(std::vector<int>{16, 17, 19, 32, 255}[rng() % 5]);
        t.receive(f, now);
        if (rng() % 64 == 0)
            t.send(message(kA, addresses[rng() % 4], int(rng() % 60)), now);
        now += rng() % 20;
        t.poll(now);
        Out o = take(t);
        for (const J1939TpEvent& e : o.events)
            ASSERT_LE(e.message.data.size(), J1939Transport::kMaxSize);
        for (const CanFrame& out : o.frames)
            ASSERT_LE(out.length, 8);
        ASSERT_LE(t.openSessions(), config.maxSessions);
    }
    for (int k = 0; k < 200 && t.nextDeadline() >= 0; ++k)
        t.poll(t.nextDeadline());
    EXPECT_EQ(t.openSessions(), 0);
    EXPECT_GT(t.counters().dropped, 0u);
}

// On a bus that loses frames every accepted message still ends exactly once, in Sent or
// Failed, and whatever arrives arrives whole.
TEST(J1939Transport, EveryMessageEndsOnceOnALossyBus)
{
    std::mt19937 rng(21);
    int outcomes[3] = {};  // by kind, so the test shows the losses bit
    for (int round = 0; round < 300; ++round) {
        Pair p;
        p.lose = [&rng] { return rng() % 25 == 0; };
        std::map<int, QByteArray> pending;  // ticket -> data, for A's messages
        for (int k = 0; k < 3; ++k) {
            const J1939Message m = message(kA, k == 0 ? kJ1939Global : kB, 9 + int(rng() % 300));
            const int ticket = p.a.send(m, p.now);
            if (ticket > 0)
                pending[ticket] = m.data;
            p.run();
        }
        for (const J1939TpEvent& e : p.eventsA) {
            EXPECT_EQ(pending.erase(e.ticket), 1u) << "ticket " << e.ticket;
            ++outcomes[int(e.kind)];
        }
        EXPECT_TRUE(pending.empty());
        for (const J1939TpEvent& e : p.eventsB) {
            if (e.kind == Kind::Received) {
                EXPECT_EQ(e.message.data, pattern(e.message.data.size(), e.message.data.size()));
            }
        }
        EXPECT_EQ(p.a.openSessions() + p.b.openSessions(), 0);
    }
    EXPECT_GT(outcomes[int(Kind::Sent)], 100);
    EXPECT_GT(outcomes[int(Kind::Failed)], 10);
}

}  // namespace
