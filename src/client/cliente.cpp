#include "client/cliente.h"

#include "client/filters.h"
#include "common/clock.h"
#include "common/protocols.h"

#include <algorithm>
#include <cstring>
#include <limits>

using namespace rp1210core::internal;

namespace {

bool isJ1708Framing(quint8 protocolo)
{
    return protocolFacts(protocolo).framing != Framing::Plain;
}

// The bytes a client of the protocol adds around a message before it goes out; -1: none.
struct Additions {
    int prefix = -1;
    int suffix = -1;
};

Additions additionsFor(quint8 protocolo, bool addChecksum, const QByteArray& message)
{
    Additions a;
    const int n = message.size();
    switch (protocolFacts(protocolo).framing) {
    case Framing::J1708:
        // The priority byte (byte 0) is not part of the J1708 checksum.
        if (addChecksum)
            a.suffix = n > 1 ? Cliente::J1708_CalculaChecksum(message.constData() + 1, short(n - 1)) : 0;
        break;
    case Framing::Cat:
        // CAT messages come without priority; the adapter expects 0x01 in its place.
        if (addChecksum)
            a.suffix = Cliente::J1708_CalculaChecksum(message.constData(), short(n));
        a.prefix = 0x01;
        break;
    case Framing::Plain:
        break;
    }
    return a;
}

qint32 sizeOrDefault(qint32 size)
{
    return size < 1 ? Cliente::kDefaultBufferSize : size;
}

qint32 queuedBytes(const QList<QByteArray>& queue)
{
    qint32 total = 0;
    for (const QByteArray& m : queue)
        total += m.size();
    return total;
}

}  // namespace

Cliente::Cliente() = default;

Cliente::Cliente(quint8 idCliente, quint8 protocolo, qint32 txSize, qint32 rxSize, bool packetize)
{
    idCliente_ = idCliente;
    valoresPorDefecto();
    protocolo_ = protocolo;
    setTamanoBufferEntrada(rxSize);
    setTamanoBufferSalida(txSize);
    j1939Packetize_ = packetize;
}

// Queues and filters release themselves; the broadcast records are dropped under
// their lock like at a new connection.
Cliente::~Cliente()
{
    dropBroadcasts();
}

void Cliente::valoresPorDefecto()
{
    conectado_ = false;
    pendienteDesconexion_ = false;
    blockingTimeout_ = 0;
    messageReceive_ = true;
    echoMode_ = false;
    j1939Packetize_ = false;
    claimAddressValue_ = 0;
    claimAddressState_ = 0;
    filterState_ = 0;
    j1708Mode_ = 1;
    iso9141Mode_ = 1;
    filterMode_ = 0;
    rxFull_ = false;
    rxRefused_ = 0;
    deleteMsjRecibido();
    deleteMsjSaliente();
    deleteAllFilters();
    dropBroadcasts();
}

void Cliente::setPendiente_desconexion(bool v)
{
    pendienteDesconexion_ = v;
    if (v)
        rxCount_.wakeAll();
}

// A mode change alters the layout of queued messages, so what is queued is dropped.
void Cliente::setEchoMode(bool v)
{
    if (echoMode_.exchange(v) != v) {
        deleteMsjRecibido();
        deleteMsjSaliente();
    }
}

void Cliente::setJ1708Mode(quint8 v)
{
    if (j1708Mode_.exchange(v) != v) {
        deleteMsjRecibido();
        deleteMsjSaliente();
    }
}

void Cliente::setISO9141_KWP200_Mode(quint8 v)
{
    if (iso9141Mode_.exchange(v) != v) {
        deleteMsjRecibido();
        deleteMsjSaliente();
    }
}

// ---------------------------------------------------------------- buffer sizes

// The free count is the new size less what is still queued, so that taking the
// queued messages later cannot raise it above the size.
void Cliente::setTamanoBufferEntrada(qint32 size)
{
    const qint32 s = sizeOrDefault(size);
    MutexLocker lock(rxLock_);
    rxSize_ = s;
    rxFree_ = s - queuedBytes(rxQueue_);
}

