// The buses under the software adapter: one small interface per network family, so the
// adapter runs unchanged over the simulated vehicle and over real interfaces (a Qt
// Serial Bus QCanBusDevice for CAN).
//
// Threads: open, write, the initialisations and close are called by the adapter's thread.
// Received frames, the confirmations of written ones and the outcome of an initialisation
// are delivered on a thread of the bus, one at a time and in bus order; the receiver must
// not block for long and must not call close().
#pragma once

#include "bus/can_frame.h"

#include <QByteArray>
#include <QString>

#include <functional>

namespace rp1210core::bus {

// How a CAN interface is doing, worst last. Error passive and warning are reported but
// still carry frames; bus-off and a vanished interface carry none.
enum class CanHealth : quint8 { Ok, Warning, Passive, BusOff, Gone };

class CanBus {
public:
    // `own` is true for the bus's confirmation that a frame written through this bus
    // went out (in the order written); false for a frame of another node.
    using Receiver = std::function<void(const CanFrame& frame, bool own)>;

    // What an interface tells besides frames, delivered like them (same thread, in order).
    struct Event {
        enum class Kind : quint8 {
            WriteFailed,  // `frame`, accepted by write(), will never go out
            Health,       // the interface's state changed to `health`
        };
        Kind kind = Kind::Health;
        CanFrame frame;
        CanHealth health = CanHealth::Ok;
        QString text;  // the interface's own words, for the application's error text
    };
    using EventReceiver = std::function<void(const Event& event)>;

    virtual ~CanBus() = default;
    // Opens at `bitrate` bits/s; false when the bus cannot run at that speed or is absent.
    virtual bool open(quint32 bitrate, Receiver receiver) = 0;
    // Queues one frame; false when it cannot be put on the bus (closed, queue full).
    virtual bool write(const CanFrame& frame) = 0;
    // Stops delivering; returns once no delivery is running.
    virtual void close() = 0;

    // True when own=true deliveries come from the interface once the frame went out on the
    // wire; false when the bus confirms as it accepts the write (the simulated bus), so
    // the adapter need not wait for them.
    virtual bool confirmsTransmission() const { return false; }
    // Set before open(); buses that know nothing beyond their frames never call it.
    virtual void setEventReceiver(EventReceiver receiver) { (void)receiver; }
    // The bits/s the interface is set to outside the driver, when it can be read; 0 when
    // unknown or when open() sets the rate itself.
    virtual quint32 presetBitrate() const { return 0; }
    // Why the last open() failed, in the interface's words; empty when it did not say.
    virtual QString openError() const { return QString(); }
};

class J1708Bus {
public:
    // One whole J1708 message: MID, data and checksum. `own` as for CAN.
    using Receiver = std::function<void(const QByteArray& message, qint64 timestampUs, bool own)>;

    virtual ~J1708Bus() = default;
    virtual bool open(quint32 baud, Receiver receiver) = 0;
    virtual bool write(const QByteArray& message) = 0;
    virtual void close() = 0;
};

// The K-line of ISO 9141 and ISO 14230 (and the byte buses run like it): whole messages,
// checksum included, and the two initialisations by which a tester wakes an ECU.
class KLineBus {
public:
    enum class Init : quint8 { FiveBaud, Fast };
    // `own` as for CAN: a single-wire line hears every byte it sends.
    using Receiver = std::function<void(const QByteArray& message, qint64 timestampUs, bool own)>;
    // The outcome of an initialisation, delivered once, in order with the messages: the
    // ECU's bytes, empty when no ECU answered within the initialisation's times.
    using InitDone = std::function<void(const QByteArray& answer)>;

    virtual ~KLineBus() = default;
    virtual bool open(quint32 baud, Receiver receiver) = 0;
    virtual bool write(const QByteArray& message) = 0;
    // Five-baud address initialisation: `address` at 5 baud, then the exchange of sync
    // and key bytes; `done` gets the key bytes KB1 KB2 (the FIVE_BAUD_INIT output of
    // J2534). False when it cannot start (closed).
    virtual bool fiveBaudInit(quint8 address, InitDone done) = 0;
    // Fast initialisation: the wake-up pattern, then `request` (a StartCommunication
    // message, checksum included); `done` gets the ECU's response message.
    virtual bool fastInit(const QByteArray& request, InitDone done) = 0;
    virtual void close() = 0;
};

// SAE J1850, VPW at 10400 bits/s or PWM at 41600: whole messages, header, data and CRC.
class J1850Bus {
public:
    using Receiver = std::function<void(const QByteArray& message, qint64 timestampUs, bool own)>;

    static constexpr quint32 kVpwBitrate = 10400, kPwmBitrate = 41600;

    virtual ~J1850Bus() = default;
    // Opens at kVpwBitrate or kPwmBitrate; false for any other or when absent.
    virtual bool open(quint32 bitrate, Receiver receiver) = 0;
    virtual bool write(const QByteArray& message) = 0;
    virtual void close() = 0;
};

}  // namespace rp1210core::bus
