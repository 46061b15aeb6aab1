// A device the driver talks through: the transport the core writes its request frames
// to, and whatever runs behind it (the software adapter and its buses).
#pragma once

#include "api/devices.h"
#include "bus/bus.h"

#include <rp1210core/iproxy_link.h>

#include <QByteArray>

#include <functional>
#include <memory>

namespace rp1210core::api {

class Device {
public:
    virtual ~Device() = default;
    // The transport; valid while the device lives.
    virtual IProxyLink* link() = 0;
};

using FrameSink = std::function<void(const QByteArray& frame)>;
// A CAN interface's change of health, or why it could not be opened (Gone), with its
// own words; on the device's own thread.
using FaultSink = std::function<void(bus::CanHealth health, const QString& text)>;

// Opens what the settings name; every adapter frame goes to `sink`, on the device's own
// thread. Null with an RP1210 code in `code` when it cannot.
std::unique_ptr<Device> openDevice(const DeviceSettings& settings, FrameSink sink, FaultSink faults, short* code);

}  // namespace rp1210core::api
