#include "adapter/adapter_clients.h"

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

bool AdapterClients::onCanBus(quint8 protocol)
{
    return protocol == PROTOCOLO_CAN || protocol == PROTOCOLO_J1939 || internal::isIso15765Family(protocol);
}

bool AdapterClients::onJ1708Bus(quint8 protocol)
{
    return protocol == PROTOCOLO_J1708 || protocol == PROTOCOLO_CAT;
}

quint32 AdapterClients::bitrate(quint8 speed)
{
    return QByteArray(internal::speedText(speed)).toUInt();
}

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

int AdapterClients::countOn(bool can) const
{
    int n = 0;
    for (const AdapterClient& c : clients_)
        n += c.connected && (can ? onCanBus(c.protocol) : onJ1708Bus(c.protocol)) ? 1 : 0;
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
    const bool can = onCanBus(protocol);
    if (!can && !onJ1708Bus(protocol))
        return {RESP_SERV_NOT_SUPPORTED, speed, false};
    quint8& busSpeed = can ? canSpeed_ : j1708Speed_;
    const bool first = countOn(can) == 0;
    if (unspecified(speed))
        speed = first ? quint8(can ? VELOCIDAD_250000 : VELOCIDAD_9600) : busSpeed;
    if (bitrate(speed) == 0)
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
    const bool can = onCanBus(c->protocol);
    if (protocol != nullptr)
        *protocol = c->protocol;
    *c = AdapterClient();
    if (countOn(can) != 0)
        return false;
    (can ? canSpeed_ : j1708Speed_) = 0;
    if (can)
        canFilters_.clear();
    return true;
}

quint8 AdapterClients::changeSpeed(quint8 client, quint8 speed, bool* reopen)
{
    *reopen = false;
    AdapterClient* c = find(client);
    if (c == nullptr || !c->connected)
        return RESP_SERV_NOT_CONNECTED;
    if (bitrate(speed) == 0)
        return RESP_SERV_NOT_SUPPORTED;
    const bool can = onCanBus(c->protocol);
    if (countOn(can) != 1)
        return RESP_SERV_OTHER_SPEED;  // the bus is shared
    *reopen = speed != c->speed;
    c->speed = speed;
    (can ? canSpeed_ : j1708Speed_) = speed;
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
