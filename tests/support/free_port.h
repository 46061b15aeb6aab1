// A loopback TCP port no one listens on now, for a test's own virtual CAN bus: tests run
// in parallel, each on its own bus.
#pragma once

#include <QtGlobal>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

inline quint16 freeLoopbackPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    const bool ok = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size) == 0;
    if (fd >= 0)
        ::close(fd);
    return ok ? ntohs(a.sin_port) : 0;
}
