// What the kernel says of a SocketCAN interface, read over rtnetlink: the bit rate it was
// set to with `ip link` and its controller state. Nothing here changes the interface.
#pragma once

#include <QString>

#include <optional>

namespace rp1210core::bus {

struct SocketCanLink {
    enum class State : quint8 { Active, Warning, Passive, BusOff, Stopped, Other };
    quint32 bitrate = 0;  // 0 when the interface reports none (a vcan, a link down)
    State state = State::Other;
    bool up = false;
};

// nullopt when there is no such interface or it is not a CAN interface.
std::optional<SocketCanLink> readSocketCanLink(const QString& interface);

}  // namespace rp1210core::bus