qint32 Cliente::getfreeBufferEntrada() const
{
    MutexLocker lock(rxLock_);
    return rxFree_;
}

void Cliente::setfreeBufferEntrada(qint32 v)
{
    MutexLocker lock(rxLock_);
    rxFree_ = v;
}

void Cliente::setTamanoBufferSalida(qint32 size)
{
    const qint32 s = sizeOrDefault(size);
    MutexLocker lock(txLock_);
    txSize_ = s;
    txFree_ = s - queuedBytes(txQueue_);
}

qint32 Cliente::getfreeBufferSalida() const
{
    MutexLocker lock(txLock_);
    return txFree_;
}

void Cliente::setfreeBufferSalida(qint32 v)
{
    MutexLocker lock(txLock_);
    txFree_ = v;
}

// ---------------------------------------------------------------- transmit queue

// A negative len is taken as 0 bytes: nothing is read from msg.
quint32 Cliente::addMsjSaliente(const char* msg, short len, int maxLength)
{
    const int n = (msg != nullptr && len > 0) ? len : 0;
    QByteArray prepared;
    if (n > 0)
        prepared = QByteArray(msg, n);

    const Additions added = additionsFor(protocolo_, j1708Mode_ == 1, prepared);
    int counted = n;
    if (added.suffix >= 0)
        prepared.append(char(added.suffix));
    if (added.prefix >= 0) {
        prepared.prepend(char(added.prefix));
        counted = n + 1;
    }
    // Measured as prepared: the checksum and prefix travel in the frame too.
    if (prepared.size() > maxLength)
        return quint32(rp1210rc::MESSAGE_TOO_LONG);

    // The space test uses the counted length, the deduction the prepared size.
    MutexLocker lock(txLock_);
    if (counted > txFree_)
        return quint32(rp1210rc::TX_QUEUE_FULL);
    txFree_ -= prepared.size();
    txQueue_.append(prepared);
    return 0;
}

QByteArray Cliente::GetMsjToSend()
{
    MutexLocker lock(txLock_);
    if (txQueue_.isEmpty())
        return QByteArray();
    QByteArray msg = txQueue_.takeFirst();
    txFree_ += msg.size();
    return msg;
}

void Cliente::deleteMsjSaliente()
{
    MutexLocker lock(txLock_);
    txQueue_.clear();
    txFree_ = txSize_;
}

// ---------------------------------------------------------------- receive queue

quint32 Cliente::addMsjRecibido(QByteArray& msg)
{
    if (!messageReceive_)
        return 0;
    if (!passesFilters(msg))
        return 0;
    return storeReceived(msg, false);
}

quint32 Cliente::addMsjRecibidoECHO(QByteArray& msg)
{
    return storeReceived(msg, isJ1708Framing(protocolo_));
}

bool Cliente::passesFilters(QByteArray& msg) const
{
    const quint8 state = filterState_;
    if (state == 1)
        return true;
    if (state != 2)
        return false;
    const bool echo = echoMode_;
    const quint8 mode = filterMode_;
    MutexLocker lock(filterLock_);
    for (const auto& f : filters_) {
        if (f->Valid_Filter(msg, echo, mode))
            return true;
    }
    return false;
}

// removePriority drops the J1708 priority byte behind the timestamp and echo byte.
quint32 Cliente::storeReceived(QByteArray& msg, bool removePriority)
{
    MutexLocker lock(rxLock_);
    if (rxFree_ < msg.size()) {
        rxFull_ = true;
        ++rxRefused_;
        return quint32(rp1210rc::RX_QUEUE_FULL);
    }
    QByteArray stored = msg;
    if (removePriority && stored.size() > 5)
        stored.remove(5, 1);
    rxFree_ -= stored.size();
    rxQueue_.append(stored);
    // Released under the receive lock so a flush can never leave a token without a message.
    rxCount_.release();
    return 0;
}

