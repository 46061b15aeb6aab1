#include "adapter/iso15765_transport.h"

#include <algorithm>
#include <cstring>

namespace rp1210core::adapter {

namespace {

// Protocol control information: the high nibble of the first byte after the address.
constexpr quint8 kSingle = 0x00, kFirst = 0x10, kConsecutive = 0x20, kFlowControl = 0x30;
constexpr quint8 kContinue = 0, kWait = 1, kOverflow = 2;  // flow status

}  // namespace

qint64 IsoTpEngine::stMinMs(quint8 stMin)
{
    if (stMin <= 0x7F)
        return stMin;
    if (stMin >= 0xF1 && stMin <= 0xF9)
        return 1;  // 100-900 us: the deadline clock counts milliseconds, so round up
    return 0x7F;   // reserved: the standard has the sender use the longest valid value
}

quint64 IsoTpEngine::receiveKey(quint32 id, bool extendedId, bool extendedAddressing, quint8 address)
{
    return (quint64(extendedId) << 41) | (quint64(extendedAddressing) << 40) | (quint64(id) << 8) |
           (extendedAddressing ? address : 0);
}

int IsoTpEngine::addConnection(const IsoTpConnectionConfig& config)
{
    const quint32 mask = config.extendedId ? bus::CanFrame::kExtendedMask : bus::CanFrame::kStandardMask;
    if ((config.incomingId & ~mask) != 0 || (config.outgoingId & ~mask) != 0)
        return ErrBadConfig;
    const quint64 key =
        receiveKey(config.incomingId, config.extendedId, config.extendedAddressing, config.incomingAddress);
    // A normal-addressing connection takes every frame of its identifier, so it shares the
    // identifier with no other connection; extended-addressing ones differ by address.
    const quint64 extAddressingBit = quint64(1) << 40;
    const quint64 identifierBits = ~(extAddressingBit | 0xFF);
    for (const auto& entry : byAddress_) {
        const quint64 other = entry.first;
        if ((other & identifierBits) == (key & identifierBits) &&
            (other == key || (other & extAddressingBit) == 0 || (key & extAddressingBit) == 0))
            return ErrDuplicate;
    }
    const int handle = nextHandle_++;
    Connection& c = connections_[handle];
    c.config = config;
    byAddress_.emplace(key, handle);
    return handle;
}

int IsoTpEngine::removeConnection(int handle)
{
    auto it = connections_.find(handle);
    if (it == connections_.end())
        return ErrUnknownConnection;
    setDeadline(handle, true, -1);
    setDeadline(handle, false, -1);
    for (auto a = byAddress_.begin(); a != byAddress_.end(); ++a) {
        if (a->second == handle) {
            byAddress_.erase(a);
            break;
        }
    }
    connections_.erase(it);
    return Ok;
}

void IsoTpEngine::setDeadline(int handle, bool sending, qint64 when)
{
    Connection& c = connections_[handle];
    qint64& slot = sending ? c.txDeadline : c.rxDeadline;
    const int key = handle * 2 + (sending ? 1 : 0);
    if (slot >= 0)
        deadlines_.erase({slot, key});
    slot = when;
    if (when >= 0)
        deadlines_.insert({when, key});
}

void IsoTpEngine::emitFrame(const Connection& c, const quint8* pdu, int n, IsoTpOutput& out) const
{
    quint8 bytes[8];
    int length = 0;
    if (c.config.extendedAddressing)
        bytes[length++] = c.config.outgoingAddress;
    std::memcpy(bytes + length, pdu, size_t(n));
    length += n;
    if (c.config.padding) {
        std::fill(bytes + length, bytes + 8, c.config.padByte);
        length = 8;
    }
    out.frames.push_back(bus::CanFrame::make(c.config.outgoingId, c.config.extendedId, bytes, length));
}

void IsoTpEngine::emitFlowControl(const Connection& c, quint8 status, IsoTpOutput& out) const
{
    const quint8 pdu[3] = {quint8(kFlowControl | status), c.config.blockSize, c.config.stMin};
    emitFrame(c, pdu, 3, out);
}

int IsoTpEngine::send(int handle, const quint8* data, int size, qint64 nowMs, IsoTpOutput& out)
{
    auto it = connections_.find(handle);
    if (it == connections_.end())
        return ErrUnknownConnection;
    if (size > kMaxMessage)
        return ErrTooLong;
    if (data == nullptr || size <= 0)
        return ErrEmpty;
    Connection& c = it->second;
    if (c.txState != TxState::Idle)
        return ErrBusy;

    const int room = 8 - headerSize(c);  // PDU bytes in one frame
    quint8 pdu[8];
    if (size <= room - 1) {
        pdu[0] = quint8(kSingle | size);
        std::memcpy(pdu + 1, data, size_t(size));
        emitFrame(c, pdu, size + 1, out);
        endSending(handle, c, IsoTpFailure::None, out);
        return Ok;
    }
    pdu[0] = quint8(kFirst | (size >> 8));
    pdu[1] = quint8(size & 0xFF);
    const int first = room - 2;
    std::memcpy(pdu + 2, data, size_t(first));
    emitFrame(c, pdu, room, out);
    c.txData.assign(data, data + size);
    c.txOffset = first;
    c.txSequence = 1;
    c.txState = TxState::WaitFlowControl;
    setDeadline(handle, true, nowMs + timings_.nBsMs);
    return Ok;
}

void IsoTpEngine::sendConsecutive(int handle, Connection& c, qint64 nowMs, IsoTpOutput& out)
{
    const int room = 7 - headerSize(c);  // data bytes in one consecutive frame
    const int size = int(c.txData.size());
    quint8 pdu[8];
    for (;;) {
        const int chunk = std::min(room, size - c.txOffset);
        pdu[0] = quint8(kConsecutive | c.txSequence);
        std::memcpy(pdu + 1, c.txData.data() + c.txOffset, size_t(chunk));
        emitFrame(c, pdu, chunk + 1, out);
        c.txOffset += chunk;
        c.txSequence = quint8((c.txSequence + 1) & 0x0F);
        if (c.txOffset >= size) {
            endSending(handle, c, IsoTpFailure::None, out);
            return;
        }
        if (c.txBlockLeft > 0 && --c.txBlockLeft == 0) {
            c.txState = TxState::WaitFlowControl;
            setDeadline(handle, true, nowMs + timings_.nBsMs);
            return;
        }
        if (c.txSeparationMs > 0) {
            c.txState = TxState::SendConsecutive;
            setDeadline(handle, true, nowMs + c.txSeparationMs);
            return;
        }
    }
}

void IsoTpEngine::endSending(int handle, Connection& c, IsoTpFailure failure, IsoTpOutput& out)
{
    setDeadline(handle, true, -1);
    c.txState = TxState::Idle;
    c.txData.clear();
    IsoTpEvent e;
    e.kind = failure == IsoTpFailure::None ? IsoTpEventKind::Sent : IsoTpEventKind::Failed;
    e.failure = failure;
    e.sending = true;
    e.connection = handle;
    out.events.push_back(std::move(e));
}

void IsoTpEngine::endReceiving(int handle, Connection& c, IsoTpFailure failure, IsoTpOutput& out)
{
    setDeadline(handle, false, -1);
    c.rxState = RxState::Idle;
    c.rxData.clear();
    if (failure == IsoTpFailure::None)
        return;
    IsoTpEvent e;
    e.kind = IsoTpEventKind::Failed;
    e.failure = failure;
    e.connection = handle;
    out.events.push_back(std::move(e));
}

void IsoTpEngine::receive(const bus::CanFrame& frame, qint64 nowMs, IsoTpOutput& out)
{
    const int length = frame.length;
    if (length < 1 || length > 8) {
        ++dropped_;
        return;
    }
    auto found = byAddress_.find(receiveKey(frame.id, frame.extended, false, 0));
    if (found == byAddress_.end())
        found = byAddress_.find(receiveKey(frame.id, frame.extended, true, frame.data[0]));
    if (found == byAddress_.end()) {
        ++dropped_;
        return;
    }
    const int handle = found->second;
    Connection& c = connections_[handle];
    const int header = headerSize(c);
    const quint8* pdu = frame.data.data() + header;
    const int n = length - header;
    if (n < 1) {
        ++dropped_;
        return;
    }
    switch (pdu[0] & 0xF0) {
    case kSingle:
        onSingle(handle, c, pdu, n, frame.timestampUs, out);
        break;
    case kFirst:
        onFirst(handle, c, pdu, n, nowMs, out);
        break;
    case kConsecutive:
        onConsecutive(handle, c, pdu, n, nowMs, frame.timestampUs, out);
        break;
    case kFlowControl:
        onFlowControl(handle, c, pdu, n, nowMs, out);
        break;
    default:
        ++dropped_;
        break;
    }
}

void IsoTpEngine::onSingle(int handle, Connection& c, const quint8* pdu, int n, qint64 tsUs, IsoTpOutput& out)
{
    const int size = pdu[0] & 0x0F;
    if (size < 1 || size > 7 - headerSize(c) || size > n - 1) {
        ++dropped_;
        return;
    }
    // A single frame during a reception ends that reception; the new message stands.
    if (c.rxState != RxState::Idle)
        endReceiving(handle, c, IsoTpFailure::None, out);
    IsoTpEvent e;
    e.kind = IsoTpEventKind::Received;
    e.connection = handle;
    e.timestampUs = tsUs;
    e.data = QByteArray(reinterpret_cast<const char*>(pdu + 1), size);
    out.events.push_back(std::move(e));
}

void IsoTpEngine::onFirst(int handle, Connection& c, const quint8* pdu, int n, qint64 nowMs, IsoTpOutput& out)
{
    const int room = 8 - headerSize(c);
    if (n < room) {  // a first frame always fills its CAN frame
        ++dropped_;
        return;
    }
    const int size = ((pdu[0] & 0x0F) << 8) | pdu[1];
    if (size == 0) {
        // The escape to a 32-bit length: more than we can hold.
        emitFlowControl(c, kOverflow, out);
        endReceiving(handle, c, IsoTpFailure::TooLong, out);
        return;
    }
    if (size < room) {  // would have fitted a single frame
        ++dropped_;
        return;
    }
    // A new first frame from the peer restarts the reception.
    c.rxData.clear();
    c.rxData.reserve(size);
    c.rxData.append(reinterpret_cast<const char*>(pdu + 2), room - 2);
    c.rxExpected = size;
    c.rxSequence = 1;
    c.rxBlockLeft = c.config.blockSize;
    c.rxState = RxState::ReceiveConsecutive;
    emitFlowControl(c, kContinue, out);
    setDeadline(handle, false, nowMs + timings_.nCrMs);
}

void IsoTpEngine::onConsecutive(int handle, Connection& c, const quint8* pdu, int n, qint64 nowMs, qint64 tsUs,
                                IsoTpOutput& out)
{
    if (c.rxState != RxState::ReceiveConsecutive) {
        ++dropped_;
        return;
    }
    if ((pdu[0] & 0x0F) != c.rxSequence) {
        endReceiving(handle, c, IsoTpFailure::WrongSequence, out);
        return;
    }
    const int remaining = c.rxExpected - int(c.rxData.size());
    const int chunk = std::min(7 - headerSize(c), remaining);
    if (n - 1 < chunk) {  // shorter than its place in the message requires
        ++dropped_;
        return;
    }
    c.rxData.append(reinterpret_cast<const char*>(pdu + 1), chunk);
    c.rxSequence = quint8((c.rxSequence + 1) & 0x0F);
    if (c.rxData.size() >= c.rxExpected) {
        IsoTpEvent e;
        e.kind = IsoTpEventKind::Received;
        e.connection = handle;
        e.timestampUs = tsUs;
        e.data = std::move(c.rxData);
        c.rxData = QByteArray();
        out.events.push_back(std::move(e));
        endReceiving(handle, c, IsoTpFailure::None, out);
        return;
    }
    if (c.rxBlockLeft > 0 && --c.rxBlockLeft == 0) {
        c.rxBlockLeft = c.config.blockSize;
        emitFlowControl(c, kContinue, out);
    }
    setDeadline(handle, false, nowMs + timings_.nCrMs);
}

void IsoTpEngine::onFlowControl(int handle, Connection& c, const quint8* pdu, int n, qint64 nowMs,
                                IsoTpOutput& out)
{
    if (n < 3 || c.txState != TxState::WaitFlowControl) {
        ++dropped_;
        return;
    }
    switch (pdu[0] & 0x0F) {
    case kContinue:
        c.txBlockLeft = pdu[1];
        c.txSeparationMs = std::max(stMinMs(pdu[2]), stMinMs(c.config.transmitStMin));
        c.txState = TxState::SendConsecutive;
        setDeadline(handle, true, -1);
        sendConsecutive(handle, c, nowMs, out);
        break;
    case kWait:
        setDeadline(handle, true, nowMs + timings_.nBsMs);
        break;
    case kOverflow:
        endSending(handle, c, IsoTpFailure::Overflow, out);
        break;
    default:
        endSending(handle, c, IsoTpFailure::InvalidFlowStatus, out);
        break;
    }
}

void IsoTpEngine::poll(qint64 nowMs, IsoTpOutput& out)
{
    while (!deadlines_.empty() && deadlines_.begin()->first <= nowMs) {
        const int key = deadlines_.begin()->second;
        const int handle = key / 2;
        const bool sending = (key & 1) != 0;
        deadlines_.erase(deadlines_.begin());
        Connection& c = connections_[handle];
        if (sending) {
            c.txDeadline = -1;
            if (c.txState == TxState::SendConsecutive)
                sendConsecutive(handle, c, nowMs, out);
            else if (c.txState == TxState::WaitFlowControl)
                endSending(handle, c, IsoTpFailure::Timeout, out);
        } else {
            c.rxDeadline = -1;
            if (c.rxState == RxState::ReceiveConsecutive)
                endReceiving(handle, c, IsoTpFailure::Timeout, out);
        }
    }
}

}  // namespace rp1210core::adapter
