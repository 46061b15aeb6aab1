// Send and read path of the API manager against the fake output manager.
#include "support/bytes.h"
#include "support/manager_rig.h"
#include "support/wait_until.h"
#include "thread_probe.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <time.h>

#include <QByteArray>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;


class MessagesTest : public ::testing::Test, public ManagerRig {
protected:
    MessagesTest()
    {
        out.answerConnect(RESP_SERV_OK);
        out.answerDisconnect(RESP_SERV_OK);
    }

    short send(short id, const QByteArray& m) { return g.RP1210_SendMessage(id, m.constData(), short(m.size()), 0, 0); }

    QByteArray readNow(short id)
    {
        char buf[512];
        const short n = g.RP1210_ReadMessage(id, buf, sizeof buf, 0);
        return n > 0 ? QByteArray(buf, n) : QByteArray();
    }

    std::vector<QByteArray> sentData()
    {
        std::vector<QByteArray> v;
        for (const auto& c : out.calls("GenerarTrama_EnviarMensaje"))
            v.push_back(c.data);
        return v;
    }

    // A read that never ends may hold its read lock for good: abort instead of hanging.
    std::future<short> readAsync(short id, short block, short bufferSize = 256, std::atomic<long>* tid = nullptr)
    {
        return std::async(std::launch::async, [this, id, block, bufferSize, tid] {
            std::vector<char> buf(512);
            if (tid)
                *tid = currentThreadTid();
            return g.RP1210_ReadMessage(id, buf.data(), bufferSize, block);
        });
    }
    template <class T>
    static T finish(std::future<T>& f, const char* what = "read", std::chrono::milliseconds limit = 5000ms)
    {
        if (f.wait_for(limit) != std::future_status::ready) {
            std::fprintf(stderr, "FATAL: %s did not end within %lld ms\n", what, static_cast<long long>(limit.count()));
            std::abort();
        }
        return f.get();
    }
};

// ------------------------------------------------------------------ argument checks

TEST_F(MessagesTest, ClientIdsOutsideTheTableAreRefusedWithoutTouchingASlot)
{
    ASSERT_EQ(connect("J1939"), 1);
    g.getCliente(1)->setFilterState(1);
    QByteArray m = hex("0000000100ef0006ffaa");
    g.almacenarMsjBuzon(PROTOCOLO_J1939, m);
    char buf[64];
    for (short id : {short(0), short(17), short(-1), short(32767), short(-32768)}) {
        EXPECT_EQ(g.RP1210_SendMessage(id, "\x01\x02", 2, 0, 0), rp1210rc::INVALID_CLIENT_ID) << id;
        EXPECT_EQ(g.RP1210_ReadMessage(id, buf, sizeof buf, 0), -rp1210rc::INVALID_CLIENT_ID) << id;
        EXPECT_EQ(g.RP1210_ReadMessage(id, buf, sizeof buf, 1), -rp1210rc::INVALID_CLIENT_ID) << id;
    }
    EXPECT_EQ(out.count("GenerarTrama_EnviarMensaje"), 0);
    EXPECT_EQ(g.getCliente(1)->receivedCount(), 1);
}

TEST_F(MessagesTest, LinkErrorIsReturnedBySendAndNegatedByRead)
{
    ASSERT_EQ(connect("J1939"), 1);
    g.set_Error(rp1210rc::HARDWARE_NOT_RESPONDING);
    char buf[64];
    EXPECT_EQ(send(1, hex("00ef00060000aa")), rp1210rc::HARDWARE_NOT_RESPONDING);
    EXPECT_EQ(g.RP1210_ReadMessage(1, buf, sizeof buf, 0), -rp1210rc::HARDWARE_NOT_RESPONDING);
    // A blocking read does not wait on a broken link.
    auto f = readAsync(1, 1);
    EXPECT_EQ(finish(f), -rp1210rc::HARDWARE_NOT_RESPONDING);
    // It comes before the slot checks.
    EXPECT_EQ(send(9, hex("01")), rp1210rc::HARDWARE_NOT_RESPONDING);
    EXPECT_EQ(out.count("GenerarTrama_EnviarMensaje"), 0);
}

