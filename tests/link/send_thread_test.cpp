// Send loop: flow control, hold-back, sent frames, segmentation, removal, thread control
// and write failures.
#include "support/fake_clock.h"
#include "support/io_rig.h"

#include <gtest/gtest.h>

#include <future>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {
quint8 counterOf(const QByteArray& frame) { return quint8(frame.at(4)); }
}  // namespace

TEST(FlowControl, EachCounterHoldsBackAtItsLimitAndMessagesAreRemembered)
{
    const struct {
        int protocolo;
        enum_VersionVCI generation;
        int counter, limit;  // limit 0: never held back nor counted
        bool remembered;
    } rows[] = {
        {PROTOCOLO_KWP2000, VCI_J, 0, 3, true}, {PROTOCOLO_ISO15765, VCI_J, 1, 1, true},
        {PROTOCOLO_J1939, VCI_J, 2, 2, true},   {PROTOCOLO_J1708, VCI_K, 3, 10, true},
        {PROTOCOLO_RS232, VCI_J, 4, 1, true},   {PROTOCOLO_J1850, VCI_J, 5, 1, true},
        {PROTOCOLO_TP20, VCI_J, 6, 1, true},    {PROTOCOLO_J2610, VCI_J, 7, 3, true},
        {PROTOCOLO_GM_ALDL, VCI_J, 8, 1, true}, {PROTOCOLO_CAN, VCI_K, 0, 0, true},
        {34, VCI_J, 0, 0, true},                {PROTOCOLO_J1708, VCI_J, 0, 0, false},  // J1708 and CAT counted
        {PROTOCOLO_CAT, VCI_K1, 0, 0, true},                                           // on segmenting generations only
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << "protocol " << row.protocolo << " generation " << row.generation);
        IoRig rig;
        rig.selectGeneration(row.generation);
        const int n = row.limit ? row.limit : 12;
        rig.queue(row.protocolo, n + 1);
        for (int i = 0; i < n; ++i)
            ASSERT_EQ(rig.io.enviarMSG(), 0);
        if (row.limit) {
            EXPECT_EQ(rig.io.inFlight(row.counter), row.limit);
            EXPECT_EQ(rig.io.enviarMSG(), 1);  // held back, stays at the head
            EXPECT_EQ(rig.io.enviarMSG(), 1);
            EXPECT_EQ(rig.link.frameCount(), n);
            rig.io.decreaseSendProtocolBuffer(row.protocolo);  // an answer arrived
        }
        EXPECT_EQ(rig.io.enviarMSG(), 0);
        EXPECT_EQ(rig.link.frameCount(), n + 1);
        EXPECT_EQ(rig.io.sentFramesCount(), row.remembered ? n + 1 : 0);
        for (int c = 0; c < Gestor_IO::kInFlightCounters; ++c)
            EXPECT_EQ(rig.io.inFlight(c), c == row.counter ? row.limit : 0);
    }
}

TEST(FlowControl, KLinesShareACounterThatNeverGoesBelowZeroAndAHeldHeadBlocksTheQueue)
{
    IoRig rig;
    rig.io.decreaseSendProtocolBuffer(-1);
    rig.io.decreaseSendProtocolBuffer(PROTOCOLO_KWP2000);
    EXPECT_EQ(rig.io.inFlight(0), 0);

    rig.queue(PROTOCOLO_KWP2000, 2);
    rig.queue(PROTOCOLO_ISO9141_2, 2);
    rig.io.GenerarTrama_GetHardwareStatus(3);
    rig.drain(3);
    EXPECT_EQ(rig.io.enviarMSG(), 1);
    EXPECT_EQ(rig.link.frameCount(), 3);
    rig.io.decreaseSendProtocolBuffer(PROTOCOLO_ISO9141_2);
    rig.drain();
    const QList<QByteArray> frames = rig.link.frames();
    ASSERT_EQ(frames.size(), 5);
    EXPECT_EQ(counterOf(frames[3]), 4);  // the held message, then the request behind it
    EXPECT_EQ(toHex(frames[4]), "04 06 03");
    EXPECT_EQ(rig.io.sentFramesCount(), 4);  // only messages are remembered, under their counter
    EXPECT_TRUE(rig.io.hasSentFrame(4));
}

