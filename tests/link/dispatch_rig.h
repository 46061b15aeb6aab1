// Shared by the dispatch and receive-ring tests: hex frames, a recording transport and
// a Gestor_IO wired to its own manager.
#pragma once

#include "link/gestor_io.h"
#include "link/iproxy_link.h"
#include "rp1210/gestor_rp1210.h"
#include "support/wait_until.h"

#include <QByteArray>
#include <QString>

#include <mutex>
#include <vector>

namespace dispatch_rig {

// "04 05 10" -> bytes; spaces are ignored.
inline QByteArray hex(const char* text)
{
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}

inline QByteArray filled(int n, int first = 0)
{
    QByteArray out(n, '\0');
    for (int i = 0; i < n; ++i)
        out[i] = static_cast<char>((first + i) & 0xFF);
    return out;
}

class RecordingLink final : public IProxyLink {
public:
    short initializeConnection() override { return 0; }
    bool writeData(const char* data, int length) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        writes_.emplace_back(data, length);
        return true;
    }
    void getTypeInterface(QString& type, int& version, int& other) override
    {
        type = QStringLiteral("J");
        version = 1;
        other = 0;
    }
    void limpiarDescargarProxy() override {}
    int getComChannel() override { return 1; }

    std::vector<QByteArray> writes() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return writes_;
    }
    size_t count() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return writes_.size();
    }

private:
    mutable std::mutex mutex_;
    std::vector<QByteArray> writes_;
};

// A manager with its sixteen clients and an output manager on a recording transport.
struct LinkRig {
    LinkRig()
    {
        io.setGestorRP1210(&g);
        io.setIProxyLink(&link);
    }
    ~LinkRig() { io.pararHiloEnvio(); }

    Cliente* connect(quint8 id, quint8 protocolo, bool echo = false)
    {
        Cliente* c = g.getCliente(id);
        c->setProtocolo(protocolo);
        c->setConectado(true);
        c->setEchoMode(echo);
        c->setFilterState(1);
        return c;
    }

    // The dispatch gets its own copy, as the ring slot it normally reads.
    void dispatch(const QByteArray& frame)
    {
        QByteArray copy(frame);
        io.switchApplication(copy);
    }

    // Sends one message through the real send thread so that it is remembered under its
    // counter and holds an in-flight slot, as for a real answer; returns the counter.
    int send(quint8 client, quint8 protocolo, bool echo, const QByteArray& data)
    {
        if (!io.getRunning())
            io.ArrancarHiloEnvio(VCI_J, 0);
        const size_t before = link.count();
        io.GenerarTrama_EnviarMensaje(client, protocolo, echo, data, 0xFF);
        if (!waitUntil([&] { return link.count() > before; }))
            return -1;
        return static_cast<quint8>(link.writes().back().at(4));
    }

    GestorRP1210 g;
    RecordingLink link;
    Gestor_IO io;
};

}  // namespace dispatch_rig
