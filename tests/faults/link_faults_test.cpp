// Faults between the core and the adapter: a transport that fails its writes, an adapter
// that goes silent mid-command and answers late or for nobody, segmented messages that
// never finish, and a receive ring that fills. Each fault is bounded by its time limit
// (on the injected clock), loses nothing acknowledged, and ends with the driver working.
#include "rp1210/wire_rig.h"

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace {

const QByteArray kJ1939 = hex("00ef00 06 f9 00 aa bb"), kCan = hex("00 0123 01 02");

struct LinkFaults : ::testing::Test, WireRig {
    // A client with every filter open: its id, or the code.
    short open(const char* connectString, qint32 rxBytes = 0)
    {
        const short id = g.RP1210_ClientConnect(0, 1, connectString, 0, rxBytes, 0);
        return id >= 1 && id <= 16 && cmd(3, id, "") != 0 ? -1 : id;
    }
    short send(short id, const QByteArray& m) { return g.RP1210_SendMessage(id, m.constData(), short(m.size()), 0, 0); }
    short read(short id, short block)
    {
        char buffer[512];
        return g.RP1210_ReadMessage(id, buffer, sizeof buffer, block);
    }
    // The next message in hex after its timestamp, or the code when none.
    std::string next(short id)
    {
        char buffer[512];
        const short n = g.RP1210_ReadMessage(id, buffer, sizeof buffer, 0);
        return n > 4 ? toHex(QByteArray(buffer + 4, n - 4)) : std::to_string(n);
    }
    int received(short id) { return g.getCliente(quint8(id))->receivedCount(); }
    // A code-5 frame for the CAN client, after everything delivered before it.
    void deliverAndWait(short canClient, const QByteArray& m)
    {
        const int before = received(canClient);
        link.deliver(receivedFrame(PROTOCOLO_CAN, m));
        ASSERT_TRUE(waitUntil([&] { return received(canClient) == before + 1; }));
    }
};

TEST_F(LinkFaults, AFailedTransportGives142UntilAConnectHandshakeSucceedsAndKeepsWhatWasAcknowledged)
{
    ASSERT_EQ(connect("J1939"), 1);
    ASSERT_EQ(connect("CAN"), 2);
    ASSERT_EQ(cmd(16, 1, "01"), 0);
    ASSERT_EQ(send(1, kJ1939), 0);
    ASSERT_TRUE(waitUntil([&] { return received(1) == 1; }));  // confirmed: its echo waits
    link.setFailWrites(true);
    ASSERT_EQ(send(2, kCan), 0);  // queued; the write fails behind the call
    ASSERT_TRUE(waitUntil([&] { return g.getLinkError() == 142; }));

    const auto calls = [&] {
        return std::vector<int>{send(1, kJ1939), send(2, kCan), read(1, 0), read(1, 1), cmd(16, 2, "01")};
    };
    const std::vector<int> failed{142, 142, -142, -142, 142};
    EXPECT_EQ(calls(), failed);
    // A connect that needs the adapter waits out its limit of 8 seconds, and no more.
    const auto [rc, moved] = runWhileClockMoves([&] { return connect("J1708"); });
    EXPECT_EQ(rc, 142);
    EXPECT_TRUE(moved >= 8 && moved < 8 + 60) << moved;

    link.setFailWrites(false);
    EXPECT_EQ(calls(), failed);  // the fault is over, but nothing has proved it yet
    ASSERT_EQ(connect("J1939"), 3);  // a protocol the adapter carries: no handshake
    EXPECT_EQ(g.getLinkError(), 142);
    ASSERT_EQ(connect("J1708"), 4);
    EXPECT_EQ(g.getLinkError(), 0);
    EXPECT_EQ(next(1), "01 " + toHex(kJ1939));  // acknowledged before the fault: still there
    ASSERT_EQ(send(1, kJ1939), 0);
    ASSERT_TRUE(waitUntil([&] { return received(1) == 1; }));
    EXPECT_EQ(next(1), "01 " + toHex(kJ1939));
    EXPECT_EQ(next(1), "0");
}

TEST_F(LinkFaults, AnAdapterSilentMidCommandEndsItAtItsLimitAndLateOrStrayAnswersChangeNothing)
{
    ASSERT_EQ(open("J1939"), 1);
    ASSERT_EQ(open("CAN"), 2);
    ASSERT_EQ(cmd(16, 2, "01"), 0);
    silence(SERV_J1939_INTERPACKET_TIME);
    const auto [rc, moved] = runWhileClockMoves([&] { return cmd(27, 1, "0a000000"); });
    EXPECT_EQ(rc, 142);
    EXPECT_TRUE(moved >= 3 && moved < 3 + 60) << moved;
    // The adapter speaks again: the late answer, then answers for clients that do not
    // exist or have no such request, a confirmation of a counter never used, a message
    // of a protocol nobody listens to.
    for (const char* stray : {"04 14 01 10 00", "04 02 09 00 07", "04 03 0c 00", "04 04 02 00 77 0a0b0c0d 0000",
                              "04 05 0a 00 06 0a0b0c0d aabb", "04 0d 11 00 01 00000001 00000001 0000002a",
                              "04 06 00 a0a1a2a3a4a5a6a7", "04 08 05 00 f9", "04 09 0b 00", "04 ff 01 00"})
        link.deliver(hex(stray));
    deliverAndWait(2, kCan);
    EXPECT_EQ(std::make_pair(received(1), received(2)), std::make_pair(0, 1));
    EXPECT_EQ(next(2), "00 " + toHex(kCan));
    reply(SERV_J1939_INTERPACKET_TIME, "04 14 01 10 00");
    EXPECT_EQ(withoutWait([&] { return cmd(27, 1, "0a000000"); }), 0);
    ASSERT_EQ(send(2, kCan), 0);
    ASSERT_TRUE(waitUntil([&] { return received(2) == 1; }));
    EXPECT_EQ(next(2), "01 " + toHex(kCan));  // echoed once
    EXPECT_EQ(next(2), "0");
}

// Received segments of protocol J1939 (16) under `key`: the first carries the total.
QByteArray segment(quint8 key, quint8 sequence, int total, const QByteArray& data)
{
    return hex("04 D3 10") + char(key) + char(sequence) + char(total >> 8) + char(total & 0xFF) + LinkRig::timestamp() +
           ((sequence & 0x0F) == 0 ? hex("00 00") : QByteArray()) + data;
}

TEST_F(LinkFaults, SegmentsOutOfOrderOrNeverFinishedHoldNothingBackAndDieWithTheLink)
{
    ASSERT_EQ(open("J1939"), 1);
    ASSERT_EQ(open("CAN"), 2);
    const QByteArray data = pattern(306);  // 300 announced, six more for J1939's header
    for (quint8 key = 0; key < 255; ++key)  // every key but one left unfinished
        link.deliver(segment(key, 0x20, 300, data.left(100)));
    link.deliver(segment(5, 0x22, 0, data.mid(200)));  // out of order: waits for index 1
    link.deliver(segment(255, 0x00, 10, pattern(16)));
    deliverAndWait(2, kCan);
    EXPECT_EQ(next(1), toHex(pattern(16)));
    EXPECT_EQ(next(1), "0");
    // The link closes with the last client; what it had half-built goes with it.
    ASSERT_EQ(g.RP1210_ClientDisconnect(1) + g.RP1210_ClientDisconnect(2), 0);
    ASSERT_EQ(open("J1939"), 1);
    ASSERT_EQ(open("CAN"), 2);
    link.deliver(segment(5, 0x21, 0, data.mid(100, 100)));
    link.deliver(segment(5, 0x22, 0, data.mid(200)));
    deliverAndWait(2, kCan);
    EXPECT_EQ(received(1), 0);
    link.deliver(segment(5, 0x20, 300, data.left(100)));
    link.deliver(segment(5, 0x21, 0, data.mid(100, 100)));
    link.deliver(segment(5, 0x22, 0, data.mid(200)));
    ASSERT_TRUE(waitUntil([&] { return received(1) == 1; }));
    EXPECT_EQ(next(1), toHex(data));
}

// While the dispatch is stalled the adapter fills the ring and blocks in storeMsg; the
// applications' calls still end within their limits, and every frame arrives in order.
TEST_F(LinkFaults, AFullReceiveRingBlocksTheAdapterNotTheApplicationsAndLosesNothing)
{
    std::mutex m;
    std::condition_variable cv;
    bool stalled = false;
    in.setDispatchHook([&](QByteArray& f) {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return !stalled; });
        lock.unlock();
        io.switchApplication(f);
    });
    const auto stall = [&](bool s) {
        std::lock_guard<std::mutex> lock(m);
        stalled = s;
        cv.notify_all();
    };
    ASSERT_EQ(open("CAN", 1 << 20), 1);
    ASSERT_EQ(open("J1939"), 2);
    stall(true);
    const int total = GestorInput::kSlots + 100;
    const auto numbered = [](int i) { return hex("00 0123") + char(i >> 8) + char(i & 0xFF); };
    for (int i = 0; i < total; ++i)
        link.deliver(receivedFrame(PROTOCOLO_CAN, numbered(i)));
    ASSERT_TRUE(waitUntil([&] { return in.freeSlots() == 0; }));
    EXPECT_FALSE(link.waitUntilIdle(std::chrono::milliseconds(20)));  // the adapter's thread is blocked

    reply(SERV_J1939_INTERPACKET_TIME, "04 14 02 10 00");  // answered, but the answer is stuck behind the ring
    EXPECT_EQ(read(1, 0), 0);
    EXPECT_EQ(send(2, kJ1939), 0);
    const auto [rc, moved] = runWhileClockMoves([&] { return cmd(27, 2, "0a000000"); });
    EXPECT_EQ(rc, 142);
    EXPECT_TRUE(moved >= 3 && moved < 3 + 60) << moved;

    stall(false);
    ASSERT_TRUE(waitUntil([&] { return received(1) == total; }));
    for (int i = 0; i < total; ++i)
        ASSERT_EQ(next(1), toHex(numbered(i))) << i;
    EXPECT_EQ(withoutWait([&] { return cmd(27, 2, "0a000000"); }), 0);
}

}  // namespace