TEST_F(MessagesTest, FreeOrDisconnectingSlotAnswers148)
{
    ASSERT_EQ(connect("J1939"), 1);
    char buf[64];
    EXPECT_EQ(send(2, hex("01")), rp1210rc::CLIENT_DISCONNECTED);
    EXPECT_EQ(g.RP1210_ReadMessage(2, buf, sizeof buf, 1), -rp1210rc::CLIENT_DISCONNECTED);
    g.getCliente(1)->setPendiente_desconexion(true);
    EXPECT_EQ(send(1, hex("01")), rp1210rc::CLIENT_DISCONNECTED);
    EXPECT_EQ(g.RP1210_ReadMessage(1, buf, sizeof buf, 0), -rp1210rc::CLIENT_DISCONNECTED);
    EXPECT_EQ(g.RP1210_ReadMessage(1, buf, sizeof buf, 1), -rp1210rc::CLIENT_DISCONNECTED);
    g.getCliente(1)->setPendiente_desconexion(false);
    EXPECT_EQ(out.count("GenerarTrama_EnviarMensaje"), 0);
}

TEST_F(MessagesTest, NegativeSizeOrMissingMessageIsAnInvalidParameter)
{
    ASSERT_EQ(connect("J1708"), 1);
    const qint32 freeBefore = g.getCliente(1)->getfreeBufferSalida();
    EXPECT_EQ(g.RP1210_SendMessage(1, "\x08\x80", -1, 0, 0), rp1210rc::INVALID_COMMAND);
    EXPECT_EQ(g.RP1210_SendMessage(1, "\x08\x80", -32768, 0, 0), rp1210rc::INVALID_COMMAND);
    EXPECT_EQ(g.RP1210_SendMessage(1, nullptr, 3, 0, 0), rp1210rc::INVALID_COMMAND);
    EXPECT_EQ(out.count("GenerarTrama_EnviarMensaje"), 0);
    EXPECT_EQ(g.getCliente(1)->getfreeBufferSalida(), freeBefore);
    // No bytes need no buffer: the checksum alone goes out.
    EXPECT_EQ(g.RP1210_SendMessage(1, nullptr, 0, 0, 0), 0);
    EXPECT_EQ(sentData(), (std::vector<QByteArray>{hex("00")}));
}

TEST_F(MessagesTest, SentMessagesReachTheFrameBuilderPreparedForTheProtocol)
{
    struct Row {
        const char* connect;
        int j1708Mode;
        bool echo;
        const char* message;
        const char* sent;  // nullptr: nothing reaches the adapter
    };
    const Row rows[] = {
        {"CAN", 1, false, "", nullptr},
        {"CAN", 1, false, "00012311", "00012311"},
        {"J1939", 1, true, "00ef0006ff00aabb", "00ef0006ff00aabb"},
        {"J1708", 1, false, "", "00"},              // the checksum of nothing
        {"J1708", 1, false, "088001", "0880017f"},  // priority not summed
        {"J1708", 1, true, "08", "0800"},
        {"J1708", 0, false, "088001", "088001"},
        {"CAT", 1, false, "8001", "0180017f"},
        {"CAT", 0, false, "8001", "018001"},
        {"CAT", 1, false, "", "0100"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.connect) + " " + r.message);
        const short id = connect(r.connect);
        ASSERT_GE(id, 1);
        Cliente* c = g.getCliente(quint8(id));
        c->setJ1708Mode(quint8(r.j1708Mode));
        c->setEchoMode(r.echo);
        const int before = out.count("GenerarTrama_EnviarMensaje");
        EXPECT_EQ(send(id, hex(r.message)), 0);
        const auto calls = out.calls("GenerarTrama_EnviarMensaje");
        if (r.sent == nullptr) {
            EXPECT_EQ(int(calls.size()), before);
        } else {
            ASSERT_EQ(int(calls.size()), before + 1);
            EXPECT_EQ(toHex(calls.back().data), toHex(hex(r.sent)));
            EXPECT_EQ(calls.back().args, (std::vector<int>{id, c->getProtocolo(), r.echo ? 1 : 0, 255}));
        }
        // Nothing stays behind in the transmit queue.
        EXPECT_EQ(c->getfreeBufferSalida(), c->getTamanoBufferSalida());
        ASSERT_EQ(g.RP1210_ClientDisconnect(id), 0);
    }
}

