// The data path through the real link stack against a fake transport, and how soon a
// blocked reader returns after a received message enters the library.
#include "support/bytes.h"
#include "support/link_rig.h"
#include "support/wait_until.h"
#include "thread_probe.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QList>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;


QByteArray be16(int v) { return QByteArray(1, char((v >> 8) & 0xFF)) + char(v & 0xFF); }

class MessagePathE2ETest : public ::testing::Test, public LinkRig {
protected:
    // A blocking read with a time-out, so a missing message fails instead of hanging.
    QByteArray read(short id, int timeoutMs = 5000)
    {
        g.getCliente(quint8(id))->setBlockingTimeout(quint32(timeoutMs));
        char buf[512];
        const short n = g.RP1210_ReadMessage(id, buf, sizeof buf, 1);
        return n > 0 ? QByteArray(buf, n) : QByteArray();
    }
};

TEST_F(MessagePathE2ETest, MessagesEchoesAndReceivedTrafficCrossTheLink)
{
    // The adapter confirms the message and also puts it on the bus, where the library
    // receives it back as network traffic.
    onService(0x04, [](const QByteArray& w) {
        return QList<QByteArray>{hex("0404") + w[3] + char(0x00) + w[4] + timestamp() + be16(0),
                                 receivedFrame(quint8(w[3]), w.mid(7))};
    });
    ASSERT_EQ(connect("J1939"), 1);
    ASSERT_EQ(connect("J1939"), 2);
    for (short id = 1; id <= 2; ++id)
        g.getCliente(quint8(id))->setFilterState(1);
    g.getCliente(1)->setEchoMode(true);

    const QByteArray msg = hex("00ef00" "06" "f9" "00" "aabbcc");
    ASSERT_EQ(g.RP1210_SendMessage(1, msg.constData(), short(msg.size()), 0, 0), 0);
    // Echo flag with the client, protocol, counter 1, length, data (2nd connect sent no frame).
    ASSERT_TRUE(link.waitForFrames(2));
    EXPECT_EQ(toHex(link.frames().at(1)),
              toHex(hex("0404") + char(0x11) + char(PROTOCOLO_J1939) + char(0x01) + be16(msg.size()) + msg));

    // Client 1 first gets its echo (the confirmation comes first), then the bus copy.
    EXPECT_EQ(toHex(read(1)), toHex(timestamp() + char(0x01) + msg));
    EXPECT_EQ(toHex(read(1)), toHex(timestamp() + char(0x00) + msg));
    EXPECT_EQ(toHex(read(2)), toHex(timestamp() + msg));
}

TEST_F(MessagePathE2ETest, J1708TrafficLosesItsChecksumAndEchoesLoseThePriority)
{
    ASSERT_EQ(connect("J1708"), 1);
    Cliente* c = g.getCliente(1);
    c->setFilterState(1);
    c->setEchoMode(true);

    link.deliver(receivedFrame(PROTOCOLO_J1708, hex("037a")));
    EXPECT_EQ(toHex(read(1)), toHex(timestamp() + hex("00" "03")));

    ASSERT_EQ(g.RP1210_SendMessage(1, "\x08\x80\x01", 3, 0, 0), 0);
    EXPECT_EQ(toHex(read(1)), toHex(timestamp() + hex("01" "8001")));
    // On the wire the library appended the checksum.
    const QList<QByteArray> frames = link.frames();
    ASSERT_FALSE(frames.isEmpty());
    EXPECT_TRUE(frames.last().endsWith(hex("0880017f"))) << toHex(frames.last());
}

