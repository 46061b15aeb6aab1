#include "adapter/adapter_clients.h"

#include "adapter/adapter_speeds.h"

#include "common/protocols.h"
#include "link/byte_order.h"
#include "rp1210/speeds.h"

namespace rp1210core::adapter {

namespace {

// Big-endian, as every 32-bit field of the requests; the caller has checked the length.
quint32 be32(const QByteArray& b, int i)
{
    return rp1210core::internal::readULONG(reinterpret_cast<const unsigned char*>(b.constData()), i);
}

// A speed the client leaves to the adapter.
bool unspecified(quint8 speed)
{
    return speed == VELOCIDAD_NINGUNA || speed == VELOCIDAD_AUTO || speed == VELOCIDAD_TODAS;
}

}  // namespace

std::optional<std::vector<IsoFlowRecord>> IsoFlowRecord::parse(const QByteArray& b)
{
    // type, incoming id (4, MSB first), [its address], outgoing id (4), [its address],
    // block size, STmin, transmit STmin (2, LSB first; 0xFFFF: the peer's STmin)
    std::vector<IsoFlowRecord> out;
    for (int i = 0; i < b.size();) {
        IsoFlowRecord r;
        r.type = static_cast<quint8>(b.at(i));
        if (r.type > 4)
            return std::nullopt;
        const int a = typeHasAddress(r.type) ? 1 : 0;
        const int size = 1 + 2 * (4 + a) + 4;
        if (b.size() - i < size)
            return std::nullopt;
        int k = i + 1;
        r.incomingId = be32(b, k);
        k += 4;
        if (a)
            r.incomingAddress = static_cast<quint8>(b.at(k++));
        r.outgoingId = be32(b, k);
        k += 4;
        if (a)
            r.outgoingAddress = static_cast<quint8>(b.at(k++));
        r.blockSize = static_cast<quint8>(b.at(k));
        r.stMin = static_cast<quint8>(b.at(k + 1));
        const int tx = static_cast<quint8>(b.at(k + 2)) | (static_cast<quint8>(b.at(k + 3)) << 8);
        r.transmitStMin = tx > 0xFF ? 0 : static_cast<quint8>(tx);
        out.push_back(r);
        i += size;
    }
    return out;
}

AdapterClients::Bus AdapterClients::busOf(quint8 protocol)
{
    switch (protocol) {
    case PROTOCOLO_CAN:
    case PROTOCOLO_J1939:
        return Bus::Can;
    case PROTOCOLO_J1708:
    case PROTOCOLO_CAT:
        return Bus::J1708;
    case PROTOCOLO_J1850:
        return Bus::J1850;
    // The serial protocols of the K-line pins: ALDL and SCI run on the same line driver.
    case PROTOCOLO_KWP2000:
    case PROTOCOLO_GM_ALDL:
    case PROTOCOLO_J2610:
        return Bus::KLine;
    default:
        if (internal::isIso15765Family(protocol))
            return Bus::Can;
        return internal::protocolFacts(protocol).kLineStatus ? Bus::KLine : Bus::None;
    }
}

quint32 AdapterClients::bitrate(quint8 speed)
{
    // The speeds without a decimal text that a bus here runs at.
    if (speed == VELOCIDAD_J1850_PWM)
        return 41600;
    if (speed == VELOCIDAD_ALDL)
        return 8192;
    return QByteArray(internal::speedText(speed)).toUInt();
}

namespace {

// The speed of a bus's first client that leaves it to the adapter.
quint8 defaultSpeed(AdapterClients::Bus bus)
{
    switch (bus) {
    case AdapterClients::Bus::Can:
        return VELOCIDAD_250000;
    case AdapterClients::Bus::J1708:
        return VELOCIDAD_9600;
    default:
        return VELOCIDAD_10400;  // ISO 9141-2 and ISO 14230 (K-line), VPW (J1850)
    }
}

}  // namespace

AdapterClient* AdapterClients::find(quint8 client)
{
    return client >= 1 && client <= kClients ? &clients_[client - 1] : nullptr;
}

int AdapterClients::connectedCount() const
{
    int n = 0;
    for (const AdapterClient& c : clients_)
        n += c.connected ? 1 : 0;
    return n;
}

quint8 AdapterClients::carrierOf(quint8 client, quint8 protocol) const
{
    if (client >= 1 && client <= kClients && clients_[client - 1].connected)
        return clients_[client - 1].protocol == protocol ? client : 0;
    for (int i = 0; i < kClients; ++i)
        if (clients_[size_t(i)].connected && clients_[size_t(i)].protocol == protocol)
            return quint8(i + 1);
    return 0;
}

int AdapterClients::countOn(Bus bus) const
{
    int n = 0;
    for (const AdapterClient& c : clients_)
        n += c.connected && busOf(c.protocol) == bus ? 1 : 0;
    return n;
}

AdapterClients::ConnectResult AdapterClients::connect(quint8 client, quint8 protocol, quint8 speed, bool packetize)
{
    AdapterClient* c = find(client);
    if (c == nullptr)
        return {RESP_SERV_NEGATIVE, speed, false};
    if (c->connected)
        return {c->protocol == protocol ? quint8(RESP_SERV_ALREADY_CONNECTED) : quint8(RESP_SERV_NEGATIVE), c->speed,
                false};
    const Bus bus = busOf(protocol);
    if (bus == Bus::None)
        return {RESP_SERV_NOT_SUPPORTED, speed, false};
    quint8& busSpeed = speeds_[size_t(bus)];
    const bool first = countOn(bus) == 0;
    if (unspecified(speed))
        speed = first ? defaultSpeed(bus) : busSpeed;
    if (!acceptsSpeed(protocol, speed))
        return {RESP_SERV_NOT_SUPPORTED, speed, false};
    if (!first && speed != busSpeed)
        return {RESP_SERV_OTHER_SPEED, busSpeed, false};
    *c = AdapterClient();
    c->connected = true;
    c->protocol = protocol;
    c->speed = speed;
    c->packetize = packetize;
    busSpeed = speed;
    return {RESP_SERV_OK, speed, first};
}

bool AdapterClients::disconnect(quint8 client, quint8* protocol)
{
    AdapterClient* c = find(client);
    if (c == nullptr || !c->connected)
        return false;
    const Bus bus = busOf(c->protocol);
    if (protocol != nullptr)
        *protocol = c->protocol;
    *c = AdapterClient();
    if (countOn(bus) != 0)
        return false;
    speeds_[size_t(bus)] = 0;
    if (bus == Bus::Can)
        canFilters_.clear();
    return true;
}

quint8 AdapterClients::changeSpeed(quint8 client, quint8 speed, bool* reopen)
{
    *reopen = false;
    AdapterClient* c = find(client);
    if (c == nullptr || !c->connected)
        return RESP_SERV_NOT_CONNECTED;
    if (!acceptsSpeed(c->protocol, speed))
        return RESP_SERV_NOT_SUPPORTED;
    const Bus bus = busOf(c->protocol);
    if (countOn(bus) != 1)
        return RESP_SERV_OTHER_SPEED;  // the bus is shared
    *reopen = speed != c->speed;
    c->speed = speed;
    speeds_[size_t(bus)] = speed;
    return RESP_SERV_OK;
}

bool AdapterClients::passesCan(quint32 id, bool extended) const
{
    if (canFilters_.empty())
        return true;
    for (const CanAdapterFilter& f : canFilters_)
        if (f.extended == extended && (id & f.mask) == (f.header & f.mask))
            return true;
    return false;
}

}  // namespace rp1210core::adapter