TEST_F(MessagesTest, MessageBeyondSixteenSegmentsIsRefusedOnSegmentingAdapters)
{
    // Sixteen segments carry 439 + 15 * 441 = 7054 data bytes, counting the checksum and
    // the CAT prefix that the library adds.
    struct Row {
        const char* type;
        int version;
        const char* connect;
        int j1708Mode;
        int size;
        short rc;
    };
    const Row rows[] = {
        {"A", 7, "CAN", 1, 7054, 0},      {"A", 7, "CAN", 1, 7055, 141},   {"K", 2, "J1939", 1, 7055, 141},
        {"E", 1, "CAN", 1, 7055, 141},    {"A", 7, "J1708", 1, 7053, 0},   {"A", 7, "J1708", 1, 7054, 141},
        {"A", 7, "J1708", 0, 7054, 0},    {"A", 7, "CAT", 1, 7052, 0},     {"A", 7, "CAT", 1, 7053, 141},
        {"A", 7, "CAT", 0, 7053, 0},      {"A", 7, "CAT", 0, 7054, 141},
        {"J", 1, "CAN", 1, 20000, 0},     {"K", 1, "CAN", 1, 20000, 0},    // frames go whole
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.type) + std::to_string(r.version) + " " + r.connect + " mode " +
                     std::to_string(r.j1708Mode) + " size " + std::to_string(r.size));
        out.setInterface(r.type, r.version);
        const short id = connect(r.connect, 0, /*tx*/ 32000);
        ASSERT_EQ(id, 1);
        Cliente* c = g.getCliente(1);
        c->setJ1708Mode(quint8(r.j1708Mode));
        const int before = out.count("GenerarTrama_EnviarMensaje");
        EXPECT_EQ(send(1, QByteArray(r.size, 0x08)), r.rc);
        EXPECT_EQ(out.count("GenerarTrama_EnviarMensaje") - before, r.rc == 0 ? 1 : 0);
        EXPECT_EQ(c->getfreeBufferSalida(), c->getTamanoBufferSalida());
        ASSERT_EQ(g.RP1210_ClientDisconnect(1), 0);
    }
}

TEST_F(MessagesTest, ShortTransmitSpaceAnswers137AndStillGivesOtherQueuesTheirTurn)
{
    ASSERT_EQ(connect("CAT", 0, /*tx*/ 10), 1);
    ASSERT_EQ(connect("J1939"), 2);
    // Two messages wait in client 2's queue (left there as if its sends had raced).
    ASSERT_EQ(g.getCliente(2)->addMsjSaliente("\xA1", 1), 0u);
    ASSERT_EQ(g.getCliente(2)->addMsjSaliente("\xA2", 1), 0u);

    const QByteArray eleven(11, '\x11');
    EXPECT_EQ(send(1, eleven), rp1210rc::TX_QUEUE_FULL);  // refused before the queue
    EXPECT_EQ(sentData().size(), 0u);                      // and nothing was moved

    // Ten bytes pass the first test; the CAT prefix makes them eleven for the second.
    const QByteArray ten(10, '\x10');
    EXPECT_EQ(send(1, ten), rp1210rc::TX_QUEUE_FULL);
    EXPECT_EQ(sentData(), (std::vector<QByteArray>{hex("a1")}));  // one per client per call
    EXPECT_EQ(g.getCliente(1)->getfreeBufferSalida(), 10);

    EXPECT_EQ(send(1, QByteArray(9, '\x09')), 0);
    const auto sent = sentData();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[1].size(), 11);  // 0x01, 9 bytes, checksum
    EXPECT_EQ(sent[2], hex("a2"));
}

TEST_F(MessagesTest, HandOverMovesAtMostOneMessagePerUsableClientPerCall)
{
    ASSERT_EQ(connect("J1939"), 1);
    ASSERT_EQ(connect("J1939"), 2);
    ASSERT_EQ(connect("CAN"), 3);
    ASSERT_EQ(connect("J1939"), 4);
    ASSERT_EQ(g.RP1210_ClientDisconnect(3), 0);
    g.getCliente(1)->addMsjSaliente("\x11", 1);
    g.getCliente(1)->addMsjSaliente("\x12", 1);
    g.getCliente(2)->addMsjSaliente("\x21", 1);
    g.getCliente(2)->setPendiente_desconexion(true);
    g.getCliente(3)->addMsjSaliente("\x31", 1);
    g.getCliente(4)->addMsjSaliente("", 0);  // zero bytes: taken and dropped
    g.getCliente(4)->addMsjSaliente("\x41", 1);

    g.getNewMessageToTransmit();
    EXPECT_EQ(sentData(), (std::vector<QByteArray>{hex("11")}));
    g.getNewMessageToTransmit();
    EXPECT_EQ(sentData(), (std::vector<QByteArray>{hex("11"), hex("12"), hex("41")}));
    g.getNewMessageToTransmit();
    EXPECT_EQ(sentData().size(), 3u);
    const auto calls = out.calls("GenerarTrama_EnviarMensaje");
    EXPECT_EQ(calls[2].args[0], 4);
    // The skipped slots keep their messages.
    EXPECT_EQ(g.getCliente(2)->GetMsjToSend(), hex("21"));
    EXPECT_EQ(g.getCliente(3)->GetMsjToSend(), hex("31"));
    g.getCliente(2)->setPendiente_desconexion(false);
}

