#include "client/cliente.h"
#include "client_test_util.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using clienttest::Flag;

namespace {

constexpr quint32 kMessages = 20000;

QByteArray numbered(quint32 n)
{
    QByteArray m(8, '\0');
    std::memcpy(m.data() + 4, &n, 4);
    return m;
}

quint32 numberOf(const char* buf)
{
    quint32 n;
    std::memcpy(&n, buf + 4, 4);
    return n;
}

// A client whose receive queue holds every numbered message at once.
struct BigQueue {
    BigQueue() { c.setFilterState(1); }
    Cliente c{1, PROTOCOLO_CAN, 0, qint32(kMessages * 8), false};
};

// Runs a reader waiting without limit, triggers `wake` and checks that it returns within 2 s.
// A reader left blocked is released with a message so the test can end.
qint16 readAfterWake(Cliente& c, const std::function<void()>& wake, quint32* number)
{
    Flag started, finished;
    std::atomic<int> result{-1};
    std::thread reader([&] {
        char buf[16];
        started.set();
        result = c.GetMsjToRead(buf, sizeof buf, -1);
        if (result == 8)
            *number = numberOf(buf);
        finished.set();
    });
    EXPECT_TRUE(started.waitFor(5s));
    wake();
    const bool woke = finished.waitFor(2s);
    if (!woke) {
        QByteArray m = numbered(0);
        c.addMsjRecibidoECHO(m);
    }
    reader.join();
    EXPECT_TRUE(woke);
    return qint16(result.load());
}

}  // namespace

TEST(ClienteThreads, EveryMessageArrivesOnceAndInOrder)
{
    BigQueue q;
    std::atomic<bool> stop{false};
    std::atomic<quint32> refused{0};
    std::vector<quint32> seen;
    seen.reserve(kMessages);
    Flag done;
    std::thread producer([&] {
        for (quint32 i = 0; i < kMessages && !stop; ++i) {
            QByteArray m = numbered(i);
            refused += q.c.addMsjRecibido(m) != 0;
        }
    });
    std::thread consumer([&] {
        char buf[16];
        for (qint16 n = 0; seen.size() < kMessages && !stop && (n == 0 || n == 8);) {
            n = q.c.GetMsjToRead(buf, sizeof buf, 100);
            if (n == 8)
                seen.push_back(numberOf(buf));
        }
        done.set();
    });
    const bool finished = done.waitFor(30s);  // watchdog
    stop = true;
    q.c.setPendiente_desconexion(true);
    producer.join();
    consumer.join();

    ASSERT_TRUE(finished) << "only " << seen.size() << " messages arrived";
    EXPECT_EQ(refused.load(), 0u);
    ASSERT_EQ(seen.size(), size_t(kMessages));
    for (quint32 i = 0; i < kMessages; ++i)
        ASSERT_EQ(seen[i], i);
    EXPECT_EQ(q.c.receivedCount(), 0);
    EXPECT_EQ(q.c.getfreeBufferEntrada(), qint32(kMessages * 8));
}

TEST(ClienteThreads, TwoReadersShareTheQueueWithoutLossOrDuplicates)
{
    BigQueue q;
    std::atomic<quint32> taken{0};
    std::atomic<bool> stop{false};
    std::vector<std::vector<quint32>> seen(2);
    Flag readersDone[2];
    std::vector<std::thread> readers;
    for (int r = 0; r < 2; ++r) {
        readers.emplace_back([&, r] {
            char buf[16];
            while (taken < kMessages && !stop) {
                if (q.c.GetMsjToRead(buf, sizeof buf, 50) == 8) {
                    seen[size_t(r)].push_back(numberOf(buf));
                    ++taken;
                }
            }
            readersDone[r].set();
        });
    }
    std::thread producer([&] {
        for (quint32 i = 0; i < kMessages; ++i) {
            QByteArray m = numbered(i);
            q.c.addMsjRecibido(m);
        }
    });
    const bool finished = readersDone[0].waitFor(30s) && readersDone[1].waitFor(30s);
    stop = true;
    producer.join();
    for (auto& t : readers)
        t.join();

    ASSERT_TRUE(finished) << "only " << taken.load() << " messages arrived";
    std::vector<int> count(kMessages, 0);
    for (const auto& list : seen) {
        for (size_t i = 1; i < list.size(); ++i)
            EXPECT_LT(list[i - 1], list[i]);  // each reader sees queue order
        for (quint32 n : list)
            ++count[n];
    }
    for (quint32 i = 0; i < kMessages; ++i)
        ASSERT_EQ(count[i], 1) << "message " << i;
}

// A reader racing deleteMsjRecibido gets a whole message or nothing, and the token count
// matches the queue afterwards.
TEST(ClienteThreads, FlushWhileReadingNeverHandsOutAStaleMessage)
{
    Cliente c(1, PROTOCOLO_CAN, 0, 0, false);
    c.setFilterState(1);
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::thread reader([&] {
        char buf[16];
        while (!stop) {
            const qint16 n = c.GetMsjToRead(buf, sizeof buf, 5);
            bad += n != 0 && n != 8;
        }
    });
    for (quint32 i = 0; i < 3000; ++i) {
        QByteArray m = numbered(i);
        c.addMsjRecibido(m);
        if (i % 3 == 0)
            c.deleteMsjRecibido();
    }
    stop = true;
    reader.join();
    EXPECT_EQ(bad.load(), 0);
    const int left = c.receivedCount();
    EXPECT_EQ(c.getfreeBufferEntrada(), 8192 - 8 * left);
    char buf[16];
    int read = 0;
    while (c.GetMsjToRead(buf, sizeof buf, 0) == 8)
        ++read;
    EXPECT_EQ(read, left);
}

TEST(ClienteThreads, PendingDisconnectOrAMessageWakesAReaderWaitingWithoutLimit)
{
    quint32 number = 0;
    Cliente a(1, PROTOCOLO_CAN, 0, 0, false);
    EXPECT_EQ(readAfterWake(a, [&] { a.setPendiente_desconexion(true); }, &number), 0);

    Cliente b(1, PROTOCOLO_CAN, 0, 0, false);
    const qint16 n = readAfterWake(b, [&] {
        QByteArray m = numbered(7);
        ASSERT_EQ(b.addMsjRecibidoECHO(m), 0u);
    }, &number);
    EXPECT_EQ(n, 8);
    EXPECT_EQ(number, 7u);
}

TEST(ClienteThreads, ReaderDoesNotWaitOnceDisconnectIsPending)
{
    // The flag set before the wait starts must still end it: no wake can be missed.
    Cliente c(1, PROTOCOLO_CAN, 0, 0, false);
    c.setPendiente_desconexion(true);
    quint32 number = 0;
    EXPECT_EQ(readAfterWake(c, [] {}, &number), 0);

    // Messages already queued are still handed out.
    QByteArray m = numbered(42);
    ASSERT_EQ(c.addMsjRecibidoECHO(m), 0u);
    char buf[16];
    EXPECT_EQ(c.GetMsjToRead(buf, sizeof buf, -1), 8);
    EXPECT_EQ(numberOf(buf), 42u);
}
