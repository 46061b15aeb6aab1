// The whole core wired as a host wires it, over a fake transport answering as a healthy
// adapter unless a test overrides a service code.
#pragma once

#include "link/gestor_input.h"
#include "link/gestor_io.h"
#include "rp1210/gestor_rp1210.h"
#include "rp1210/wiring.h"
#include "support/fake_proxy_link.h"

#include <QByteArray>
#include <QList>

#include <functional>
#include <map>
#include <mutex>

class LinkRig {
public:
    using Answer = std::function<QList<QByteArray>(const QByteArray& request)>;

    LinkRig()
    {
        rp1210core::internal::wireCore(g, io, in, &link);
        link.setInterface(QStringLiteral("A"), 7);  // a segmenting generation
        link.setDelivery([this](const QByteArray& f) { in.storeMsg(f.constData(), quint32(f.size())); });
        link.setResponder([this](const QByteArray& w) { return answer(w); });
    }
    ~LinkRig()  // the fake's thread first: it delivers into `in`, which dispatches into io and g
    {
        link.stop();
        in.pararHiloRecepcion();
        io.pararHiloEnvio();
        g.setIGestorOutput(nullptr);
    }

    // Replaces the adapter's answer to one service code (an empty list: silence).
    void onService(quint8 code, Answer a)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        answers_[code] = std::move(a);
    }
    void silence(quint8 code) { onService(code, [](const QByteArray&) { return QList<QByteArray>(); }); }

    static QByteArray timestamp() { return QByteArray::fromHex("0a0b0c0d"); }
    // A code-5 frame carrying one received network message.
    static QByteArray receivedFrame(quint8 protocolo, const QByteArray& message)
    {
        const int l = 4 + message.size();
        return QByteArray::fromHex("0405") + char(protocolo) + char(l >> 8) + char(l & 0xFF) + timestamp() + message;
    }
    // The confirmation of send frame `w`: its protocol, state 0, its counter, no data.
    static QByteArray sendAnswer(const QByteArray& w)
    {
        return QByteArray::fromHex("0404") + w.mid(3, 1) + '\0' + w.mid(4, 1) + timestamp() + QByteArray(2, '\0');
    }

    short connect(const char* connectString, short appPacketizing = 0) { return g.RP1210_ClientConnect(0, 1, connectString, 0, 0, appPacketizing); }

    GestorRP1210 g;
    Gestor_IO io;
    GestorInput in;
    FakeProxyLink link;

private:
    QList<QByteArray> answer(const QByteArray& w)
    {
        if (w.size() < 2 || quint8(w[0]) != 0x04)
            return {};
        {
            std::lock_guard<std::mutex> lock(mutex_);
            const auto it = answers_.find(quint8(w[1]));
            if (it != answers_.end())
                return it->second(w);
        }
        const QByteArray head = w.left(3), ok(1, '\0');  // class, code, client
        switch (quint8(w[1])) {
        case 0x02:  // connect: ok, at the requested speed
            return {head + ok + w.mid(4, 1)};
        case 0x03: case 0x0A: return {head + ok};
        case 0x04: return {sendAnswer(w)};
        case 0xD2:  // only the last segment completes the message
            return (quint8(w[6]) >> 4) == (quint8(w[6]) & 0x0F) ? QList<QByteArray>{sendAnswer(w)} : QList<QByteArray>{};
        case 0x06: return {head + QByteArray::fromHex("a0a1a2a3a4a5a6a7")};  // hardware status
        case 0x10: return {head};
        default: return {};
        }
    }

    std::mutex mutex_;
    std::map<quint8, Answer> answers_;
};
