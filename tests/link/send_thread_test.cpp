// Send loop: flow control, hold-back, sent frames, segmentation, removal, thread control,
// write failures, and a latency and throughput measurement.
#include "support/fake_clock.h"
#include "support/io_rig.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <future>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {
quint8 counterOf(const QByteArray& frame) { return quint8(frame.at(4)); }
}  // namespace

TEST(FlowControl, EachProtocolHoldsBackAtItsLimitUntilASlotIsFreed)
{
    const struct {
        int protocolo;
        enum_VersionVCI generation;
        int counter, limit;
    } rows[] = {
        {PROTOCOLO_KWP2000, VCI_J, 0, 3},      {PROTOCOLO_JED677, VCI_J, 0, 3},       {PROTOCOLO_ISO9141, VCI_J, 0, 3},
        {PROTOCOLO_ISO9141_RAW, VCI_J, 0, 3},  {PROTOCOLO_ISO9141_KB91, VCI_J, 0, 3}, {PROTOCOLO_GM_KLINE, VCI_J, 0, 3},
        {PROTOCOLO_ISO9141_VMAC, VCI_J, 0, 3}, {PROTOCOLO_ISO15765, VCI_J, 1, 1},     {PROTOCOLO_ISO15765_ALT, VCI_J, 1, 1},
        {PROTOCOLO_J1939, VCI_J, 2, 2},        {PROTOCOLO_J1708, VCI_K, 3, 10},       {PROTOCOLO_CAT, VCI_A, 3, 10},
        {PROTOCOLO_RS232, VCI_J, 4, 1},        {PROTOCOLO_J1850, VCI_J, 5, 1},        {PROTOCOLO_TP20, VCI_J, 6, 1},
        {PROTOCOLO_J2610, VCI_J, 7, 3},        {PROTOCOLO_GM_ALDL, VCI_J, 8, 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << "protocol " << row.protocolo);
        IoRig rig;
        rig.selectGeneration(row.generation);
        rig.queue(row.protocolo, row.limit + 1);
        for (int i = 0; i < row.limit; ++i)
            ASSERT_EQ(rig.io.enviarMSG(), 0);
        EXPECT_EQ(rig.io.inFlight(row.counter), row.limit);
        EXPECT_EQ(rig.io.enviarMSG(), 1);  // held back, stays at the head
        EXPECT_EQ(rig.io.enviarMSG(), 1);
        EXPECT_EQ(rig.link.frameCount(), row.limit);
        EXPECT_EQ(rig.io.outputListSize(), 1);
        rig.io.decreaseSendProtocolBuffer(row.protocolo);  // an answer arrived
        EXPECT_EQ(rig.io.enviarMSG(), 0);
        EXPECT_EQ(rig.link.frameCount(), row.limit + 1);
        EXPECT_EQ(rig.io.inFlight(row.counter), row.limit);
        EXPECT_EQ(rig.io.sentFramesCount(), row.limit + 1);
    }
}

TEST(FlowControl, UnlimitedProtocolsAreNeverHeldBackNorCounted)
{
    const struct {
        int protocolo;
        enum_VersionVCI generation;
    } rows[] = {{PROTOCOLO_CAN, VCI_K}, {PROTOCOLO_NULL, VCI_J},  {3, VCI_J},
                {34, VCI_J},            {0xFF, VCI_J},            {PROTOCOLO_J1708, VCI_J},
                {PROTOCOLO_CAT, VCI_K1}};
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << "protocol " << row.protocolo);
        IoRig rig;
        rig.selectGeneration(row.generation);
        rig.queue(row.protocolo, 30);
        for (int i = 0; i < 30; ++i)
            ASSERT_EQ(rig.io.enviarMSG(), 0);
        EXPECT_EQ(rig.link.frameCount(), 30);
        for (int c = 0; c < Gestor_IO::kInFlightCounters; ++c)
            EXPECT_EQ(rig.io.inFlight(c), 0);
    }
}

