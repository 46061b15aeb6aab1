// Concurrency stress on the whole driver: 16 clients of several protocols on the software
// adapter and the simulated vehicle send and read at once (blocking and not), with echo,
// filters, a broadcast record, commands and ioctls, while other clients connect and
// disconnect, for RP1210_STRESS_SECONDS (default 20; instrumented builds carry a lighter
// load for the same time).
//
// Pass: no sanitizer report; no thread stalls (a watchdog prints every thread's position,
// and the stacks when gdb is present, then aborts); and every message accounted for. A
// node on the bus numbers its frames: a client with room in its queue reads each exactly
// once and in order; a client with a small queue reads them in order, and misses one only
// after its queue refused a message. Each echo client reads each of its accepted messages
// back once and in order, or the adapter refused it.
#include "stress_rig.h"

#include <gtest/gtest.h>

namespace stress {
namespace {

// ---- the client kinds ----

// Reads `client` until told to stop and every frame the node wrote is accounted for.
void trackedReader(Rig& run, Tracked& t)
{
    Position& at = run.positions.add("reader " + t.name);
    std::vector<char> buffer(512);
    const bool block = t.blocking;
    while (!run.finished()) {
        at.step(block ? "blocking read" : "polling read");
        const short n = run.rig.g.RP1210_ReadMessage(t.id, buffer.data(), short(buffer.size()), block ? 1 : 0);
        if (n < 0) {
            t.fail("read answered " + std::to_string(n));
            return;
        }
        if (n > 0)
            t.take(QByteArray(buffer.data(), n), run);
        if (t.tight && t.pauseEvery > 0 && ++t.readsSincePause % t.pauseEvery == 0) {
            at.step("pausing so the queue fills");
            std::this_thread::sleep_for(std::chrono::milliseconds(20));  // load shape, not synchronisation
        }
    }
    at.step("reading what is left");
    for (short n; (n = run.rig.g.RP1210_ReadMessage(t.id, buffer.data(), short(buffer.size()), 0)) != 0;) {
        if (n < 0) {
            t.fail("read answered " + std::to_string(n));
            break;
        }
        t.take(QByteArray(buffer.data(), n), run);
    }
    at.step("done");
}

// Sends numbered messages and, between them, commands and ioctls that leave the
// client's traffic as it is.
void sender(Rig& run, Tracked& t)
{
    Position& at = run.positions.add("sender " + t.name);
    quint32 sequence = 0;
    char status[64], api[32], dll[32], fw[32];
    for (int i = 0; !run.stopping(); ++i) {
        at.step("send");
        const QByteArray m = t.message(sequence);
        const short rc = run.rig.g.RP1210_SendMessage(t.id, m.constData(), short(m.size()), 0, 0);
        if (rc == 0)
            t.sent(sequence++);
        else if (rc != rp1210rc::TX_QUEUE_FULL)
            t.fail("send answered " + std::to_string(rc));
        switch (i % 64) {
        case 7:
            at.step("hardware status");
            run.expectOk(t, run.rig.g.RP1210_GetHardwareStatus(t.id, status, short(sizeof status), 1), "status");
            break;
        case 23: {
            at.step("ioctl get config");
            SCONFIG entry{0x02 /* data rate */, 0};
            SCONFIG_LIST list{1, &entry};
            run.expectOk(t, run.rig.g.RP1210_Ioctl(t.id, IOCTL_GET_CONFIG, &list, nullptr), "ioctl");
            break;
        }
        case 41:
            at.step("detailed version");
            run.expectOk(t, run.rig.g.RP1210_ReadDetailedVersion(t.id, api, dll, fw), "version");
            break;
        default:
            break;
        }
        at.step("pacing");
        run.pace(t.sendPeriod);
    }
    at.step("done");
}

// UDS requests to the vehicle, each answered with its VIN before the next goes.
void udsTester(Rig& run, short id)
{
    Position& at = run.positions.add("uds tester");
    const QByteArray request = QByteArray::fromHex("00000007e022f190");
    std::vector<char> buffer(256);
    while (!run.stopping()) {
        at.step("uds request");
        if (run.rig.send(id, request) != 0)
            continue;
        at.step("uds answer");
        bool answered = false;
        for (const auto deadline = Clock::now() + run.load.answerLimit; !answered && Clock::now() < deadline;) {
            const short n = run.rig.g.RP1210_ReadMessage(id, buffer.data(), short(buffer.size()), 1);
            // Timestamp, the header up to 0x7E8, 62 F190 and the VIN.
            answered = n == 4 + 6 + 3 + 17 && quint8(buffer[10]) == 0x62 &&
                       QByteArray(buffer.data() + 13, 17) == rp1210core::bus::SimEngineEcu::kVin;
        }
        if (!answered)
            run.failures.add("uds: no VIN answer within the limit");
        run.udsAnswers += answered;
    }
    at.step("done");
}

// Connects clients of several protocols into whatever slot is free, works them briefly
// with commands that change their state, and disconnects them, sometimes under a reader
// blocked on the client.
void churner(Rig& run, int index)
{
    Position& at = run.positions.add("churner " + std::to_string(index));
    static const char* const kProtocols[] = {"J1939:Baud=250", "CAN:Baud=250", "J1708", "ISO15765:Baud=250"};
    std::minstd_rand random(quint32(index) + 17);
    std::vector<char> buffer(512);
    while (!run.stopping()) {
        const char* protocol = kProtocols[random() % 4];
        at.step("connect");
        const short id = run.rig.g.RP1210_ClientConnect(0, 1, protocol, 0, 2048, 0);
        if (id < 1 || id > 16) {
            if (id != rp1210rc::CLIENT_AREA_FULL)
                run.failures.add(std::string("churn connect ") + protocol + " answered " + std::to_string(id));
            run.pace(std::chrono::milliseconds(5));
            continue;
        }
        ++run.churnConnects;
        std::thread blocked;
        for (int op = 0; op < 12 && !run.stopping(); ++op) {
            char data[16] = {};
            switch (random() % 8) {
            case 0:
                at.step("echo on/off");
                data[0] = char(random() % 2);
                run.rig.g.RP1210_SendCommand(kEchoMessages, id, data, 1);
                break;
            case 1:
                at.step("filters to pass");
                run.rig.g.RP1210_SendCommand(kAllFiltersPass, id, nullptr, 0);
                break;
            case 2:
                at.step("filters to discard");
                run.rig.g.RP1210_SendCommand(kAllFiltersDiscard, id, nullptr, 0);
                break;
            case 3: {
                at.step("broadcast add and clear");
                char add[] = {1, 40, 0, 10, 0, 0x00, char(0xFE), 0x00, 6, char(0xE8), char(0xFF), 1, 2, 3, 4};
                run.rig.g.RP1210_SendCommand(kJ1939Broadcast, id, add, short(sizeof add));
                char clear[] = {3};
                run.rig.g.RP1210_SendCommand(kJ1939Broadcast, id, clear, 1);
                break;
            }
            case 4: {
                at.step("churn send");
                const QByteArray m = QByteArray::fromHex("00ef0006e8300102030405060708");
                run.rig.g.RP1210_SendMessage(id, m.constData(), short(m.size()), 0, 0);
                break;
            }
            case 5:
                at.step("churn poll");
                run.rig.g.RP1210_ReadMessage(id, buffer.data(), short(buffer.size()), 0);
                break;
            case 6: {
                at.step("ioctl set config");
                SCONFIG entry{0x1E /* loopback */, 0};
                SCONFIG_LIST list{1, &entry};
                run.rig.g.RP1210_Ioctl(id, IOCTL_SET_CONFIG, &list, nullptr);
                break;
            }
            default:
                if (!blocked.joinable()) {
                    at.step("start a blocked reader");
                    blocked = std::thread([&run, id] {
                        char b[512];
                        // Without time-out: only data or the disconnect below ends it.
                        while (run.rig.g.RP1210_ReadMessage(id, b, short(sizeof b), 1) >= 0) {
                        }
                    });
                }
                break;
            }
        }
        at.step("disconnect");
        const short rc = run.rig.g.RP1210_ClientDisconnect(id);
        if (rc != 0)
            run.failures.add("churn disconnect answered " + std::to_string(rc));
        if (blocked.joinable()) {
            at.step("join the reader the disconnect released");
            blocked.join();
        }
    }
    at.step("done");
}

TEST(Stress, SixteenClientsAgainstTheSoftwareAdapter)
{
    Rig run;
    std::printf("[ stress ] %d s, node %d frames per ms, %s\n", run.load.seconds, run.load.framesPerMs, run.load.build);
    Watchdog watchdog(run.positions, run.load.stallLimit);

    // 13 clients that stay; 3 slots for the churners.
    std::vector<std::unique_ptr<Tracked>> tracked;
    auto add = [&](Tracked::Kind kind, const char* protocol, const char* name, auto&&... settings) {
        auto t = std::make_unique<Tracked>(kind, name);
        (settings(*t), ...);
        t->id = run.open(protocol, *t);
        ASSERT_GT(t->id, 0) << name << " did not connect";
        tracked.push_back(std::move(t));
    };
    auto echo = [](Tracked& t) { t.echo = true; };
    auto polling = [](Tracked& t) { t.blocking = false; };
    auto tight = [](Tracked& t) { t.tight = true, t.rxBytes = 600, t.pauseEvery = 40; };
    auto nodeFilter = [](Tracked& t) { t.filterOnNode = true; };
    auto repeating = [](Tracked& t) { t.broadcast = true; };
    add(Tracked::J1939, "J1939:Baud=250", "j1939 echo a", echo);
    add(Tracked::J1939, "J1939:Baud=250", "j1939 echo b", echo, polling);
    add(Tracked::J1939, "J1939:Baud=250", "j1939 echo c", echo, repeating);
    add(Tracked::J1939, "J1939:Baud=250", "j1939 filtered", nodeFilter);
    add(Tracked::J1939, "J1939:Baud=250", "j1939 polling", polling);
    add(Tracked::J1939, "J1939:Baud=250", "j1939 tight", tight);
    add(Tracked::Can, "CAN:Baud=250", "can echo", echo);
    add(Tracked::Can, "CAN:Baud=250", "can polling", polling);
    add(Tracked::Can, "CAN:Baud=250", "can tight", tight, polling);
    add(Tracked::J1708, "J1708", "j1708 echo a", echo);
    add(Tracked::J1708, "J1708", "j1708 echo b", echo, polling);
    add(Tracked::J1708, "J1708", "j1708 quiet");
    const short uds = run.rig.open("ISO15765:Baud=250");
    ASSERT_GT(uds, 0);
    ASSERT_EQ(run.rig.flowControl(uds), 0);
    run.rig.g.getCliente(quint8(uds))->setBlockingTimeout(200);

    std::vector<std::thread> threads;
    for (auto& t : tracked) {
        threads.emplace_back([&run, &t] { trackedReader(run, *t); });
        if (t->echo)
            threads.emplace_back([&run, &t] { sender(run, *t); });
    }
    threads.emplace_back([&run, uds] { udsTester(run, uds); });
    for (int i = 0; i < 3; ++i)
        threads.emplace_back([&run, i] { churner(run, i); });
    run.node.start();

    run.waitForTheEnd(tracked);
    for (std::thread& t : threads)
        t.join();

    for (auto& t : tracked) {
        SCOPED_TRACE(t->name);
        t->check(run);
    }
    EXPECT_EQ(run.failures.text(), "");
    EXPECT_GT(run.udsAnswers.load(), 0);
    EXPECT_GT(run.churnConnects.load(), 0);
    EXPECT_GT(run.node.broadcastsHeard(), 0) << "the repeated record never reached the bus";
    std::printf("[ stress ] node frames %ld, deliveries checked %ld, echoes checked %ld, refusals seen by tight "
                "clients %ld, uds answers %ld, churn connects %ld, sends the adapter refused %ld\n",
                long(run.node.written()), run.deliveries.load(), run.echoes.load(), run.tightGaps.load(),
                long(run.udsAnswers), long(run.churnConnects), run.refusals.total());
}

}  // namespace
}  // namespace stress
