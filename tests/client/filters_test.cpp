// The six protocol filters: record layouts and which messages each accepts.
#include "client/filters.h"
#include "support/bytes.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

enum Kind { J1939, J1708, CAN, ISO, J1850, CDL };

std::unique_ptr<GestionFiltro> makeFilter(Kind kind, const QByteArray& r)
{
    const unsigned char* b = ubytes(r);
    switch (kind) {
    case J1939: return std::make_unique<J1939_Filtro>(b);
    case J1708: return std::make_unique<J1708_Filtro>(b[0]);
    case CAN: return std::make_unique<CAN_Filtro>(b);
    case ISO: return std::make_unique<ISO15765_Filtro>(b);
    case J1850: return std::make_unique<J1850_Filtro>(b);
    default: return std::make_unique<CDL_Filtro>(b + 1, short(b[0]));
    }
}

// Messages start with the timestamp 00000000, then the echo byte when echo is on.
// Answers in filter mode 0; mode 1 turns them round, except for too-short messages.
TEST(FiltersTest, TableOfMessagesInBothFilterModes)
{
    const struct {
        Kind kind;
        const char *record, *message;
        bool echo, passes, tooShort;
    } rows[] = {
        // J1939 record: flags (1 PGN, 2 priority, 4 source, 8 destination), PGN x3, priority, source, destination.
        {J1939, "0F EC FE 00 06 F9 FF", "00000000 ECFE00 06 F9 FF 11", false, true, false},
        {J1939, "01 EC FE 00 00 00 00", "00000000 ECFF00 06 00 FF", false, false, false},
        {J1939, "02 00 00 00 03 00 00", "00000000 ECFE00 06 00 FF", false, false, false},
        {J1939, "04 EC FE 00 00 F9 00", "00000000 ECFE00 06 00 FF", false, false, false},
        {J1939, "08 00 00 00 00 00 FF", "00000000 01 ECFE00 06 00 FE", true, false, false},
        {J1939, "00 11 22 33 44 55 66", "00000000 010203 04 05 06", false, true, false},
        {J1939, "01 EC FE 00 00 00 00", "00000000 00 ECFE00 06 00 FF", true, true, false},
        // J1708: one MID at the first payload byte.
        {J1708, "80", "00000000 80 01", false, true, false},
        {J1708, "80", "00000000 81 01", false, false, false},
        {J1708, "80", "00000000 00 80", true, true, false},
        // CAN: type, mask x4, header x4; a standard type uses the two low bytes of each.
        {CAN, "00 ABCD07FF EEEE0123", "00000000 00 0123 AA", false, true, false},
        {CAN, "00 000007FF 00000123", "00000000 00 0124 AA", false, false, false},
        {CAN, "00 000007FF 00000123", "00000000 01 00000123", false, false, false},
        {CAN, "00 00000700 00000123", "00000000 01 00 0155 AA", true, true, false},
        {CAN, "01 1FFFFFFF 18FEF100", "00000000 01 18FEF100", false, true, false},
        {CAN, "01 1FFFFF00 18FEF100", "00000000 00 01 18FEF1AB", true, true, false},
        {CAN, "01 00000000 00000000", "00000000 01 18FEF1", false, false, true},  // four id bytes needed
        // ISO 15765: type, mask x4, ext mask, header x4, ext value; the extended address
        // counts for types 1 and 3 only. Message: lead byte, type, id x4, ext.
        {ISO, "00 ABCD07FF FF EEEE07E8 66", "00000000 00 00 000007E8 99", false, true, false},
        {ISO, "00 000007FF 55 000007E8 66", "00000000 00 00 000007E9 02", false, false, false},
        {ISO, "00 000007FF 00 000007E8 00", "00000000 00 01 000007E8 02", false, false, false},
        {ISO, "03 1FFFFFFF FF 18DAF110 2A", "00000000 00 03 18DAF110 2B", false, false, false},
        {ISO, "03 1FFFFFFF 0F 18DAF110 2A", "00000000 01 00 03 18DAF110 FA", true, true, false},
        {ISO, "01 1FFFFFFF FF 18DAF110 2A", "00000000 00 01 18DAF110 2B", false, true, false},
        // J1850: masks x3, values x3; header bytes at offsets 6 to 8 with echo or without.
        {J1850, "FF FF 00 68 6A 00", "00000000 0000 68 6B F1 01", false, false, false},
        {J1850, "FF FF FF 68 6A F1", "00000000 0000 68 6A F1 01", true, true, false},
        // CDL: length-prefixed pattern; only its length counts.
        {CDL, "03 AA BB CC", "00000000 11 22 33", false, true, false},
        {CDL, "03 AA BB CC", "00000000 11 22", false, false, false},
        {CDL, "03 AA BB CC", "00000000 00 11 22", true, false, false},
        {CDL, "03 AA BB CC", "00000000 00 11 22 33", true, true, false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << r.record << " / " << r.message);
        auto filter = makeFilter(r.kind, hex(r.record));
        std::vector<char> exact = exactCopy(hex(r.message));
        const QByteArray view = QByteArray::fromRawData(exact.data(), int(exact.size()));
        EXPECT_EQ(filter->Valid_Filter(view, r.echo, 0), r.passes);
        EXPECT_EQ(filter->Valid_Filter(view, r.echo, 1), !r.passes && !r.tooShort);
    }
    EXPECT_TRUE(CDL_Filtro(ubytes(hex("AA")), -2).getPattern().empty());
}

// Every length up to each limit is too short in both modes; one byte more of zeros
// matches an all-zero filter.
TEST(FiltersTest, MessagesOfEveryShortLengthNeverPass)
{
    const struct {
        Kind kind;
        const char* record;
        int noEcho, withEcho;
    } limits[] = {{J1939, "00 00 00 00 00 00 00", 9, 10}, {J1708, "00", 5, 5}, {CAN, "00 00000000 00000000", 7, 8},
                  {ISO, "00 00000000 00 00000000 00", 10, 11}, {J1850, "00 00 00 00 00 00", 9, 9}};
    for (const auto& l : limits) {
        auto filter = makeFilter(l.kind, hex(l.record));
        for (bool echo : {false, true}) {
            const int limit = echo ? l.withEcho : l.noEcho;
            for (int size = 0; size <= limit + 1; ++size) {
                std::vector<char> exact(size_t(size), 0);
                const QByteArray view = QByteArray::fromRawData(exact.data(), size);
                EXPECT_EQ(filter->Valid_Filter(view, echo, 0), size > limit) << l.kind << " " << echo << " " << size;
                EXPECT_TRUE(size > limit || !filter->Valid_Filter(view, echo, 1)) << l.kind << " " << echo << " " << size;
            }
        }
    }
}

}  // namespace
