#include "bus/sim_uds_server.h"

#include "bus/sim_engine_ecu.h"

namespace rp1210core::bus {

namespace {

constexpr quint8 kSessionControl = 0x10, kReadDataByIdentifier = 0x22, kTesterPresent = 0x3E;
constexpr quint8 kNegative = 0x7F, kPositive = 0x40;  // a positive response is the service + 0x40
constexpr quint8 kSuppressPositive = 0x80;

}  // namespace

SimUdsServer::SimUdsServer(const QByteArray& vin) : vin_(vin)
{
    adapter::IsoTpConnectionConfig c;
    c.incomingId = kRequestId;
    c.outgoingId = kResponseId;
    connection_ = transport_.addConnection(c);
}

void SimUdsServer::receive(const CanFrame& frame, qint64 nowMs)
{
    if (frame.extended)
        return;
    transport_.receive(frame, nowMs, output_);
    drain(nowMs);
}

void SimUdsServer::run(qint64 nowMs)
{
    if (sessionEndMs_ >= 0 && nowMs >= sessionEndMs_) {
        session_ = kDefaultSession;
        sessionEndMs_ = -1;
    }
    transport_.poll(nowMs, output_);
    drain(nowMs);
}

qint64 SimUdsServer::nextDue() const { return sim::earlier(transport_.nextDeadline(), sessionEndMs_); }

void SimUdsServer::take(std::vector<CanFrame>& frames)
{
    frames.insert(frames.end(), frames_.begin(), frames_.end());
    frames_.clear();
}

void SimUdsServer::drain(qint64 nowMs)
{
    // Handling a request may send, which appends to the output being read: take it first.
    while (!output_.frames.empty() || !output_.events.empty()) {
        adapter::IsoTpOutput out;
        std::swap(out, output_);
        frames_.insert(frames_.end(), out.frames.begin(), out.frames.end());
        for (const adapter::IsoTpEvent& e : out.events)
            if (e.kind == adapter::IsoTpEventKind::Received)
                handle(e.data, nowMs);
    }
}

void SimUdsServer::handle(const QByteArray& request, qint64 nowMs)
{
    const quint8 service = quint8(request.at(0));
    const int n = request.size();
    if (session_ != kDefaultSession)
        sessionEndMs_ = nowMs + kS3Ms;  // any request keeps the session alive
    switch (service) {
    case kSessionControl: {
        if (n != 2)
            return negative(service, kIncorrectLength, nowMs);
        const quint8 sub = quint8(request.at(1)) & 0x7F;
        if (sub != kDefaultSession && sub != kExtendedSession)
            return negative(service, kSubFunctionNotSupported, nowMs);
        session_ = sub;
        sessionEndMs_ = sub == kDefaultSession ? -1 : nowMs + kS3Ms;
        if (quint8(request.at(1)) & kSuppressPositive)
            return;
        const quint16 p2Star = kP2StarMs / 10;
        QByteArray r;
        r.append(char(service + kPositive)).append(char(sub));
        r.append(char(kP2Ms >> 8)).append(char(kP2Ms & 0xFF));
        r.append(char(p2Star >> 8)).append(char(p2Star & 0xFF));
        return respond(r, nowMs);
    }
    case kTesterPresent: {
        if (n != 2)
            return negative(service, kIncorrectLength, nowMs);
        const quint8 sub = quint8(request.at(1)) & 0x7F;
        if (sub != 0)
            return negative(service, kSubFunctionNotSupported, nowMs);
        if (quint8(request.at(1)) & kSuppressPositive)
            return;
        return respond(QByteArray(1, char(service + kPositive)).append(char(0)), nowMs);
    }
    case kReadDataByIdentifier: {
        if (n < 3 || (n - 1) % 2 != 0)
            return negative(service, kIncorrectLength, nowMs);
        QByteArray r(1, char(service + kPositive));
        for (int i = 1; i + 1 < n; i += 2) {
            const quint16 did = quint16((quint8(request.at(i)) << 8) | quint8(request.at(i + 1)));
            const QByteArray value = readIdentifier(did);
            if (!value.isEmpty())
                r.append(request.mid(i, 2)).append(value);
        }
        // ISO 14229: out of range only when none of the identifiers is supported.
        if (r.size() == 1)
            return negative(service, kRequestOutOfRange, nowMs);
        if (r.size() > adapter::IsoTpEngine::kMaxMessage)
            return negative(service, kIncorrectLength, nowMs);  // the answer would not fit one message
        return respond(r, nowMs);
    }
    default:
        return negative(service, kServiceNotSupported, nowMs);
    }
}

QByteArray SimUdsServer::readIdentifier(quint16 did) const
{
    if (did == kDidVin)
        return vin_;
    if (did == kDidSerialNumber)
        return QByteArray("SN5A17");
    return QByteArray();
}

void SimUdsServer::negative(quint8 service, quint8 code, qint64 nowMs)
{
    QByteArray r;
    r.append(char(kNegative)).append(char(service)).append(char(code));
    respond(r, nowMs);
}

void SimUdsServer::respond(const QByteArray& response, qint64 nowMs)
{
    // Busy sending the previous answer: a tester waits for it before asking again, so a
    // request that overtakes it goes unanswered, as on an ECU with one response buffer.
    transport_.send(connection_, reinterpret_cast<const quint8*>(response.constData()), response.size(), nowMs,
                    output_);
}

}  // namespace rp1210core::bus
