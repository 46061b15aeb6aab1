// ISO 15765-2 transport (ISO-TP) over raw CAN frames, without I/O: the caller feeds it
// received frames and the current time and puts on the bus the frames it hands back.
//
// A connection is one identifier pair configured by the caller, as an RP1210 ISO 15765
// flow-control record describes it; each connection holds one sending and one receiving
// session with their own deadline. The engine never sleeps: nextDeadline() tells the
// caller when to call poll() again. Not thread-safe; one owner thread drives it.
#pragma once

#include "bus/can_frame.h"

#include <QByteArray>

#include <map>
#include <set>
#include <utility>
#include <vector>

namespace rp1210core::adapter {

struct IsoTpConnectionConfig {
    bool extendedId = false;          // 29-bit identifiers
    bool extendedAddressing = false;  // first data byte of every frame is a target address
    quint32 incomingId = 0;           // frames we receive (data from the peer, its flow control)
    quint32 outgoingId = 0;           // frames we send
    quint8 incomingAddress = 0;       // extended addressing: first byte of the frames we accept
    quint8 outgoingAddress = 0;       // extended addressing: first byte of the frames we send
    quint8 blockSize = 0;             // advertised in our flow control; 0: no further flow control
    quint8 stMin = 0;                 // advertised in our flow control, ISO encoding
    quint8 transmitStMin = 0;         // floor on our own consecutive-frame spacing, ISO encoding
    bool padding = true;              // false: frames as short as their content
    quint8 padByte = 0xCC;
};

enum class IsoTpEventKind : quint8 { Received, Sent, Failed };

enum class IsoTpFailure : quint8 {
    None,
    Timeout,            // N_Bs (no flow control) when sending, N_Cr (no consecutive frame) when receiving
    Overflow,           // the receiver answered OVERFLOW
    WrongSequence,      // a consecutive frame out of order
    TooLong,            // the peer announced more than kMaxMessage bytes; we answered OVERFLOW
    InvalidFlowStatus,  // a flow control with a reserved status
};

struct IsoTpEvent {
    IsoTpEventKind kind = IsoTpEventKind::Failed;
    IsoTpFailure failure = IsoTpFailure::None;
    bool sending = false;   // Failed: the sending session failed (else the receiving one)
    int connection = -1;
    qint64 timestampUs = 0;  // Received: the bus timestamp of the message's last frame
    QByteArray data;         // Received: the message
};

// What one call produced; the engine appends, the caller drains and clears.
struct IsoTpOutput {
    std::vector<bus::CanFrame> frames;
    std::vector<IsoTpEvent> events;
    void clear()
    {
        frames.clear();
        events.clear();
    }
};

struct IsoTpTimings {
    qint64 nBsMs = 1000;  // waiting for a flow control
    qint64 nCrMs = 1000;  // waiting for a consecutive frame
};

class IsoTpEngine {
public:
    static constexpr int kMaxMessage = 4095;  // 12-bit first-frame length

    // Results of the calls below; connection handles are >= 0.
    enum Result : int {
        Ok = 0,
        ErrBadConfig = -1,       // identifier out of range for its width
        ErrDuplicate = -2,       // another connection already receives on that addressing
        ErrUnknownConnection = -3,
        ErrBusy = -4,            // the connection is still sending a message
        ErrTooLong = -5,         // over kMaxMessage bytes
        ErrEmpty = -6,
    };

    explicit IsoTpEngine(IsoTpTimings timings = IsoTpTimings()) : timings_(timings) {}

    // A handle (>= 0) or ErrBadConfig / ErrDuplicate.
    int addConnection(const IsoTpConnectionConfig& config);
    // Drops the connection and anything it was sending or receiving, without events.
    int removeConnection(int handle);

    // Starts sending `size` bytes; the frames it can send now go to `out`. An Ok send ends
    // with a Sent or Failed event.
    int send(int handle, const quint8* data, int size, qint64 nowMs, IsoTpOutput& out);
    // Hands one received frame (untrusted) to its session; frames of no session are dropped.
    void receive(const bus::CanFrame& frame, qint64 nowMs, IsoTpOutput& out);
    // Runs every deadline due at `nowMs`: separation times and timeouts.
    void poll(qint64 nowMs, IsoTpOutput& out);
    // The earliest pending deadline, -1 when there is none.
    qint64 nextDeadline() const { return deadlines_.empty() ? -1 : deadlines_.begin()->first; }

    // Frames that reached no session or were malformed or unexpected.
    quint64 droppedFrames() const { return dropped_; }

    // The separation an STmin byte asks for, in whole milliseconds (100-900 us round up to
    // one; reserved values mean the maximum, 127).
    static qint64 stMinMs(quint8 stMin);

private:
    enum class TxState : quint8 { Idle, WaitFlowControl, SendConsecutive };
    enum class RxState : quint8 { Idle, ReceiveConsecutive };

    struct Connection {
        IsoTpConnectionConfig config;
        // sending
        TxState txState = TxState::Idle;
        std::vector<quint8> txData;
        int txOffset = 0;
        quint8 txSequence = 0;
        int txBlockLeft = 0;  // frames left before the next flow control; 0: unlimited
        qint64 txSeparationMs = 0;
        qint64 txDeadline = -1;
        // receiving
        RxState rxState = RxState::Idle;
        QByteArray rxData;
        int rxExpected = 0;
        quint8 rxSequence = 0;
        int rxBlockLeft = 0;
        qint64 rxDeadline = -1;
    };

    static quint64 receiveKey(quint32 id, bool extendedId, bool extendedAddressing, quint8 address);
    int headerSize(const Connection& c) const { return c.config.extendedAddressing ? 1 : 0; }

    void emitFrame(const Connection& c, const quint8* pdu, int n, IsoTpOutput& out) const;
    void emitFlowControl(const Connection& c, quint8 status, IsoTpOutput& out) const;
    void setDeadline(int handle, bool sending, qint64 when);
    void sendConsecutive(int handle, Connection& c, qint64 nowMs, IsoTpOutput& out);
    void endSending(int handle, Connection& c, IsoTpFailure failure, IsoTpOutput& out);
    void endReceiving(int handle, Connection& c, IsoTpFailure failure, IsoTpOutput& out);

    void onSingle(int handle, Connection& c, const quint8* pdu, int n, qint64 tsUs, IsoTpOutput& out);
    void onFirst(int handle, Connection& c, const quint8* pdu, int n, qint64 nowMs, IsoTpOutput& out);
    void onConsecutive(int handle, Connection& c, const quint8* pdu, int n, qint64 nowMs, qint64 tsUs,
                       IsoTpOutput& out);
    void onFlowControl(int handle, Connection& c, const quint8* pdu, int n, qint64 nowMs, IsoTpOutput& out);

    IsoTpTimings timings_;
    std::map<int, Connection> connections_;
    std::map<quint64, int> byAddress_;                // receive addressing -> handle
    std::set<std::pair<qint64, int>> deadlines_;     // (when, handle * 2 + sending)
    int nextHandle_ = 0;
    quint64 dropped_ = 0;
};

}  // namespace rp1210core::adapter