qint16 Cliente::GetMsjToRead(char* buffer, int bufferSize, int waitMs, const std::atomic<int>* linkError)
{
    const auto leave = [this, linkError] { return pendienteDesconexion_ || (linkError && *linkError != 0); };
    if (!rxCount_.tryAcquireUnless(waitMs, leave))
        return 0;

    MutexLocker lock(rxLock_);
    // A flush between taking the token and taking the lock removed the message and
    // the token went with it.
    if (rxQueue_.isEmpty())
        return 0;
    const QByteArray& head = rxQueue_.first();
    const int n = head.size();
    // The count travels as a 16-bit value; a longer message can never be handed over.
    if (buffer == nullptr || bufferSize < 1 || n > bufferSize || n > std::numeric_limits<qint16>::max()) {
        rxCount_.release();
        return qint16(-rp1210rc::MESSAGE_TOO_LONG);
    }
    if (n > 0)
        std::memcpy(buffer, head.constData(), size_t(n));
    rxQueue_.removeFirst();
    rxFree_ += n;
    return qint16(n);
}

void Cliente::deleteMsjRecibido()
{
    MutexLocker lock(rxLock_);
    rxQueue_.clear();
    rxCount_.drain();
    rxFree_ = rxSize_;
}

int Cliente::receivedCount() const
{
    MutexLocker lock(rxLock_);
    return rxQueue_.size();
}

// ---------------------------------------------------------------- filters

quint32 Cliente::addFiltro(const unsigned char* record)
{
    if (record == nullptr)
        return quint32(rp1210rc::INVALID_COMMAND);

    std::unique_ptr<GestionFiltro> filter;
    switch (protocolFacts(protocolo_.load()).filter) {
    case FilterKind::Can:
        filter = std::make_unique<CAN_Filtro>(record);
        break;
    case FilterKind::J1850:
        filter = std::make_unique<J1850_Filtro>(record);
        break;
    case FilterKind::J1708:
        filter = std::make_unique<J1708_Filtro>(record[0]);
        break;
    case FilterKind::J1939:
        filter = std::make_unique<J1939_Filtro>(record);
        break;
    case FilterKind::Iso15765:
        filter = std::make_unique<ISO15765_Filtro>(record);
        break;
    case FilterKind::Cat:
        filter = std::make_unique<CDL_Filtro>(record + 1, short(record[0]));
        break;
    case FilterKind::None:
        return 0;  // no filter class for this protocol: nothing to add
    }

    MutexLocker lock(filterLock_);
    if (filters_.size() >= size_t(kMaxFilters))
        return quint32(rp1210rc::TOO_MANY_FILTERS);
    filters_.push_back(std::move(filter));
    filterState_ = 2;
    return 0;
}

bool Cliente::containsFilter(const GestionFiltro* filter) const
{
    if (protocolo_ != PROTOCOLO_ISO15765)
        return false;
    const auto* wanted = dynamic_cast<const ISO15765_Filtro*>(filter);
    if (wanted == nullptr)
        return false;
    MutexLocker lock(filterLock_);
    for (const auto& f : filters_) {
        const auto* held = dynamic_cast<const ISO15765_Filtro*>(f.get());
        if (held != nullptr && held->sameAs(*wanted))
            return true;
    }
    return false;
}

bool Cliente::areISO15765FiltersCorrect(QByteArray& records, int& length) const
{
    constexpr int kRecord = ISO15765_Filtro::kRecordSize;
    int offset = 0;
    // Only whole records inside both the array and the stated length are examined.
    while (offset + kRecord <= records.size() && offset + kRecord <= length) {
        const ISO15765_Filtro candidate(reinterpret_cast<const unsigned char*>(records.constData()) + offset);
        if (containsFilter(&candidate)) {
            records.remove(offset, kRecord);  // the next record moves into this offset
            length -= kRecord;
        } else {
            offset += kRecord;
        }
    }
    return length > 0;
}

void Cliente::deleteAllFilters()
{
    std::vector<std::unique_ptr<GestionFiltro>> dropped;
    {
        MutexLocker lock(filterLock_);
        filterState_ = 0;
        dropped.swap(filters_);
    }
    // The filters are destroyed outside the lock.
}

int Cliente::getFilterSize() const
{
    MutexLocker lock(filterLock_);
    return int(filters_.size());
}

