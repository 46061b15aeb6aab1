// What the core knows about each network protocol, one row per protocol: every part
// that treats protocols differently (connect checks, flow control, the multiplexer,
// filters, message framing, reassembly, answer codes, hardware status) reads it here.
#pragma once

#include <rp1210core/types.h>

namespace rp1210core::internal {

enum class MuxTable : quint8 { None, KLine, J1708, Can };

// The filter class a client of the protocol keeps; None: the protocol has no filters.
enum class FilterKind : quint8 { None, Can, J1850, J1708, J1939, Iso15765, Cat };

// What a client adds to each message before it goes out (mode 1 adds the checksum).
enum class Framing : quint8 {
    Plain,
    J1708,  // a J1708 checksum over the message after its priority byte
    Cat,    // a 0x01 in place of the priority, and a J1708 checksum over the whole message
};

// How a later client of a protocol already connected is checked for its speed.
enum class SpeedCheck : quint8 {
    SameProtocol,  // the speed of the protocol's clients
    CanBus,        // the one CAN bus speed of the adapter
    J1939,         // address-claim packetizing first, then the CAN bus speed
};

struct ProtocolFacts {
    int protocolo;
    bool canBus;           // runs on the adapter's one CAN bus and shares its speed
    bool iso15765;         // an ISO 15765 variant
    bool kLineStatus;      // counted among the K-line clients of the hardware status
    int inFlightCounter;   // flow-control counter of its send frames; -1 when unlimited
    MuxTable mux;
    FilterKind filter;
    Framing framing;
    SpeedCheck speedCheck;
    // The adapter answers J1708 frames under their counter only on segmenting generations.
    bool rememberedOnlyWhenSegmenting;
    int segmentExtraBytes;  // added by the adapter to a segmented message beyond its length
    short otherSpeedCode;   // the RP1210 code for the adapter's "other speed" refusal
};

namespace protocol_table {

using M = MuxTable;
using F = FilterKind;
using W = Framing;
using S = SpeedCheck;
constexpr short kOther = rp1210rc::CONNECT_NOT_ALLOWED;

// clang-format off
constexpr ProtocolFacts kRows[] = {
//   protocol                 can    iso    kLine  ctr mux       filter         framing   speed check      J1708  extra  other speed
    {PROTOCOLO_NULL,          false, false, false, -1, M::None,  F::None,      W::Plain, S::SameProtocol, false, 0, kOther},
    {PROTOCOLO_KWP2000,       false, false, false,  0, M::KLine, F::None,      W::Plain, S::SameProtocol, false, 0, kOther},
    {PROTOCOLO_CAN,           true,  false, false, -1, M::Can,   F::Can,       W::Plain, S::CanBus,       false, 0, rp1210rc::J1939_BAUD_NONSTANDARD},
    {PROTOCOLO_JED677,        false, false, true,   0, M::KLine, F::None,      W::Plain, S::SameProtocol, false, 0, kOther},
    {PROTOCOLO_ISO9141,       false, false, true,   0, M::KLine, F::None,      W::Plain, S::SameProtocol, false, 0, kOther},
    {PROTOCOLO_TP20,          true,  false, false,  6, M::Can,   F::None,      W::Plain, S::SameProtocol, false, 2, kOther},
    {PROTOCOLO_J1850,         false, false, false,  5, M::None,  F::J1850,     W::Plain, S::SameProtocol, false, 0, kOther},
    {PROTOCOLO_J1708,         false, false, false,  3, M::J1708, F::J1708,     W::J1708, S::SameProtocol, true,  0, rp1210rc::J1708_BAUD_NONSTANDARD},
    {PROTOCOLO_J1939,         true,  false, false,  2, M::Can,   F::J1939,     W::Plain, S::J1939,        false, 6, rp1210rc::J1939_BAUD_NONSTANDARD},
    {PROTOCOLO_ISO15765,      true,  true,  false,  1, M::Can,   F::Iso15765,  W::Plain, S::CanBus,       false, 7, rp1210rc::ISO15765_BAUD_NONSTANDARD},
    {PROTOCOLO_ISO9141_RAW,   false, false, true,   0, M::KLine, F::None,      W::Plain, S::SameProtocol, false, 0, kOther},
    {PROTOCOLO_ISO9141_1,     false, false, true,   0, M::KLine, F::None,      W::Plain, S::SameProtocol, false, 0, kOther},
    {PROTOCOLO_ISO9141_2,     false, false, true,   0, M::KLine, F::None,      W::Plain, S::SameProtocol, false, 0, kOther},
    {PROTOCOLO_ISO9141_3,     false, false, true,   0, M::KLine, F::None,      W::Plain, S::SameProtocol, false, 0, kOther},
    {PROTOCOLO_ISO9141_KB,    false, false, true,   0, M::KLine, F::None,      W::Plain, S::SameProtocol, false, 0, kOther},
    {PROTOCOLO_ISO9141_KB91,  false, false, true,   0, M::KLine, F::None,      W::Plain, S::SameProtocol, false, 0, kOther},
    {PROTOCOLO_ZF_J1708,      false, false, false,  0, M::J1708, F::None,      W::Plain, S::SameProtocol, false, 0, kOther},
    {PROTOCOLO_GM_KLINE,      false, false, true,   0, M::KLine, F::None,      W::Plain, S::SameProtocol, false, 0, kOther},
    {PROTOCOLO_GM_ALDL,       false, false, false,  8, M::None,  F::None,      W::Plain, S::SameProtocol, false, 0, kOther},
    {PROTOCOLO_J2610,         false, false, false,  7, M::None,  F::None,      W::Plain, S::SameProtocol, false, 0, kOther},
    {PROTOCOLO_ISO15765_ALT,  true,  true,  false,  1, M::Can,   F::Iso15765,  W::Plain, S::CanBus,       false, 7, kOther},
    {PROTOCOLO_ISO9141_VMAC,  false, false, true,   0, M::KLine, F::None,      W::Plain, S::SameProtocol, false, 0, kOther},
    {PROTOCOLO_RS232,         false, false, false,  4, M::None,  F::None,      W::Plain, S::SameProtocol, false, 0, kOther},
    {PROTOCOLO_CAT,           false, false, false,  3, M::J1708, F::Cat,       W::Cat,   S::SameProtocol, false, 0, kOther},
};
// clang-format on

// A protocol number without a row (the wire carries any byte).
constexpr ProtocolFacts kUnknown = {-1,          false,   false,          false, -1, M::None, F::None,
                                    W::Plain,    S::SameProtocol, false, 0,     kOther};

}  // namespace protocol_table

constexpr const ProtocolFacts& protocolFacts(int protocolo)
{
    for (const ProtocolFacts& row : protocol_table::kRows)
        if (row.protocolo == protocolo)
            return row;
    return protocol_table::kUnknown;
}

// Flow control: frames of one counter that may await the adapter's answer at once.
constexpr int kInFlightCounters = 9;
constexpr quint8 kInFlightLimits[kInFlightCounters] = {3, 1, 2, 10, 1, 1, 1, 3, 1};
// The J1708 counter, which the adapter keeps only on segmenting generations.
constexpr int kJ1708Counter = protocolFacts(PROTOCOLO_J1708).inFlightCounter;

// The CAN family shares one bus speed on the adapter.
constexpr bool isCanFamily(int protocolo) { return protocolFacts(protocolo).canBus; }
constexpr bool isIso15765Family(int protocolo) { return protocolFacts(protocolo).iso15765; }

}  // namespace rp1210core::internal
