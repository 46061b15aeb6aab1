// The buses under the software adapter: one small interface per network family, so the
// adapter runs unchanged over the simulated vehicle and over real interfaces (a Qt
// Serial Bus QCanBusDevice for CAN).
//
// Threads: open, write and close are called by the adapter's thread. Received frames and
// the confirmations of written ones are delivered on a thread of the bus, one at a time
// and in bus order; the receiver must not block for long and must not call close().
#pragma once

#include "bus/can_frame.h"

#include <QByteArray>

#include <functional>

namespace rp1210core::bus {

class CanBus {
public:
    // `own` is true for the bus's confirmation that a frame written through this bus
    // went out (in the order written); false for a frame of another node.
    using Receiver = std::function<void(const CanFrame& frame, bool own)>;

    virtual ~CanBus() = default;
    // Opens at `bitrate` bits/s; false when the bus cannot run at that speed or is absent.
    virtual bool open(quint32 bitrate, Receiver receiver) = 0;
    // Queues one frame; false when it cannot be put on the bus (closed, queue full).
    virtual bool write(const CanFrame& frame) = 0;
    // Stops delivering; returns once no delivery is running.
    virtual void close() = 0;
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

}  // namespace rp1210core::bus