TEST_F(MessagesTest, OnlyBlockOnReadOneBlocks)
{
    ASSERT_EQ(connect("J1939"), 1);
    for (short block : {short(0), short(2), short(-1), short(100)}) {
        auto f = readAsync(1, block);
        EXPECT_EQ(finish(f, "non-blocking read", 2000ms), 0) << block;
    }
}

TEST_F(MessagesTest, ReadNeverWritesPastTheBufferAndKeepsATooLongMessage)
{
    ASSERT_EQ(connect("J1939"), 1);
    Cliente* c = g.getCliente(1);
    c->setFilterState(1);
    QByteArray m = hex("0a0b0c0d00ef0006ff00a1a2");  // 12 bytes
    ASSERT_EQ(g.almacenarMsjBuzon(PROTOCOLO_J1939, m), 0u);

    char buf[32];
    std::memset(buf, 0x5A, sizeof buf);
    for (short size : {short(11), short(1), short(0), short(-4)}) {
        for (short block : {short(0), short(1)}) {
            // A blocking read ends at once too: the message is there but does not fit.
            auto f = std::async(std::launch::async, [&] { return g.RP1210_ReadMessage(1, buf, size, block); });
            EXPECT_EQ(finish(f), -rp1210rc::MESSAGE_TOO_LONG) << size << " " << block;
        }
    }
    EXPECT_EQ(QByteArray(buf, sizeof buf), QByteArray(sizeof buf, 0x5A));
    EXPECT_EQ(g.RP1210_ReadMessage(1, nullptr, 64, 0), -rp1210rc::MESSAGE_TOO_LONG);
    EXPECT_EQ(c->receivedCount(), 1);

    EXPECT_EQ(g.RP1210_ReadMessage(1, buf, 12, 0), 12);
    EXPECT_EQ(QByteArray(buf, 12), m);
    EXPECT_EQ(QByteArray(buf + 12, 20), QByteArray(20, 0x5A));
    EXPECT_EQ(c->getfreeBufferEntrada(), c->getTamanoBufferEntrada());
}

TEST_F(MessagesTest, BlockedReadIsWokenByARoutedMessage)
{
    ASSERT_EQ(connect("J1939"), 1);
    g.getCliente(1)->setFilterState(1);
    // The clock stands still: only the message can end the read, with or without time-out.
    for (quint32 timeout : {0u, 60000u}) {
        g.getCliente(1)->setBlockingTimeout(timeout);
        std::atomic<long> tid{0};
        auto f = readAsync(1, 1, 256, &tid);
        ASSERT_TRUE(waitUntil([&] { return threadIsSleeping(tid); }));
        QByteArray m = hex("01020304" "00ef00" "06" "ff" "00" "aabbcc");
        g.almacenarMsjBuzon(PROTOCOLO_J1939, m);
        EXPECT_EQ(finish(f), m.size()) << timeout;
    }
}

TEST_F(MessagesTest, BlockedReadEndsWith148WhenAnotherThreadDisconnects)
{
    // In even rounds the reader surely sleeps when the disconnect comes; in odd ones the
    // two race, so the disconnect also meets it before and while it starts to wait.
    for (int round = 0; round < 20; ++round) {
        ASSERT_EQ(connect("J1939"), 1);
        std::atomic<long> tid{0};
        auto f = readAsync(1, 1, 256, &tid);
        if (round % 2 == 0) {
            ASSERT_TRUE(waitUntil([&] { return threadIsSleeping(tid); }));
        }
        auto d = std::async(std::launch::async, [this] { return g.RP1210_ClientDisconnect(1); });
        EXPECT_EQ(finish(d, "disconnect beside a blocked reader"), 0);
        EXPECT_EQ(finish(f), -rp1210rc::CLIENT_DISCONNECTED);
    }
}

