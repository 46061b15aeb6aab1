// An output manager on a fake transport and its own API manager: the send loop driven by
// hand, frames handed to the dispatch.
#pragma once

#include "link/gestor_io.h"
#include "rp1210/gestor_rp1210.h"
#include "support/bytes.h"
#include "support/fake_proxy_link.h"
#include "support/wait_until.h"

// Declared in this order so that the send thread stops before what it calls goes.
struct IoRig {
    FakeProxyLink link;
    GestorRP1210 g;
    Gestor_IO io;

    explicit IoRig(bool running = false, enum_VersionVCI generation = VCI_J)
    {
        io.setIProxyLink(&link);
        io.setGestorRP1210(&g);
        if (running)
            io.ArrancarHiloEnvio(generation, 0);
    }
    ~IoRig()  // the fake's thread may still be dispatching into io
    {
        link.stop();
        io.pararHiloEnvio();
    }

    // Sets the segmenting mode and leaves the send thread stopped.
    void selectGeneration(enum_VersionVCI generation) { io.ArrancarHiloEnvio(generation, 0), io.pararHiloEnvio(); }
    // Runs enviarMSG() until the output list is empty or `limit` passes were made.
    void drain(int limit = 10000)
    {
        for (int i = 0; i < limit && io.outputListSize() > 0; ++i)
            io.enviarMSG();
    }
    void queue(int protocolo, int n, int dataBytes = 4, quint8 client = 1)
    {
        for (int i = 0; i < n; ++i)
            io.GenerarTrama_EnviarMensaje(client, quint8(protocolo), false, pattern(dataBytes), 0xFF);
    }
    Cliente* connect(quint8 id, quint8 protocolo, bool echo = false)
    {
        Cliente* c = g.getCliente(id);
        c->setProtocolo(protocolo);
        c->setConectado(true);
        c->setEchoMode(echo);
        c->setFilterState(1);
        return c;
    }
    void dispatch(QByteArray frame) { io.switchApplication(frame); }  // its own copy, as a ring slot
    // Sent by the real send thread: remembered and in flight; returns its counter.
    int send(quint8 client, quint8 protocolo, bool echo, const QByteArray& data)
    {
        if (!io.getRunning())
            io.ArrancarHiloEnvio(VCI_J, 0);
        const int before = link.frameCount();
        io.GenerarTrama_EnviarMensaje(client, protocolo, echo, data, 0xFF);
        return link.waitForFrames(before + 1) ? quint8(link.frames().back().at(4)) : -1;
    }
};
