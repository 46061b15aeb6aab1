// RP1210_Ioctl on the wire of the fake adapter.
#include "wire_rig.h"

namespace {

using namespace std::chrono_literals;

std::string guards(int n) { return toHex(QByteArray(n, 'Z')); }

// A caller's byte array in exactly its bytes, then guards, so an overrun shows.
struct ByteArg {
    explicit ByteArg(const char* bytesHex, int guardsAfter = 0) : storage(exactCopy(hex(bytesHex)))
    {
        array.NumOfBytes = quint32(storage.size());
        storage.resize(storage.size() + size_t(guardsAfter), 'Z');
        array.BytePtr = storage.empty() ? nullptr : reinterpret_cast<quint8*>(storage.data());
    }
    static ByteArg output(int capacity)  // all guards, with 4 more behind the capacity
    {
        ByteArg a("", capacity + 4);
        a.array.NumOfBytes = quint32(capacity);
        return a;
    }
    std::string bytes() const { return toHex(QByteArray(storage.data(), int(storage.size()))); }
    std::vector<char> storage;
    SBYTE_ARRAY array{};
};

class IoctlTest : public ::testing::Test, public WireRig {
protected:
    IoctlTest() { EXPECT_EQ(connect("J1939"), 1); }
    // The adapter answers every ioctl with its client, sub and the data.
    void answerWith(const char* dataHex)
    {
        const QByteArray data = hex(dataHex);
        onService(13, [data](const QByteArray& w) { return QList<QByteArray>{w.left(5) + hex("00000000") + data}; });
    }
    void* inputFor(qint32 ioctl, ByteArg& in) { return ioctl <= IOCTL_SET_CONFIG ? (void*)&list : (void*)&in.array; }

