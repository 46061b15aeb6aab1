// The six protocol filters: record layouts and which messages each accepts.
#include "client/filters.h"
#include "support/bytes.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

enum class Kind { J1939, J1708, CAN, ISO15765, J1850, CDL };

std::unique_ptr<GestionFiltro> makeFilter(Kind kind, const QByteArray& record)
{
    switch (kind) {
    case Kind::J1939:
        return std::make_unique<J1939_Filtro>(ubytes(record));
    case Kind::J1708:
        return std::make_unique<J1708_Filtro>(ubytes(record)[0]);
    case Kind::CAN:
        return std::make_unique<CAN_Filtro>(ubytes(record));
    case Kind::ISO15765:
        return std::make_unique<ISO15765_Filtro>(ubytes(record));
    case Kind::J1850:
        return std::make_unique<J1850_Filtro>(ubytes(record));
    case Kind::CDL:
        return std::make_unique<CDL_Filtro>(ubytes(record) + 1, short(ubytes(record)[0]));
    }
    return nullptr;
}

struct FilterCase {
    const char* name;
    Kind kind;
    const char* record;   // command record, hex
    const char* message;  // message as queued, hex
    bool echo;
    bool mode0;  // answer in filter mode 0
    bool mode1;  // answer in filter mode 1
};