TEST_F(MessagesTest, LinkFailureEndsABlockedReadWithTheLinkError)
{
    // As with a disconnect: in even rounds the reader surely sleeps when the link fails,
    // in odd ones the failure races its start.
    for (int round = 0; round < 20; ++round) {
        ASSERT_EQ(connect("J1939"), 1);  // the handshake clears the last round's error
        std::atomic<long> tid{0};
        auto f = readAsync(1, 1, 256, &tid);  // time-out 0: no limit of its own
        if (round % 2 == 0) {
            ASSERT_TRUE(waitUntil([&] { return threadIsSleeping(tid); }));
        }
        g.set_Error(rp1210rc::HARDWARE_NOT_RESPONDING);
        EXPECT_EQ(finish(f, "read on a failed link"), -rp1210rc::HARDWARE_NOT_RESPONDING);
        ASSERT_EQ(g.RP1210_ClientDisconnect(1), rp1210rc::HARDWARE_NOT_RESPONDING);
    }
}

TEST_F(MessagesTest, BlockedReaderUsesNoProcessorTime)
{
    g.setClock(SystemClock::instance());
    ASSERT_EQ(connect("J1939"), 1);
    for (quint32 timeout : {0u, 600000u}) {
        SCOPED_TRACE(timeout);
        g.getCliente(1)->setBlockingTimeout(timeout);
        std::atomic<long> tid{0};
        short result = 1;
        std::thread reader([&] {
            tid = currentThreadTid();
            char buf[64];
            result = g.RP1210_ReadMessage(1, buf, sizeof buf, 1);
        });
        clockid_t cpu;
        ASSERT_EQ(pthread_getcpuclockid(reader.native_handle(), &cpu), 0);
        ASSERT_TRUE(waitUntil([&] { return threadIsSleeping(tid); }));
        timespec before{};
        timespec after{};
        clock_gettime(cpu, &before);
        std::this_thread::sleep_for(150ms);  // the interval measured, not a synchronisation
        clock_gettime(cpu, &after);
        const double usedMs = (after.tv_sec - before.tv_sec) * 1e3 + (after.tv_nsec - before.tv_nsec) / 1e6;
        EXPECT_LT(usedMs, 2.0);
        // Still blocked, then released by the disconnect.
        EXPECT_TRUE(threadIsSleeping(tid));
        g.getCliente(1)->setPendiente_desconexion(true);
        reader.join();
        g.getCliente(1)->setPendiente_desconexion(false);
        EXPECT_EQ(result, -rp1210rc::CLIENT_DISCONNECTED);
    }
}

TEST_F(MessagesTest, BlockedReadWithTimeoutAnswersZeroAfterTheTimeout)
{
    g.setClock(SystemClock::instance());
    ASSERT_EQ(connect("J1939"), 1);
    g.getCliente(1)->setBlockingTimeout(50);
    const auto t0 = std::chrono::steady_clock::now();
    auto f = readAsync(1, 1);
    EXPECT_EQ(finish(f), 0);
    const auto elapsed = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(elapsed, 50ms);
    EXPECT_LT(elapsed, 2000ms);
}

TEST_F(MessagesTest, TimeoutIsCountedOnTheManagersClock)
{
    ASSERT_EQ(connect("J1939"), 1);
    g.getCliente(1)->setBlockingTimeout(50);
    auto f = readAsync(1, 1);
    // The fake clock stands still until moved: the read still waits after its own 50
    // real milliseconds have passed, and still does 49 clock milliseconds later.
    EXPECT_EQ(f.wait_for(120ms), std::future_status::timeout);
    clock.advanceMillis(49);
    EXPECT_EQ(f.wait_for(60ms), std::future_status::timeout);
    clock.advanceMillis(1);
    EXPECT_EQ(finish(f), 0);
}

