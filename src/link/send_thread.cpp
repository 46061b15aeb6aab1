// The send thread of the output manager: output list, send loop, per-protocol
// in-flight limits with hold-back, remembered sent frames and segmentation.
#include "link/gestor_io.h"
#include "link/thread_priority.h"
#include <rp1210core/iproxy_link.h>
#include "common/protocols.h"
#include "common/wire_format.h"
#include "link/igestor_respuestas.h"

#include <algorithm>
#include <optional>
#include <system_error>

using namespace rp1210core::internal;

namespace {

using segmentation::kFirstPayload;
using segmentation::kLaterPayload;
using segmentation::lastIndexFor;

// In-flight counter of a protocol, or -1 when the protocol is not flow-controlled.
int counterOf(int protocolo)
{
    return protocolFacts(protocolo).inFlightCounter;
}

bool isSendMessage(const QByteArray& f)
{
    return f.size() > wire::kSendCounter && static_cast<quint8>(f.at(wire::kCodeOffset)) == SERV_ENVIAR_MENSAJE;
}

// Protocol byte of a send-message frame, read signed as the adapter defines it.
int protocolOf(const QByteArray& f)
{
    return static_cast<qint8>(f.at(wire::kSendProtocol));
}

quint8 counterByte(const QByteArray& f)
{
    return static_cast<quint8>(f.at(wire::kSendCounter));
}

}  // namespace

// ---- thread control ----

void Gestor_IO::ArrancarHiloEnvio(enum_VersionVCI generation, quint32 /*hwnd*/)
{
    generation_ = generation;
    segmenting_ = segmentation::segments(generation);
    if (running_) {
        wakeSendThread();  // the generation may change what holds the head back
        return;
    }
    // A loop ended by setRunning(false) or from its own thread is reaped here.
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id())
        thread_.join();

    reassembly_.clear();
    {
        // Under the list mutex so that a request queued meanwhile keeps its count.
        MutexLocker lock(listMutex_);
        outputList_.clear();
        listSemaphore_.drain();
    }
    {
        MutexLocker lock(sentMutex_);
        sentFrames_.clear();
    }
    {
        MutexLocker lock(counterMutex_);
        contIdMsgs_ = 1;
    }
    {
        MutexLocker lock(inFlightMutex_);
        inFlight_.fill(0);
    }
    // A hold-back left from the previous run must not free a slot of the new one.
    holdBack_ = false;
    segments_.clear();
    current_ = TLink_Request_Msg();

    running_ = true;
    try {
        thread_ = std::thread([this] {
            raiseLinkThreadPriority();
            run();
        });
    } catch (const std::system_error&) {
        running_ = false;
    }
}

bool Gestor_IO::pararHiloEnvio()
{
    const bool wasRunning = running_.exchange(false);
    if (wasRunning) {
        listSemaphore_.wakeAll();
        {
            MutexLocker lock(inFlightMutex_);
        }
        inFlightCv_.notify_all();
    }
    // From the send thread itself (a callback) the loop ends on its own; the next
    // start or the destructor reaps it.
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id())
        thread_.join();
    return wasRunning;
}

void Gestor_IO::run()
{
    using Steady = std::chrono::steady_clock;
    // Each wait below ends at a frame, a freed slot or counter, the end of the hold-back,
    // the next due broadcast record, a wakeSendThread() or a stop; nothing else.
    std::uint64_t seen = wakes_;
    Steady::time_point broadcastAt = Steady::now();  // nothing known yet: look at once
    while (running_) {
        ++passes_;
        const auto woken = [&] { return !running_ || wakes_ != seen; };
        if (listSemaphore_.tryAcquireUntil(broadcastAt, woken) && enviarMSG() == 1) {
            // The head is held back: sleep until an answer frees a slot of its
            // protocol, or the frame remembered under its counter, or until its
            // hold-back runs out (the next pass then frees what holds it).
            const bool message = isSendMessage(current_.trama);
            const int counter = message ? counterOf(protocolOf(current_.trama)) : -1;
            const int msgCounter = message ? counterByte(current_.trama) : -1;
            const Steady::time_point holdBackEnd =
                clock_.load()->realTimeOfMillis(holdBackStartMs_ + quint32(kHoldBackMs) + 1u);
            const Steady::time_point until = std::min(holdBackEnd, broadcastAt);
            UniqueLock lock(inFlightMutex_);
            while (!woken() && !heldHeadMayGo(counter, msgCounter)) {
                if (lock.waitUntil(inFlightCv_, until) == std::cv_status::timeout)
                    break;
            }
        }
        // Read before the records are: a record added from now on wakes the next sleep.
        seen = wakes_;
        broadcastAt = Steady::time_point::max();
        if (IGestorRespuestas* g = gestor_.load()) {
            if (const std::optional<quint32> next = g->sendBroadcastMsg())
                broadcastAt = clock_.load()->realTimeOfMillis(*next);
        }
    }
}