// Timestamp is always 00 00 00 00; the echo byte (when echo) follows it. Too-short
// messages are walked length by length in the next test.
const FilterCase kCases[] = {
    // J1939: flags, PGN x3, priority, source, destination.
    {"j1939 pgn match", Kind::J1939, "01 EC FE 00 00 00 00", "00000000 ECFE00 06 00 FF 11 22", false, true, false},
    {"j1939 pgn mismatch", Kind::J1939, "01 EC FE 00 00 00 00", "00000000 ECFF00 06 00 FF 11 22", false, false, true},
    {"j1939 flags 0 any", Kind::J1939, "00 11 22 33 44 55 66", "00000000 010203 04 05 06", false, true, false},
    {"j1939 priority match", Kind::J1939, "02 00 00 00 06 00 00", "00000000 ECFE00 06 00 FF", false, true, false},
    {"j1939 priority mismatch", Kind::J1939, "02 00 00 00 03 00 00", "00000000 ECFE00 06 00 FF", false, false, true},
    {"j1939 source mismatch", Kind::J1939, "05 EC FE 00 00 F9 00", "00000000 ECFE00 06 00 FF", false, false, true},
    {"j1939 source match", Kind::J1939, "05 EC FE 00 00 F9 00", "00000000 ECFE00 06 F9 FF", false, true, false},
    {"j1939 destination echo", Kind::J1939, "08 00 00 00 00 00 FF", "00000000 01 ECFE00 06 00 FF", true, true, false},
    {"j1939 destination echo miss", Kind::J1939, "08 00 00 00 00 00 FF", "00000000 01 ECFE00 06 00 FE", true, false, true},
    {"j1939 pgn echo shifted", Kind::J1939, "01 EC FE 00 00 00 00", "00000000 00 ECFE00 06 00 FF", true, true, false},
    // J1708: one MID at the first payload byte.
    {"j1708 match", Kind::J1708, "80", "00000000 80 01", false, true, false},
    {"j1708 mismatch", Kind::J1708, "80", "00000000 81 01", false, false, true},
    {"j1708 echo match", Kind::J1708, "80", "00000000 00 80", true, true, false},
    // CAN: type, mask x4, header x4.
    {"can std match", Kind::CAN, "00 000007FF 00000123", "00000000 00 0123 AA", false, true, false},
    {"can std mismatch", Kind::CAN, "00 000007FF 00000123", "00000000 00 0124 AA", false, false, true},
    {"can std vs extended msg", Kind::CAN, "00 000007FF 00000123", "00000000 01 00000123", false, false, true},
    {"can std echo", Kind::CAN, "00 00000700 00000123", "00000000 01 00 0155 AA", true, true, false},
    {"can mask 0 any id", Kind::CAN, "00 00000000 00000000", "00000000 00 07FF 00", false, true, false},
    {"can mask 0 other type", Kind::CAN, "00 00000000 00000000", "00000000 01 18FEF100", false, false, true},
    {"can ext match", Kind::CAN, "01 1FFFFFFF 18FEF100", "00000000 01 18FEF100", false, true, false},
    {"can ext mismatch", Kind::CAN, "01 1FFFFFFF 18FEF100", "00000000 01 18FEF101", false, false, true},
    {"can ext echo match", Kind::CAN, "01 1FFFFF00 18FEF100", "00000000 00 01 18FEF1AB", true, true, false},
    // An extended identifier needs four bytes after the type byte.
    {"can ext truncated", Kind::CAN, "01 00000000 00000000", "00000000 01 18FEF1", false, false, false},
    {"can ext truncated echo", Kind::CAN, "01 00000000 00000000", "00000000 00 01 18FEF1", true, false, false},
    // ISO 15765: type, mask x4, ext mask, header x4, ext value. Message: lead byte, type, id x4, ext.
    {"iso 11bit match", Kind::ISO15765, "00 000007FF 55 000007E8 66", "00000000 00 00 000007E8 02", false, true, false},
    {"iso 11bit mismatch", Kind::ISO15765, "00 000007FF 55 000007E8 66", "00000000 00 00 000007E9 02", false, false, true},
    {"iso 11bit ext ignored", Kind::ISO15765, "00 000007FF FF 000007E8 66", "00000000 00 00 000007E8 99", false, true, false},
    {"iso type mismatch", Kind::ISO15765, "00 000007FF 00 000007E8 00", "00000000 00 01 000007E8 02", false, false, true},
    {"iso 29bit ext match", Kind::ISO15765, "03 1FFFFFFF FF 18DAF110 2A", "00000000 00 03 18DAF110 2A", false, true, false},
    {"iso 29bit ext mismatch", Kind::ISO15765, "03 1FFFFFFF FF 18DAF110 2A", "00000000 00 03 18DAF110 2B", false, false, true},
    {"iso 29bit ext echo", Kind::ISO15765, "03 1FFFFFFF 0F 18DAF110 2A", "00000000 01 00 03 18DAF110 FA", true, true, false},
    {"iso type 1 ext unchecked", Kind::ISO15765, "01 1FFFFFFF FF 18DAF110 2A", "00000000 00 01 18DAF110 2B", false, true, false},
    {"iso mask 0", Kind::ISO15765, "01 00000000 00 00000000 00", "00000000 00 01 12345678 00", false, true, false},
    // J1850: masks x3, values x3; header bytes at offsets 6 to 8.
    {"j1850 match", Kind::J1850, "FF FF 00 68 6A 00", "00000000 0000 68 6A F1 01", false, true, false},
    {"j1850 mismatch", Kind::J1850, "FF FF 00 68 6A 00", "00000000 0000 68 6B F1 01", false, false, true},
    {"j1850 fixed offsets echo", Kind::J1850, "FF FF FF 68 6A F1", "00000000 0000 68 6A F1 01", true, true, false},
    // CDL: length-prefixed pattern; only its length counts.
    {"cdl long enough", Kind::CDL, "03 AA BB CC", "00000000 11 22 33", false, true, false},
    {"cdl short", Kind::CDL, "03 AA BB CC", "00000000 11 22", false, false, true},
    {"cdl echo needs one more", Kind::CDL, "03 AA BB CC", "00000000 00 11 22", true, false, true},
    {"cdl echo long enough", Kind::CDL, "03 AA BB CC", "00000000 00 11 22 33", true, true, false},
};

}  // namespace

TEST(FiltersTest, TableOfMessagesInBothFilterModes)
{
    for (const FilterCase& c : kCases) {
        SCOPED_TRACE(c.name);
        auto filter = makeFilter(c.kind, hex(c.record));
        std::vector<char> exact = exactCopy(hex(c.message));
        const QByteArray view = QByteArray::fromRawData(exact.data(), int(exact.size()));
        EXPECT_EQ(filter->Valid_Filter(view, c.echo, 0), c.mode0);
        EXPECT_EQ(filter->Valid_Filter(view, c.echo, 1), c.mode1);
    }
}

