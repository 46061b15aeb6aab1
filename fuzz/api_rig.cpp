#include "api_rig.h"

#include "rp1210/wiring.h"

namespace {

const char* const kConnectStrings[] = {"J1939", "CAN", "ISO15765", "J1708", "KWP2000", "J1850VPW"};

QByteArray timestamp() { return QByteArray::fromHex("0a0b0c0d"); }

// The confirmation of send frame `w`: its protocol, state 0, its counter, no data.
QByteArray sendAnswer(const QByteArray& w)
{
    return QByteArray::fromHex("0404") + w.mid(3, 1) + '\0' + w.mid(4, 1) + timestamp() + QByteArray(2, '\0');
}

}  // namespace

const ApiRig::Generation ApiRig::kGenerations[7] = {{"K", 1}, {"K", 3}, {"L", 6}, {"L", 9},
                                                    {"J", 1}, {"A", 7}, {"E", 1}};

ApiRig& ApiRig::instance()
{
    static ApiRig* rig = new ApiRig;
    return *rig;
}

ApiRig::ApiRig()
{
    rp1210core::internal::wireCore(g, io, in, &link);
    g.setClock(&clock);
    io.setClock(&clock);
    link.setDelivery([this](const QByteArray& f) { in.storeMsg(f.constData(), quint32(f.size())); });
    link.setResponder([this](const QByteArray& w) { return answer(w); });
}

void ApiRig::begin(const Generation& generation, quint8 state, const QByteArray& tail)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        state_ = state;
        tail_ = tail;
    }
    link.setInterface(QString::fromLatin1(generation.type), generation.version);
    clients_.clear();
    for (const char* s : kConnectStrings) {
        const short id = g.RP1210_ClientConnect(0, 1, s, 0, 0, 0);
        if (id >= 1 && id <= GestorRP1210::kMaxClients)
            clients_.push_back({id, g.getCliente(quint8(id))->getProtocolo()});
    }
}

void ApiRig::end()
{
    for (quint8 id = 1; id <= GestorRP1210::kMaxClients; ++id)
        if (g.getCliente(id)->getConectado())
            g.RP1210_ClientDisconnect(id);
    link.clearFrames();
}

short ApiRig::client(FuzzBytes& in) const
{
    static const short kOthers[] = {0, 17, -1, 16, 257, -32768};
    const quint8 b = in.byte();
    if (b < 224 && !clients_.empty())
        return clients_[b % clients_.size()].id;
    return kOthers[b % 6];
}

void ApiRig::deliver(quint8 protocolo, const QByteArray& message)
{
    const int l = 4 + message.size();
    link.deliver(QByteArray::fromHex("0405") + char(protocolo) + char(l >> 8) + char(l & 0xFF) + timestamp() + message);
}

void ApiRig::setIoctlTail(const QByteArray& tail)
{
    std::lock_guard<std::mutex> lock(mutex_);
    ioctlTail_ = tail;
}

QList<QByteArray> ApiRig::answer(const QByteArray& w)
{
    if (w.size() < 3 || quint8(w[0]) != 0x04)
        return {};
    const QByteArray head = w.left(3), ok(1, '\0');  // class, code, client
    std::lock_guard<std::mutex> lock(mutex_);
    switch (quint8(w[1])) {
    case 0x02:  // connect: ok, at the requested speed
        return {head + ok + w.mid(4, 1)};
    case 0x03:  // disconnect
        return {head + ok};
    case 0x04:
        return {sendAnswer(w)};
    // Adapter-wide answers carry their state in byte 2.
    case SERV_PIC_CONNECTION: case SERV_CMMD_MUX: case SERV_SET_CAN_FILTER: case SERV_CLEAR_CAN_FILTERS:
    case SERV_SET_J1850_FILTER: case SERV_CLEAR_J1850_FILTERS:
        return {w.left(2) + char(state_) + tail_};
    case 0xD2:  // only the last segment completes the message
        return w.size() > 6 && (quint8(w[6]) >> 4) == (quint8(w[6]) & 0x0F) ? QList<QByteArray>{sendAnswer(w)} : QList<QByteArray>{};
    case SERV_SET_ISO15765_FILTER:  // its state in byte 5
        return {w.left(5).leftJustified(5, '\0') + char(state_) + tail_};
    case 0x0D:  // ioctl: client and sub as asked, then the data
        return {w.left(5) + ioctlTail_};
    default:
        return {head + char(state_) + tail_};
    }
}
