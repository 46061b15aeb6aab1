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