TEST(FlowControl, CountersIgnoreUnknownProtocolsNeverGoBelowZeroAndKLinesShareOne)
{
    IoRig rig;
    EXPECT_TRUE(rig.io.increaseSendProtocolBuffer(-1));
    EXPECT_TRUE(rig.io.increaseSendProtocolBuffer(34));
    rig.io.decreaseSendProtocolBuffer(-1);
    rig.io.decreaseSendProtocolBuffer(PROTOCOLO_ISO15765);
    rig.io.decreaseSendProtocolBuffer(PROTOCOLO_ISO15765);
    EXPECT_EQ(rig.io.inFlight(1), 0);
    EXPECT_TRUE(rig.io.increaseSendProtocolBuffer(PROTOCOLO_ISO15765));
    EXPECT_FALSE(rig.io.increaseSendProtocolBuffer(PROTOCOLO_ISO15765));

    rig.queue(PROTOCOLO_KWP2000, 2);
    rig.queue(PROTOCOLO_ISO9141_2, 1);
    rig.queue(PROTOCOLO_KWP2000, 1);
    rig.drain(3);
    EXPECT_EQ(rig.link.frameCount(), 3);
    EXPECT_EQ(rig.io.enviarMSG(), 1);
    rig.io.decreaseSendProtocolBuffer(PROTOCOLO_ISO9141_2);
    EXPECT_EQ(rig.io.enviarMSG(), 0);
    EXPECT_EQ(rig.link.frameCount(), 4);
}

TEST(FlowControl, HeldBackHeadBlocksTheRequestsBehindIt)
{
    IoRig rig;
    rig.queue(PROTOCOLO_ISO15765, 2);
    rig.io.GenerarTrama_ConectarCliente(2, PROTOCOLO_J1939, VELOCIDAD_250000, false);
    EXPECT_EQ(rig.io.enviarMSG(), 0);
    EXPECT_EQ(rig.io.enviarMSG(), 1);
    EXPECT_EQ(rig.io.enviarMSG(), 1);
    ASSERT_EQ(rig.link.frameCount(), 1);
    rig.io.decreaseSendProtocolBuffer(PROTOCOLO_ISO15765);
    rig.drain();
    const QList<QByteArray> frames = rig.link.frames();
    ASSERT_EQ(frames.size(), 3);
    EXPECT_EQ(counterOf(frames[1]), 2);  // the second message, then the connect
    EXPECT_EQ(frames[2].at(1), char(SERV_CONECTAR_CLIENTE));
}

// The hold-back rules, on the injected clock: a head held more than 1500 ms frees one
// slot, or forgets the frame remembered under its counter, and its time is its own.
TEST(FlowControl, HoldBackOf1500MsFreesASlotOrACounterForTheHeldRequestOnly)
{
    FakeClock clock;  // outlives the rigs
    // Counters: 255 CAN frames use them all; the 256th waits for counter 1's answer, the
    // 257th for counter 2's, which never comes.
    IoRig counters;
    counters.io.setClock(&clock);
    counters.queue(PROTOCOLO_CAN, 257);
    counters.drain(300);
    ASSERT_EQ(counters.link.frameCount(), 255);
    EXPECT_EQ(counters.io.enviarMSG(), 1);
    counters.dispatch(hex("0404" "01" "00" "01" "00000000" "0000"));
    EXPECT_EQ(counters.io.enviarMSG(), 0);
    EXPECT_EQ(counters.io.enviarMSG(), 1);
    clock.advanceMillis(1501);
    EXPECT_EQ(counters.io.enviarMSG(), 0);  // counter 2 is forgotten
    const QList<QByteArray> frames = counters.link.frames();
    ASSERT_EQ(frames.size(), 257);
    for (int i = 0; i < 255; ++i)
        ASSERT_EQ(counterOf(frames[i]), i + 1) << "frame " << i;
    EXPECT_EQ(counterOf(frames[255]), 1);
    EXPECT_EQ(counterOf(frames[256]), 2);
    EXPECT_EQ(counters.io.sentFramesCount(), 255);
    EXPECT_EQ(counters.io.outputListSize(), 0);
    EXPECT_EQ(counters.io.getContIdMsgs(), 3);

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
    EXPECT_EQ(kline.io.inFlight(0), 3);
    EXPECT_EQ(kline.link.frameCount(), 3);
    // Its own 1500 ms are not more than 1500 ms; one millisecond later they are.
    clock.advanceMillis(1500);
    EXPECT_EQ(kline.io.enviarMSG(), 1);
    EXPECT_EQ(kline.io.inFlight(0), 3);
    clock.advanceMillis(1);
    EXPECT_EQ(kline.io.enviarMSG(), 1);  // one slot freed
    EXPECT_EQ(kline.io.enviarMSG(), 0);
    EXPECT_EQ(kline.link.frameCount(), 4);
}