    std::vector<SCONFIG> entries = {{5, 0xDEADBEEF}};
    SCONFIG_LIST list{1, entries.data()};
};

TEST_F(IoctlTest, ChecksComeFirstAndSendNothing)
{
    answerWith("");  // a wrongly sent request would still end at once
    SCONFIG_LIST noEntries{2, nullptr};
    SBYTE_ARRAY noBytes{3, nullptr};
    ByteArg one("01"), two("3344"), none(""), out = ByteArg::output(4);
    SBYTE_ARRAY *in = &one.array, *o = &out.array;
    const std::tuple<short, qint32, void*, void*, short> rows[] = {
        // client checks before the identifier (257 is not client 1); unknown identifiers
        {0, 1, &list, o, 129}, {17, 1, &list, o, 129}, {257, 1, &list, o, 129}, {2, 1, nullptr, o, 148},
        {1, 0, in, o, 600}, {1, 3, in, o, 600}, {1, 7, in, o, 600}, {1, 249, in, o, 600}, {1, 256, in, o, 600},
        {1, 0x10001, in, o, 600},
        // missing pointers or entries
        {1, 1, nullptr, o, 601}, {1, 1, &noEntries, o, 601}, {1, 2, &noEntries, o, 601}, {1, 4, nullptr, o, 601},
        {1, 4, in, nullptr, 601}, {1, 4, &noBytes, o, 601}, {1, 5, in, nullptr, 601}, {1, 6, &noBytes, o, 601},
        {1, 250, nullptr, o, 601}, {1, 252, &noBytes, o, 601}, {1, 253, nullptr, o, 601}, {1, 254, nullptr, o, 601},
        {1, 255, in, nullptr, 601}, {1, 255, &noBytes, o, 601},
        // five-baud takes one address byte; pulses need a description
        {1, 4, &two.array, o, 143}, {1, 4, &none.array, o, 143}, {1, 255, &none.array, o, 143}};
    const int from = mark();
    for (const auto& [client, ioctl, input, output, rc] : rows)
        EXPECT_EQ(g.RP1210_Ioctl(client, ioctl, input, output), rc) << client << "/" << ioctl;
    EXPECT_EQ(count(-1, from), 0);
    EXPECT_EQ(out.bytes(), guards(8));
}

TEST_F(IoctlTest, RequestsAndAnswersOnTheWire)
{
    // No wait: sent, and no request state set.
    g.getCliente(1)->setServiceRequestState(SERV_IOCTL, RESPONSES_SERV_RP1210(7));
    ByteArg init("c133f1");
    EXPECT_EQ(withoutWait([&] { return g.RP1210_Ioctl(1, IOCTL_INIT_NO_WAIT, &init.array, nullptr); }), 0);
    EXPECT_EQ(wire(13).back(), "04 0d 01 10 06 00 00 00 03 c1 33 f1");
    EXPECT_EQ(g.getCliente(1)->getServiceRequestState(SERV_IOCTL), 7);
    // Get-config fills every entry, one the answer did not name with 0; an empty list is fine.
    answerWith("00000005 00000064 00000007 000000c8");
    entries = {{5, 0xDEADBEEF}, {9, 0xDEADBEEF}, {7, 0xDEADBEEF}};
    list = {3, entries.data()};
    EXPECT_EQ(g.RP1210_Ioctl(1, IOCTL_GET_CONFIG, &list, nullptr), 0);
    EXPECT_EQ((std::vector<quint32>{entries[0].Value, entries[1].Value, entries[2].Value}), (std::vector<quint32>{100, 0, 200}));
    EXPECT_EQ(wire(13).back(), "04 0d 01 10 01 00 00 00 03 00 00 00 05 00 00 00 09 00 00 00 07");
    list.NumOfParams = 0;
    EXPECT_EQ(g.RP1210_Ioctl(1, IOCTL_GET_CONFIG, &list, nullptr), 0);
}

TEST_F(IoctlTest, AnswerStatesAreMappedPerIdentifier)
{
    const std::tuple<qint32, int, short> rows[] = {
        {1, 1, 511},   {1, 3, 136},   {2, 0, 0},   {2, 1, 143},   {4, 14, 141}, {5, 1, 511},    {250, 1, 0},
        {251, 3, 136}, {252, 1, 0},   {253, 1, 143}, {253, 0, 0}, {254, 1, 511}, {254, 11, 143}, {255, 5, 515},
        {6, 1, 0}};
    for (const auto& [ioctlId, state, rc] : rows) {
        const qint32 ioctl = ioctlId;
        // The state in the client's ioctl slot, which no answer frame carries.
        onService(13, [this, s = state](const QByteArray& w) {
            g.modificarEstadoServicio(quint8(w[2]), SERV_IOCTL, RESPONSES_SERV_RP1210(s));
            return QList<QByteArray>();
        });
        ByteArg in(ioctl == IOCTL_SEND_PULSES ? "010001" : "33"), out = ByteArg::output(4);
        EXPECT_EQ(g.RP1210_Ioctl(1, ioctl, inputFor(ioctl, in), &out.array), rc) << ioctl << "/" << state;
        // A failed ioctl leaves the caller's records alone.
        EXPECT_EQ(out.bytes() + " " + std::to_string(out.array.NumOfBytes), guards(8) + " 4") << ioctl;
        EXPECT_EQ(entries[0].Value, 0xDEADBEEFu) << ioctl;
        link.waitUntilIdle();
    }
}

TEST_F(IoctlTest, AnswersAreCopiedWithinTheCallersCapacity)
{
    const std::tuple<qint32, const char*, int, short, quint32, std::string> rows[] = {
        // capacity -1: no byte pointer, no room at all; the buffer: capacity plus 4 guards
        {4, "1122", 4, 0, 2, "11 22 5a 5a " + guards(4)},       {5, "01020304", 4, 0, 4, "01 02 03 04 " + guards(4)},
        {5, "010203040506", 4, 141, 4, "01 02 03 04 " + guards(4)}, {5, "", 4, 0, 0, guards(8)},
        {255, "aabbcc", 2, 141, 2, "aa bb " + guards(4)},         {5, "0102", -1, 141, 0, guards(4)},
        {4, "", -1, 0, 0, guards(4)}};
    for (const auto& [ioctl, answer, capacity, rc, count, buffer] : rows) {
        answerWith(answer);
        ByteArg in(ioctl == IOCTL_SEND_PULSES ? "010000" : "33"), out = ByteArg::output(std::max(capacity, 0));
        if (capacity < 0)
            out.array = SBYTE_ARRAY{8, nullptr};
        EXPECT_EQ(g.RP1210_Ioctl(1, ioctl, &in.array, &out.array), rc) << ioctl << " " << answer;
        EXPECT_EQ(out.bytes() + " / " + std::to_string(out.array.NumOfBytes), buffer + " / " + std::to_string(count));
    }
}

TEST_F(IoctlTest, SilentAdapterGives142AfterEachIdentifiersLimit)
{
    // Pulses: 6 s plus their total; a zero byte 0 puts the count in byte 1; only whole values count.
    const std::tuple<qint32, const char*, int> rows[] = {
        {1, "33", 6},   {2, "33", 7},   {4, "33", 8},   {5, "33", 6},  {250, "33", 6}, {253, "33", 6},
        {254, "33", 6}, {255, "02000a0005", 6 + 10 + 5}, {255, "0001000a", 6 + 10}, {255, "05000a", 6 + 10},
        {255, "0100", 6}, {255, "00", 6}};
    for (const auto& [ioctlId, input, limit] : rows) {
        const qint32 ioctl = ioctlId;  // a lambda cannot capture a structured binding
        ByteArg in(input), out = ByteArg::output(4);
        const auto [rc, seconds] = runWhileClockMoves([&] { return g.RP1210_Ioctl(1, ioctl, inputFor(ioctl, in), &out.array); });
        EXPECT_TRUE(rc == rp1210rc::HARDWARE_NOT_RESPONDING && seconds >= limit && seconds < limit + 60)
            << ioctl << " " << input << ": " << rc << " after " << seconds;
        EXPECT_EQ(out.bytes(), guards(8)) << ioctl;
        EXPECT_EQ(g.getCliente(1)->getServiceRequestState(SERV_IOCTL), RESP_SERV_PENDING);
    }
    EXPECT_EQ(wire(13).back(), "04 0d 01 10 ff 00 00 00 01 00");  // the caller's bytes go out
    // A disconnect ends the wait with 148.
    ByteArg in("01ffff"), out = ByteArg::output(4);  // a wait of more than 18 hours
    auto ioctl = std::async(std::launch::async, [&] { return g.RP1210_Ioctl(1, IOCTL_SEND_PULSES, &in.array, &out.array); });
    ASSERT_TRUE(waitUntil([&] { return count(13) == int(std::size(rows)) + 1; }));
    EXPECT_EQ(g.RP1210_ClientDisconnect(1), 0);
    if (ioctl.wait_for(5s) != std::future_status::ready) {
        ADD_FAILURE() << "the disconnect did not end the wait";
        clock.advanceSeconds(70000);  // let it time out so the test fails cleanly
    }
    EXPECT_EQ(ioctl.get(), rp1210rc::CLIENT_DISCONNECTED);
    EXPECT_EQ(out.bytes(), guards(8));
}

}  // namespace