// On the injected clock: a head held more than 1500 ms frees one slot, or forgets the
// frame remembered under its counter, and its time is its own.
TEST(FlowControl, HoldBackOf1500MsFreesASlotOrACounterForTheHeldRequestOnly)
{
    FakeClock clock;  // outlives the rigs
    // 255 CAN frames use every counter; the 256th waits for counter 1's answer, the 257th
    // for counter 2's, which never comes.
    IoRig counters;
    counters.io.setClock(&clock);
    counters.queue(PROTOCOLO_CAN, 257);
    counters.drain(300);
    ASSERT_EQ(counters.link.frameCount(), 255);
    EXPECT_EQ(counters.io.enviarMSG(), 1);
    counters.dispatch(hex("0404 01 00 01 00000000 0000"));
    EXPECT_EQ(counters.io.enviarMSG(), 0);
    EXPECT_EQ(counters.io.enviarMSG(), 1);
    clock.advanceMillis(1501);
    EXPECT_EQ(counters.io.enviarMSG(), 0);  // counter 2 is forgotten
    const QList<QByteArray> frames = counters.link.frames();
    ASSERT_EQ(frames.size(), 257);
    EXPECT_EQ(counterOf(frames[255]), 1);
    EXPECT_EQ(counterOf(frames[256]), 2);
    EXPECT_EQ(counters.io.sentFramesCount(), 255);

    // K-line: a head held more than 1500 ms and then removed does not pass its time on.
    IoRig kline;
    kline.io.setClock(&clock);
    kline.queue(PROTOCOLO_KWP2000, 3, 4, 1);
    kline.drain(3);
    kline.queue(PROTOCOLO_KWP2000, 1, 4, 5);
    ASSERT_EQ(kline.io.enviarMSG(), 1);
    clock.advanceMillis(1501);
    kline.io.removeClientMessages(5);
    kline.queue(PROTOCOLO_KWP2000, 1, 4, 6);
    EXPECT_EQ(kline.io.enviarMSG(), 1);
    EXPECT_EQ(kline.io.enviarMSG(), 1);
    clock.advanceMillis(1500);  // its own 1500 ms are not more than 1500 ms
    EXPECT_EQ(kline.io.enviarMSG(), 1);
    EXPECT_EQ(kline.io.inFlight(0), 3);
    clock.advanceMillis(1);
    EXPECT_EQ(kline.io.enviarMSG(), 1);  // one slot freed
    EXPECT_EQ(kline.io.enviarMSG(), 0);
    EXPECT_EQ(kline.link.frameCount(), 4);
}