TEST(FlowControl, SentFramesAreRememberedPerProtocolAndGeneration)
{
    const struct {
        int protocolo;
        enum_VersionVCI generation;
        int stored;
    } rows[] = {{PROTOCOLO_J1708, VCI_J, 0}, {PROTOCOLO_J1708, VCI_K1, 0}, {PROTOCOLO_J1708, VCI_A, 5},
                {PROTOCOLO_J1708, VCI_K, 5}, {PROTOCOLO_J1708, VCI_E, 5},  {PROTOCOLO_CAT, VCI_J, 5},
                {PROTOCOLO_J1939, VCI_J, 2}};
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << "protocol " << row.protocolo << " generation " << row.generation);
        IoRig rig;
        rig.selectGeneration(row.generation);
        rig.queue(row.protocolo, 5);
        rig.drain(5);
        EXPECT_EQ(rig.io.sentFramesCount(), row.stored);
    }
    // Only messages are remembered, under their counter.
    IoRig rig;
    rig.io.GenerarTrama_EnviarMensaje(3, PROTOCOLO_J1939, true, hex("00fe ca"), 0xFF);
    rig.io.GenerarTrama_GetHardwareStatus(3);
    rig.drain();
    EXPECT_EQ(rig.io.sentFramesCount(), 1);
    EXPECT_TRUE(rig.io.hasSentFrame(1));
    EXPECT_FALSE(rig.io.hasSentFrame(2));
}

TEST(Segmentation, SizeAndSequenceValues)
{
    const struct {
        int k, i, size;
    } sizes[] = {{444, 0, 439}, {444, 1, 5}, {993, 1, 441}, {993, 2, 113}, {880, 1, 441}, {879, 1, 440}};
    for (const auto& r : sizes)
        EXPECT_EQ(Gestor_IO::segmentSize(r.k, r.i), r.size) << "k " << r.k << " i " << r.i;
    const struct {
        int i, k, value;
    } values[] = {{0, 439, 0x00}, {0, 440, 0x10}, {1, 444, 0x11}, {0, 880, 0x10},
                  {0, 881, 0x20}, {2, 993, 0x22}, {15, 7054, 0xFF}};
    for (const auto& r : values)
        EXPECT_EQ(Gestor_IO::segmentValue(quint8(r.i), r.k), r.value) << "i " << r.i << " k " << r.k;
}

