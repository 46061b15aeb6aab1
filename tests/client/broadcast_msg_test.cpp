// Broadcast records and the broadcast operations of a client slot.
#include "client/broadcast_msg.h"
#include "client/cliente.h"
#include "support/bytes.h"
#include "support/fake_clock.h"

#include <gtest/gtest.h>

namespace {

// A command record: interval and message length least significant byte first.
QByteArray record(int interval, const QByteArray& message)
{
    const int n = message.size();
    return QByteArray(1, char(interval & 0xFF)) + char(interval >> 8) + char(n & 0xFF) + char(n >> 8) + message;
}
int add(Cliente& c, const QByteArray& r) { return c.addBroadcastMSG(r.constData(), r.size()); }
int addLink(Cliente& c, const QByteArray& r) { return c.addBroadcastMSG_Link(r.constData(), r.size()); }
// The view of one record (interval and length most significant byte first); its return
// code instead when refused.
std::string view(const Cliente& c, quint8 id, bool link = false, int size = 64)
{
    std::vector<char> buf(size_t(size) + 1, char(0x5A));  // one guard byte
    const int r = link ? c.viewBroadcastMSG_Link(buf.data(), size, id) : c.viewBroadcastMSG(buf.data(), size, id);
    EXPECT_EQ(buf.back(), char(0x5A));
    if (r != 0)
        return std::to_string(r) + (buf == std::vector<char>(buf.size(), char(0x5A)) ? "" : " and wrote");
    return toHex(QByteArray(buf.data(), 4 + ((quint8(buf[2]) << 8) | quint8(buf[3]))));
}

// Refusals at the command level are checked through the API; here the size boundaries.
TEST(BroadcastRecord, RecordSizeRefusesWhatDoesNotFit)
{
    const struct {
        const char* bytes;
        int available, expected;
    } rows[] = {{"34 12 03 00 18 ef 00 99", 8, 7}, {"64 00 00 00", 4, 4}, {"64 00 03", 3, -1},
                {"64 00 00 01 00", 5, -1}};  // the last: 256, little-endian
    for (const auto& row : rows)
        EXPECT_EQ(BroadcastMSG::recordSize(hex(row.bytes).constData(), row.available), row.expected) << row.bytes;
    EXPECT_EQ(BroadcastMSG::recordSize(nullptr, 10), -1);
}

TEST(BroadcastRecord, StoredBytesFollowProtocolJ1708ModeAndLinknessAndTheViewStaysInTheBuffer)
{
    const struct {
        quint8 protocolo, j1708Mode;
        bool link;
        const char *message, *expectedView;
    } rows[] = {
        {PROTOCOLO_CAN, 1, false, "18 ef 00", "00 64 00 03 18 ef 00"},
        {PROTOCOLO_J1708, 0, false, "08 80 01", "00 64 00 03 08 80 01"},
        {PROTOCOLO_CAT, 1, false, "80 01", "00 64 00 04 01 80 01 7f"},  // 0x01 in front in every mode
        {PROTOCOLO_CAT, 0, false, "80 01", "00 64 00 03 01 80 01"},
        {PROTOCOLO_J1708, 1, true, "08 80 01", "00 64 00 03 08 80 01"},  // link records are stored as given
    };
    for (const auto& row : rows) {
        Cliente c(1, row.protocolo, 0, 0, false);
        c.setJ1708Mode(row.j1708Mode);
        ASSERT_EQ(row.link ? addLink(c, record(100, hex(row.message))) : add(c, record(100, hex(row.message))), 0);
        EXPECT_EQ(view(c, 0, row.link), row.expectedView) << int(row.protocolo) << " " << row.message;
    }
    Cliente c(1, PROTOCOLO_CAN, 0, 0, false);
    EXPECT_EQ(view(c, 0, true), "1");  // no link record yet
    add(c, record(100, hex("18 ef 00")));  // view: 7 bytes
    EXPECT_EQ(view(c, 0, false, 7), "00 64 00 03 18 ef 00");
    EXPECT_EQ(view(c, 9, false, 2), "1");  // not found wins over size
}

TEST(BroadcastKeys, LinkRecordThenFourteenMapKeys)
{
    Cliente c(1, PROTOCOLO_CAN, 0, 0, false);
    const QByteArray r = record(50, hex("00 01"));
    EXPECT_EQ(addLink(c, r), 0);
    EXPECT_EQ(c.broadcastMsgListSize(), 0);
    for (int key = 1; key <= Cliente::kLastLinkMapKey; ++key)
        ASSERT_EQ(addLink(c, r), key);
    EXPECT_EQ(addLink(c, r), Cliente::kBroadcastFull);
    EXPECT_EQ(c.broadcastMsgListSize_Link(), 15);
    // The map operations leave the link record alone; clear reports the removed keys.
    EXPECT_EQ(c.removeBroadcastMsg(1), 0);
    EXPECT_EQ(c.removeBroadcastMsg(1), 1);
    QList<quint8> keys;
    EXPECT_EQ(c.clearBroadcastMsgList(&keys), 13);
    EXPECT_EQ(keys.first() * 100 + keys.last(), 2 * 100 + Cliente::kLastLinkMapKey);
    EXPECT_EQ(c.broadcastMsgListSize_Link(), 1);
    QByteArray stored;
    EXPECT_TRUE(c.getBroadcastMSG_Link(&stored));
    EXPECT_EQ(toHex(stored), "00 01");
    c.deleteBrodCastMSGLink();
    EXPECT_FALSE(c.getBroadcastMSG_Link(&stored));
    EXPECT_EQ(addLink(c, r), 0);  // without a link record the next add becomes it again
    EXPECT_EQ(addLink(c, r), 1);
    c.valoresPorDefecto();  // a new connection drops map and link record
    EXPECT_EQ(c.broadcastMsgListSize_Link(), 0);
}

TEST(BroadcastScan, DueStrictlyAfterTheIntervalInKeyOrderAsCopiesSkippingTheLinkRecord)
{
    FakeClock clock;
    Cliente c(1, PROTOCOLO_CAN, 0, 0, false);
    addLink(c, record(10, hex("aa")));  // the link record: the adapter repeats it
    addLink(c, record(0, hex("01")));   // key 1: due once per clock step
    addLink(c, record(100, hex("02")));  // key 2
    QList<BroadcastMSG> due;
    const auto scan = [&](quint32 advance) {
        clock.advanceMillis(advance);
        due.clear();
        c.broadcastMsgToSend(&due, clock);
        std::string ids;
        for (const BroadcastMSG& m : due)
            ids += std::to_string(m.getBroadcastID());
        return ids;
    };
    EXPECT_EQ(scan(0), "");
    EXPECT_EQ(scan(100), "1");  // 100 - 0 is not more than 100
    EXPECT_EQ(scan(0), "");     // same millisecond: not again
    EXPECT_EQ(scan(1), "12");
    EXPECT_EQ(due.at(1).getLastSent(), 0);  // the copy is taken before marking
    c.clearBroadcastMsgList();
    EXPECT_EQ(toHex(due.at(1).getMsg()), "02");  // and outlives the record
    // The scan keeps running when the process clock passes its sign and wraps.
    BroadcastMSG m(100, hex("01"));
    EXPECT_TRUE(m.isDue(0x80000010u));
    m.setLastSent(int(0xFFFFFFF0u));
    EXPECT_FALSE(m.isDue(0x00000054u));  // 100 ms later
    EXPECT_TRUE(m.isDue(0x00000055u));
}


}  // namespace