TEST_F(MessagesTest, ReceivedMessagesAreShapedForEachClient)
{
    struct Row {
        const char* connect;
        bool echo;
        int j1708Mode;
        int filterState;
        const char* received;
        const char* queued;  // nullptr: nothing queued
    };
    const Row rows[] = {
        {"J1708", true, 1, 1, "0a800102037a", "0a8001020003"},
        {"J1708", false, 1, 1, "0a800102037a", "0a80010203"},
        {"J1708", false, 0, 1, "0a800102037a", "0a800102037a"},
        {"J1708", true, 0, 1, "0a800102037a", "0a80010200037a"},
        {"J1708", false, 1, 1, "0a8001027a", "0a800102"},  // checksum only
        {"J1708", false, 1, 1, "0a800102", nullptr},       // no checksum to cut
        {"J1708", true, 1, 1, "0a80", nullptr},            // not even a timestamp
        {"J1708", false, 0, 1, "0a800102", "0a800102"},
        {"CAT", false, 1, 1, "0a800102037a", "0a80010203"},
        {"CAT", true, 1, 1, "0a800102", nullptr},
        {"J1939", true, 1, 1, "0102030400ef0006ff00aa", "010203040000ef0006ff00aa"},
        {"J1939", false, 1, 1, "0102030400ef0006ff00aa", "0102030400ef0006ff00aa"},
        {"J1939", true, 1, 1, "01020304", "0102030400"},
        {"J1939", false, 1, 1, "010203", nullptr},
        {"J1939", false, 1, 0, "0102030400ef0006ff00aa", nullptr},
        {"J1939", false, 1, 3, "0102030400ef0006ff00aa", nullptr},
        {"CAN", true, 1, 1, "01020304000123aa", "0102030400000123aa"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.connect) + " " + r.received);
        const short id = connect(r.connect);
        ASSERT_GE(id, 1);
        Cliente* c = g.getCliente(quint8(id));
        c->setEchoMode(r.echo);
        c->setJ1708Mode(quint8(r.j1708Mode));
        c->setFilterState(quint8(r.filterState));
        QByteArray m = hex(r.received);
        const QByteArray original = m;
        EXPECT_EQ(g.almacenarMsjBuzon(c->getProtocolo(), m), 0u);
        EXPECT_EQ(m, original);  // the caller's bytes are not touched
        if (r.queued == nullptr) {
            EXPECT_EQ(c->receivedCount(), 0);
        } else {
            ASSERT_EQ(c->receivedCount(), 1);
            EXPECT_EQ(toHex(readNow(id)), toHex(hex(r.queued)));
        }
        ASSERT_EQ(g.RP1210_ClientDisconnect(id), 0);
    }
}

TEST_F(MessagesTest, RoutingGoesToEveryConnectedClientOfTheExactProtocol)
{
    ASSERT_EQ(connect("J1939"), 1);
    ASSERT_EQ(connect("CAN"), 2);
    ASSERT_EQ(connect("J1939"), 3);
    ASSERT_EQ(connect("J1939"), 4);
    ASSERT_EQ(connect("J1939"), 5);
    g.getCliente(5)->setProtocolo(PROTOCOLO_ISO15765);
    for (quint8 id = 1; id <= 5; ++id)
        g.getCliente(id)->setFilterState(1);
    g.getCliente(4)->setMessageReceive(false);
    ASSERT_EQ(g.RP1210_ClientDisconnect(3), 0);
    g.getCliente(3)->setFilterState(1);  // a free slot keeps what it had; it still gets nothing

    QByteArray m = hex("0102030400ef0006ff00aa");
    g.almacenarMsjBuzon(PROTOCOLO_J1939, m);
    EXPECT_EQ(g.getCliente(1)->receivedCount(), 1);
    EXPECT_EQ(g.getCliente(2)->receivedCount(), 0);
    EXPECT_EQ(g.getCliente(3)->receivedCount(), 0);
    EXPECT_EQ(g.getCliente(4)->receivedCount(), 0);
    EXPECT_EQ(g.getCliente(5)->receivedCount(), 0);
    // A protocol nobody uses is dropped without trace.
    EXPECT_EQ(g.almacenarMsjBuzon(PROTOCOLO_J1850, m), 0u);
    // The ISO 15765 alternative value is a protocol of its own.
    QByteArray iso = hex("01020304000000000007e0aa");
    g.almacenarMsjBuzon(PROTOCOLO_ISO15765_ALT, iso);
    EXPECT_EQ(g.getCliente(5)->receivedCount(), 0);
}

