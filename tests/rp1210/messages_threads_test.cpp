// Concurrent senders, the routing thread, one blocked reader per client and a churning client.
#include "support/manager_rig.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QtEndian>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr int kSenders = 3;     // clients 1..3 send
constexpr int kReaders = 4;     // clients 1..4 read
constexpr int kPerSender = 300;

// What one reader saw: for network traffic (kind 0) and echoes (kind 1), how often each
// (sender, sequence) arrived, and whether a sender's messages ever came out of order.
struct Seen {
    std::vector<int> counts[2] = {std::vector<int>((kSenders + 1) * kPerSender, 0),
                                  std::vector<int>((kSenders + 1) * kPerSender, 0)};
    int outOfOrder = 0;
    int malformed = 0;
    short lastResult = 0;
};

TEST(MessageThreadsTest, EveryMessageReachesEveryReaderExactlyOnce)
{
    ManagerRig rig;
    GestorRP1210& g = rig.g;
    rig.out.answerConnect(RESP_SERV_OK);
    rig.out.answerDisconnect(RESP_SERV_OK);
    for (short id = 1; id <= kReaders; ++id) {
        ASSERT_EQ(rig.connect("J1939", 0, 0, /*rx*/ 1 << 20), id);
        g.getCliente(quint8(id))->setFilterState(1);
    }
    g.getCliente(1)->setEchoMode(true);

    // The adapter returns every message as network traffic and, with echo, as its sender's echo.
    std::atomic<quint32> stamp{0};
    rig.out.respond("GenerarTrama_EnviarMensaje", [&stamp](GestorRP1210& gm, const OutputCall& call) {
        QByteArray ts(4, '\0');
        qToBigEndian<quint32>(stamp++, ts.data());
        QByteArray received = ts + call.data;
        gm.almacenarMsjBuzon(quint8(call.args[1]), received);
        if (call.args[2] != 0) {
            QByteArray confirmation = ts + call.data;
            gm.almacenarMsjconECHO(quint8(call.args[0]), 1, confirmation, QByteArray());
        }
    });

    std::vector<std::future<Seen>> readers;
    for (short id = 1; id <= kReaders; ++id) {
        const int expected = kSenders * kPerSender + (id == 1 ? kPerSender : 0);
        readers.push_back(std::async(std::launch::async, [&g, id, expected] {
            Seen seen;
            std::vector<int> last[2] = {std::vector<int>(kSenders + 1, -1), std::vector<int>(kSenders + 1, -1)};
            const bool echo = g.getCliente(quint8(id))->getEchoMode();
            char buf[64];
            int got = 0;
            while (got < expected) {
                const short n = g.RP1210_ReadMessage(id, buf, sizeof buf, 1);
                seen.lastResult = n;
                if (n <= 0)
                    break;  // freed by the watchdog
                const int at = echo ? 5 : 4;
                const int kind = echo && buf[4] == 0x01 ? 1 : 0;
                // Payload: PGN (3), priority, source, destination, sender, sequence (2).
                if (n != at + 9) {
                    ++seen.malformed;
                    continue;
                }
                const int sender = quint8(buf[at + 6]);
                const int seq = quint8(buf[at + 7]) * 256 + quint8(buf[at + 8]);
                if (sender == 0)
                    continue;  // the churning client's traffic
                ++got;
                if (sender < 1 || sender > kSenders || seq >= kPerSender) {
                    ++seen.malformed;
                    continue;
                }
                ++seen.counts[kind][size_t(sender * kPerSender + seq)];
                if (seq <= last[kind][size_t(sender)])
                    ++seen.outOfOrder;
                last[kind][size_t(sender)] = seq;
            }
            return seen;
        }));
    }

    std::promise<void> start;
    const std::shared_future<void> go = start.get_future().share();
    std::atomic<int> sendFailures{0};
    std::atomic<int> sendersLeft{kSenders};
    std::vector<std::thread> senders;
    for (short id = 1; id <= kSenders; ++id) {
        senders.emplace_back([&g, go, &sendFailures, &sendersLeft, id] {
            go.wait();
            for (int seq = 0; seq < kPerSender; ++seq) {
                const char msg[9] = {0x00, char(0xEF), 0x00, 0x06, char(id), 0x00,
                                     char(id), char(seq >> 8), char(seq & 0xFF)};
                if (g.RP1210_SendMessage(id, msg, sizeof msg, 0, 0) != 0)
                    ++sendFailures;
            }
            --sendersLeft;
        });
    }

    std::atomic<int> churnCycles{0};  // a fifth client; its messages carry sender 0
    constexpr int kMinChurnCycles = 20;
    std::thread churn([&] {
        go.wait();
        while (sendersLeft > 0 || churnCycles < kMinChurnCycles) {
            const short id = rig.connect("J1939");
            if (id < 1)
                continue;
            g.getCliente(quint8(id))->setFilterState(1);
            char buf[64];
            g.RP1210_ReadMessage(id, buf, sizeof buf, 0);
            g.RP1210_SendMessage(id, "\x00\xEF\x00\x06\x05\x00\x00\x00\x00", 9, 0, 0);
            g.RP1210_ClientDisconnect(id);
            ++churnCycles;
        }
    });

    start.set_value();
    for (auto& t : senders)
        t.join();
    churn.join();

    // Watchdog: readers not done in time are freed by disconnecting them.
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    for (short id = 1; id <= kReaders; ++id) {
        if (readers[size_t(id - 1)].wait_until(deadline) != std::future_status::ready) {
            ADD_FAILURE() << "reader of client " << id << " still waiting";
            for (short other = 1; other <= kReaders; ++other)
                g.getCliente(quint8(other))->setPendiente_desconexion(true);
        }
    }

    EXPECT_EQ(sendFailures.load(), 0);
    EXPECT_GE(churnCycles.load(), kMinChurnCycles);
    int fromSenders = 0;
    for (const auto& call : rig.out.calls("GenerarTrama_EnviarMensaje"))
        fromSenders += call.args[0] >= 1 && call.args[0] <= kSenders ? 1 : 0;
    EXPECT_EQ(fromSenders, kSenders * kPerSender);

    for (short id = 1; id <= kReaders; ++id) {
        SCOPED_TRACE("client " + std::to_string(id));
        const Seen seen = readers[size_t(id - 1)].get();
        EXPECT_GT(seen.lastResult, 0);
        EXPECT_EQ(seen.malformed, 0);
        EXPECT_EQ(seen.outOfOrder, 0);
        int wrongNetwork = 0;
        int wrongEcho = 0;
        for (int sender = 1; sender <= kSenders; ++sender) {
            for (int seq = 0; seq < kPerSender; ++seq) {
                const size_t k = size_t(sender * kPerSender + seq);
                wrongNetwork += seen.counts[0][k] != 1;
                // Only client 1 asked for echoes, and it echoes only its own messages.
                wrongEcho += seen.counts[1][k] != (id == 1 && sender == 1 ? 1 : 0);
            }
        }
        EXPECT_EQ(wrongNetwork, 0);
        EXPECT_EQ(wrongEcho, 0);
    }
    rig.out.drainAnswers();
}

}  // namespace
