// A manager wired to the fake output and input managers and to a hand-moved clock.
#pragma once

#include "rp1210/gestor_rp1210.h"
#include "support/fake_clock.h"
#include "support/fake_gestor_output.h"

#include <chrono>
#include <future>
#include <utility>

struct ManagerRig {
    ManagerRig() : out(g)
    {
        g.setIGestorOutput(&out);
        g.setIGestorInput(&in);
        g.setClock(&clock);
        clock.onMove([this] { g.wakeWaiters(); });
    }

    short connect(const char* connectString, short appPacketizing = 0, qint32 tx = 0, qint32 rx = 0)
    {
        return g.RP1210_ClientConnect(0, 1, connectString, tx, rx, appPacketizing);
    }

    // Runs f on another thread while moving the clock one second at a time until it
    // returns, as a silent adapter makes a call wait out its limit. Returns f's result
    // and the seconds the clock moved.
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

    GestorRP1210 g;
    FakeClock clock;
    FakeGestorOutput out;
    FakeGestorInput in;
};