TEST(Segmentation, LongFramesAreCutOnSegmentingGenerationsOnly)
{
    struct Row {
        int dataBytes;
        enum_VersionVCI generation;
        std::vector<int> payloads;  // of the segments in order; empty: sent whole
    };
    std::vector<int> longest{439};  // 16 segments, the most a sequence byte numbers
    longest.resize(16, 441);
    const Row rows[] = {{443, VCI_K, {}},           {444, VCI_K, {439, 5}},        {880, VCI_E, {439, 441}},
                        {881, VCI_A, {439, 441, 1}}, {993, VCI_J, {}},             {993, VCI_K1, {}},
                        {7054, VCI_K, longest}};
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.dataBytes << " bytes, generation " << row.generation);
        IoRig rig;
        rig.selectGeneration(row.generation);
        const QByteArray data = pattern(row.dataBytes);
        rig.io.GenerarTrama_EnviarMensaje(0x05, PROTOCOLO_J1939, true, data, 0xFF);
        EXPECT_EQ(rig.io.enviarMSG(), 0);
        ASSERT_EQ(rig.link.frameCount(), 1);  // one frame per pass
        rig.drain();
        const QList<QByteArray> frames = rig.link.frames();
        const QByteArray length = QByteArray(1, char(row.dataBytes >> 8)) + char(row.dataBytes);
        if (row.payloads.empty()) {
            ASSERT_EQ(frames.size(), 1);
            EXPECT_EQ(frames[0], hex("04 04 15 10 01") + length + data);
            continue;
        }
        ASSERT_EQ(frames.size(), int(row.payloads.size()));
        QByteArray gathered;
        for (int i = 0; i < frames.size(); ++i) {
            // The head, 00, the sequence byte (last index, index), the whole length in the
            // first segment only, then this segment's payload length.
            const QByteArray& s = frames[i];
            const int header = i == 0 ? 11 : 9, payload = row.payloads[size_t(i)];
            ASSERT_EQ(s.size(), header + payload) << "segment " << i;
            EXPECT_EQ(toHex(s.left(7)), toHex(hex("04 d2 15 10 01 00") + char(((frames.size() - 1) << 4) | i)));
            EXPECT_EQ(s.mid(7, header - 9), i == 0 ? length : QByteArray());
            EXPECT_EQ((quint8(s.at(header - 2)) << 8) | quint8(s.at(header - 1)), payload);
            gathered += s.mid(header);
        }
        EXPECT_EQ(gathered, data);
        // The whole frame, not a segment, is remembered, and counted once in flight.
        EXPECT_TRUE(rig.io.hasSentFrame(1));
        EXPECT_EQ(rig.io.sentFramesCount(), 1);
        EXPECT_EQ(rig.io.inFlight(2), 1);
    }
}

TEST(Segmentation, SegmentsGoFirstAndAFrameBeyondSixteenSegmentsIsDropped)
{
    IoRig rig;
    rig.selectGeneration(VCI_K);
    rig.io.GenerarTrama_EnviarMensaje(1, PROTOCOLO_CAN, false, pattern(993), 0xFF);
    rig.io.GenerarTrama_GetHardwareStatus(4);
    rig.io.GenerarTrama_EnviarMensaje(1, PROTOCOLO_J1939, false, pattern(7055), 0xFF);
    rig.io.GenerarTrama_EnviarMensaje(1, PROTOCOLO_CAN, false, pattern(3), 0xFF);
    rig.drain();
    const QList<QByteArray> f = rig.link.frames();
    ASSERT_EQ(f.size(), 5);
    const char* heads[] = {"04 d2 01 02 01 00 20", "04 d2 01 02 01 00 21", "04 d2 01 02 01 00 22", "04 06 04",
                           "04 04 01 02 03"};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(toHex(f[i].left(hex(heads[i]).size())), heads[i]);
    EXPECT_EQ(rig.io.inFlight(2), 0);  // the dropped J1939 frame took no slot and is not remembered
    EXPECT_FALSE(rig.io.hasSentFrame(2));
}