// The send path refuses exactly what the send thread could not number in sixteen segments.
TEST_F(MessagePathE2ETest, LongestAcceptedMessageIsTheLongestTheSendThreadSegments)
{
    ASSERT_EQ(connect("CAN"), 1);
    g.getCliente(1)->setEchoMode(true);
    ASSERT_TRUE(link.waitForFrames(1));  // the connect request
    const QByteArray longest(7054, 0x5A);
    ASSERT_EQ(g.RP1210_SendMessage(1, longest.constData(), short(longest.size()), 0, 0), 0);
    // The echo comes once the adapter has the last of the sixteen segments.
    g.getCliente(1)->setBlockingTimeout(5000);
    std::vector<char> buf(8000);
    const short n = g.RP1210_ReadMessage(1, buf.data(), short(buf.size()), 1);
    ASSERT_EQ(n, 4 + 1 + longest.size());
    EXPECT_EQ(QByteArray(buf.data() + 5, longest.size()), longest);
    const QList<QByteArray> frames = link.frames();
    ASSERT_EQ(frames.size(), 1 + 16);
    EXPECT_EQ(toHex(frames.last().mid(1, 1) + frames.last().mid(6, 1)), "d2 ff");

    const QByteArray tooLong(7055, 0x5A);
    EXPECT_EQ(g.RP1210_SendMessage(1, tooLong.constData(), short(tooLong.size()), 0, 0),
              rp1210rc::MESSAGE_TOO_LONG);
    EXPECT_EQ(io.outputListSize(), 0);
    EXPECT_EQ(link.frameCount(), 1 + 16);
}

// Latency from just before each `inject` (made while client 1's reader sleeps in a
// blocking read) to the return of that read; prints median, p99 and max.
void measure(GestorRP1210& g, int count, const char* what, const std::function<void(int)>& inject)
{
    std::mutex m;
    std::condition_variable cv;
    int done = 0;
    std::vector<Steady::time_point> returned(static_cast<size_t>(count));
    std::atomic<long> tid{0};
    std::atomic<int> failures{0};

    std::thread reader([&] {
        tid = currentThreadTid();
        char buf[64];
        for (int i = 0; i < count; ++i) {
            const short n = g.RP1210_ReadMessage(1, buf, sizeof buf, 1);
            const auto now = Steady::now();
            if (n <= 0)
                ++failures;
            {
                std::lock_guard<std::mutex> lock(m);
                returned[size_t(i)] = now;
                ++done;
            }
            cv.notify_all();
            if (n <= 0)
                return;
        }
    });

    std::vector<double> us;
    us.reserve(size_t(count));
    for (int i = 0; i < count; ++i) {
        if (!waitUntil([&] { return threadIsSleeping(tid); }, 5000ms)) {
            ADD_FAILURE() << "reader never blocked";
            break;
        }
        const auto t0 = Steady::now();
        inject(i);
        std::unique_lock<std::mutex> lock(m);
        if (!cv.wait_for(lock, 5000ms, [&] { return done > i; })) {
            ADD_FAILURE() << "message " << i << " never read";
            break;
        }
        us.push_back(std::chrono::duration<double, std::micro>(returned[size_t(i)] - t0).count());
    }
    if (int(us.size()) < count)
        g.getCliente(1)->setPendiente_desconexion(true);  // frees the reader
    reader.join();
    g.getCliente(1)->setPendiente_desconexion(false);
    EXPECT_EQ(failures.load(), 0);
    ASSERT_EQ(int(us.size()), count);
    std::sort(us.begin(), us.end());
    std::printf("[ latency  ] %s: %d messages, median %.1f us, p99 %.1f us, max %.1f us\n", what, count,
                us[us.size() / 2], us[std::min(us.size() - 1, us.size() * 99 / 100)], us.back());
#ifndef RP1210CORE_SANITIZED
    EXPECT_LT(us[us.size() / 2], 5000.0) << what;
#endif
}

constexpr int kLatencySamples = 2000;

TEST_F(MessagePathE2ETest, BlockedReaderReturnsSoonAfterTheTransportDeliversAMessage)
{
    ASSERT_EQ(connect("J1939"), 1);
    g.getCliente(1)->setFilterState(1);
    measure(g, kLatencySamples, "storeMsg of a code-5 frame -> blocked RP1210_ReadMessage returns", [&](int i) {
        const QByteArray frame = receivedFrame(PROTOCOLO_J1939, hex("00ef00" "06" "f9" "00") + be16(i));
        in.storeMsg(frame.constData(), quint32(frame.size()));
    });
}

TEST_F(MessagePathE2ETest, BlockedReaderReturnsSoonAfterTheRouting)
{
    ASSERT_EQ(connect("J1939"), 1);
    g.getCliente(1)->setFilterState(1);
    measure(g, kLatencySamples, "almacenarMsjBuzon -> blocked RP1210_ReadMessage returns", [&](int i) {
        QByteArray message = hex("01020304" "00ef00" "06" "f9" "00") + be16(i);
        g.almacenarMsjBuzon(PROTOCOLO_J1939, message);
    });
}

}  // namespace