const GestionFiltro* Cliente::getActiveFilter(int index) const
{
    MutexLocker lock(filterLock_);
    if (index < 0 || size_t(index) >= filters_.size())
        return nullptr;
    return filters_[size_t(index)].get();
}

// ---------------------------------------------------------------- periodic broadcasts

void Cliente::dropBroadcasts()
{
    MutexLocker lock(broadcastLock_);
    broadcasts_.clear();
    broadcastLink_.reset();
}

// Stores under the smallest key in firstKey..lastKey that the map does not hold.
// The caller holds the broadcast lock.
int Cliente::storeBroadcastLocked(BroadcastMSG& record, int firstKey, int lastKey)
{
    for (int key = firstKey; key <= lastKey; ++key) {
        if (broadcasts_.contains(key))
            continue;
        record.setBroadcastID(key);
        broadcasts_.insert(key, record);
        return key;
    }
    return kBroadcastFull;
}

int Cliente::addBroadcastMSG(const char* record, int size)
{
    if (BroadcastMSG::recordSize(record, size) < 0)
        return rp1210rc::INVALID_COMMAND;
    BroadcastMSG msg(record);
    const Additions added = additionsFor(protocolo_, j1708Mode_ == 1, msg.getMsg());
    if (added.suffix >= 0)
        msg.appendByte(quint8(added.suffix));
    if (added.prefix >= 0)
        msg.prependByte(quint8(added.prefix));
    MutexLocker lock(broadcastLock_);
    return storeBroadcastLocked(msg, 0, kMaxBroadcasts - 1);
}

int Cliente::addBroadcastMSG_Link(const char* record, int size)
{
    if (BroadcastMSG::recordSize(record, size) < 0)
        return rp1210rc::INVALID_COMMAND;
    BroadcastMSG msg(record);
    MutexLocker lock(broadcastLock_);
    if (!broadcastLink_) {
        msg.setBroadcastID(0);
        broadcastLink_ = msg;
        return 0;
    }
    return storeBroadcastLocked(msg, 1, kLastLinkMapKey);
}

namespace {

int writeView(const BroadcastMSG& record, char* out, int outSize)
{
    if (out == nullptr || record.viewSize() > outSize)
        return rp1210rc::INVALID_COMMAND;
    record.deserializarBroadMSG(out);
    return 0;
}

}  // namespace

int Cliente::viewBroadcastMSG(char* out, int outSize, quint8 id) const
{
    MutexLocker lock(broadcastLock_);
    const auto it = broadcasts_.constFind(id);
    if (it == broadcasts_.constEnd())
        return 1;
    return writeView(it.value(), out, outSize);
}

int Cliente::viewBroadcastMSG_Link(char* out, int outSize, quint8 id) const
{
    {
        MutexLocker lock(broadcastLock_);
        if (id == 0 && broadcastLink_)
            return writeView(*broadcastLink_, out, outSize);
    }
    return viewBroadcastMSG(out, outSize, id);
}

int Cliente::removeBroadcastMsg(quint8 id)
{
    MutexLocker lock(broadcastLock_);
    return broadcasts_.remove(id) > 0 ? 0 : 1;
}

int Cliente::clearBroadcastMsgList(QList<quint8>* removedKeys)
{
    QMap<qint32, BroadcastMSG> dropped;
    {
        MutexLocker lock(broadcastLock_);
        dropped.swap(broadcasts_);
    }
    // The records are released outside the lock, which the send thread waits on.
    if (removedKeys) {
        for (auto it = dropped.constBegin(); it != dropped.constEnd(); ++it)
            removedKeys->append(static_cast<quint8>(it.key()));
    }
    return dropped.size();
}

int Cliente::broadcastMsgListSize() const
{
    MutexLocker lock(broadcastLock_);
    return broadcasts_.size();
}

int Cliente::broadcastMsgListSize_Link() const
{
    MutexLocker lock(broadcastLock_);
    return broadcasts_.size() + (broadcastLink_ ? 1 : 0);
}

bool Cliente::brodCastMSGLinkState_Link() const
{
    MutexLocker lock(broadcastLock_);
    return broadcastLink_.has_value();
}

