// An output manager wired to a fake transport and to its own API manager.
#pragma once

#include "link/gestor_io.h"
#include "rp1210/gestor_rp1210.h"
#include "support/fake_proxy_link.h"

#include <QByteArray>

#include <string>

// Declared in this order so that the send thread stops before what it calls goes.
struct IoRig {
    FakeProxyLink link;
    GestorRP1210 g;
    Gestor_IO io;

    IoRig()
    {
        io.setIProxyLink(&link);
        io.setGestorRP1210(&g);
    }
    ~IoRig() { io.pararHiloEnvio(); }

    // Sets the segmenting mode without leaving the send thread running, so that a
    // test can drive enviarMSG() by hand.
    void selectGeneration(enum_VersionVCI generation)
    {
        io.ArrancarHiloEnvio(generation, 0);
        io.pararHiloEnvio();
    }

    // Runs enviarMSG() until the output list is empty or `limit` passes were made.
    void drain(int limit = 10000)
    {
        for (int i = 0; i < limit && io.outputListSize() > 0; ++i)
            io.enviarMSG();
    }
};

inline QByteArray hex(const char* text) { return QByteArray::fromHex(text); }
inline std::string toHex(const QByteArray& bytes) { return bytes.toHex(' ').toStdString(); }

// n data bytes 0, 1, 2, ... (mod 256).
inline QByteArray pattern(int n)
{
    QByteArray data(n, '\0');
    for (int i = 0; i < n; ++i)
        data[i] = static_cast<char>(i);
    return data;
}