TEST(OutputList, RemoveOperationsTakeOnlyTheirRequests)
{
    IoRig rig;
    rig.io.GenerarTrama_EnviarMensaje(5, PROTOCOLO_CAN, false, hex("01"), 3);  // removed by id (3, 5)
    rig.io.GenerarTrama_GetHardwareStatus(5);                                  // client 5, not a broadcast
    rig.io.GenerarTrama_EnviarMensaje(6, PROTOCOLO_CAN, false, hex("02"), 3);
    rig.io.GenerarTrama_EnviarMensaje(5, PROTOCOLO_CAN, false, hex("04"), 4);
    rig.io.GenerarTrama_ResetearTravoneLink();
    rig.io.removeBroadcastMsgByID(3, 5);
    EXPECT_EQ(rig.io.outputListSize(), 4);
    rig.io.removeAllBroadcastMsgs();
    rig.drain();
    ASSERT_EQ(rig.link.frameCount(), 2);
    EXPECT_EQ(toHex(rig.link.frames()[0]), "04 06 05");
    EXPECT_EQ(toHex(rig.link.frames()[1]), "04 07");

    rig.io.GenerarTrama_GetHardwareStatus(5);
    rig.io.GenerarTrama_GetHardwareStatus(7);
    rig.io.GenerarTrama_EnviarMensaje(5, PROTOCOLO_CAN, false, hex("05"), 0xFF);
    rig.io.removeClientMessages(5);
    EXPECT_EQ(rig.io.outputListSize(), 1);
    rig.io.removeAllOutputMessages();
    EXPECT_EQ(rig.io.outputListSize(), 0);
    EXPECT_EQ(rig.io.enviarMSG(), 0);  // an empty list is harmless
    EXPECT_EQ(rig.link.frameCount(), 2);
    rig.selectGeneration(VCI_K);  // the segments waiting keep the request's ids
    rig.io.GenerarTrama_EnviarMensaje(5, PROTOCOLO_CAN, false, pattern(993), 3);
    rig.io.enviarMSG();
    rig.io.removeBroadcastMsgByID(3, 5);
    EXPECT_EQ(rig.io.outputListSize(), 0);
}

// A request, the injected clock or a removal wakes the sleeping loop.
TEST(SendThread, LoopIsWokenByARequestTheClockAndARemoval)
{
    FakeClock clock;  // outlives the send thread
    IoRig rig(true);
    rig.io.setClock(&clock);
    clock.onMove([&] { rig.io.wakeSendThread(); });
    ASSERT_TRUE(waitUntil([&] { return rig.io.sendLoopPasses() >= 2; }));  // idle now
    rig.io.GenerarTrama_GetHardwareStatus(1);
    ASSERT_TRUE(rig.link.waitForFrames(1, 1000ms));
    rig.link.clearFrames();

    rig.queue(PROTOCOLO_KWP2000, 4);
    ASSERT_TRUE(waitUntil([&] { return rig.link.frameCount() == 3 && rig.io.outputListSize() == 1; }));
    // The thread may take the hold-back's start only after a move: move on until the head
    // goes, each time well before 1500 real ms.
    ASSERT_TRUE(waitUntil([&] {
        clock.advanceMillis(1501);
        return rig.link.waitForFrames(4, 50ms);
    }));
    EXPECT_EQ(rig.io.inFlight(0), 3);

    // A removed held head wakes the loop for the one behind it; removed counts do no harm.
    rig.queue(PROTOCOLO_KWP2000, 2, 4, 1);
    rig.io.GenerarTrama_EnviarMensaje(2, PROTOCOLO_CAN, false, hex("ca"), 0xFF);
    rig.io.removeClientMessages(1);
    ASSERT_TRUE(rig.link.waitForFrames(5, 1000ms));
    rig.io.GenerarTrama_GetHardwareStatus(2);
    ASSERT_TRUE(rig.link.waitForFrames(6));
    EXPECT_EQ(quint8(rig.link.frames()[4].at(3)), PROTOCOLO_CAN);
    EXPECT_EQ(toHex(rig.link.frames()[5]), "04 06 02");
    EXPECT_FALSE(rig.link.waitForFrames(7, 20ms));
}

