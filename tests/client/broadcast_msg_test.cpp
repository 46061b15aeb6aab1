// Broadcast records of a client slot; keys, removal and the scan order are checked through the API.
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

TEST(BroadcastRecord, StoredBytesFollowProtocolJ1708ModeAndLinknessAndTheViewStaysInTheBuffer)
{
    const struct {
        quint8 protocolo, j1708Mode;
        bool link;
        const char *message, *expectedView;
    } rows[] = {
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

// Due order and the strict interval are checked through the API.
TEST(BroadcastScan, DueRecordsAreCopiesAndTheProcessClockMayWrap)
{
    FakeClock clock;
    Cliente c(1, PROTOCOLO_CAN, 0, 0, false);
    add(c, record(100, hex("02")));
    clock.advanceMillis(101);
    QList<BroadcastMSG> due;
    c.broadcastMsgToSend(&due, clock);
    ASSERT_EQ(due.size(), 1);
    EXPECT_EQ(due.at(0).getLastSent(), 0);  // the copy is taken before marking
    c.clearBroadcastMsgList();
    EXPECT_EQ(toHex(due.at(0).getMsg()), "02");  // and outlives the record
    BroadcastMSG m(100, hex("01"));
    EXPECT_TRUE(m.isDue(0x80000010u));  // past the sign
    m.setLastSent(int(0xFFFFFFF0u));
    EXPECT_FALSE(m.isDue(0x00000054u));  // 100 ms later
    EXPECT_TRUE(m.isDue(0x00000055u));
}


}  // namespace
