// The J1939 engines. Transport (J1939-21): whole messages through two engines back to back,
// each timer against a silent or scripted peer, the aborts for broken peers, and arbitrary
// frames. Address claim (J1939-81): the claim and its wait, contention decided by NAME,
// answers to requests.
#include "adapter/j1939_address_claim.h"
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
    return {6, kPgn, source, destination, pattern(size, size)};
}

CanFrame tp(bool control, quint8 source, quint8 destination, std::vector<int> bytes)
{
    const std::vector<quint8> b(bytes.begin(), bytes.end());
    const quint32 id = j1939EncodeId({7, control ? 0xEC00u : 0xEB00u, source, destination});
    return CanFrame::make(id, true, b.data(), int(b.size()));
}
// TP.CM with the PGN in bytes 5 to 7.
CanFrame cm(quint8 source, quint8 destination, int control, int b1, int b2, int b3, int b4 = 0xFF)
{
    return tp(true, source, destination, {control, b1, b2, b3, b4, kPgn & 0xFF, kPgn >> 8, 0});
}

// What an engine put out since the last take.
template <class Event = J1939TpEvent>
struct Out {
    std::vector<CanFrame> frames;
    std::vector<Event> events;
};
template <class Engine>
auto take(Engine& e)
{
    Out<std::conditional_t<std::is_same<Engine, J1939Transport>::value, J1939TpEvent, J1939ClaimEvent>> o;
    e.take(o.frames, o.events);
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
        auto o = take(from);
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
        ASSERT_TRUE(p.eventsA.size() == 1 && p.eventsB.size() == 1);
        EXPECT_TRUE(p.eventsA[0].kind == Kind::Sent && p.eventsA[0].ticket == ticket);
        const J1939TpEvent& r = p.eventsB[0];
        EXPECT_EQ(r.message.data, m.data);
        EXPECT_TRUE(r.kind == Kind::Received && r.message.pgn == kPgn && r.message.source == kA);
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

// Each timer: nothing at one millisecond before it runs out, then the abort (none for a
// broadcast) and the failure. A peer that aborts or breaks the protocol: at once, the abort
// we send (0 for none) and the failure.
TEST(J1939Transport, TimersAndBrokenPeersEndTheSessionWithTheAbortTheStandardNames)
{
    const CanFrame rts3 = cm(kB, kA, 16, 20, 0, 3), dt1 = tp(false, kB, kA, {1, 1, 2, 3, 4, 5, 6, 7});
    const CanFrame retransmit = cm(kB, kA, 17, 1, 1, 0xFF), bam3 = cm(kB, kJ1939Global, 32, 20, 0, 3);
    constexpr auto Timeout = J1939Failure::Timeout, Protocol = J1939Failure::Protocol;
    const struct {
        const char* name;
        bool sending;                  // we send 100 bytes to kB, else kB sends to us
        std::vector<CanFrame> script;  // from the peer at 100 ms
        int abortReason;               // in our last frame
        J1939Failure failure;
        qint64 deadline = 0;  // of the timer; 0: none
        int peerReason = 0;
    } cases[] = {
        {"T4 after hold", true, {cm(kB, kA, 17, 0, 1, 0xFF)}, 3, Timeout, 100 + 1050},
        {"T3 after the packets", true, {cm(kB, kA, 17, 2, 1, 0xFF)}, 3, Timeout, 100 + 1250},
        {"T2 after CTS", false, {rts3}, 3, Timeout, 100 + 1250},
        {"T1 between packets", false, {rts3, dt1}, 3, Timeout, 100 + 750},
        {"T1 in a broadcast", false, {bam3, tp(false, kB, kJ1939Global, {1, 1, 2, 3, 4, 5, 6, 7})}, 0, Timeout, 850},
        {"peer aborts our send", true, {cm(kB, kA, 255, 1, 0xFF, 0xFF)}, 0, J1939Failure::AbortedByPeer, 0, 1},
        {"CTS beyond the message", true, {cm(kB, kA, 17, 1, 16, 0xFF)}, 250, Protocol},
        {"retransmit requests", true, {retransmit, retransmit, retransmit, retransmit}, 5, Protocol},
        {"bad sequence", false, {rts3, tp(false, kB, kA, {2, 0, 0, 0, 0, 0, 0, 0})}, 7, Protocol},
        {"duplicate sequence", false, {rts3, dt1, dt1}, 8, Protocol},
        {"RTS with a wrong count", false, {cm(kB, kA, 16, 20, 0, 4)}, 250, J1939Failure::None},
        {"RTS to another node", false, {cm(kB, 0x30, 16, 20, 0, 3)}, 0, J1939Failure::None},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        J1939Transport t;
        t.addLocalAddress(kA);
        const int ticket = c.sending ? t.send(message(kA, kB, 100), 0) : 0;
        take(t);
        for (const CanFrame& f : c.script)
            t.receive(f, 100);
        if (c.deadline) {
            take(t);
            EXPECT_EQ(t.nextDeadline(), c.deadline);
            t.poll(c.deadline - 1);
            EXPECT_FALSE(t.hasOutput());
            t.poll(c.deadline);
        }
        const auto o = take(t);
        const bool aborted = !o.frames.empty() && o.frames.back().data[0] == 0xFF;
        EXPECT_EQ(aborted ? o.frames.back().data[1] : 0, c.abortReason);
        EXPECT_TRUE(!aborted || j1939DecodeId(o.frames.back().id).destination == kB);
        ASSERT_EQ(o.events.size(), c.failure == J1939Failure::None ? 0u : 1u);
        for (const J1939TpEvent& e : o.events) {
            EXPECT_TRUE(e.kind == Kind::Failed && e.failure == c.failure && e.ticket == ticket);
            EXPECT_TRUE(e.incoming == !c.sending && e.abortReason == (c.peerReason ? c.peerReason : c.abortReason));
        }
        EXPECT_TRUE(t.openSessions() == 0 && t.nextDeadline() == -1);
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
        const auto o = take(t);
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
            const int n = e.message.data.size();
            EXPECT_TRUE(e.kind != Kind::Received || e.message.data == pattern(n, n)) << n;
        }
        EXPECT_EQ(p.a.openSessions() + p.b.openSessions(), 0);
    }
    EXPECT_GT(outcomes[int(Kind::Sent)], 100);
    EXPECT_GT(outcomes[int(Kind::Failed)], 10);
}