// A restart while running keeps queue, counter, slots and sent frames but changes the
// segmenting; on the real clock a held head frees a slot by itself after 1500 ms; a stop
// keeps the state without waiting for a held head; a fresh start empties it.
TEST(SendThread, RestartKeepsStateStopKeepsItAndAFreshStartEmptiesIt)
{
    IoRig rig(true);
    rig.queue(PROTOCOLO_KWP2000, 4);
    ASSERT_TRUE(waitUntil([&] { return rig.io.inFlight(0) == 3 && rig.link.frameCount() == 3; }));
    rig.io.ArrancarHiloEnvio(VCI_K, 0);
    EXPECT_TRUE(rig.io.getRunning());
    EXPECT_EQ(rig.io.getContIdMsgs() * 1000 + rig.io.inFlight(0) * 100 + rig.io.outputListSize() * 10 +
                  rig.io.sentFramesCount(), 5313);
    ASSERT_TRUE(rig.link.waitForFrames(4, 8000ms));
    EXPECT_GE(rig.link.writes()[3].at - rig.link.writes()[2].at, 1500ms);
    rig.queue(PROTOCOLO_KWP2000, 1);
    rig.io.decreaseSendProtocolBuffer(PROTOCOLO_KWP2000);  // an answer wakes the held-back loop
    ASSERT_TRUE(rig.link.waitForFrames(5, 1000ms));
    rig.io.GenerarTrama_EnviarMensaje(1, PROTOCOLO_CAN, false, pattern(993), 0xFF);
    ASSERT_TRUE(rig.link.waitForFrames(8));
    EXPECT_EQ(toHex(rig.link.frames()[7].left(7)), "04 d2 01 02 06 00 22");

    rig.queue(PROTOCOLO_KWP2000, 1);
    ASSERT_TRUE(waitUntil([&] { return rig.io.outputListSize() == 1; }));
    const auto start = Clock::now();
    EXPECT_TRUE(rig.io.pararHiloEnvio());
    EXPECT_LT(Clock::now() - start, 1000ms);  // a held-back head does not delay the stop
    EXPECT_FALSE(rig.io.pararHiloEnvio());
    EXPECT_EQ(rig.io.outputListSize() * 10 + rig.io.sentFramesCount(), 16);
    rig.io.ArrancarHiloEnvio(VCI_J, 0);
    EXPECT_EQ(rig.io.outputListSize() + rig.io.sentFramesCount() + rig.io.inFlight(0), 0);
    rig.queue(PROTOCOLO_J1939, 1);
    ASSERT_TRUE(rig.link.waitForFrames(9));
    EXPECT_EQ(counterOf(rig.link.frames()[8]), 1);
}

// A failed write sets link error 142 and is not retried; a stop waits for a blocked write;
// the destructor joins the thread.
TEST(SendThread, FailedAndBlockedWrites)
{
    IoRig rig;
    rig.link.setFailWrites(true);
    rig.io.ArrancarHiloEnvio(VCI_J, 0);
    rig.io.GenerarTrama_EnviarMensaje(1, PROTOCOLO_CAN, false, hex("01"), 0xFF);
    ASSERT_TRUE(waitUntil([&] { return rig.g.getLinkError() == 142; }));
    rig.link.setFailWrites(false);
    rig.link.holdWrites(true);
    rig.io.GenerarTrama_GetHardwareStatus(1);
    ASSERT_TRUE(rig.link.waitForHeldWriter());
    EXPECT_EQ(rig.link.failedWrites(), 1);
    EXPECT_TRUE(rig.io.hasSentFrame(1));  // stays until an answer or a restart
    auto stopped = std::async(std::launch::async, [&] { return rig.io.pararHiloEnvio(); });
    EXPECT_EQ(stopped.wait_for(20ms), std::future_status::timeout);  // the write is still going on
    rig.link.holdWrites(false);
    ASSERT_EQ(stopped.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(stopped.get());
    EXPECT_EQ(rig.link.frames(), QList<QByteArray>{hex("04 06 01")});

    FakeProxyLink link;
    {
        Gestor_IO io;
        io.setIProxyLink(&link);
        io.setGestorRP1210(&rig.g);
        io.ArrancarHiloEnvio(VCI_K, 0);
        io.GenerarTrama_GetHardwareStatus(1);
        ASSERT_TRUE(link.waitForFrames(1));
    }  // a joinable std::thread left behind would terminate the process here
}
