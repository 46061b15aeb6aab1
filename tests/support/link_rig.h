// The whole core wired as a host wires it, over a fake transport that plays a simple
// adapter from its own thread: every request frame gets the answer a healthy adapter
// gives, unless a test overrides the answer for that service code.
#pragma once

#include "link/gestor_input.h"
#include "link/gestor_io.h"
#include "rp1210/gestor_rp1210.h"
#include "rp1210/wiring.h"
#include "support/fake_proxy_link.h"

#include <QByteArray>
#include <QList>

#include <atomic>
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

    ~LinkRig()
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
    void silence(quint8 code)
    {
        onService(code, [](const QByteArray&) { return QList<QByteArray>(); });
    }

    // Timestamp the adapter puts on the answers it makes up.
    static QByteArray timestamp() { return QByteArray::fromHex("0a0b0c0d"); }

    // A code-5 frame carrying one received network message.
    static QByteArray receivedFrame(quint8 protocolo, const QByteArray& message)
    {
        const int l = 4 + message.size();
        QByteArray f;
        f.append(char(0x04)).append(char(0x05)).append(char(protocolo)).append(char(l >> 8)).append(char(l & 0xFF));
        return f + timestamp() + message;
    }

    short connect(const char* connectString, short appPacketizing = 0)
    {
        return g.RP1210_ClientConnect(0, 1, connectString, 0, 0, appPacketizing);
    }

    GestorRP1210 g;
    Gestor_IO io;
    GestorInput in;
    FakeProxyLink link;

private:
    QList<QByteArray> answer(const QByteArray& w)
    {
        if (w.size() < 2 || quint8(w[0]) != 0x04)
            return {};
        const quint8 code = quint8(w[1]);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto it = answers_.find(code);
            if (it != answers_.end())
                return it->second(w);
        }
        return defaultAnswer(w);
    }

    static QList<QByteArray> defaultAnswer(const QByteArray& w)
    {
        auto frame = [](std::initializer_list<int> bytes) {
            QByteArray f;
            for (int b : bytes)
                f.append(char(b));
            return f;
        };
        switch (quint8(w[1])) {
        case 0x02:  // connect: ok, at the requested speed
            return {frame({0x04, 0x02, quint8(w[2]), 0x00, quint8(w[4])})};
        case 0x03:  // disconnect: ok
            return {frame({0x04, 0x03, quint8(w[2]), 0x00})};
        case 0x04:  // message sent: ok, no data
            return {frame({0x04, 0x04, quint8(w[3]), 0x00, quint8(w[4])}) + timestamp() + frame({0, 0})};
        case 0xD2: {  // the last segment completes the message
            const quint8 seq = quint8(w[6]);
            if ((seq >> 4) != (seq & 0x0F))
                return {};
            return {frame({0x04, 0x04, quint8(w[3]), 0x00, quint8(w[4])}) + timestamp() + frame({0, 0})};
        }
        case 0x06:  // hardware status
            return {frame({0x04, 0x06, quint8(w[2]), 0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7})};
        case 0x0A:
            return {frame({0x04, 0x0A, quint8(w[2]), 0x00})};
        case 0x10:
            return {frame({0x04, 0x10, quint8(w[2])})};
        default:
            return {};
        }
    }

    std::mutex mutex_;
    std::map<quint8, Answer> answers_;
};
