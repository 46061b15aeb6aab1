// J1939-81 address claim: the claim and its 250 ms wait, contention decided by NAME,
// answers to requests, and frames that must be ignored.
#include "adapter/j1939_address_claim.h"

#include <gtest/gtest.h>

using namespace rp1210core::adapter;
using rp1210core::bus::CanFrame;
using State = J1939AddressClaim::State;

namespace {

constexpr quint8 kAddress = 0x80;
constexpr quint64 kName = 0x8000'0000'0012'3456ull;

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

struct Out {
    std::vector<CanFrame> frames;
    std::vector<J1939ClaimEvent> events;
};
Out take(J1939AddressClaim& c)
{
    Out o;
    c.take(o.frames, o.events);
    return o;
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
        {true, kName - 1, 0x81, State::Claimed, {}},   // another address
        {true, kName, kAddress, State::Claimed, {}},   // our own echo
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.claimedBefore << ' ' << std::hex << c.theirs);
        J1939AddressClaim ac;
        EXPECT_FALSE(ac.claim(kName, kJ1939Null, 0));
        ASSERT_TRUE(ac.claim(kName, kAddress, 0));
        Out o = take(ac);
        ASSERT_EQ(o.frames.size(), 1u);
        EXPECT_EQ(o.frames[0].id, 0x18EEFF80u);
        EXPECT_TRUE(o.frames[0].sameContent(claimFrame(kAddress, kName)));
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
    const struct {
        CanFrame frame;
        bool answered;
    } cases[] = {
        {request(kJ1939Global), true},      {request(kAddress), true},        {request(0x81), false},
        {request(kJ1939Global, 65260), false}, {request(kJ1939Global, 60928, 2), false},
        {claimFrame(0x81, 1, 7), false},
    };
    for (const auto& c : cases) {
        J1939AddressClaim ac;
        ac.claim(kName, kAddress, 0);
        ac.poll(250);
        take(ac);
        ac.receive(c.frame, 300);
        const Out o = take(ac);
        ASSERT_EQ(o.frames.size(), c.answered ? 1u : 0u);
        if (c.answered) {
            EXPECT_TRUE(o.frames[0].sameContent(claimFrame(kAddress, kName)));
        }
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
    ASSERT_GE(due, 20);
    ASSERT_LE(due, 20 + J1939AddressClaim::kMaxCannotClaimDelayMs);
    ac.poll(due - 1);
    EXPECT_TRUE(take(ac).frames.empty());
    ac.poll(due);
    const Out o = take(ac);
    ASSERT_EQ(o.frames.size(), 1u);
    EXPECT_TRUE(o.frames[0].sameContent(claimFrame(kJ1939Null, kName)));
}

}  // namespace