// ---- address claim ----

constexpr quint8 kAddress = 0x80;
constexpr quint64 kName = 0x8000'0000'0012'3456ull;
using State = J1939AddressClaim::State;

CanFrame claimFrame(quint8 source, quint64 name, int length = 8)
{
    quint8 b[8];
    for (int i = 0; i < 8; ++i)
        b[i] = quint8(name >> (8 * i));
    return CanFrame::make(j1939EncodeId({6, 60928, source, kJ1939Global}), true, b, length);
}
CanFrame request(quint8 destination, quint32 pgn = 60928, int length = 3)
{
    const quint8 b[3] = {quint8(pgn), quint8(pgn >> 8), quint8(pgn >> 16)};
    return CanFrame::make(j1939EncodeId({6, 59904, 0x00, destination}), true, b, length);
}

// Another node claims our address while we claim or after we hold it, and we keep it
// (losing it is checked through the adapter, in transport_e2e_test.cpp).
TEST(J1939AddressClaim, TheLowerNameKeepsTheAddress)
{
    const struct {
        bool claimedBefore;
        quint64 theirs;
        quint8 theirAddress;
        State after;
        std::vector<quint8> sources;  // of the claims we send in answer
    } cases[] = {
        {false, kName + 1, kAddress, State::Claiming, {kAddress}},
        {true, kName + 1, kAddress, State::Claimed, {kAddress}},
        {true, kName - 1, 0x81, State::Claimed, {}},  // another address
        {true, kName, kAddress, State::Claimed, {}},  // our own echo
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.claimedBefore << ' ' << std::hex << c.theirs);
        J1939AddressClaim ac;
        EXPECT_FALSE(ac.claim(kName, kJ1939Null, 0));
        ASSERT_TRUE(ac.claim(kName, kAddress, 0));
        auto o = take(ac);
        ASSERT_EQ(o.frames.size(), 1u);
        EXPECT_TRUE(o.frames[0].id == 0x18EEFF80u && o.frames[0].sameContent(claimFrame(kAddress, kName)));
        ac.poll(c.claimedBefore ? 250 : 100);
        EXPECT_EQ(take(ac).events.size(), c.claimedBefore ? 1u : 0u);  // Claimed, 250 ms after the claim
        ac.receive(claimFrame(c.theirAddress, c.theirs), 200);
        o = take(ac);
        EXPECT_EQ(ac.state(), c.after);
        ASSERT_EQ(o.frames.size(), c.sources.size());
        for (size_t i = 0; i < o.frames.size(); ++i)
            EXPECT_TRUE(o.frames[i].sameContent(claimFrame(c.sources[i], kName)));
        EXPECT_TRUE(o.events.empty());
        if (c.after == State::Claiming) {  // the winner waits the full time from its new claim
            ac.poll(449);
            EXPECT_EQ(ac.state(), State::Claiming);
            ac.poll(450);
            EXPECT_EQ(ac.state(), State::Claimed);
        }
    }
}

TEST(J1939AddressClaim, AnswersRequestsForAddressClaimed)
{
    const std::pair<CanFrame, bool> cases[] = {  // the frame, whether answered
        {request(kJ1939Global), true},         {request(kAddress), true},           {request(0x81), false},
        {request(kJ1939Global, 65260), false}, {request(kJ1939Global, 60928, 2), false},
        {claimFrame(0x81, 1, 7), false},
    };
    for (const auto& [frame, answered] : cases) {
        J1939AddressClaim ac;
        ac.claim(kName, kAddress, 0);
        ac.poll(250);
        take(ac);
        ac.receive(frame, 300);
        const auto o = take(ac);
        ASSERT_EQ(o.frames.size(), answered ? 1u : 0u);
        EXPECT_TRUE(!answered || o.frames[0].sameContent(claimFrame(kAddress, kName)));
        EXPECT_EQ(ac.state(), State::Claimed);
    }

    // Without an address: Cannot Claim, after the NAME's own delay of at most 153 ms.
    J1939AddressClaim ac;
    ac.claim(kName, kAddress, 0);
    ac.receive(claimFrame(kAddress, 1), 10);
    take(ac);
    ac.receive(request(kAddress), 20);
    EXPECT_EQ(ac.nextDeadline(), -1);
    ac.receive(request(kJ1939Global), 20);
    const qint64 due = ac.nextDeadline();
    ASSERT_TRUE(due >= 20 && due <= 20 + J1939AddressClaim::kMaxCannotClaimDelayMs) << due;
    ac.poll(due - 1);
    EXPECT_TRUE(take(ac).frames.empty());
    ac.poll(due);
    const auto o = take(ac);
    ASSERT_EQ(o.frames.size(), 1u);
    EXPECT_TRUE(o.frames[0].sameContent(claimFrame(kJ1939Null, kName)));
}

}  // namespace
