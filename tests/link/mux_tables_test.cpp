#include <rp1210core/mux_tables.h>
#include <rp1210core/types.h>

#include <gtest/gtest.h>

#include <QRegExp>

#include <set>
#include <tuple>
#include <string>

namespace {

std::string entry(const QString* table, int p1, int p2) { return table[p1 * 16 + p2].toStdString(); }

// Every entry is empty or one of its table's letters and four digits. A pin pair routes
// the same two lines whichever pin comes first: only the letter tells the order. The
// J1708 table routes the K-line table's two-pin pairs; the isolated-grounds table is the
// CAN table with another letter.
TEST(MuxTables, FormatAndSymmetry)
{
    const struct {
        const QString* table;
        const char* letters;
    } tables[] = {{multpiplexCmmd_K, "WK"}, {multpiplexCmmd_J1708, "JS"}, {multpiplexCmmd_CAN, "C"},
                  {multpiplexCmmd_CAN_ISOLATED_GROUNDS, "D"}};
    for (const auto& t : tables) {
        const QRegExp format(QStringLiteral("[%1][0-9]{4}").arg(QLatin1String(t.letters)));
        for (int i = 0; i < 256; ++i)
            EXPECT_TRUE(t.table[i].isEmpty() || format.exactMatch(t.table[i])) << i << ": " << t.table[i].toStdString();
    }
    for (int a : {1, 3, 7, 8, 9, 10, 12})
        for (int b : {2, 11, 13, 15}) {
            const std::string w = entry(multpiplexCmmd_K, a, b);
            ASSERT_EQ(w.size(), 5u);
            EXPECT_EQ(w[0], 'W');
            EXPECT_EQ(entry(multpiplexCmmd_K, b, a), "K" + w.substr(1));
            EXPECT_EQ(entry(multpiplexCmmd_J1708, a, b), "J" + w.substr(1));
            EXPECT_EQ(entry(multpiplexCmmd_J1708, b, a), "S" + w.substr(1));
            EXPECT_EQ(entry(multpiplexCmmd_K, a, 0), "W" + w.substr(1, 2) + "25");  // single pins: same code, same half
            EXPECT_EQ(entry(multpiplexCmmd_K, b, 0), "K00" + w.substr(3, 2));
        }
    for (int i = 0; i < 256; ++i)
        EXPECT_EQ(multpiplexCmmd_CAN_ISOLATED_GROUNDS[i].mid(1), multpiplexCmmd_CAN[i].mid(1));
    // Four CAN pairs; the other two are checked through getMUXCommand.
    for (const auto& [p1, p2, code] : {std::tuple{3, 11, "C0001"}, {1, 9, "C0002"}, {3, 8, "C0003"}, {13, 12, "C0006"}})
        EXPECT_EQ(entry(multpiplexCmmd_CAN, p1, p2), code);
}

TEST(MuxTables, GetMuxCommandPicksTheProtocolsTableAndRefusesPinsOutOfRange)
{
    // (7,0) is routable only as K-line, (12,13) as K-line, J1708 and CAN, (6,14) only as CAN.
    const std::set<int> kLine = {1, 4, 5, 18, 19, 20, 21, 22, 23, 25, 31}, can = {2, 9, 16, 17, 30}, j1708 = {15, 24, 33};
    for (int p = 0; p <= 255; ++p) {
        SCOPED_TRACE(p);
        const auto protocolo = static_cast<unsigned char>(p);
        const bool isK = kLine.count(p) != 0, isCan = can.count(p) != 0, isJ = j1708.count(p) != 0;
        EXPECT_EQ(getMUXCommand(protocolo, 7, 0, false).toStdString(), isK ? "W1425" : "");
        EXPECT_EQ(getMUXCommand(protocolo, 12, 13, false).toStdString(), isK ? "W0617" : isJ ? "J0617" : isCan ? "C0004" : "");
        // The 24 V flag only concerns CAN.
        EXPECT_EQ(getMUXCommand(protocolo, 12, 13, true).toStdString(), isK ? "W0617" : isJ ? "J0617" : isCan ? "D0004" : "");
        EXPECT_EQ(getMUXCommand(protocolo, 6, 14, false).toStdString(), isCan ? "C0000" : "");
    }
    const int pins[][2] = {{16, 0}, {7, 16}, {-1, 15}, {7, -1}, {1 - 16, 15 + 16 * 16}, {0x7FFFFFFF, 0}};
    for (const auto& p : pins)  // the last but one has the index of (1,15)
        EXPECT_EQ(getMUXCommand(PROTOCOLO_ISO9141, p[0], p[1], false).toStdString(), "") << p[0] << "," << p[1];
}

}  // namespace