TEST_F(MessagesTest, FullReceiveQueueRefusesOnlyItsOwnClient)
{
    ASSERT_EQ(connect("J1939", 0, 0, /*rx*/ 20), 1);
    ASSERT_EQ(connect("J1939"), 2);
    ASSERT_EQ(connect("J1939", 0, 0, /*rx*/ 20), 3);
    g.getCliente(1)->setFilterState(1);
    g.getCliente(3)->setFilterState(1);
    // Client 2 passes the message through a filter on its PGN.
    ASSERT_EQ(g.getCliente(2)->addFiltro(reinterpret_cast<const unsigned char*>("\x01\x00\xef\x00\x00\x00\x00")), 0u);
    QByteArray m = hex("0102030400ef0006ff00aa");  // 11 bytes

    EXPECT_EQ(g.almacenarMsjBuzon(PROTOCOLO_J1939, m), 0u);
    // The second no longer fits clients 1 and 3; the answer is that of the last slot.
    EXPECT_EQ(g.almacenarMsjBuzon(PROTOCOLO_J1939, m), quint32(rp1210rc::RX_QUEUE_FULL));
    EXPECT_EQ(g.getCliente(1)->receivedCount(), 1);
    EXPECT_EQ(g.getCliente(2)->receivedCount(), 2);
    EXPECT_EQ(g.getCliente(3)->receivedCount(), 1);
    EXPECT_TRUE(g.getCliente(1)->getRX_FULL());
    EXPECT_FALSE(g.getCliente(2)->getRX_FULL());
    EXPECT_TRUE(g.getCliente(3)->getRX_FULL());

    // Client 3 makes room; now only client 1 refuses and the last slot served says 0.
    EXPECT_GT(readNow(3).size(), 0);
    EXPECT_EQ(g.almacenarMsjBuzon(PROTOCOLO_J1939, m), 0u);
    EXPECT_EQ(g.getCliente(2)->receivedCount(), 3);
    EXPECT_EQ(g.getCliente(3)->receivedCount(), 1);
}

TEST_F(MessagesTest, EchoesAreBuiltForEachProtocol)
{
    struct Row {
        quint8 protocol;  // set on a J1939 slot after connecting, so any value can be tried
        bool echo;
        int j1708Mode;
        int isoMode;
        const char* message;
        const char* extra;
        quint32 rc;
        const char* queued;  // nullptr: nothing queued
    };
    const Row rows[] = {
        {PROTOCOLO_J1708, true, 1, 1, "11223344" "0880017f", "", 0, "11223344" "01" "8001"},
        {PROTOCOLO_J1708, true, 0, 1, "11223344" "0880017f", "", 0, "11223344" "01" "80017f"},
        {PROTOCOLO_J1708, true, 1, 1, "11223344" "00", "", 0, "11223344" "01"},  // 0-byte send
        {PROTOCOLO_J1708, true, 1, 1, "11223344", "", 0, "11223344" "01"},
        {PROTOCOLO_J1708, false, 1, 1, "11223344" "0880017f", "", rp1210rc::ECHO_OFF, nullptr},
        {PROTOCOLO_CAT, true, 1, 1, "11223344" "0180017f", "", 0, "11223344" "01" "8001"},
        {PROTOCOLO_ISO15765, true, 1, 1, "11223344" "00000007e0aa", "", 0,
         "11223344" "01" "00" "00000007e0aa"},
        {PROTOCOLO_ISO15765_ALT, true, 1, 1, "11223344" "00000007e0aa", "", 0,
         "11223344" "01" "00000007e0aa"},
        {PROTOCOLO_J1939, true, 1, 1, "11223344" "00ef0006ff00aa", "bbcc", 0,
         "11223344" "01" "00ef0006ff00aa"},
        {PROTOCOLO_ISO9141_1, true, 1, 0, "11223344" "a0b0c0", "ee01", 0, "11223344" "01" "a0eec0"},
        {PROTOCOLO_ISO9141_1, true, 1, 0, "11223344" "a0", "ee", 0, "11223344" "01" "a0ee"},
        {PROTOCOLO_ISO9141_1, true, 1, 0, "11223344", "ee", 0, "11223344" "01" "00ee"},
        {PROTOCOLO_ISO9141_1, true, 1, 0, "11223344" "a0b0c0", "", 0, "11223344" "01" "a0b0c0"},
        {PROTOCOLO_ISO9141_1, true, 1, 1, "11223344" "a0b0c0", "ee", 0, "11223344" "01" "a0b0c0"},
        {PROTOCOLO_ISO9141_2, true, 1, 0, "11223344" "a0b0c0", "ee", 0, "11223344" "01" "a0b0c0"},
        {PROTOCOLO_J1939, true, 1, 1, "112233", "", rp1210rc::INVALID_COMMAND, nullptr},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::to_string(r.protocol) + " " + r.message);
        const short id = connect("J1939");
        ASSERT_GE(id, 1);
        Cliente* c = g.getCliente(quint8(id));
        c->setProtocolo(r.protocol);
        c->setEchoMode(r.echo);
        c->setJ1708Mode(quint8(r.j1708Mode));
        c->setISO9141_KWP200_Mode(quint8(r.isoMode));
        QByteArray m = hex(r.message);
        const QByteArray original = m;
        EXPECT_EQ(g.almacenarMsjconECHO(quint8(id), 1, m, hex(r.extra)), r.rc);
        EXPECT_EQ(m, original);
        if (r.queued == nullptr) {
            EXPECT_EQ(c->receivedCount(), 0);
        } else {
            ASSERT_EQ(c->receivedCount(), 1);
            EXPECT_EQ(toHex(readNow(id)), toHex(hex(r.queued)));
        }
        // Back to the protocol the adapter knows it by, so the disconnect stays plain.
        c->setProtocolo(PROTOCOLO_J1939);
        ASSERT_EQ(g.RP1210_ClientDisconnect(id), 0);
    }
}

