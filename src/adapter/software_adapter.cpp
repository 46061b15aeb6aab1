#include "adapter/software_adapter.h"

#include "adapter/answer_builder.h"
#include "adapter/j1708_framing.h"
#include "common/protocols.h"
#include "link/byte_order.h"
#include "common/wire_format.h"

#include <iterator>

namespace rp1210core::adapter {

namespace {

using namespace rp1210core::internal;
using answers::frame;

// Big-endian, as every 32-bit field of the requests; the caller has checked the length.
quint32 be32(const QByteArray& b, int i)
{
    return rp1210core::internal::readULONG(reinterpret_cast<const unsigned char*>(b.constData()), i);
}

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

int SoftwareAdapter::generationOf(const QString& type, int version)
{
    if (type == QLatin1String("K"))
        return version == 1 ? VCI_K1 : VCI_K;
    if (type == QLatin1String("L"))
        return version <= 6 ? VCI_J : VCI_A;
    if (type == QLatin1String("J"))
        return VCI_J;
    if (type == QLatin1String("A"))
        return VCI_A;
    if (type == QLatin1String("E"))
        return VCI_E;
    return VCI_DESCONOCIDA;
}

SoftwareAdapter::SoftwareAdapter(Config config, Buses buses)
    : config_(std::move(config)),
      generation_(generationOf(config_.interfaceType, config_.interfaceVersion)),
      segmenting_(segmentation::segments(generation_)),
      adapterFilters_(generation_ == VCI_J || generation_ == VCI_K1 || generation_ == VCI_E),
      canBus_(buses.can),
      j1708Bus_(buses.j1708),
      klineBus_(buses.kline),
      j1850Bus_(buses.j1850),
      canConfirms_(buses.can != nullptr && buses.can->confirmsTransmission()),
      start_(std::chrono::steady_clock::now())
{
}

SoftwareAdapter::~SoftwareAdapter() { stopThread(); }

short SoftwareAdapter::initializeConnection()
{
    MutexLocker lock(lifecycle_);
    if (thread_.joinable())
        return 0;
    {
        MutexLocker q(mutex_);
        stop_ = false;
        queue_.clear();
    }
    thread_ = std::thread([this] { run(); });
    return 0;
}

void SoftwareAdapter::limpiarDescargarProxy() { stopThread(); }

void SoftwareAdapter::stopThread()
{
    MutexLocker lock(lifecycle_);
    if (!thread_.joinable())
        return;
    {
        MutexLocker q(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

bool SoftwareAdapter::writeData(const char* data, int length)
{
    if (data == nullptr || length <= 0)
        return false;
    Event e;
    e.bytes = QByteArray(data, length);
    post(std::move(e));
    return true;
}

void SoftwareAdapter::getTypeInterface(QString& type, int& version, int& other)
{
    type = config_.interfaceType;
    version = config_.interfaceVersion;
    other = 0;
}

void SoftwareAdapter::post(Event e)
{
    {
        MutexLocker lock(mutex_);
        queue_.push_back(std::move(e));
    }
    wake_.notify_one();
}

qint64 SoftwareAdapter::nowMs() const
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start_).count();
}

quint32 SoftwareAdapter::timestamp() const
{
    const qint64 us =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start_).count();
    return static_cast<quint32>(us / qMax<qint64>(1, config_.timestampUnitUs));
}

void SoftwareAdapter::run()
{
    bool greeted = false;
    for (;;) {
        std::deque<Event> batch;
        {
            UniqueLock lock(mutex_);
            while (queue_.empty() && !stop_) {
                const qint64 due = nextDeadline();
                if (due < 0) {
                    lock.wait(wake_);
                } else if (due <= nowMs() ||
                           lock.waitUntil(wake_, start_ + std::chrono::milliseconds(due)) == std::cv_status::timeout) {
                    break;
                }
            }
            if (stop_)
                break;
            batch.swap(queue_);
        }
        for (const Event& e : batch) {
            switch (e.kind) {
            case Event::Kind::Request:
                // The library listens once it writes: the adapter introduces itself then,
                // with its firmware version (the library's detailed version) and a link check.
                if (!greeted) {
                    greeted = true;
                    deliver(answers::version(0, config_.firmware));
                    if (config_.sendTesterAtStart)
                        deliver(frame(SERV_TESTER_LINK, {0x55, 0xAA}));
                }
                handleRequest(e.bytes);
                break;
            case Event::Kind::Can:
                onCanFrame(e.can);
                break;
            case Event::Kind::CanOwn:
            case Event::Kind::CanLost:
            case Event::Kind::CanHealth:
                // What the bus said before it was last closed is no news of the open one.
                if (e.opening != canOpens_)
                    break;
                if (e.kind == Event::Kind::CanOwn)
                    onCanOwn(e.can);
                else if (e.kind == Event::Kind::CanLost)
                    onCanLost(e.can);
                else
                    setCanHealth(e.health, e.text);
                break;
            case Event::Kind::J1708:
                onJ1708Message(e.bytes);
                break;
            case Event::Kind::KLine:
                onKLineMessage(e.bytes);
                break;
            case Event::Kind::KLineInit:
                onKLineInitDone(e.init, e.bytes);
                break;
            case Event::Kind::J1850:
                onJ1850Message(e.bytes);
                break;
            }
        }
        pollEngines();
    }
    closeBuses();
    clients_.clear();
    j1939_ = J1939Transport();
    isotp_ = IsoTpEngine();
    j1939Pending_.clear();
    isoPending_.clear();
    isoConnections_.clear();
    claims_.clear();
    repeated_.clear();
    inFlight_.clear();
    deferred_.clear();
    lostWrites_.clear();
    canHealth_ = bus::CanHealth::Ok;
    joiner_ = SegmentJoiner();
    j1850Filters_.clear();
    klineInit_.reset();
}

// ---- requests ----

void SoftwareAdapter::handleRequest(const QByteArray& f)
{
    if (f.size() >= 2 && static_cast<quint8>(f.at(0)) == quint8(wire::kClassApplication) &&
        static_cast<quint8>(f.at(1)) == wire::kRequestSegmentCode) {
        if (!segmenting_) {
            deliver(frame(wire::kRequestSegmentCode, {RESP_SERV_UNKNOWN_REQUEST}));
            return;
        }
        QByteArray whole;
        switch (joiner_.add(f, whole)) {
        case SegmentJoiner::Result::Incomplete:
            return;
        case SegmentJoiner::Result::Complete:
            break;
        case SegmentJoiner::Result::Malformed:
            if (whole.size() > wire::kSendCounter)
                confirm(static_cast<quint8>(whole.at(wire::kSendProtocol)), RESP_SERV_NEGATIVE,
                        static_cast<quint8>(whole.at(wire::kSendCounter)));
            return;
        }
        dispatch(parseRequest(whole));
        return;
    }
    dispatch(parseRequest(f));
}

QByteArray SoftwareAdapter::failureAnswer(const Request& r) const
{
    const quint8 bad = r.status == Request::Status::Unknown ? RESP_SERV_UNKNOWN_REQUEST : RESP_SERV_NEGATIVE;
    switch (r.code) {
    case SERV_CONECTAR_CLIENTE:
    case SERV_DESCONECTAR_CLIENTE:
    case SERV_ISO15765_FLOW_CONTROL:
    case SERV_ISO15765_CLEAR_FLOW_CONTROL:
    case SERV_CAMBIO_MODO:
        return r.hasClient ? frame(r.code, {r.client, bad}) : QByteArray();
    case SERV_ENVIAR_MENSAJE:
        return r.hasCounter ? answers::sendConfirmation(r.protocol, bad, r.counter, timestamp()) : QByteArray();
    case SERV_PROTECT_J1939_ADDRESS:
        return r.hasClient ? frame(r.code, {r.client, bad, kJ1939Null}) : QByteArray();
    case SERV_J1939_INTERPACKET_TIME:
    case SERV_SET_FILTERS_V6:
    case SERV_CLEAR_ALL_FILTERS_V6:
    case SERV_CLEAR_FILTER_V6:
    case SERV_SET_FILTER_SA_V6:
    case SERV_CLEAR_FILTER_SA_V6:
    case SERV_SET_PADDING_ISO15765:
    case SERV_SET_REMOTE_CAN_MESSAGE:
    case SERV_SET_CAN_FIRST_CONSECUTIVE_FRAME_VALUE:
    case SERV_SET_BROADCAST_LINK:
    case SERV_CLEAR_BROADCAST_LINK:
        return r.hasClient ? frame(r.code, {r.client, r.protocol, bad}) : QByteArray();
    case SERV_SET_ISO15765_FILTER:
        return r.hasClient ? frame(r.code, {r.client, r.protocol, r.a, bad}) : QByteArray();
    case SERV_CMMD_MUX:
    case SERV_SET_CAN_FILTER:
    case SERV_CLEAR_CAN_FILTERS:
    case SERV_PIC_CONNECTION:
    case SERV_SET_J1850_FILTER:
    case SERV_CLEAR_J1850_FILTERS:
        return frame(r.code, {bad});
    default:
        // Version, status, reset, speed and ioctl answers carry no state; an unknown code
        // is told so in the one byte every answer has.
        return r.status == Request::Status::Unknown ? frame(r.code, {bad}) : QByteArray();
    }
}

void SoftwareAdapter::dispatch(const Request& r)
{
    if (r.status == Request::Status::Ignored)
        return;
    if (r.status != Request::Status::Ok) {
        const QByteArray f = failureAnswer(r);
        if (!f.isEmpty())
            deliver(f);
        return;
    }
    AdapterClient* c = clients_.find(r.client);
    auto clientOk = [&] { return c != nullptr && c->connected; };
    auto stateOf = [&] { return clientOk() ? quint8(RESP_SERV_OK) : quint8(RESP_SERV_NOT_CONNECTED); };
    switch (r.code) {
    case SERV_VERSION_FIRMWARE:
        deliver(answers::version(r.client, config_.firmware));
        break;
    case SERV_CONECTAR_CLIENTE:
        onConnect(r);
        break;
    case SERV_DESCONECTAR_CLIENTE: {
        // The last client of a protocol leaving releases the protocol, whichever client
        // connected it.
        const quint8 carrier = clients_.carrierOf(r.client, r.protocol);
        onDisconnect(carrier != 0 ? carrier : r.client, true, r.client);
        break;
    }
    case SERV_ENVIAR_MENSAJE:
        onSend(r);
        break;
    case SERV_ESTADO_HARDWARE: {
        // Per network: bit 0 a client is connected on it; on CAN also bit 1 traffic within
        // the last second and bit 2 bus off. The device: bit 0 there, bit 1 lost.
        auto on = [&](int protocol) { return quint8(anyClientOn(quint8(protocol)) ? 1 : 0); };
        const bool iso = anyClientOn(PROTOCOLO_ISO15765) || anyClientOn(PROTOCOLO_ISO15765_ALT);
        const quint8 device = canHealth_ == bus::CanHealth::Gone ? 0x02 : 0x01;
        deliver(frame(SERV_ESTADO_HARDWARE,
                      {r.client, device, canStatus(on(PROTOCOLO_J1939) != 0), on(PROTOCOLO_J1708),
                       canStatus(on(PROTOCOLO_CAN) != 0), on(PROTOCOLO_J1850), canStatus(iso),
                       hardwareStatusOf(AdapterClients::Bus::KLine), on(PROTOCOLO_KWP2000)}));
        break;
    }
    case SERV_RESETEAR_LINK:
        reset();
        deliver(frame(SERV_RESETEAR_LINK, {RESP_SERV_OK}));
        deliver(frame(SERV_ESTADO_HARDWARE, {wire::kAllClients}));
        break;
    case SERV_ISO15765_FLOW_CONTROL:
        onFlowControl(r);
        break;
    case SERV_ISO15765_CLEAR_FLOW_CONTROL:
        if (clientOk())
            clearFlowControl(*c);
        deliver(frame(r.code, {r.client, stateOf()}));
        break;
    case SERV_IOCTL:
        if (r.a == IOCTL_GET_CONFIG || r.a == IOCTL_SET_CONFIG) {
            QByteArray values;
            const int each = r.a == IOCTL_SET_CONFIG ? 8 : 4;
            for (int i = 0; i + each <= r.data.size(); i += each) {
                const quint32 id = be32(r.data, i);
                if (r.a == IOCTL_SET_CONFIG)
                    ioctlConfig_[id] = be32(r.data, i + 4);
                const quint32 v = ioctlConfig_.count(id) ? ioctlConfig_[id] : 0;
                for (int k = 3; k >= 0; --k)
                    values.append(char((v >> (8 * k)) & 0xFF));
            }
            deliver(answers::ioctl(r.client, r.a, values, r.a == IOCTL_GET_CONFIG));
        } else if (r.a == IOCTL_FIVE_BAUD_INIT || r.a == IOCTL_FAST_INIT || r.a == IOCTL_INIT_NO_WAIT) {
            onKLineInit(r);
        } else {
            // No pulse generator here: the pulses end with no bytes from an ECU.
            deliver(answers::ioctl(r.client, r.a, QByteArray(), r.a == IOCTL_SEND_PULSES));
        }
        break;
    case SERV_CAMBIO_MODO:
        if (clientOk())
            c->mode = r.a;
        deliver(frame(r.code, {r.client, stateOf()}));
        break;
    case SERV_SET_BAUD: {
        bool reopen = false;
        const quint8 state = clients_.changeSpeed(r.client, r.b, &reopen);
        if (state == RESP_SERV_OK && reopen) {
            // The one client of the bus changes its speed: the bus runs at the new one.
            const AdapterClients::Bus bus = AdapterClients::busOf(c->protocol);
            closeBus(bus);
            openBus(bus, r.b);
        }
        deliver(frame(r.code, {r.client}));
        break;
    }
    case SERV_CMMD_MUX:
        deliver(frame(r.code, {RESP_SERV_OK}));
        break;
    case SERV_J1939_INTERPACKET_TIME:
        // The application's gap between broadcast packets, in milliseconds.
        if (clientOk() && c->protocol == PROTOCOLO_J1939)
            j1939_.setBamGap(qint64(r.number));
        deliver(frame(r.code, {r.client, r.protocol, stateOf()}));
        break;
    case SERV_SET_REMOTE_CAN_MESSAGE:
    case SERV_SET_CAN_FIRST_CONSECUTIVE_FRAME_VALUE:
        deliver(frame(r.code, {r.client, r.protocol, stateOf()}));
        break;
    case SERV_SET_PADDING_ISO15765:
        if (clientOk()) {
            c->padding = r.a;
            c->padByte = r.b;
        }
        deliver(frame(r.code, {r.client, r.protocol, stateOf()}));
        break;
    case SERV_SET_FILTERS_V6:
    case SERV_CLEAR_FILTER_V6:
        if (clientOk()) {
            for (int i = 0; i + 3 <= r.data.size(); i += 3) {
                const quint32 pgn = quint32(quint8(r.data[i])) | (quint32(quint8(r.data[i + 1])) << 8) |
                                    (quint32(quint8(r.data[i + 2])) << 16);
                if (r.code == SERV_SET_FILTERS_V6)
                    c->pgnFilters.insert(pgn);
                else
                    c->pgnFilters.erase(pgn);
            }
        }
        deliver(frame(r.code, {r.client, r.protocol, stateOf()}));
        break;
    case SERV_CLEAR_ALL_FILTERS_V6:
    case SERV_SET_FILTER_SA_V6:
    case SERV_CLEAR_FILTER_SA_V6:
        if (clientOk()) {
            if (r.code == SERV_SET_FILTER_SA_V6)
                c->saFilter = r.a;
            else
                c->saFilter.reset();
            if (r.code == SERV_CLEAR_ALL_FILTERS_V6)
                c->pgnFilters.clear();
        }
        deliver(frame(r.code, {r.client, r.protocol, stateOf()}));
        break;
    case SERV_PROTECT_J1939_ADDRESS:
        onAddressClaim(r);
        break;
    case SERV_SET_CAN_FILTER: {
        CanAdapterFilter f;
        f.extended = r.data.at(0) != 0;
        f.header = be32(r.data, 1);
        f.mask = be32(r.data, 5);
        clients_.canFilters().push_back(f);
        deliver(frame(r.code, {RESP_SERV_OK}));
        break;
    }
    case SERV_CLEAR_CAN_FILTERS:
        clients_.canFilters().clear();
        deliver(frame(r.code, {RESP_SERV_OK}));
        break;
    case SERV_SET_ISO15765_FILTER:
        deliver(frame(r.code, {r.client, r.protocol, r.a, stateOf()}));
        break;
    case SERV_PIC_CONNECTION:
        onPicConnection(r);
        break;
    case SERV_SET_J1850_FILTER:
    case SERV_CLEAR_J1850_FILTERS:
        onJ1850Filter(r);
        break;
    case SERV_SET_BROADCAST_LINK:
    case SERV_CLEAR_BROADCAST_LINK:
        onBroadcastLink(r);
        break;
    default:
        break;
    }
}

void SoftwareAdapter::onBroadcastLink(const Request& r)
{
    const quint8 key = quint8((r.a << 4) | r.client);
    AdapterClient* c = clients_.find(r.client);
    quint8 state = RESP_SERV_OK;
    if (r.code == SERV_CLEAR_BROADCAST_LINK) {
        repeated_.erase(key);
    } else if (c == nullptr || !c->connected || c->protocol != r.protocol) {
        state = RESP_SERV_NOT_CONNECTED;
    } else {
        Repeated rep;
        rep.client = r.client;
        rep.protocol = r.protocol;
        rep.intervalMs = qMax<qint64>(1, r.number);
        rep.dueMs = nowMs();  // the first repetition goes at once
        rep.message = r.data;
        repeated_[key] = rep;
    }
    deliver(frame(r.code, {key, r.protocol, state}));
}

void SoftwareAdapter::repeatDue(qint64 now)
{
    for (auto& entry : repeated_) {
        Repeated& rep = entry.second;
        if (rep.dueMs > now)
            continue;
        // Sent as the client's own message under counter 0, which confirms each repetition.
        Request r;
        r.code = SERV_ENVIAR_MENSAJE;
        r.client = rep.client;
        r.protocol = rep.protocol;
        r.hasCounter = true;
        r.data = rep.message;
        onSend(r);
        // The next one keeps the rhythm; a late thread does not make up for missed ones.
        rep.dueMs += rep.intervalMs * ((now - rep.dueMs) / rep.intervalMs + 1);
    }
}

void SoftwareAdapter::onConnect(const Request& r)
{
    AdapterClients::ConnectResult res = clients_.connect(r.client, r.protocol, autoSpeed(r.protocol, r.a), r.packetize);
    const AdapterClients::Bus bus = AdapterClients::busOf(r.protocol);
    // A CAN interface that went away is opened anew by the next client: it may be back.
    const bool reopen = res.state == RESP_SERV_OK && !res.opensBus && bus == AdapterClients::Bus::Can &&
                        (!canOpen_ || canHealth_ == bus::CanHealth::Gone);
    if (reopen)
        closeBus(bus);
    if (res.state == RESP_SERV_OK && (res.opensBus || reopen) && !openBus(bus, res.speed)) {
        clients_.disconnect(r.client);
        res.state = openFailure(bus, res.speed);
        // Why, for the application's error text, before the answer that reports it.
        if (bus == AdapterClients::Bus::Can && faultHandler_)
            faultHandler_(res.state == kStateBusUnavailable ? bus::CanHealth::Gone : canHealth_, canBus_->openError());
    }
    deliver(frame(SERV_CONECTAR_CLIENTE, {r.client, res.state, res.speed}));
}

void SoftwareAdapter::onDisconnect(quint8 client, bool answer, quint8 answerAs)
{
    if (answerAs == 0)
        answerAs = client;
    AdapterClient* c = clients_.find(client);
    if (c == nullptr || !c->connected) {
        if (answer)
            deliver(frame(SERV_DESCONECTAR_CLIENTE, {answerAs, RESP_SERV_NOT_CONNECTED}));
        return;
    }
    clearFlowControl(*c);
    claims_.erase(client);
    for (auto it = repeated_.begin(); it != repeated_.end();)
        it = it->second.client == client ? repeated_.erase(it) : std::next(it);
    quint8 protocol = 0;
    if (clients_.disconnect(client, &protocol)) {
        const AdapterClients::Bus bus = AdapterClients::busOf(protocol);
        closeBus(bus);
        if (bus == AdapterClients::Bus::Can) {
            j1939_ = J1939Transport();
            j1939Pending_.clear();
        } else if (bus == AdapterClients::Bus::J1850) {
            j1850Filters_.clear();  // the bus's filters go with its last client
        }
    }
    if (answer)
        deliver(frame(SERV_DESCONECTAR_CLIENTE, {answerAs, RESP_SERV_OK}));
}

void SoftwareAdapter::reset()
{
    for (quint8 id = 1; id <= AdapterClients::kClients; ++id)
        onDisconnect(id, false);
    clients_.clear();
    ioctlConfig_.clear();
    closeBus(AdapterClients::Bus::J1850);  // initialised by 0xF2 with no client yet
    j1850Filters_.clear();
}

bool SoftwareAdapter::anyClientOn(quint8 protocol) const
{
    for (const AdapterClient& c : clients_.all())
        if (c.connected && c.protocol == protocol)
            return true;
    return false;
}

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
    const quint32 id = be32(d, 1);
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

// ---- receiving ----

void SoftwareAdapter::onCanFrame(const bus::CanFrame& f)
{
    const qint64 now = nowMs();
    canTrafficMs_ = now;
    if (anyClientOn(PROTOCOLO_J1939) || !claims_.empty()) {
        for (auto& entry : claims_)
            entry.second.receive(f, now);
        flushClaims();
        if (f.extended && anyClientOn(PROTOCOLO_J1939)) {
            j1939_.receive(f, now);
            flushJ1939();
        }
    }
    if (!isoConnections_.empty()) {
        IsoTpOutput out;
        isotp_.receive(f, now, out);
        flushIso(out);
    }
    if (anyClientOn(PROTOCOLO_CAN) && (!adapterFilters_ || clients_.passesCan(f.id, f.extended))) {
        QByteArray msg;
        msg.append(char(f.extended ? 1 : 0));
        for (int k = f.extended ? 3 : 1; k >= 0; --k)
            msg.append(char((f.id >> (8 * k)) & 0xFF));
        msg.append(reinterpret_cast<const char*>(f.data.data()), f.length);
        deliverReceived(PROTOCOLO_CAN, msg);
    }
}

void SoftwareAdapter::onJ1708Message(const QByteArray& m)
{
    if (!j1708::checkMessage(m))
        return;  // a bad checksum or length is line noise, not a message
    for (const quint8 protocol : {quint8(PROTOCOLO_J1708), quint8(PROTOCOLO_CAT)})
        if (anyClientOn(protocol))
            deliverReceived(protocol, m);
}

void SoftwareAdapter::deliverReceived(quint8 protocol, const QByteArray& message)
{
    const QList<QByteArray> frames = answers::received(protocol, timestamp(), message, segmenting_,
                                                       protocolFacts(protocol).segmentExtraBytes, segmentKey_++);
    for (const QByteArray& f : frames)
        deliver(f);
}

void SoftwareAdapter::deliver(const QByteArray& f)
{
    if (delivery_)
        delivery_(f);
}

}  // namespace rp1210core::adapter
