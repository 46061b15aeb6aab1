// Manager rig for send commands: buffers of exactly the caller's size, so ASan sees overruns.
#pragma once

#include "support/bytes.h"
#include "support/manager_rig.h"

#include <gtest/gtest.h>

#include <QByteArray>

#include <chrono>
#include <future>
#include <string>
#include <vector>

struct CommandRig : ManagerRig {
    CommandRig()
    {
        out.answerConnect(RESP_SERV_OK);
        out.answerDisconnect(RESP_SERV_OK);
        out.answerPicConnection(RESP_SERV_OK);
    }

    // Connects one client on the adapter generation of the interface letter and version.
    short connectOn(const char* type, int version, const char* connectString)
    {
        out.setInterface(QString::fromLatin1(type), version);
        return connect(connectString);
    }

    // Runs the command with a heap buffer holding exactly `bytes` (null when empty).
    short cmd(short command, short client, const QByteArray& bytes)
    {
        std::vector<char> buf(bytes.begin(), bytes.end());
        return g.RP1210_SendCommand(command, client, buf.empty() ? nullptr : buf.data(),
                                    static_cast<short>(buf.size()));
    }
    short cmd(short command, short client, std::initializer_list<int> bytes)
    {
        QByteArray b;
        for (int v : bytes)
            b.append(static_cast<char>(v));
        return cmd(command, client, b);
    }
    short cmdHex(short command, short client, const char* h) { return cmd(command, client, hex(h)); }

    // Answers every later call of `builder` with `state`, through `update`.
    template <class Update>
    void answer(const std::string& builder, Update update)
    {
        out.respond(builder, [update](GestorRP1210& g, const OutputCall& c) { update(g, c); });
    }
    void answerSlot(const std::string& builder, void (GestorRP1210::*set)(RESPONSES_SERV_RP1210), int state)
    {
        out.respond(builder, [set, state](GestorRP1210& g, const OutputCall&) {
            (g.*set)(static_cast<RESPONSES_SERV_RP1210>(state));
        });
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

    int callCount() const { return static_cast<int>(out.calls().size()); }
};
