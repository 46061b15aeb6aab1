// Broadcast records and the broadcast operations of a client slot.
#include "client/broadcast_msg.h"
#include "client/cliente.h"
#include "support/bytes.h"
#include "support/fake_clock.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QList>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>
#include <vector>

// Counts operator new calls of the current thread while armed, to show that the due-record
// scan allocates nothing when nothing is due. Instrumented builds bring their own allocator.
#ifndef RP1210CORE_SANITIZED
namespace {
thread_local bool gCountNew = false;
thread_local long gNewCalls = 0;
}  // namespace

void* operator new(std::size_t n)
{
    if (gCountNew)
        ++gNewCalls;
    if (void* p = std::malloc(n == 0 ? 1 : n))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#endif

namespace {

// A command record: interval and message length least significant byte first.
QByteArray record(int interval, const QByteArray& message)
{
    const int n = message.size();
    const char head[4] = {char(interval & 0xFF), char(interval >> 8 & 0xFF), char(n & 0xFF), char(n >> 8 & 0xFF)};
    return QByteArray(head, 4) + message;
}

// The view of one record through a buffer of exactly `size` bytes; empty when refused.
QByteArray view(const Cliente& c, quint8 id, bool link = false, int size = 64, int* rc = nullptr)
{
    std::vector<char> buf(size_t(size), char(0x5A));
    const int r = link ? c.viewBroadcastMSG_Link(buf.data(), size, id) : c.viewBroadcastMSG(buf.data(), size, id);
    if (rc)
        *rc = r;
    return r != 0 ? QByteArray() : QByteArray(buf.data(), 4 + ((quint8(buf[2]) << 8) | quint8(buf[3])));
}

int add(Cliente& c, const QByteArray& r) { return c.addBroadcastMSG(r.constData(), r.size()); }
int addLink(Cliente& c, const QByteArray& r) { return c.addBroadcastMSG_Link(r.constData(), r.size()); }

TEST(BroadcastRecord, ReadsLittleEndianViewsBigEndianAndRefusesRecordsThatDoNotFit)
{
    const QByteArray r = hex("34 12 03 00 18 EF 00 99");  // one byte past the record
    EXPECT_EQ(BroadcastMSG::recordSize(r.constData(), r.size()), 7);
    BroadcastMSG m(r.constData());
    EXPECT_EQ(m.getTimeInterval(), 0x1234);
    EXPECT_EQ(m.getLength(), 3);
    EXPECT_EQ(toHex(m.getMsg()), "18 ef 00");
    EXPECT_EQ(m.getLastSent(), 0);
    m.setBroadcastID(0x103);
    EXPECT_EQ(m.getBroadcastID(), 3);  // the low byte is kept
    char out[8] = {};
    m.deserializarBroadMSG(out);
    EXPECT_EQ(toHex(QByteArray(out, m.viewSize())), "12 34 00 03 18 ef 00");

    const struct {
        const char* bytes;
        int available, expected;
    } rows[] = {
        {"64 00 03 00 18 ef 00", 7, 7},
        {"64 00 03 00 18 ef 00", 6, -1},  // message cut short
        {"64 00 00 00", 4, 4},            // an empty message is a whole record
        {"64 00 03", 3, -1},              // no room for the length
        {"64 00 ff ff 01", 5, -1},        // a length far past the data
        {"64 00 00 01 00", 5, -1},        // 256, little-endian
    };
    for (const auto& row : rows)
        EXPECT_EQ(BroadcastMSG::recordSize(hex(row.bytes).constData(), row.available), row.expected) << row.bytes;
    EXPECT_EQ(BroadcastMSG::recordSize(nullptr, 10), -1);
}

TEST(BroadcastRecord, StoredBytesFollowProtocolJ1708ModeAndLinkness)
{
    const struct {
        quint8 protocolo, j1708Mode;
        bool link;
        const char *message, *expectedView;
    } rows[] = {
        {PROTOCOLO_CAN, 1, false, "18 ef 00", "00 64 00 03 18 ef 00"},
        {PROTOCOLO_J1939, 1, false, "00 ef 00 06 f9 00 aa", "00 64 00 07 00 ef 00 06 f9 00 aa"},
        // J1708 mode 1: checksum over MID and data, the priority left out.
        {PROTOCOLO_J1708, 1, false, "08 80 01", "00 64 00 04 08 80 01 7f"},
        {PROTOCOLO_J1708, 1, false, "08", "00 64 00 02 08 00"},
        {PROTOCOLO_J1708, 0, false, "08 80 01", "00 64 00 03 08 80 01"},
        // CAT: 0x01 in front in every mode, checksum over the given bytes in mode 1.
        {PROTOCOLO_CAT, 1, false, "80 01", "00 64 00 04 01 80 01 7f"},
        {PROTOCOLO_CAT, 0, false, "80 01", "00 64 00 03 01 80 01"},
        // Link records are stored as given.
        {PROTOCOLO_J1708, 1, true, "08 80 01", "00 64 00 03 08 80 01"},
    };
    for (const auto& row : rows) {
        Cliente c(1, row.protocolo, 0, 0, false);
        c.setJ1708Mode(row.j1708Mode);
        ASSERT_EQ(row.link ? addLink(c, record(100, hex(row.message))) : add(c, record(100, hex(row.message))), 0);
        EXPECT_EQ(toHex(view(c, 0, row.link)), toHex(hex(row.expectedView))) << int(row.protocolo) << " " << row.message;
    }
}

TEST(BroadcastKeys, LinkRecordThenFourteenMapKeys)
{
    Cliente c(1, PROTOCOLO_CAN, 0, 0, false);
    const QByteArray r = record(50, hex("00 01"));
    EXPECT_EQ(addLink(c, r), 0);
    EXPECT_TRUE(c.brodCastMSGLinkState_Link());
    EXPECT_EQ(c.broadcastMsgListSize(), 0);
    for (int key = 1; key <= Cliente::kLastLinkMapKey; ++key)
        ASSERT_EQ(addLink(c, r), key);
    EXPECT_EQ(addLink(c, r), Cliente::kBroadcastFull);
    EXPECT_EQ(c.broadcastMsgListSize_Link(), 15);

    // The map operations leave the link record alone.
    EXPECT_EQ(c.removeBroadcastMsg(0), 1);
    EXPECT_EQ(c.clearBroadcastMsgList(), 14);
    EXPECT_TRUE(c.brodCastMSGLinkState_Link());
    EXPECT_EQ(c.broadcastMsgListSize_Link(), 1);
    QByteArray stored;
    EXPECT_TRUE(c.getBroadcastMSG_Link(&stored));
    EXPECT_EQ(toHex(stored), "00 01");
    c.deleteBrodCastMSGLink();
    EXPECT_FALSE(c.getBroadcastMSG_Link(&stored));
    EXPECT_EQ(addLink(c, r), 0);  // without a link record the next add becomes it again

    // A new connection drops map and link record.
    EXPECT_EQ(addLink(c, r), 1);
    c.valoresPorDefecto();
    EXPECT_EQ(c.broadcastMsgListSize_Link(), 0);
    EXPECT_FALSE(c.brodCastMSGLinkState_Link());
}

TEST(BroadcastKeys, TruncatedRecordIsRefusedAndClearReportsTheRemovedKeys)
{
    Cliente c(1, PROTOCOLO_CAN, 0, 0, false);
    const QByteArray r = record(100, hex("18 ef 00"));
    EXPECT_EQ(c.addBroadcastMSG(r.constData(), r.size() - 1), rp1210rc::INVALID_COMMAND);
    EXPECT_EQ(c.addBroadcastMSG_Link(r.constData(), r.size() - 1), rp1210rc::INVALID_COMMAND);
    EXPECT_EQ(c.addBroadcastMSG(nullptr, 10), rp1210rc::INVALID_COMMAND);
    EXPECT_EQ(c.broadcastMsgListSize_Link(), 0);

    for (int i = 0; i < 4; ++i)
        add(c, r);
    c.removeBroadcastMsg(1);
    QList<quint8> keys;
    EXPECT_EQ(c.clearBroadcastMsgList(&keys), 3);
    EXPECT_EQ(keys, (QList<quint8>{0, 2, 3}));
    EXPECT_EQ(c.broadcastMsgListSize(), 0);
}

TEST(BroadcastView, NeverWritesPastTheCallersBuffer)
{
    Cliente c(1, PROTOCOLO_CAN, 0, 0, false);
    ASSERT_EQ(add(c, record(100, hex("18 ef 00"))), 0);  // view: 7 bytes
    const struct {
        int size, expected;
    } rows[] = {{7, 0}, {8, 0}, {6, rp1210rc::INVALID_COMMAND}, {0, rp1210rc::INVALID_COMMAND}};
    for (const auto& row : rows) {
        std::vector<char> buf(size_t(row.size) + 1, char(0x5A));  // one guard byte
        EXPECT_EQ(c.viewBroadcastMSG(buf.data(), row.size, 0), row.expected) << row.size;
        EXPECT_EQ(buf[size_t(row.size)], char(0x5A)) << row.size;
        if (row.expected != 0) {
            EXPECT_EQ(buf, std::vector<char>(buf.size(), char(0x5A))) << "refused view wrote, size " << row.size;
        }
    }
    char small[2];
    EXPECT_EQ(c.viewBroadcastMSG(small, 2, 9), 1);  // not found wins over size

    // The link view shows the link record under key 0, bounded the same way.
    Cliente l(1, PROTOCOLO_CAN, 0, 0, false);
    int rc = -1;
    view(l, 0, true, 64, &rc);
    EXPECT_EQ(rc, 1);
    addLink(l, record(100, hex("aa bb")));
    EXPECT_EQ(toHex(view(l, 0, true)), "00 64 00 02 aa bb");
    view(l, 0, true, 5, &rc);
    EXPECT_EQ(rc, rp1210rc::INVALID_COMMAND);
    view(l, 0, false, 64, &rc);  // not in the map
    EXPECT_EQ(rc, 1);
}

TEST(BroadcastScan, DueStrictlyAfterTheIntervalAndMarkedSent)
{
    FakeClock clock;
    Cliente c(1, PROTOCOLO_CAN, 0, 0, false);
    add(c, record(100, hex("01")));
    QList<BroadcastMSG> due;
    clock.advanceMillis(100);
    EXPECT_FALSE(c.broadcastMsgToSend(&due, clock));  // 100 - 0 is not more than 100
    EXPECT_TRUE(due.isEmpty());
    clock.advanceMillis(1);
    ASSERT_TRUE(c.broadcastMsgToSend(&due, clock));
    ASSERT_EQ(due.size(), 1);
    EXPECT_EQ(due.at(0).getLastSent(), 0);  // the copy is taken before marking
    EXPECT_EQ(toHex(due.at(0).getMsg()), "01");
    EXPECT_FALSE(c.broadcastMsgToSend(&due, clock));  // same millisecond: not again
    clock.advanceMillis(100);                          // 201
    EXPECT_FALSE(c.broadcastMsgToSend(&due, clock));
    clock.advanceMillis(1);  // 202
    EXPECT_TRUE(c.broadcastMsgToSend(&due, clock));

    // Interval 0 is due once per clock step.
    Cliente zero(1, PROTOCOLO_CAN, 0, 0, false);
    add(zero, record(0, hex("01")));
    due.clear();
    EXPECT_TRUE(zero.broadcastMsgToSend(&due, clock));
    EXPECT_FALSE(zero.broadcastMsgToSend(&due, clock));
    clock.advanceMillis(1);
    EXPECT_TRUE(zero.broadcastMsgToSend(&due, clock));
    EXPECT_EQ(due.size(), 2);

    // The scan keeps running when the process clock passes its sign and wraps.
    BroadcastMSG m(100, hex("01"));
    EXPECT_TRUE(m.isDue(0x80000010u));  // never sent, clock past 2^31 ms
    m.setLastSent(int(0xFFFFFFF0u));     // sent just before the 32-bit wrap
    EXPECT_FALSE(m.isDue(0x00000054u));  // 100 ms later
    EXPECT_TRUE(m.isDue(0x00000055u));   // 101 ms later
}

TEST(BroadcastScan, DueMapRecordsComeInKeyOrderAsCopiesAndLinkRecordIsSkipped)
{
    FakeClock clock;
    Cliente c(1, PROTOCOLO_CAN, 0, 0, false);
    addLink(c, record(10, hex("aa")));  // link record: the adapter repeats it
    addLink(c, record(300, hex("00"))); // key 1, not due yet
    addLink(c, record(10, hex("01")));  // key 2
    addLink(c, record(20, hex("02")));  // key 3
    clock.advanceMillis(50);
    QList<BroadcastMSG> due;
    ASSERT_TRUE(c.broadcastMsgToSend(&due, clock));
    ASSERT_EQ(due.size(), 2);
    EXPECT_EQ(due.at(0).getBroadcastID(), 2);
    EXPECT_EQ(due.at(1).getBroadcastID(), 3);
    c.clearBroadcastMsgList();
    EXPECT_EQ(toHex(due.at(1).getMsg()), "02");  // the copy outlives the record
}

#ifndef RP1210CORE_SANITIZED
TEST(BroadcastScan, AllocatesNothingWhenNothingIsDue)
{
    FakeClock clock;
    Cliente c(1, PROTOCOLO_CAN, 0, 0, false);
    for (int i = 0; i < Cliente::kMaxBroadcasts; ++i)
        add(c, record(1000, hex("00 01 02 03 04 05 06 07")));
    QList<BroadcastMSG> due;
    auto countedScans = [&](int turns, bool* any) {
        gNewCalls = 0;
        gCountNew = true;
        for (int i = 0; i < turns; ++i)
            *any = c.broadcastMsgToSend(&due, clock) || *any;
        gCountNew = false;
        return gNewCalls;
    };
    bool any = false;
    clock.advanceMillis(500);
    EXPECT_EQ(countedScans(100, &any), 0);
    EXPECT_FALSE(any);
    clock.advanceMillis(600);  // the counter does see the allocations of a due record
    EXPECT_GT(countedScans(1, &any), 0);
    EXPECT_TRUE(any);
}
#endif

// Commands add and remove while the send thread scans and the receive thread reads the
// link record: every operation takes the broadcast lock (clean under TSan).
TEST(BroadcastThreads, ScanViewAndLinkReadRaceFreeWithAddsAndRemoves)
{
    FakeClock clock;
    Cliente c(1, PROTOCOLO_CAN, 0, 0, false);
    std::atomic<bool> stop{false};
    std::atomic<long> scanned{0}, dueSeen{0};
    std::thread scanner([&] {
        QList<BroadcastMSG> due;
        for (; !stop; ++scanned, due.clear()) {
            clock.advanceMillis(1);
            c.broadcastMsgToSend(&due, clock);
            for (const BroadcastMSG& m : due)
                EXPECT_LT(m.getBroadcastID(), Cliente::kMaxBroadcasts);
            dueSeen += due.size();
        }
    });
    std::thread reader([&] {
        QByteArray stored;
        char out[32];
        while (!stop) {
            c.getBroadcastMSG_Link(&stored);
            c.viewBroadcastMSG_Link(out, sizeof out, 0);
            c.broadcastMsgListSize_Link();
        }
    });
    const QByteArray r = record(0, hex("01 02"));
    for (int i = 0; i < 2000; ++i) {
        add(c, r);
        addLink(c, r);
        if (i % 3 == 0)
            c.removeBroadcastMsg(quint8(i % 16));
        if (i % 50 == 0)
            c.clearBroadcastMsgList();
        if (i % 7 == 0)
            c.deleteBrodCastMSGLink();
        if (i % 101 == 0)
            c.valoresPorDefecto();
    }
    EXPECT_TRUE(waitUntil([&] { return dueSeen > 0; }));  // interval-0 records are left
    stop = true;
    scanner.join();
    reader.join();
    EXPECT_GT(scanned.load(), 0);
    EXPECT_LE(c.broadcastMsgListSize(), Cliente::kMaxBroadcasts);
}

}  // namespace