bool Gestor_IO::heldHeadMayGo(int counter, int msgCounter) const
{
    if (msgCounter >= 0) {
        MutexLocker sentLock(sentMutex_);
        if (sentFrames_.contains(static_cast<quint8>(msgCounter)))
            return false;
    }
    return counter < 0 || inFlight_[static_cast<size_t>(counter)] < kInFlightLimits[counter];
}

void Gestor_IO::wakeSendThread()
{
    ++wakes_;
    listSemaphore_.wakeAll();
    wakeHeldBack();
}

// ---- output list ----

void Gestor_IO::addMessageSentList(quint8 idCliente, quint8 idBroadcast, const QByteArray& trama)
{
    TLink_Request_Msg msg;
    msg.idCliente = idCliente;
    msg.idBroadcast = idBroadcast;
    msg.trama = trama;
    MutexLocker lock(listMutex_);
    outputList_.append(msg);
    listSemaphore_.release();
}

int Gestor_IO::enviarMSG()
{
    MutexLocker lock(listMutex_);
    if (outputList_.isEmpty())
        return 0;

    const TLink_Request_Msg& head = outputList_.constFirst();
    const bool sameHead = holdBack_ && head.trama.isSharedWith(current_.trama);
    current_ = head;
    const bool segment = segmenting_ && current_.trama.size() > kMaxFrame;

    // A frame too long for the 16 segments the sequence byte can number cannot be
    // sent intact: drop it rather than send corrupt segments.
    if (segment && !segmentation::fits(current_.trama.size())) {
        outputList_.removeFirst();
        return 0;
    }

    const bool message = isSendMessage(current_.trama);
    const int protocolo = message ? protocolOf(current_.trama) : 0;
    const quint32 now = clock_.load()->processMillis();
    const bool heldTooLong = sameHead && quint32(now - holdBackStartMs_) > quint32(kHoldBackMs);

    // The adapter's answer names only the counter, so a counter is not given to a second
    // frame while the first is still remembered under it: its answer would find the
    // wrong frame. A counter whose answer never comes is forgotten after the hold-back.
    if (message && counterBusy(current_.trama, heldTooLong)) {
        listSemaphore_.release();  // come back to the same head
        if (!sameHead) {
            holdBack_ = true;
            holdBackStartMs_ = now;
        }
        return 1;
    }
    if (message && !increaseSendProtocolBuffer(protocolo)) {
        listSemaphore_.release();  // come back to the same head
        if (!sameHead) {
            // The timer belongs to the head it was started for.
            holdBack_ = true;
            holdBackStartMs_ = now;
        } else if (heldTooLong) {
            decreaseSendProtocolBuffer(protocolo);  // no answer came: free one slot
        }
        return 1;
    }
    holdBack_ = false;
    outputList_.removeFirst();

    if (message && !(protocolo == PROTOCOLO_J1708 && !segmenting_)) {
        MutexLocker sentLock(sentMutex_);
        sentFrames_.insert(counterByte(current_.trama), current_.trama);
    }

    if (segment) {
        segments_.clear();
        segmentarMSG(&segments_, current_, kHeaderLength);
        if (!segments_.isEmpty()) {
            current_ = segments_.first();
            for (int i = segments_.size() - 1; i >= 1; --i) {
                outputList_.prepend(segments_.at(i));
                listSemaphore_.release();
            }
            segments_.clear();
        }
    }

    IProxyLink* link = link_.load();
    if (link == nullptr || !link->writeData(current_.trama.constData(), current_.trama.size()))
        if (IGestorRespuestas* g = gestor_.load())
            g->set_Error(rp1210rc::HARDWARE_NOT_RESPONDING);
    return 0;
}

bool Gestor_IO::counterBusy(const QByteArray& trama, bool forgetStale)
{
    const quint8 counter = counterByte(trama);
    MutexLocker lock(sentMutex_);
    auto it = sentFrames_.find(counter);
    if (it == sentFrames_.end())
        return false;
    if (!forgetStale)
        return true;
    sentFrames_.erase(it);
    return false;
}

// ---- removal ----
// A removed head may have been held back: the send thread looks at the new head at once.

