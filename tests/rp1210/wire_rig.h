// The API over the fake adapter with a hand-moved clock: a silent adapter's waits end only when it moves.
#pragma once

#include "support/bytes.h"
#include "support/fake_clock.h"
#include "support/link_rig.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <utility>
#include <vector>

// A base, so the clock outlives the manager and the threads that read it.
struct ClockHolder { FakeClock clock; };

struct WireRig : ClockHolder, LinkRig {
    WireRig()
    {
        g.setClock(&clock);
        clock.onMove([this] { g.wakeWaiters(); });
    }
    short connectOn(const char* type, int version, const char* connectString)
    {
        return link.setInterface(QString::fromLatin1(type), version), connect(connectString);
    }
    // On a heap buffer of exactly these bytes (null when empty): the address sanitizer sees overreads.
    short cmd(short command, short client, const QByteArray& bytes)
    {
        std::vector<char> b = exactCopy(bytes);
        return g.RP1210_SendCommand(command, client, b.empty() ? nullptr : b.data(), short(b.size()));
    }
    short cmd(short command, short client, const char* hexBytes) { return cmd(command, client, hex(hexBytes)); }

    // Every queued frame has been written (the send thread writes under the list lock).
    void settle()
    {
        while (!io.getRunning() && io.outputListSize() > 0)  // a test that stopped the send thread sends by hand
            io.enviarMSG();
        EXPECT_TRUE(waitUntil([&] { return io.outputListSize() == 0; }));
    }
    int mark() { return settle(), link.frameCount(); }
    // The frames of one service code (-1: all) written since `from`, in hex.
    std::vector<std::string> wire(int code, int from = 0)
    {
        settle();
        std::vector<std::string> out;
        for (const QByteArray& f : link.frames().mid(from))
            if (code < 0 || (f.size() > 1 && quint8(f[1]) == code))
                out.push_back(toHex(f));
        return out;
    }
    int count(int code, int from = 0) { return int(wire(code, from).size()); }
    // The adapter answers `code` with these bytes, byte 2 the request's client when `echoClient`.
    void reply(quint8 code, const char* answerHex, bool echoClient = true)
    {
        onService(code, [a = hex(answerHex), echoClient](const QByteArray& w) {
            return QList<QByteArray>{echoClient && a.size() > 2 && w.size() > 2 ? a.left(2) + w[2] + a.mid(3) : a};
        });
    }
    // Runs f on another thread, moving the clock a second at a time until it returns: f's result and the seconds moved.
    template <class F>
    std::pair<short, int> runWhileClockMoves(F f)
    {
        auto result = std::async(std::launch::async, f);
        int moved = 0;
        for (; result.wait_for(std::chrono::milliseconds(2)) != std::future_status::ready; ++moved)
            clock.advanceSeconds(1);
        return {result.get(), moved};
    }
    // Runs f expecting no answer wait; if it waits, fails and moves the clock rather than hang.
    template <class F>
    short withoutWait(F f)
    {
        auto result = std::async(std::launch::async, f);
        if (result.wait_for(std::chrono::seconds(5)) != std::future_status::ready)
            ADD_FAILURE() << "the call waited for the adapter";
        return runWhileClockMoves([&] { return result.get(); }).first;
    }
    bool linkOpen() const { return io.getRunning() && in.isRunning(); }
};
