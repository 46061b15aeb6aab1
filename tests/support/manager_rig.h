// A manager wired to the fake output and input managers and to a hand-moved clock.
#pragma once

#include "rp1210/gestor_rp1210.h"
#include "support/fake_clock.h"
#include "support/fake_gestor_output.h"

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

    GestorRP1210 g;
    FakeClock clock;
    FakeGestorOutput out;
    FakeGestorInput in;
};