TEST(FiltersTest, MessagesOfEveryShortLengthNeverPassInModeZero)
{
    // Walk every length up to each limit: a too-short message is rejected in both modes.
    const struct {
        Kind kind;
        const char* record;
        int noEcho, withEcho;
    } limits[] = {
        {Kind::J1939, "00 00 00 00 00 00 00", 9, 10},
        {Kind::J1708, "00", 5, 5},
        {Kind::CAN, "00 00000000 00000000", 7, 8},
        {Kind::ISO15765, "00 00000000 00 00000000 00", 10, 11},
        {Kind::J1850, "00 00 00 00 00 00", 9, 9},
    };
    for (const auto& l : limits) {
        auto filter = makeFilter(l.kind, hex(l.record));
        for (int echo = 0; echo < 2; ++echo) {
            const int limit = echo ? l.withEcho : l.noEcho;
            for (int size = 0; size <= limit; ++size) {
                SCOPED_TRACE(testing::Message() << "kind " << int(l.kind) << " echo " << echo << " size " << size);
                std::vector<char> exact(size_t(size), 0);
                const QByteArray view = QByteArray::fromRawData(exact.data(), size);
                EXPECT_FALSE(filter->Valid_Filter(view, echo != 0, 0));
                EXPECT_FALSE(filter->Valid_Filter(view, echo != 0, 1));
            }
            // One byte more is long enough: all-zero bytes match an all-zero filter.
            std::vector<char> exact(size_t(limit + 1), 0);
            const QByteArray view = QByteArray::fromRawData(exact.data(), limit + 1);
            EXPECT_TRUE(filter->Valid_Filter(view, echo != 0, 0)) << "kind " << int(l.kind) << " echo " << echo;
        }
    }
}

TEST(FiltersTest, ConstructorsReadRecordsMostSignificantByteFirst)
{
    const J1939_Filtro f(ubytes(hex("0D EC FE 00 06 F9 FF")));
    EXPECT_EQ(f.getFilterFlag(), 0x0D);
    EXPECT_EQ(f.getPGN(), hex("EC FE 00"));
    EXPECT_EQ(f.getPriority(), 0x06);
    EXPECT_EQ(f.getSourceAddress(), 0xF9);
    EXPECT_EQ(f.getDestinationAddress(), 0xFF);

    // A standard type uses only the two low bytes of each field; ISO 15765 adds the
    // extended address bytes, read only for the extended types 1 and 3.
    const struct {
        bool iso;
        const char* record;
        quint8 type;
        quint32 mask;
        quint8 extMask;
        quint32 header;
        quint8 ext;
    } rows[] = {
        {false, "01 1F FF FF FF 18 FE F1 00", 1, 0x1FFFFFFFu, 0, 0x18FEF100u, 0},
        {false, "00 AB CD 07 FF EE EE 01 23", 0, 0x7FFu, 0, 0x123u, 0},
        {false, "05 AB CD 07 FF EE EE 01 23", 5, 0x7FFu, 0, 0x123u, 0},
        {true, "03 1F FF FF FF F0 18 DA F1 10 2A", 3, 0x1FFFFFFFu, 0xF0, 0x18DAF110u, 0x2A},
        {true, "01 12 34 56 78 0F 9A BC DE F0 11", 1, 0x12345678u, 0x0F, 0x9ABCDEF0u, 0x11},
        {true, "00 AB CD 07 FF 55 EE EE 07 E8 66", 0, 0x7FFu, 0, 0x7E8u, 0},
        {true, "02 AB CD 07 FF 55 EE EE 07 E8 66", 2, 0x7FFu, 0, 0x7E8u, 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.record);
        const QByteArray rec = hex(r.record);
        if (r.iso) {
            const ISO15765_Filtro i(ubytes(rec));
            EXPECT_EQ(i.getMask(), r.mask);
            EXPECT_EQ(i.getExtAddressMask(), r.extMask);
            EXPECT_EQ(i.getHeader(), r.header);
            EXPECT_EQ(i.getExtAddress(), r.ext);
        } else {
            const CAN_Filtro c(ubytes(rec));
            EXPECT_EQ(c.getType(), r.type);
            EXPECT_EQ(c.getMask(), r.mask);
            EXPECT_EQ(c.getHeader(), r.header);
        }
    }

    const J1850_Filtro j(ubytes(hex("F0 0F FF 12 34 56")));
    EXPECT_EQ(j.getMask(0), 0xF0);
    EXPECT_EQ(j.getMask(2), 0xFF);
    EXPECT_EQ(j.getValue(0), 0x12);
    EXPECT_EQ(j.getValue(2), 0x56);

    const QByteArray cdl = hex("AA BB CC");
    EXPECT_EQ(CDL_Filtro(ubytes(cdl), 3).getPattern(), (std::vector<quint8>{0xAA, 0xBB, 0xCC}));
    EXPECT_TRUE(CDL_Filtro(ubytes(cdl), -2).getPattern().empty());
}
