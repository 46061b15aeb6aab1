#include "bus/socketcan_link.h"

#include <linux/can/netlink.h>
#include <linux/if_link.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace rp1210core::bus {

namespace {

// The attributes nested in `data` (rtnetlink's type-length-value records), by type.
template <class Visit>
void forEachAttribute(const char* data, int length, Visit visit)
{
    for (int at = 0; at + int(sizeof(rtattr)) <= length;) {
        rtattr a;
        std::memcpy(&a, data + at, sizeof a);
        if (a.rta_len < sizeof(rtattr) || at + int(a.rta_len) > length)
            return;
        visit(a.rta_type & ~NLA_F_NESTED, data + at + RTA_LENGTH(0), int(a.rta_len - RTA_LENGTH(0)));
        at += int(RTA_ALIGN(a.rta_len));
    }
}

class Socket {
public:
    Socket() : fd_(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE)) {}
    ~Socket()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return fd_; }

private:
    const int fd_;
};

}  // namespace

std::optional<SocketCanLink> readSocketCanLink(const QString& interface)
{
    const QByteArray name = interface.toLocal8Bit();
    const unsigned index = name.isEmpty() || name.size() >= IFNAMSIZ ? 0 : ::if_nametoindex(name.constData());
    if (index == 0)
        return std::nullopt;
    Socket s;
    if (s.fd() < 0)
        return std::nullopt;
    // One RTM_GETLINK for the interface; the kernel answers with one RTM_NEWLINK.
    struct {
        nlmsghdr header;
        ifinfomsg info;
    } request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = RTM_GETLINK;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.info.ifi_family = AF_UNSPEC;
    request.info.ifi_index = int(index);
    if (::send(s.fd(), &request, sizeof request, 0) != ssize_t(sizeof request))
        return std::nullopt;
    // Aligned for the headers read in place below.
    alignas(nlmsghdr) char answer[16384];
    const ssize_t n = ::recv(s.fd(), answer, sizeof answer, 0);
    if (n < ssize_t(NLMSG_LENGTH(sizeof(ifinfomsg))))
        return std::nullopt;
    const auto* header = reinterpret_cast<const nlmsghdr*>(answer);
    if (header->nlmsg_type != RTM_NEWLINK || header->nlmsg_len > size_t(n) ||
        header->nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg)))
        return std::nullopt;
    const auto* info = static_cast<const ifinfomsg*>(NLMSG_DATA(header));
    const char* attributes = reinterpret_cast<const char*>(info) + NLMSG_ALIGN(sizeof(ifinfomsg));
    const int length = int(IFLA_PAYLOAD(header));

    bool isCan = false;
    SocketCanLink link;
    link.up = (info->ifi_flags & IFF_UP) != 0;
    forEachAttribute(attributes, length, [&](int type, const char* data, int size) {
        if (type != IFLA_LINKINFO)
            return;
        forEachAttribute(data, size, [&](int kind, const char* d, int sz) {
            if (kind == IFLA_INFO_KIND)
                isCan = isCan || (sz >= 3 && std::strncmp(d, "can", 3) == 0) ||
                        (sz >= 4 && std::strncmp(d, "vcan", 4) == 0);
            if (kind != IFLA_INFO_DATA)
                return;
            forEachAttribute(d, sz, [&](int canType, const char* v, int vs) {
                if (canType == IFLA_CAN_BITTIMING && vs >= int(sizeof(can_bittiming))) {
                    can_bittiming timing;
                    std::memcpy(&timing, v, sizeof timing);
                    link.bitrate = timing.bitrate;
                } else if (canType == IFLA_CAN_STATE && vs >= int(sizeof(quint32))) {
                    quint32 state = 0;
                    std::memcpy(&state, v, sizeof state);
                    switch (state) {
                    case CAN_STATE_ERROR_ACTIVE:
                        link.state = SocketCanLink::State::Active;
                        break;
                    case CAN_STATE_ERROR_WARNING:
                        link.state = SocketCanLink::State::Warning;
                        break;
                    case CAN_STATE_ERROR_PASSIVE:
                        link.state = SocketCanLink::State::Passive;
                        break;
                    case CAN_STATE_BUS_OFF:
                        link.state = SocketCanLink::State::BusOff;
                        break;
                    case CAN_STATE_STOPPED:
                        link.state = SocketCanLink::State::Stopped;
                        break;
                    default:
                        break;
                    }
                }
            });
        });
    });
    if (!isCan)
        return std::nullopt;
    return link;
}

}  // namespace rp1210core::bus