void Gestor_IO::removeClientMessages(quint8 idCliente)
{
    bool removed = false;
    {
        MutexLocker lock(listMutex_);
        for (int i = outputList_.size() - 1; i >= 0; --i) {
            if (outputList_.at(i).idCliente == idCliente) {
                outputList_.removeAt(i);
                removed = true;
            }
        }
    }
    if (removed)
        wakeSendThread();
}

void Gestor_IO::removeAllBroadcastMsgs()
{
    bool removed = false;
    {
        MutexLocker lock(listMutex_);
        for (int i = outputList_.size() - 1; i >= 0; --i) {
            if (outputList_.at(i).idBroadcast != wire::kNoBroadcast) {
                outputList_.removeAt(i);
                removed = true;
            }
        }
    }
    if (removed)
        wakeSendThread();
}

void Gestor_IO::removeBroadcastMsgByID(quint8 idBroadcast, quint8 idCliente)
{
    bool removed = false;
    {
        MutexLocker lock(listMutex_);
        for (int i = outputList_.size() - 1; i >= 0; --i) {
            const TLink_Request_Msg& m = outputList_.at(i);
            if (m.idBroadcast == idBroadcast && m.idCliente == idCliente) {
                outputList_.removeAt(i);
                removed = true;
            }
        }
    }
    if (removed)
        wakeSendThread();
}

void Gestor_IO::removeAllOutputMessages()
{
    bool removed = false;
    {
        MutexLocker lock(listMutex_);
        removed = !outputList_.isEmpty();
        outputList_.clear();
    }
    if (removed)
        wakeSendThread();
}

void Gestor_IO::clearSemaphore()
{
    listSemaphore_.drain();
}

// ---- flow control ----

bool Gestor_IO::increaseSendProtocolBuffer(int protocolo)
{
    const int counter = counterOf(protocolo);
    if (counter < 0 || (counter == kJ1708Counter && !segmenting_))
        return true;
    MutexLocker lock(inFlightMutex_);
    quint8& n = inFlight_[static_cast<size_t>(counter)];
    if (n >= kInFlightLimits[counter])
        return false;
    ++n;
    return true;
}

void Gestor_IO::wakeHeldBack()
{
    // Taking the mutex orders this after a waiter's check of its condition.
    { MutexLocker lock(inFlightMutex_); }
    inFlightCv_.notify_all();
}

void Gestor_IO::decreaseSendProtocolBuffer(int protocolo)
{
    const int counter = counterOf(protocolo);
    if (counter < 0)
        return;
    {
        MutexLocker lock(inFlightMutex_);
        // Also for J1708 off a segmenting generation: nothing is counted then, and a
        // count left from a segmenting run is cleared rather than kept for ever.
        quint8& n = inFlight_[static_cast<size_t>(counter)];
        if (n == 0)
            return;
        --n;
    }
    inFlightCv_.notify_all();
}

// ---- segmentation ----

int Gestor_IO::segmentSize(int k, int i)
{
    if (i == 0)
        return kFirstPayload;
    const int r = k - kFirstPayload - kLaterPayload * (i - 1);
    return r > kLaterPayload - 1 ? kLaterPayload : r;
}

quint8 Gestor_IO::segmentValue(quint8 i, int k)
{
    return static_cast<quint8>(lastIndexFor(k) * 16 + i);
}

void Gestor_IO::segmentarMSG(QList<TLink_Request_Msg>* out, const TLink_Request_Msg& msg, int inicio) const
{
    const QByteArray& f = msg.trama;
    const int length = f.size();
    // The segment header copies bytes 2 to 6 of the whole frame.
    if (out == nullptr || inicio < 0 || inicio >= length || length < kHeaderLength)
        return;
    const int k = length - inicio;
    int offset = inicio;
    for (int i = 0; offset < length; ++i) {
        const int take = qMin(segmentSize(k, i), length - offset);
        if (take <= 0)
            break;
        QByteArray s;
        s.reserve(11 + take);
        s.append(wire::kClassApplication);
        s.append(static_cast<char>(wire::kRequestSegmentCode));
        s.append(f.constData() + 2, 3);  // client and echo flag, protocol, counter
        s.append(char(0x00));
        s.append(static_cast<char>(segmentValue(static_cast<quint8>(i), k)));
        if (i == 0)
            s.append(f.constData() + 5, 2);  // total data length
        s.append(static_cast<char>(take >> 8));
        s.append(static_cast<char>(take));
        s.append(f.constData() + offset, take);
        offset += take;

        TLink_Request_Msg seg;
        seg.idCliente = msg.idCliente;
        seg.idBroadcast = msg.idBroadcast;
        seg.trama = s;
        out->append(seg);
    }
}