TEST(Segmentation, LongFramesAreCutOnSegmentingGenerationsOnly)
{
    struct Row {
        int dataBytes;
        enum_VersionVCI generation;
        std::vector<int> sequence;  // sequence bytes; empty: sent whole
        std::vector<int> payloads;
    };
    Row rows[] = {
        {443, VCI_K, {}, {}},
        {444, VCI_K, {0x10, 0x11}, {439, 5}},
        {993, VCI_K, {0x20, 0x21, 0x22}, {439, 441, 113}},
        {993, VCI_A, {0x20, 0x21, 0x22}, {439, 441, 113}},
        {993, VCI_E, {0x20, 0x21, 0x22}, {439, 441, 113}},
        {993, VCI_J, {}, {}},
        {993, VCI_K1, {}, {}},
        {7054, VCI_K, {}, {}},  // the longest that fits: 16 segments, filled in below
    };
    for (int i = 0; i < 16; ++i) {
        rows[7].sequence.push_back(0xF0 | i);
        rows[7].payloads.push_back(Gestor_IO::segmentSize(7054, i));
    }
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
        const QByteArray whole = hex("04 04 15 10 01") + char(row.dataBytes >> 8) + char(row.dataBytes) + data;
        if (row.sequence.empty()) {
            ASSERT_EQ(frames.size(), 1);
            EXPECT_EQ(frames[0], whole);
            continue;
        }
        ASSERT_EQ(frames.size(), int(row.sequence.size()));
        QByteArray gathered;
        for (int i = 0; i < frames.size(); ++i) {
            // Header: the frame's head, 00, the sequence byte, the whole length in the
            // first segment only, then this segment's payload length.
            const QByteArray& s = frames[i];
            const int header = i == 0 ? 11 : 9, payload = row.payloads[size_t(i)];
            ASSERT_LE(s.size(), 450);
            ASSERT_EQ(s.size(), header + payload) << "segment " << i;
            EXPECT_EQ(toHex(s.left(7)), toHex(hex("04 d2 15 10 01 00") + char(row.sequence[size_t(i)])));
            if (i == 0) {
                EXPECT_EQ(toHex(s.mid(7, 2)), toHex(whole.mid(5, 2)));
            }
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
    EXPECT_EQ(f[3].size(), 3);
    EXPECT_EQ(rig.io.inFlight(2), 0);  // the dropped J1939 frame took no slot and is not remembered
    EXPECT_FALSE(rig.io.hasSentFrame(2));

    // segmentarMSG makes nothing for a start past the end, and keeps the request's ids.
    TLink_Request_Msg msg;
    msg.idCliente = 3;
    msg.idBroadcast = 9;
    msg.trama = hex("04 04 03 02 01 0001 aa");
    QList<TLink_Request_Msg> out;
    rig.io.segmentarMSG(&out, msg, 8);
    EXPECT_TRUE(out.isEmpty());
    rig.io.segmentarMSG(&out, msg, 7);
    ASSERT_EQ(out.size(), 1);
    EXPECT_EQ(out[0].idCliente, 3);
    EXPECT_EQ(out[0].idBroadcast, 9);
    EXPECT_EQ(toHex(out[0].trama), "04 d2 03 02 01 00 00 00 01 00 01 aa");
}

TEST(OutputList, RemoveOperationsTakeOnlyTheirRequests)
{
    IoRig rig;
    rig.io.GenerarTrama_EnviarMensaje(5, PROTOCOLO_CAN, false, hex("01"), 3);  // removed by id (3, 5)
    rig.io.GenerarTrama_GetHardwareStatus(5);                                  // client 5, not a broadcast
    rig.io.GenerarTrama_EnviarMensaje(6, PROTOCOLO_CAN, false, hex("02"), 3);
    rig.io.GenerarTrama_EnviarMensaje(5, PROTOCOLO_CAN, false, hex("03"), 3);  // removed by id (3, 5)
    rig.io.GenerarTrama_EnviarMensaje(5, PROTOCOLO_CAN, false, hex("04"), 4);
    rig.io.GenerarTrama_ResetearTravoneLink();
    EXPECT_EQ(rig.io.outputListSize(), 6);
    rig.io.removeBroadcastMsgByID(3, 5);
    EXPECT_EQ(rig.io.outputListSize(), 4);
    rig.io.removeAllBroadcastMsgs();
    EXPECT_EQ(rig.io.outputListSize(), 2);
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
}

// ---- send thread ----

TEST(SendThread, HoldBackFreesASlotAfter1500MsAndReleasesTheQueue)
{
    IoRig rig(true);
    rig.queue(PROTOCOLO_KWP2000, 4);
    rig.io.GenerarTrama_EnviarMensaje(2, PROTOCOLO_CAN, false, hex("ca"), 0xFF);
    ASSERT_TRUE(rig.link.waitForFrames(3));
    const auto third = rig.link.writes()[2].at;
    ASSERT_TRUE(rig.link.waitForFrames(5, 8000ms));
    const std::vector<FakeProxyLink::Write> writes = rig.link.writes();
    EXPECT_GE(writes[3].at - third, 1500ms);
    EXPECT_LT(writes[3].at - third, 5000ms);
    EXPECT_EQ(static_cast<quint8>(writes[3].frame.at(3)), PROTOCOLO_KWP2000);
    EXPECT_EQ(static_cast<quint8>(writes[4].frame.at(3)), PROTOCOLO_CAN);  // was blocked behind it
    EXPECT_EQ(rig.io.inFlight(0), 3);  // one slot freed without an answer, then taken again
}

// The hold-back is timed on the injected clock; moving it wakes the sleeping thread.
TEST(SendThread, HoldBackEndsOnTheInjectedClock)
{
    FakeClock clock;  // outlives the send thread
    IoRig rig(true);
    rig.io.setClock(&clock);
    clock.onMove([&] { rig.io.wakeSendThread(); });
    rig.queue(PROTOCOLO_KWP2000, 4);
    ASSERT_TRUE(waitUntil([&] { return rig.link.frameCount() == 3 && rig.io.outputListSize() == 1; }, 2000ms));
    const quint64 passes = rig.io.sendLoopPasses();
    clock.advanceMillis(1500);
    ASSERT_TRUE(waitUntil([&] { return rig.io.sendLoopPasses() > passes; }, 2000ms));
    EXPECT_EQ(rig.link.frameCount(), 3);
    clock.advanceMillis(1);
    // Well before 1500 real milliseconds: only the injected clock can have ended it.
    ASSERT_TRUE(rig.link.waitForFrames(4, 1000ms));
    EXPECT_EQ(rig.io.inFlight(0), 3);
}

// With nothing to send, or a head held back, the loop sleeps: it made a pass per
// millisecond before (about 100 in this window).
TEST(SendThread, IdleOrHeldBackLoopDoesNotWakePeriodically)
{
    IoRig rig(true);
    ASSERT_TRUE(waitUntil([&] { return rig.io.sendLoopPasses() >= 2; }, 2000ms));
    auto passesIn100Ms = [&] {
        const quint64 before = rig.io.sendLoopPasses();
        // An observation window: nothing is expected to happen in it.
        std::this_thread::sleep_for(100ms);
        return rig.io.sendLoopPasses() - before;
    };
    EXPECT_LE(passesIn100Ms(), 1u);

    rig.queue(PROTOCOLO_KWP2000, 4);
    ASSERT_TRUE(waitUntil([&] { return rig.link.frameCount() == 3 && rig.io.outputListSize() == 1; }, 2000ms));
    EXPECT_LE(passesIn100Ms(), 1u);
    EXPECT_EQ(rig.link.frameCount(), 3);

    // A removed held head wakes the loop for the one behind it.
    rig.io.GenerarTrama_EnviarMensaje(2, PROTOCOLO_CAN, false, hex("ca"), 0xFF);
    rig.io.removeClientMessages(1);
    ASSERT_TRUE(rig.link.waitForFrames(4, 1000ms));
    EXPECT_EQ(static_cast<quint8>(rig.link.frames()[3].at(3)), PROTOCOLO_CAN);
}

TEST(SendThread, RestartWhileRunningKeepsQueueCounterAndSlotsButChangesSegmenting)
{
    IoRig rig(true);
    rig.queue(PROTOCOLO_KWP2000, 4);
    ASSERT_TRUE(waitUntil([&] { return rig.io.inFlight(0) == 3 && rig.link.frameCount() == 3; }, 2000ms));
    EXPECT_FALSE(rig.io.isSegmenting());
    rig.io.ArrancarHiloEnvio(VCI_K, 0);
    EXPECT_TRUE(rig.io.getRunning());
    EXPECT_TRUE(rig.io.isSegmenting());
    EXPECT_EQ(rig.io.generation(), VCI_K);
    EXPECT_EQ(rig.io.getContIdMsgs(), 5);
    EXPECT_EQ(rig.io.inFlight(0), 3);
    EXPECT_EQ(rig.io.outputListSize(), 1);
    EXPECT_EQ(rig.io.sentFramesCount(), 3);

    rig.io.decreaseSendProtocolBuffer(PROTOCOLO_KWP2000);  // an answer wakes the held-back loop
    ASSERT_TRUE(rig.link.waitForFrames(4, 1000ms));
    EXPECT_EQ(counterOf(rig.link.frames()[3]), 4);
    rig.io.GenerarTrama_EnviarMensaje(1, PROTOCOLO_CAN, false, pattern(993), 0xFF);
    ASSERT_TRUE(rig.link.waitForFrames(7));
    EXPECT_EQ(toHex(rig.link.frames()[6].left(7)), "04 d2 01 02 05 00 22");
}

TEST(SendThread, StopKeepsQueueAndSentFramesAndAFreshStartEmptiesThem)
{
    IoRig rig(true, VCI_K);
    rig.queue(PROTOCOLO_J1939, 3);
    ASSERT_TRUE(waitUntil([&] { return rig.io.inFlight(2) == 2 && rig.link.frameCount() == 2; }, 2000ms));
    const auto start = Clock::now();
    EXPECT_TRUE(rig.io.pararHiloEnvio());
    EXPECT_LT(Clock::now() - start, 1000ms);  // a held-back head does not delay the stop
    EXPECT_FALSE(rig.io.pararHiloEnvio());
    EXPECT_EQ(rig.io.outputListSize(), 1);
    EXPECT_EQ(rig.io.sentFramesCount(), 2);
    EXPECT_EQ(rig.link.frameCount(), 2);

    rig.io.ArrancarHiloEnvio(VCI_J, 0);
    EXPECT_EQ(rig.io.outputListSize(), 0);
    EXPECT_EQ(rig.io.sentFramesCount(), 0);
    EXPECT_EQ(rig.io.inFlight(2), 0);
    rig.queue(PROTOCOLO_J1939, 2);
    ASSERT_TRUE(rig.link.waitForFrames(4));
    EXPECT_EQ(counterOf(rig.link.frames()[2]), 1);
}

TEST(SendThread, RemovedRequestsLeaveCountsThatDoNoHarm)
{
    IoRig rig(true);
    rig.queue(PROTOCOLO_ISO15765, 2, 4, 1);
    ASSERT_TRUE(waitUntil([&] { return rig.io.inFlight(1) == 1 && rig.link.frameCount() == 1; }, 2000ms));
    rig.queue(PROTOCOLO_CAN, 3, 4, 7);
    rig.io.removeClientMessages(7);
    rig.io.removeClientMessages(1);  // the held-back head too
    EXPECT_EQ(rig.io.outputListSize(), 0);
    rig.io.GenerarTrama_GetHardwareStatus(2);
    ASSERT_TRUE(rig.link.waitForFrames(2));
    EXPECT_EQ(toHex(rig.link.frames()[1]), "04 06 02");
    EXPECT_EQ(rig.link.frameCount(), 2);
}

TEST(SendThread, FailedWriteSetsLinkError142AndIsNotRetried)
{
    IoRig rig;
    rig.link.setFailWrites(true);
    rig.io.ArrancarHiloEnvio(VCI_J, 0);
    rig.io.GenerarTrama_EnviarMensaje(1, PROTOCOLO_CAN, false, hex("01"), 0xFF);
    ASSERT_TRUE(waitUntil([&] { return rig.g.getLinkError() == 142; }, 2000ms));
    EXPECT_EQ(rig.link.failedWrites(), 1);
    rig.link.setFailWrites(false);
    rig.io.GenerarTrama_GetHardwareStatus(1);
    ASSERT_TRUE(rig.link.waitForFrames(1));
    EXPECT_EQ(toHex(rig.link.frames()[0]), "04 06 01");
    EXPECT_EQ(rig.link.failedWrites(), 1);
    EXPECT_TRUE(rig.io.hasSentFrame(1));  // stays until an answer or a restart
}

TEST(SendThread, StopWhileAWriteIsBlockedReturnsOnceTheWriteEnds)
{
    IoRig rig;
    rig.link.holdWrites(true);
    rig.io.ArrancarHiloEnvio(VCI_J, 0);
    rig.io.GenerarTrama_GetHardwareStatus(1);
    ASSERT_TRUE(rig.link.waitForHeldWriter());
    auto stopped = std::async(std::launch::async, [&] { return rig.io.pararHiloEnvio(); });
    EXPECT_EQ(stopped.wait_for(20ms), std::future_status::timeout);  // the write is still going on
    rig.link.holdWrites(false);
    ASSERT_EQ(stopped.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(stopped.get());
    EXPECT_FALSE(rig.io.getRunning());
    EXPECT_EQ(rig.link.frameCount(), 1);
}

TEST(SendThread, DestructorJoinsARunningThread)
{
    FakeProxyLink link;
    GestorRP1210 g;
    {
        Gestor_IO io;
        io.setIProxyLink(&link);
        io.setGestorRP1210(&g);
        io.ArrancarHiloEnvio(VCI_K, 0);
        io.GenerarTrama_EnviarMensaje(1, PROTOCOLO_J1850, false, hex("01"), 0xFF);
        io.GenerarTrama_EnviarMensaje(1, PROTOCOLO_J1850, false, hex("02"), 0xFF);
        ASSERT_TRUE(link.waitForFrames(1));
    }  // a joinable std::thread left behind would terminate the process here
    EXPECT_EQ(link.frameCount(), 1);
}

// The end-to-end tests rely on it: answers come in write order, from neither the test's
// thread nor the writer's.
TEST(SendThread, FakeTransportAnswersFromItsOwnThread)
{
    IoRig rig(true);
    std::mutex m;
    QList<QByteArray> delivered;
    std::thread::id deliveringThread;
    rig.link.setResponder([](const QByteArray& w) {
        return w.at(1) == char(SERV_ESTADO_HARDWARE) ? QList<QByteArray>{hex("04 06") + w.mid(2) + hex("aa"), hex("04 3b 00")}
                                                     : QList<QByteArray>{};
    });
    rig.link.setDelivery([&](const QByteArray& f) {
        std::lock_guard<std::mutex> lock(m);
        delivered.append(f);
        deliveringThread = std::this_thread::get_id();
    });
    rig.io.GenerarTrama_GetHardwareStatus(9);
    rig.io.GenerarTrama_ResetearTravoneLink();
    ASSERT_TRUE(rig.link.waitForFrames(2));
    ASSERT_TRUE(rig.link.waitUntilIdle());
    std::lock_guard<std::mutex> lock(m);
    ASSERT_EQ(delivered.size(), 2);
    EXPECT_EQ(toHex(delivered[0]), "04 06 09 aa");
    EXPECT_EQ(toHex(delivered[1]), "04 3b 00");
    EXPECT_NE(deliveringThread, std::this_thread::get_id());
    EXPECT_NE(deliveringThread, rig.link.writes()[0].thread);
}

TEST(SendThreadMeasure, LatencyAndThroughputFromBuilderToTransport)
{
    IoRig rig(true);
    // An adapter that confirms every frame, so counters come free as they would.
    rig.link.setResponder([](const QByteArray& w) {
        return QList<QByteArray>{hex("0404") + w.mid(3, 1) + hex("00") + w.mid(4, 1) + hex("00000000 0000")};
    });
    rig.link.setDelivery([&rig](const QByteArray& f) { rig.dispatch(f); });
    const auto msSince = [](Clock::time_point from, Clock::time_point to) {
        return std::chrono::duration<double, std::milli>(to - from).count();
    };
    std::vector<double> latencies;  // of one frame on an idle link
    for (int i = 0; i < 100; ++i) {
        const auto t0 = Clock::now();
        rig.io.GenerarTrama_EnviarMensaje(1, PROTOCOLO_CAN, false, pattern(12), 0xFF);
        ASSERT_TRUE(rig.link.waitForFrames(i + 1));
        const FakeProxyLink::Write last = rig.link.writes().back();
        latencies.push_back(msSince(t0, last.at));
        ASSERT_EQ(counterOf(last.frame), i + 1);  // in order, none held back
    }
    std::sort(latencies.begin(), latencies.end());
    rig.link.clearFrames();
    constexpr int kFrames = 20000;  // built back to back, until the last one is written
    const auto start = Clock::now();
    for (int i = 0; i < kFrames; ++i)
        rig.io.GenerarTrama_EnviarMensaje(1, PROTOCOLO_CAN, false, pattern(12), 0xFF);
    ASSERT_TRUE(rig.link.waitForFrames(kFrames, 60s));
    EXPECT_EQ(rig.io.outputListSize(), 0);
    const double median = latencies[latencies.size() / 2], fps = kFrames / (msSince(start, Clock::now()) / 1000.0);
    std::printf("[ info ] builder->writeData: median latency %.0f us, max %.0f us; %.0f frames/s\n", median * 1000.0,
                latencies.back() * 1000.0, fps);
    // Loose bounds: they catch a loop that waits out its tick, not a slow machine.
    EXPECT_LT(median, 50.0);
    EXPECT_GT(fps, 100.0);
}
