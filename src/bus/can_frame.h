// One classic CAN frame as the software adapter's buses carry it.
#pragma once

#include <QtGlobal>

#include <array>
#include <cstring>

namespace rp1210core::bus {

struct CanFrame {
    static constexpr quint32 kStandardMask = 0x7FF;
    static constexpr quint32 kExtendedMask = 0x1FFFFFFF;

    quint32 id = 0;         // 11-bit, or 29-bit when `extended`
    bool extended = false;  // 29-bit identifier
    quint8 length = 0;      // data length, 0 to 8
    std::array<quint8, 8> data{};
    qint64 timestampUs = 0;  // when the bus carried it, on the bus's own monotonic clock

    static CanFrame make(quint32 id, bool extended, const quint8* bytes, int n)
    {
        CanFrame f;
        f.id = id & (extended ? kExtendedMask : kStandardMask);
        f.extended = extended;
        f.length = static_cast<quint8>(n < 0 ? 0 : (n > 8 ? 8 : n));
        if (bytes != nullptr && f.length > 0)
            std::memcpy(f.data.data(), bytes, f.length);
        return f;
    }

    bool sameContent(const CanFrame& o) const
    {
        return id == o.id && extended == o.extended && length == o.length &&
               std::memcmp(data.data(), o.data.data(), length) == 0;
    }
};

}  // namespace rp1210core::bus