TEST_F(MessagesTest, EchoIsRefusedForMissingUnconnectedOrDeafClientsAndOtherFlags)
{
    ASSERT_EQ(connect("J1939"), 1);
    Cliente* c = g.getCliente(1);
    c->setEchoMode(true);
    QByteArray m = hex("1122334400ef0006ff00aa");
    EXPECT_EQ(g.almacenarMsjconECHO(0, 1, m, QByteArray()), quint32(rp1210rc::INVALID_CLIENT_ID));
    EXPECT_EQ(g.almacenarMsjconECHO(17, 1, m, QByteArray()), quint32(rp1210rc::INVALID_CLIENT_ID));
    EXPECT_EQ(g.almacenarMsjconECHO(2, 1, m, QByteArray()), quint32(rp1210rc::CLIENT_DISCONNECTED));
    EXPECT_EQ(g.almacenarMsjconECHO(1, 0, m, QByteArray()), 0u);
    EXPECT_EQ(g.almacenarMsjconECHO(1, 7, m, QByteArray()), 7u);
    c->setMessageReceive(false);
    EXPECT_EQ(g.almacenarMsjconECHO(1, 1, m, QByteArray()), quint32(rp1210rc::CLIENT_DISCONNECTED));
    EXPECT_EQ(c->receivedCount(), 0);
    // Filters play no part in echoes.
    c->setMessageReceive(true);
    c->setFilterState(2);
    EXPECT_EQ(g.almacenarMsjconECHO(1, 1, m, QByteArray()), 0u);
    EXPECT_EQ(c->receivedCount(), 1);
}

TEST_F(MessagesTest, J1708ClientReadsBackItsOwnMessage)
{
    // The adapter confirms every message by echoing what it received, as the response
    // dispatch does for a frame sent with the echo flag.
    out.respond("GenerarTrama_EnviarMensaje", [](GestorRP1210& gm, const OutputCall& call) {
        if (call.args[2] == 0)
            return;
        QByteArray confirmation = hex("0a0b0c0d") + call.data;
        gm.almacenarMsjconECHO(quint8(call.args[0]), 1, confirmation, QByteArray());
    });
    ASSERT_EQ(connect("J1708"), 1);
    g.getCliente(1)->setEchoMode(true);
    auto f = std::async(std::launch::async, [this] {
        char buf[64];
        const short n = g.RP1210_ReadMessage(1, buf, sizeof buf, 1);
        return n > 0 ? QByteArray(buf, n) : QByteArray::number(n);
    });
    ASSERT_EQ(send(1, hex("088001")), 0);
    EXPECT_EQ(sentData(), (std::vector<QByteArray>{hex("0880017f")}));
    EXPECT_EQ(toHex(finish(f, "read of the echo")), toHex(hex("0a0b0c0d" "01" "8001")));
}

}  // namespace