void Cliente::deleteBrodCastMSGLink()
{
    MutexLocker lock(broadcastLock_);
    broadcastLink_.reset();
}

bool Cliente::getBroadcastMSG_Link(QByteArray* msg) const
{
    MutexLocker lock(broadcastLock_);
    if (!broadcastLink_)
        return false;
    if (msg)
        *msg = broadcastLink_->getMsg();
    return true;
}

// Due-ness is checked before anything is copied: on most turns nothing is due and the
// walk must not allocate.
bool Cliente::broadcastMsgToSend(QList<BroadcastMSG>* due, const Rp1210Clock& clock,
                                 std::optional<quint32>* nextDue)
{
    bool any = false;
    MutexLocker lock(broadcastLock_);
    for (auto it = broadcasts_.begin(); it != broadcasts_.end(); ++it) {
        BroadcastMSG& record = it.value();
        if (record.isDue(clock.processMillis())) {
            if (due)
                due->append(record);
            record.setLastSent(static_cast<int>(clock.processMillis()));
            any = true;
        }
        // Due times lie within a 16-bit interval of each other: the signed difference
        // orders them across a wrap of the clock.
        const std::optional<quint32> at = record.dueAt();
        if (nextDue && at && (!*nextDue || static_cast<qint32>(*at - **nextDue) < 0))
            *nextDue = at;
    }
    return any;
}

// ---------------------------------------------------------------- service states and storage

void Cliente::setServiceRequestState(IDS_SERV_RP1210 id, RESPONSES_SERV_RP1210 state)
{
    MutexLocker lock(storeLock_);
    serviceStates_.insert(int(id), int(state));
}

RESPONSES_SERV_RP1210 Cliente::getServiceRequestState(IDS_SERV_RP1210 id) const
{
    MutexLocker lock(storeLock_);
    return RESPONSES_SERV_RP1210(serviceStates_.value(int(id), int(RESP_SERV_OK)));
}

// Pairs of (parameter, value); a trailing single entry is ignored. The ioctl state is
// set under the same lock, so a waiter that sees it also sees the values.
void Cliente::set_IOCTL_Params(const QList<quint32>& pairs)
{
    MutexLocker lock(storeLock_);
    for (int i = 0; i + 1 < pairs.size(); i += 2)
        ioctlParams_.insert(pairs.at(i), pairs.at(i + 1));
    serviceStates_.insert(int(SERV_IOCTL), int(RESP_SERV_OK));
}

quint32 Cliente::get_IOCTL_SingleParam(quint32 parameter) const
{
    MutexLocker lock(storeLock_);
    return ioctlParams_.value(parameter, 0);
}

void Cliente::setBufferHardwareStatus(const QList<quint8>& bytes)
{
    MutexLocker lock(storeLock_);
    hwStatus_ = bytes;
}

void Cliente::getBufferHardwareStatus(char* out, short n) const
{
    if (out == nullptr || n < 1)
        return;
    MutexLocker lock(storeLock_);
    const int count = std::min(int(n), hwStatus_.size());
    for (int i = 0; i < count; ++i)
        out[i] = char(hwStatus_.at(i));
}

void Cliente::setFAST_INIT_AND_FIVE_BAUD_INIT_MSG(const QByteArray& bytes)
{
    MutexLocker lock(storeLock_);
    fastInit_ = bytes;
}

QByteArray Cliente::GetFAST_INIT_AND_FIVE_BAUD_INIT_MSG() const
{
    MutexLocker lock(storeLock_);
    return fastInit_;
}

void Cliente::setSendPulsesInit_Response(const QByteArray& bytes)
{
    MutexLocker lock(storeLock_);
    pulses_ = bytes;
}

QByteArray Cliente::GetSendPulsesInit_Response() const
{
    MutexLocker lock(storeLock_);
    return pulses_;
}

quint8 Cliente::J1708_CalculaChecksum(const char* data, short len)
{
    if (data == nullptr || len < 1)
        return 0;
    quint8 sum = 0;
    for (short i = 0; i < len; ++i)
        sum = quint8(sum + quint8(data[i]));
    return quint8(0x100 - sum);
}
