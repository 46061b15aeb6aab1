// The 29-bit J1939 identifier: priority, parameter group number, source and destination.
#pragma once

#include <QtGlobal>

namespace rp1210core::adapter {

constexpr quint8 kJ1939Global = 0xFF;  // destination of a broadcast
constexpr quint8 kJ1939Null = 0xFE;    // source of a node without an address
constexpr quint32 kJ1939PgnMask = 0x3FFFF;

struct J1939Id {
    quint8 priority = 6;
    quint32 pgn = 0;  // 18 bits; a PDU1 group (format below 240) has its low byte zero here
    quint8 source = kJ1939Null;
    quint8 destination = kJ1939Global;
};

// PDU1 groups carry a destination in the identifier's low PGN byte; PDU2 groups go to all.
inline bool j1939IsPdu1(quint32 pgn) { return ((pgn >> 8) & 0xFF) < 240; }

inline quint32 j1939EncodeId(const J1939Id& id)
{
    const quint32 pgn = id.pgn & kJ1939PgnMask;
    const quint32 ps = j1939IsPdu1(pgn) ? id.destination : (pgn & 0xFF);
    return (quint32(id.priority & 7) << 26) | ((pgn & 0x3FF00) << 8) | (ps << 8) | id.source;
}

inline J1939Id j1939DecodeId(quint32 canId)
{
    J1939Id id;
    id.priority = static_cast<quint8>((canId >> 26) & 7);
    id.pgn = (canId >> 8) & kJ1939PgnMask;
    id.source = static_cast<quint8>(canId & 0xFF);
    if (j1939IsPdu1(id.pgn)) {
        id.destination = static_cast<quint8>(id.pgn & 0xFF);
        id.pgn &= 0x3FF00;
    } else {
        id.destination = kJ1939Global;
    }
    return id;
}

}  // namespace rp1210core::adapter
