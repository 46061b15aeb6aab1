#include <rp1210core/mux_tables.h>

#include <rp1210core/types.h>

#include "common/protocols.h"

using namespace rp1210core::internal;

namespace {

constexpr int kPins = 16;

// Two-digit multiplexer code of a connector pin in group A (K-line / J1708 first line)
// or group B (second line); null when the pin is not in the group.
const char* groupACode(int pin)
{
    switch (pin) {
    case 1: return "09";
    case 3: return "08";
    case 7: return "14";
    case 8: return "13";
    case 9: return "12";
    case 10: return "15";
    case 12: return "06";
    default: return nullptr;
    }
}

const char* groupBCode(int pin)
{
    switch (pin) {
    case 2: return "18";
    case 11: return "20";
    case 13: return "17";
    case 15: return "19";
    default: return nullptr;
    }
}

// The command always names the group A code first, whichever pin the caller gave first.
QString command(char letter, const char* codeA, const char* codeB)
{
    QString text{QLatin1Char(letter)};
    text += QLatin1String(codeA);
    text += QLatin1String(codeB);
    return text;
}

QString kLineEntry(int index)
{
    const int p1 = index / kPins;
    const int p2 = index % kPins;
    if (groupACode(p1) && groupBCode(p2))
        return command('W', groupACode(p1), groupBCode(p2));
    if (groupACode(p1) && p2 == 0)
        return command('W', groupACode(p1), "25");
    if (groupBCode(p1) && groupACode(p2))
        return command('K', groupACode(p2), groupBCode(p1));
    if (groupBCode(p1) && p2 == 0)
        return command('K', "00", groupBCode(p1));
    return QString();
}

QString j1708Entry(int index)
{
    const int p1 = index / kPins;
    const int p2 = index % kPins;
    if (groupACode(p1) && groupBCode(p2))
        return command('J', groupACode(p1), groupBCode(p2));
    if (groupBCode(p1) && groupACode(p2))
        return command('S', groupACode(p2), groupBCode(p1));
    return QString();
}

// The CAN pairs the adapter can route; the isolated-grounds table uses the same pairs.
QString canEntryWith(char letter, int index)
{
    struct Pair {
        int p1, p2;
        const char* digits;
    };
    static constexpr Pair kPairs[] = {
        {6, 14, "0000"}, {3, 11, "0001"}, {1, 9, "0002"}, {3, 8, "0003"}, {12, 13, "0004"}, {13, 12, "0006"},
    };
    for (const Pair& pair : kPairs) {
        if (pair.p1 * kPins + pair.p2 == index)
            return QString(QLatin1Char(letter)) + QLatin1String(pair.digits);
    }
    return QString();
}

QString canEntry(int index)
{
    return canEntryWith('C', index);
}

QString canIsolatedEntry(int index)
{
    return canEntryWith('D', index);
}

}  // namespace

// The exported tables are const arrays, so each element is built by its rule during
// the library's static initialisation and never changes afterwards.
#define RP1210_MUX_ROW(f, row)                                                                                      \
    f(row + 0), f(row + 1), f(row + 2), f(row + 3), f(row + 4), f(row + 5), f(row + 6), f(row + 7), f(row + 8), \
        f(row + 9), f(row + 10), f(row + 11), f(row + 12), f(row + 13), f(row + 14), f(row + 15)
#define RP1210_MUX_TABLE(f)                                                                                        \
    RP1210_MUX_ROW(f, 0), RP1210_MUX_ROW(f, 16), RP1210_MUX_ROW(f, 32), RP1210_MUX_ROW(f, 48),                     \
        RP1210_MUX_ROW(f, 64), RP1210_MUX_ROW(f, 80), RP1210_MUX_ROW(f, 96), RP1210_MUX_ROW(f, 112),               \
        RP1210_MUX_ROW(f, 128), RP1210_MUX_ROW(f, 144), RP1210_MUX_ROW(f, 160), RP1210_MUX_ROW(f, 176),            \
        RP1210_MUX_ROW(f, 192), RP1210_MUX_ROW(f, 208), RP1210_MUX_ROW(f, 224), RP1210_MUX_ROW(f, 240)

const QString multpiplexCmmd_K[256] = {RP1210_MUX_TABLE(kLineEntry)};
const QString multpiplexCmmd_J1708[256] = {RP1210_MUX_TABLE(j1708Entry)};
const QString multpiplexCmmd_CAN[256] = {RP1210_MUX_TABLE(canEntry)};
const QString multpiplexCmmd_CAN_ISOLATED_GROUNDS[256] = {RP1210_MUX_TABLE(canIsolatedEntry)};

#undef RP1210_MUX_TABLE
#undef RP1210_MUX_ROW

QString getMUXCommand(unsigned char protocolo, int pin1, int pin2, bool volts24)
{
    if (pin1 < 0 || pin1 >= kPins || pin2 < 0 || pin2 >= kPins || protocolo > PROTOCOLO_CAT)
        return QString();

    const QString* table = nullptr;
    switch (rp1210core::internal::protocolFacts(protocolo).mux) {
    case rp1210core::internal::MuxTable::KLine:
        table = multpiplexCmmd_K;
        break;
    case rp1210core::internal::MuxTable::Can:
        table = volts24 ? multpiplexCmmd_CAN_ISOLATED_GROUNDS : multpiplexCmmd_CAN;
        break;
    case rp1210core::internal::MuxTable::J1708:
        table = multpiplexCmmd_J1708;
        break;
    case rp1210core::internal::MuxTable::None:
        return QString();
    }
    return table[pin1 * kPins + pin2];
}
