// The core wired as a host wires it over the fake transport, with a hand-moved clock:
// tests call the API and read the request frames on the wire, and the fake adapter
// answers from its own thread. A silent adapter's waits end only when the clock moves.
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
struct ClockHolder {
    FakeClock clock;
};

struct WireRig : ClockHolder, LinkRig {
    WireRig()
    {
        g.setClock(&clock);
        clock.onMove([this] { g.wakeWaiters(); });
    }

    short connectOn(const char* type, int version, const char* connectString)
    {
        link.setInterface(QString::fromLatin1(type), version);
        return connect(connectString);
    }

    // The command with a heap buffer of exactly the given bytes (null when empty), so
    // the address sanitizer sees any access past it.
    short cmd(short command, short client, const QByteArray& bytes)
    {
        std::vector<char> buf(bytes.begin(), bytes.end());
        return g.RP1210_SendCommand(command, client, buf.empty() ? nullptr : buf.data(), short(buf.size()));
    }
    short cmd(short command, short client, const char* hexBytes) { return cmd(command, client, hex(hexBytes)); }

    // Every queued frame has been written (the send thread writes under the list lock).
    void settle() { EXPECT_TRUE(waitUntil([&] { return io.outputListSize() == 0; })); }
    int mark()
    {
        settle();
        return link.frameCount();
    }
    // The frames of one service code written since `from`, in hex; code -1: all.
    std::vector<std::string> wire(int code, int from = 0)
    {
        settle();
        std::vector<std::string> out;
        const QList<QByteArray> frames = link.frames();
        for (int i = from; i < frames.size(); ++i)
            if (code < 0 || (frames[i].size() > 1 && quint8(frames[i][1]) == code))
                out.push_back(toHex(frames[i]));
        return out;
    }
    int count(int code, int from = 0) { return int(wire(code, from).size()); }

    // The adapter answers `code` with the fixed bytes, byte 2 replaced by the request's
    // byte 2 (its client) when `echoClient`.
    void reply(quint8 code, const char* answerHex, bool echoClient = true)
    {
        const QByteArray a = hex(answerHex);
        onService(code, [a, echoClient](const QByteArray& w) {
            QByteArray f = a;
            if (echoClient && f.size() > 2 && w.size() > 2)
                f[2] = w[2];
            return QList<QByteArray>{f};
        });
    }

    // Back to the healthy adapter's connect answer: ok, at the requested speed.
    void answerConnects()
    {
        onService(2, [](const QByteArray& w) { return QList<QByteArray>{hex("0402") + w[2] + char(0) + w[4]}; });
    }

    // Runs f on another thread, moving the clock a second at a time until it returns, as
    // a silent adapter makes a call wait out its limit. Returns f's result and the seconds moved.
    template <class F>
    std::pair<short, int> runWhileClockMoves(F f)
    {
        auto result = std::async(std::launch::async, f);
        int moved = 0;
        while (result.wait_for(std::chrono::milliseconds(2)) != std::future_status::ready) {
            clock.advanceSeconds(1);
            ++moved;
        }
        return {result.get(), moved};
    }
    // Runs f expecting no answer wait; if it waits, moves the clock so the test fails, not hangs.
    template <class F>
    short withoutWait(F f)
    {
        auto result = std::async(std::launch::async, f);
        if (result.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            ADD_FAILURE() << "the call waited for the adapter";
            while (result.wait_for(std::chrono::milliseconds(2)) != std::future_status::ready)
                clock.advanceSeconds(1);
        }
        return result.get();
    }

    bool linkOpen() const { return io.getRunning() && in.isRunning(); }
};
