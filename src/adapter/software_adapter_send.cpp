// The software adapter's sending side: messages of every protocol onto their bus, the
// J1939 and ISO 15765 transports and address claim that carry them, and the confirmations
// each send gets.
#include "adapter/software_adapter.h"

#include "adapter/answer_builder.h"
#include "adapter/j1708_framing.h"
#include "common/protocols.h"
#include "link/byte_order.h"

namespace rp1210core::adapter {

namespace {

using namespace rp1210core::internal;
using answers::frame;

// J1939-21 connection management (TP.CM) and the controls that open our own sessions.
constexpr quint32 kTpConnectionManagement = 0xEC00;
constexpr quint8 kTpRts = 16, kTpBam = 32;

quint8 sendFailureState(J1939Failure f)
{
    switch (f) {
    case J1939Failure::TooLong:
        return RESP_SERV_MESSAGE_TOO_LONG;
    case J1939Failure::Busy:
        return RESP_SERV_HW_QUEUE_FULL;
    default:
        return RESP_SERV_NEGATIVE;
    }
}

}  // namespace

// ---- sending ----

void SoftwareAdapter::confirm(quint8 protocol, quint8 state, quint8 counter)
{
    deliver(answers::sendConfirmation(protocol, state, counter, timestamp()));
}

void SoftwareAdapter::onSend(const Request& r)
{
    AdapterClient* c = clients_.find(clients_.carrierOf(r.client, r.protocol));
    if (c == nullptr) {
        confirm(r.protocol, RESP_SERV_NOT_CONNECTED, r.counter);
        return;
    }
    switch (r.protocol) {
    case PROTOCOLO_J1939:
        sendJ1939(r);
        break;
    case PROTOCOLO_CAN:
        sendCan(r);
        break;
    case PROTOCOLO_ISO15765:
    case PROTOCOLO_ISO15765_ALT:
        sendIso(r, *c);
        break;
    case PROTOCOLO_J1850:
        sendJ1850(r);
        break;
    default:
        if (AdapterClients::busOf(r.protocol) == AdapterClients::Bus::KLine)
            sendKLine(r, *c);
        else
            sendJ1708(r);
        break;
    }
}

bool SoftwareAdapter::writeCan(const bus::CanFrame& f)
{
    const bool ok = canOpen_ && canBus_->write(f);
    // On a bus that confirms, a refused write counts too, as lost: a transport's send
    // whose frames did not all go out fails. The clock counts whole milliseconds: one
    // more makes the wait at least the limit.
    if (canConfirms_) {
        if (ok)
            inFlight_.push_back(InFlight{f, ++writes_, nowMs() + config_.confirmLimitMs + 1});
        else
            lostWrites_.insert(++writes_);
    }
    return ok;
}

void SoftwareAdapter::markJ1939Lost(const bus::CanFrame& f)
{
    const J1939Id id = j1939DecodeId(f.id);
    // The receiving side's connection management (CTS, end of message, abort) is no part of a message we send.
    if (id.pgn == kTpConnectionManagement && f.length > 0 && f.data[0] != kTpRts && f.data[0] != kTpBam)
        return;
    for (auto& [ticket, p] : j1939Pending_)
        if (p.unacknowledged && p.source == id.source && p.destination == id.destination)
            p.lost = true;
}

void SoftwareAdapter::markIsoLost(const bus::CanFrame& f)
{
    for (const auto& [connection, entry] : isoConnections_) {
        const IsoFlowRecord& rec = entry.second;
        const int pci = IsoFlowRecord::typeHasAddress(rec.type) ? 1 : 0;
        if (rec.outgoingId != f.id || IsoFlowRecord::typeExtended(rec.type) != f.extended || f.length <= pci ||
            (pci == 1 && f.data[0] != rec.outgoingAddress))
            continue;
        // Single, first and consecutive frames carry our message; a flow control is the receiving side's.
        const auto p = isoPending_.find(connection);
        if (p != isoPending_.end() && (f.data[pci] >> 4) <= 2)
            p->second.lost = true;
    }
}

void SoftwareAdapter::sendJ1939(const Request& r)
{
    // PGN (3, LSB first), how/priority, source, destination, data
    const QByteArray& d = r.data;
    if (d.size() < 6) {
        confirm(r.protocol, RESP_SERV_NEGATIVE, r.counter);
        return;
    }
    J1939Message m;
    m.pgn = quint32(quint8(d[0])) | (quint32(quint8(d[1])) << 8) | (quint32(quint8(d[2])) << 16);
    m.priority = quint8(d[3]) & 0x07;
    m.source = quint8(d[4]);
    m.destination = quint8(d[5]);
    m.data = d.mid(6);
    if (m.source < kJ1939Null)
        j1939_.addLocalAddress(m.source);  // RTS/CTS answers to this client come back to us
    const int ticket = j1939_.send(m, nowMs());
    if (ticket < 0) {
        confirm(r.protocol, sendFailureState(static_cast<J1939Failure>(-ticket)), r.counter);
        return;
    }
    PendingSend pending{r.protocol, r.counter};
    // The frames carry the destination only for PDU1 groups or sessions; a single frame
    // of a PDU2 group goes to all. Only a session to one node ends with its acknowledgement.
    const bool single = m.data.size() <= 8;
    pending.source = m.source;
    pending.destination = single && !j1939IsPdu1(m.pgn) ? kJ1939Global : m.destination;
    pending.unacknowledged = single || pending.destination == kJ1939Global;
    pending.firstWrite = writes_;
    j1939Pending_[ticket] = pending;
    flushJ1939();
}

void SoftwareAdapter::sendCan(const Request& r)
{
    // type (0 standard, 1 extended), identifier (2 or 4 bytes, MSB first), data
    const QByteArray& d = r.data;
    const bool extended = !d.isEmpty() && d[0] != 0;
    const int idBytes = extended ? 4 : 2;
    if (d.size() < 1 + idBytes || quint8(d[0]) > 1) {
        confirm(r.protocol, RESP_SERV_NEGATIVE, r.counter);
        return;
    }
    if (d.size() > 1 + idBytes + 8) {
        confirm(r.protocol, RESP_SERV_MESSAGE_TOO_LONG, r.counter);
        return;
    }
    quint32 id = 0;
    for (int i = 0; i < idBytes; ++i)
        id = (id << 8) | quint8(d[1 + i]);
    const auto f = bus::CanFrame::make(id, extended, reinterpret_cast<const quint8*>(d.constData()) + 1 + idBytes,
                                       d.size() - 1 - idBytes);
    const quint64 first = writes_;
    confirmWrites(r.protocol, writeCan(f) ? quint8(RESP_SERV_OK) : quint8(RESP_SERV_HW_QUEUE_FULL), r.counter, first);
}

void SoftwareAdapter::sendIso(const Request& r, AdapterClient& c)
{
    // addressing type, identifier (4, MSB first), extended address where the type has one, data
    const QByteArray& d = r.data;
    const quint8 type = d.isEmpty() ? 0xFF : quint8(d[0]);
    const int header = 5 + (IsoFlowRecord::typeHasAddress(type) ? 1 : 0);
    if (type > 4 || d.size() < header) {
        confirm(r.protocol, RESP_SERV_NEGATIVE, r.counter);
        return;
    }
    const quint32 id = rp1210core::internal::readULONG(reinterpret_cast<const unsigned char*>(d.constData()), 1);
    const quint8 address = header == 6 ? quint8(d[5]) : 0;
    const int size = d.size() - header;
    const auto* data = reinterpret_cast<const quint8*>(d.constData()) + header;
    for (const IsoFlowRecord& rec : c.flow) {
        if (rec.outgoingId != id || rec.type != type || (header == 6 && rec.outgoingAddress != address))
            continue;
        IsoTpOutput out;
        const int rc = isotp_.send(rec.connection, data, size, nowMs(), out);
        if (rc != IsoTpEngine::Ok) {
            confirm(r.protocol,
                    rc == IsoTpEngine::ErrTooLong ? quint8(RESP_SERV_MESSAGE_TOO_LONG)
                    : rc == IsoTpEngine::ErrBusy  ? quint8(RESP_SERV_HW_QUEUE_FULL)
                                                  : quint8(RESP_SERV_NEGATIVE),
                    r.counter);
            return;
        }
        isoPending_[rec.connection] = PendingSend{r.protocol, r.counter, writes_};
        flushIso(out);
        return;
    }
    // No flow-control record for the identifier: only a single frame can go, unanswered.
    const int room = 7 - (header - 5);
    if (size > room) {
        confirm(r.protocol, RESP_SERV_NEGATIVE, r.counter);
        return;
    }
    quint8 pdu[8];
    int n = 0;
    if (header == 6)
        pdu[n++] = address;
    pdu[n++] = quint8(size);
    for (int i = 0; i < size; ++i)
        pdu[n++] = data[i];
    if (c.padding != 0)
        while (n < 8)
            pdu[n++] = c.padByte;
    const auto f = bus::CanFrame::make(id, IsoFlowRecord::typeExtended(type), pdu, n);
    const quint64 first = writes_;
    confirmWrites(r.protocol, writeCan(f) ? quint8(RESP_SERV_OK) : quint8(RESP_SERV_HW_QUEUE_FULL), r.counter, first);
}

void SoftwareAdapter::sendJ1708(const Request& r)
{
    // priority (or CAT's 0x01), MID, data, checksum
    const QByteArray& d = r.data;
    if (!j1708Open_ || !AdapterClients::onJ1708Bus(r.protocol)) {
        confirm(r.protocol, RESP_SERV_NOT_SUPPORTED, r.counter);
        return;
    }
    if (d.size() < 3) {
        confirm(r.protocol, RESP_SERV_NEGATIVE, r.counter);
        return;
    }
    // CAT's checksum covers its 0x01 as well: the bus message gets its own.
    QByteArray m;
    if (j1708::buildMessage(quint8(d[1]), reinterpret_cast<const quint8*>(d.constData()) + 2, d.size() - 3, m) < 0) {
        confirm(r.protocol, RESP_SERV_MESSAGE_TOO_LONG, r.counter);
        return;
    }
    if (r.protocol == PROTOCOLO_J1708 && !j1708::checkMessage(d.mid(1))) {
        confirm(r.protocol, RESP_SERV_NEGATIVE, r.counter);
        return;
    }
    confirm(r.protocol, j1708Bus_->write(m) ? quint8(RESP_SERV_OK) : quint8(RESP_SERV_HW_QUEUE_FULL), r.counter);
}

void SoftwareAdapter::onFlowControl(const Request& r)
{
    AdapterClient* c = clients_.find(r.client);
    if (c == nullptr || !c->connected) {
        deliver(frame(r.code, {r.client, RESP_SERV_NOT_CONNECTED}));
        return;
    }
    auto records = IsoFlowRecord::parse(r.data);
    if (!records || !isIso15765Family(c->protocol)) {
        deliver(frame(r.code, {r.client, RESP_SERV_NEGATIVE}));
        return;
    }
    clearFlowControl(*c);
    quint8 state = RESP_SERV_OK;
    for (IsoFlowRecord& rec : *records) {
        IsoTpConnectionConfig cfg;
        cfg.extendedId = IsoFlowRecord::typeExtended(rec.type);
        cfg.extendedAddressing = IsoFlowRecord::typeHasAddress(rec.type);
        cfg.incomingId = rec.incomingId;
        cfg.outgoingId = rec.outgoingId;
        cfg.incomingAddress = rec.incomingAddress;
        cfg.outgoingAddress = rec.outgoingAddress;
        cfg.blockSize = rec.blockSize;
        cfg.stMin = rec.stMin;
        cfg.transmitStMin = rec.transmitStMin;
        cfg.padding = c->padding != 0;
        cfg.padByte = c->padByte;
        rec.connection = isotp_.addConnection(cfg);
        if (rec.connection < 0) {
            state = RESP_SERV_MAX_FLOW_CONTROL;
            break;
        }
        isoConnections_[rec.connection] = {r.client, rec};
        c->flow.push_back(rec);
    }
    if (state != RESP_SERV_OK)
        clearFlowControl(*c);
    deliver(frame(r.code, {r.client, state}));
}

void SoftwareAdapter::clearFlowControl(AdapterClient& c)
{
    for (const IsoFlowRecord& rec : c.flow) {
        isotp_.removeConnection(rec.connection);
        isoConnections_.erase(rec.connection);
        const auto p = isoPending_.find(rec.connection);
        if (p != isoPending_.end()) {
            confirm(p->second.protocol, RESP_SERV_NEGATIVE, p->second.counter);
            isoPending_.erase(p);
        }
    }
    c.flow.clear();
}

void SoftwareAdapter::onAddressClaim(const Request& r)
{
    AdapterClient* c = clients_.find(r.client);
    quint64 name = 0;
    for (int i = 7; i >= 0; --i)
        name = (name << 8) | quint8(r.data[i]);  // NAME, least significant byte first
    if (c == nullptr || !c->connected || c->protocol != PROTOCOLO_J1939 || !canOpen_ ||
        !claims_[r.client].claim(name, r.a, nowMs())) {
        claims_.erase(r.client);
        deliver(frame(r.code, {r.client, RESP_SERV_NEGATIVE, kJ1939Null}));
        return;
    }
    flushClaims();
}

// ---- engines ----

void SoftwareAdapter::flushJ1939()
{
    std::vector<bus::CanFrame> frames;
    std::vector<J1939TpEvent> events;
    j1939_.take(frames, events);
    for (const bus::CanFrame& f : frames)
        if (!writeCan(f))
            markJ1939Lost(f);
    for (const J1939TpEvent& e : events) {
        if (e.kind == J1939TpEvent::Kind::Received) {
            const J1939Message& m = e.message;
            bool wanted = false;
            for (const AdapterClient& c : clients_.all())
                wanted = wanted || (c.connected && c.protocol == PROTOCOLO_J1939 &&
                                    (!adapterFilters_ || c.passesJ1939(m.pgn, m.source)));
            if (!wanted)
                continue;
            QByteArray msg;
            msg.reserve(6 + m.data.size());
            msg.append(char(m.pgn & 0xFF)).append(char((m.pgn >> 8) & 0xFF)).append(char((m.pgn >> 16) & 0xFF));
            msg.append(char(m.priority)).append(char(m.source)).append(char(m.destination)).append(m.data);
            deliverReceived(PROTOCOLO_J1939, msg);
            continue;
        }
        if (e.incoming)
            continue;
        const auto p = j1939Pending_.find(e.ticket);
        if (p == j1939Pending_.end())
            continue;
        quint8 state = e.kind == J1939TpEvent::Kind::Sent ? quint8(RESP_SERV_OK) : sendFailureState(e.failure);
        if (state == RESP_SERV_OK && p->second.lost)
            state = RESP_SERV_HW_QUEUE_FULL;  // a frame of it never reached the bus
        confirmWrites(p->second.protocol, state, p->second.counter, p->second.firstWrite);
        j1939Pending_.erase(p);
    }
}

void SoftwareAdapter::flushIso(IsoTpOutput& out)
{
    for (const bus::CanFrame& f : out.frames)
        if (!writeCan(f))
            markIsoLost(f);
    for (const IsoTpEvent& e : out.events) {
        const auto conn = isoConnections_.find(e.connection);
        if (conn == isoConnections_.end())
            continue;
        if (e.kind == IsoTpEventKind::Received) {
            const AdapterClient* c = clients_.find(conn->second.first);
            const IsoFlowRecord& rec = conn->second.second;
            QByteArray msg;
            msg.append('\0').append(char(rec.type));
            for (int k = 3; k >= 0; --k)
                msg.append(char((rec.incomingId >> (8 * k)) & 0xFF));
            if (IsoFlowRecord::typeHasAddress(rec.type))
                msg.append(char(rec.incomingAddress));
            msg.append(e.data);
            deliverReceived(c != nullptr ? c->protocol : quint8(PROTOCOLO_ISO15765), msg);
        } else if (e.sending) {
            const auto p = isoPending_.find(e.connection);
            if (p != isoPending_.end()) {
                const quint8 state = e.kind != IsoTpEventKind::Sent ? quint8(RESP_SERV_NEGATIVE)
                                     : p->second.lost                 ? quint8(RESP_SERV_HW_QUEUE_FULL)
                                                                      : quint8(RESP_SERV_OK);
                confirmWrites(p->second.protocol, state, p->second.counter, p->second.firstWrite);
                isoPending_.erase(p);
            }
        }
    }
    out.clear();
}

void SoftwareAdapter::flushClaims()
{
    for (auto& [client, claim] : claims_) {
        std::vector<bus::CanFrame> frames;
        std::vector<J1939ClaimEvent> events;
        claim.take(frames, events);
        for (const bus::CanFrame& f : frames)
            writeCan(f);
        for (const J1939ClaimEvent& e : events) {
            const bool won = e.kind == J1939ClaimEvent::Kind::Claimed;
            // A lost address is another node's: no more CTS or acknowledgements from it.
            if (won)
                j1939_.addLocalAddress(e.address);
            else
                j1939_.removeLocalAddress(e.address);
            const quint8 state = won ? quint8(RESP_SERV_OK) : quint8(RESP_SERV_NEGATIVE);
            deliver(frame(SERV_PROTECT_J1939_ADDRESS, {client, state, won ? e.address : kJ1939Null}));
        }
    }
}

qint64 SoftwareAdapter::nextDeadline() const
{
    qint64 due = -1;
    auto consider = [&due](qint64 d) {
        if (d >= 0 && (due < 0 || d < due))
            due = d;
    };
    consider(j1939_.nextDeadline());
    consider(isotp_.nextDeadline());
    if (!inFlight_.empty())
        consider(inFlight_.front().dueMs);
    for (const auto& entry : claims_)
        consider(entry.second.nextDeadline());
    for (const auto& entry : repeated_)
        consider(entry.second.dueMs);
    return due;
}

void SoftwareAdapter::pollEngines()
{
    const qint64 now = nowMs();
    expireWrites(now);
    repeatDue(now);
    if (j1939_.nextDeadline() >= 0 && j1939_.nextDeadline() <= now) {
        j1939_.poll(now);
        flushJ1939();
    }
    if (isotp_.nextDeadline() >= 0 && isotp_.nextDeadline() <= now) {
        IsoTpOutput out;
        isotp_.poll(now, out);
        flushIso(out);
    }
    for (auto& entry : claims_)
        if (entry.second.nextDeadline() >= 0 && entry.second.nextDeadline() <= now)
            entry.second.poll(now);
    flushClaims();
}

}  // namespace rp1210core::adapter
