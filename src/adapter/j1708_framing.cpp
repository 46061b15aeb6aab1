#include "adapter/j1708_framing.h"

#include "client/cliente.h"

namespace rp1210core::adapter::j1708 {

// The checksum is the core's own, so the library and the adapter cannot disagree on it.

int buildMessage(quint8 mid, const quint8* data, int size, QByteArray& out)
{
    out.clear();
    if (size < 0 || (size > 0 && data == nullptr) || size + 2 > kMaxMessage)
        return -1;
    out.reserve(size + 2);
    out.append(char(mid));
    if (size > 0)
        out.append(reinterpret_cast<const char*>(data), size);
    out.append(char(Cliente::J1708_CalculaChecksum(out.constData(), short(out.size()))));
    return out.size();
}

bool checkMessage(const QByteArray& message)
{
    const int n = message.size();
    if (n < kMinMessage || n > kMaxMessage)
        return false;
    const quint8 expected = Cliente::J1708_CalculaChecksum(message.constData(), short(n - 1));
    return quint8(message.at(n - 1)) == expected;
}

}  // namespace rp1210core::adapter::j1708
