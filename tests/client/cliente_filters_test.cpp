#include "client/cliente.h"
#include "client/filters.h"
#include "client_test_util.h"

#include <gtest/gtest.h>

using clienttest::bytes;
using clienttest::hex;

namespace {

quint32 add(Cliente& c, const char* recordHex) { return c.addFiltro(bytes(hex(recordHex))); }

bool route(Cliente& c, const char* messageHex)
{
    const int before = c.receivedCount();
    QByteArray m = hex(messageHex);
    c.addMsjRecibido(m);
    return c.receivedCount() == before + 1;
}

}  // namespace

TEST(ClienteFilters, ProtocolChoosesTheFilterClass)
{
    const struct {
        quint8 protocol;
        const char *record, *pass, *drop;  // pass: a message the new filter accepts; drop: one it rejects
    } rows[] = {
        {PROTOCOLO_J1939, "01 EC FE 00 00 00 00", "00000000 ECFE00 06 00 FF", "00000000 ECFF00 06 00 FF"},
        {PROTOCOLO_J1708, "80", "00000000 80 01", "00000000 81 01"},
        {PROTOCOLO_CAN, "00 000007FF 00000123", "00000000 00 0123 AA", "00000000 00 0124 AA"},
        {PROTOCOLO_J1850, "FF 00 00 68 00 00", "00000000 0000 68 00 00 00", "00000000 0000 69 00 00 00"},
        {PROTOCOLO_ISO15765, "00 000007FF 00 000007E8 00", "00000000 00 00 000007E8 01", "00000000 00 00 000007E0 01"},
        {PROTOCOLO_ISO15765_ALT, "00 000007FF 00 000007E8 00", "00000000 00 00 000007E8 01", "00000000 00 00 000007E0 01"},
        {PROTOCOLO_CAT, "02 AA BB", "00000000 80 01", "00000000 80"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(int(r.protocol));
        Cliente c(1, r.protocol, 0, 0, false);
        EXPECT_EQ(add(c, r.record), 0u);
        EXPECT_EQ(c.getFilterState(), 2);
        EXPECT_EQ(c.getFilterSize(), 1);
        EXPECT_TRUE(route(c, r.pass));
        EXPECT_FALSE(route(c, r.drop));
        // Filter mode 1 turns both answers round.
        c.setFilterMode(1);
        EXPECT_FALSE(route(c, r.pass));
        EXPECT_TRUE(route(c, r.drop));
    }
}

TEST(ClienteFilters, ProtocolWithoutFilterClassAddsNothing)
{
    Cliente c(1, PROTOCOLO_KWP2000, 0, 0, false);
    c.setFilterState(1);
    EXPECT_EQ(add(c, "01 02 03 04 05 06 07 08 09 0A 0B"), 0u);
    EXPECT_EQ(c.getFilterSize(), 0);
    EXPECT_EQ(c.getFilterState(), 1);
    EXPECT_EQ(c.addFiltro(nullptr), 144u);
}

TEST(ClienteFilters, SixtySixthFilterIsRefused)
{
    Cliente c(1, PROTOCOLO_J1708, 0, 0, false);
    for (int i = 0; i < Cliente::kMaxFilters; ++i) {
        const unsigned char mid = static_cast<unsigned char>(i);
        ASSERT_EQ(c.addFiltro(&mid), 0u) << i;
    }
    c.setFilterState(7);
    const unsigned char extra = 0xC8;
    EXPECT_EQ(c.addFiltro(&extra), 501u);
    EXPECT_EQ(c.getFilterSize(), 65);
    EXPECT_EQ(c.getFilterState(), 7);  // unchanged by the refusal
    const auto* last = dynamic_cast<const J1708_Filtro*>(c.getActiveFilter(64));
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(last->getMID(), 64);
    EXPECT_EQ(c.getActiveFilter(65), nullptr);
    EXPECT_EQ(c.getActiveFilter(-1), nullptr);
}

TEST(ClienteFilters, AnyAcceptingFilterLetsTheMessageThroughAndDeleteStopsAll)
{
    Cliente c(1, PROTOCOLO_J1708, 0, 0, false);
    c.setEchoMode(true);
    ASSERT_EQ(add(c, "80"), 0u);
    ASSERT_EQ(add(c, "90"), 0u);
    EXPECT_TRUE(route(c, "00000000 00 80 01"));
    EXPECT_TRUE(route(c, "00000000 00 90 01"));
    EXPECT_FALSE(route(c, "00000000 00 81 01"));
    // In mode 1 a message passes as soon as one filter does not match it.
    c.setFilterMode(1);
    EXPECT_TRUE(route(c, "00000000 00 80 01"));

    c.deleteAllFilters();
    EXPECT_EQ(c.getFilterState(), 0);
    EXPECT_EQ(c.getFilterSize(), 0);
    c.setFilterMode(0);
    EXPECT_FALSE(route(c, "00000000 00 80 01"));
    c.setFilterState(1);
    EXPECT_TRUE(route(c, "00000000 00 81 01"));
    ASSERT_EQ(add(c, "80"), 0u);  // adding a filter leaves pass-all
    EXPECT_EQ(c.getFilterState(), 2);
    EXPECT_FALSE(route(c, "00000000 00 81 01"));
}

TEST(ClienteFilters, ContainsFilterOnlyForIso15765Clients)
{
    const QByteArray rec = hex("03 1FFFFFFF FF 18DAF110 2A");
    const ISO15765_Filtro probe(bytes(rec));
    for (quint8 protocol : {quint8(PROTOCOLO_ISO15765), quint8(PROTOCOLO_ISO15765_ALT)}) {
        Cliente c(1, protocol, 0, 0, false);
        ASSERT_EQ(c.addFiltro(bytes(rec)), 0u);
        EXPECT_EQ(c.containsFilter(&probe), protocol == PROTOCOLO_ISO15765);
    }
    Cliente j1708(1, PROTOCOLO_J1708, 0, 0, false);
    const J1708_Filtro mid(0x80);
    EXPECT_FALSE(j1708.containsFilter(&mid));
}

TEST(ClienteFilters, AlreadyHeldIso15765RecordsAreCutOut)
{
    const char* held = "00 000007FF 00 000007E8 00";
    const struct {
        const char *name, *records, *left;
        bool result;
    } rows[] = {
        {"middle duplicate", "00 000007FF 00 000007E0 00  00 000007FF 00 000007E8 00  00 000007FF 00 000007E9 00",
         "00 000007FF 00 000007E0 00  00 000007FF 00 000007E9 00", true},
        {"only duplicate", "00 000007FF 00 000007E8 00", "", false},
        {"two in a row", "00 000007FF 00 000007E8 00  00 000007FF 00 000007E8 00  00 000007FF 00 000007E9 00",
         "00 000007FF 00 000007E9 00", true},
        // Unused record bytes of an 11-bit type do not count.
        {"11-bit with ext bytes", "00 ABCD07FF 55 EEEE07E8 66", "", false},
        {"29-bit ext differs", "03 1FFFFFFF FF 18DAF110 2A", "03 1FFFFFFF FF 18DAF110 2A", true},
        {"nothing", "", "", false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        Cliente c(1, PROTOCOLO_ISO15765, 0, 0, false);
        ASSERT_EQ(add(c, held), 0u);
        ASSERT_EQ(add(c, "03 1FFFFFFF FF 18DAF110 2B"), 0u);
        QByteArray records = hex(r.records);
        int length = records.size();
        EXPECT_EQ(c.areISO15765FiltersCorrect(records, length), r.result);
        EXPECT_EQ(records.toHex(' '), hex(r.left).toHex(' '));
        EXPECT_EQ(length, hex(r.left).size());
        EXPECT_EQ(c.getFilterSize(), 2);  // nothing added here
    }

    // Stated length longer than the array: only whole records inside the array count.
    Cliente c(1, PROTOCOLO_ISO15765, 0, 0, false);
    ASSERT_EQ(add(c, held), 0u);
    QByteArray records = hex("00 000007FF 00 000007E8 00  00 000007FF 00");
    int length = 40;
    EXPECT_TRUE(c.areISO15765FiltersCorrect(records, length));
    EXPECT_EQ(records, hex("00 000007FF 00"));
    EXPECT_EQ(length, 29);
}
