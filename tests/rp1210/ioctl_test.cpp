// RP1210_Ioctl against a fake adapter.
#include "support/manager_rig.h"

#include <gtest/gtest.h>

#include <future>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr quint8 kGuard = 0x5A;
constexpr int kSlackSeconds = 60;  // clock ticks the test thread may add around a wait

const char* const kIoctlBuilders[] = {
    "GenerarTrama_SET_GET_IOCTL",
    "GenerarTrama_IOCTL_INIT",
    "GenerarTrama_IOCTL_SendPulses",
    "GenerarTrama_IOCTL_BecomeMaster",
    "GenerarTrama_IOCTL_Request_Teardown_Connection_Commands",
};

std::string guards(int n)
{
    return QByteArray(n, char(kGuard)).toHex().toStdString();
}

// A caller's byte array stored in exactly its bytes (plus guards), so an overrun shows.
struct ByteArg {
    ByteArg(const ByteArg&) = delete;
    ByteArg(ByteArg&&) = default;  // the vector keeps its buffer, so BytePtr stays valid
    explicit ByteArg(const char* hexBytes, int extraGuards = 0)
    {
        const QByteArray bytes = QByteArray::fromHex(hexBytes);
        storage.assign(bytes.begin(), bytes.end());
        storage.resize(storage.size() + size_t(extraGuards), kGuard);
        array = SBYTE_ARRAY{quint32(bytes.size()), storage.empty() ? nullptr : storage.data()};
    }
    // An output of the given capacity, all guard bytes, with `guardsAfter` more behind it.
    static ByteArg output(int capacity, int guardsAfter = 4)
    {
        ByteArg a("", capacity + guardsAfter);
        a.array.NumOfBytes = quint32(capacity);
        return a;
    }
    std::string hex() const
    {
        return QByteArray(reinterpret_cast<const char*>(storage.data()), int(storage.size())).toHex().toStdString();
    }

    std::vector<quint8> storage;
    SBYTE_ARRAY array{};
};

class IoctlTest : public ::testing::Test, public ManagerRig {
protected:
    IoctlTest()
    {
        out.answerConnect(RESP_SERV_OK);
        out.answerDisconnect(RESP_SERV_OK);
    }

    // Every ioctl request is answered with `state` in the client's SERV_IOCTL state.
    void answerEveryIoctlWith(int state)
    {
        for (const char* name : kIoctlBuilders)
            out.respond(name, [state](GestorRP1210& gestor, const OutputCall& c) {
                gestor.modificarEstadoServicio(quint8(c.args[0]), SERV_IOCTL, RESPONSES_SERV_RP1210(state));
            });
    }

    int ioctlRequests() const
    {
        int n = 0;
        for (const char* name : kIoctlBuilders)
            n += out.count(name);
        return n;
    }
};

TEST_F(IoctlTest, ClientChecksComeBeforeTheIdentifierAndUnknownIdentifiersGive600)
{
    ASSERT_EQ(connect("J1939"), 1);
    answerEveryIoctlWith(RESP_SERV_OK);  // a wrongly sent request would still end at once
    SCONFIG_LIST list{0, nullptr};
    ByteArg in("01");
    struct Row {
        short client;
        qint32 ioctl;
        void* input;
        short rc;
    };
    const Row rows[] = {
        {0, 1, &list, 129},     {17, 1, &list, 129},   {257, 1, &list, 129},  // 257 is not client 1
        {-1, 1, &list, 129},    {2, 3, nullptr, 148},  {2, 1, nullptr, 148},    {16, 6, nullptr, 148},
        {1, 0, &in.array, 600}, {1, 3, &in.array, 600}, {1, 7, &in.array, 600}, {1, 249, &in.array, 600},
        {1, 256, &in.array, 600}, {1, -1, &in.array, 600}, {1, 0x10001, &in.array, 600},
    };
    for (const Row& r : rows)
        EXPECT_EQ(g.RP1210_Ioctl(r.client, r.ioctl, r.input, &in.array), r.rc) << r.client << "/" << r.ioctl;
    EXPECT_EQ(ioctlRequests(), 0);
}

TEST_F(IoctlTest, MissingPointersGive601AndShortInputs143AndSendNothing)
{
    ASSERT_EQ(connect("J1939"), 1);
    answerEveryIoctlWith(RESP_SERV_OK);  // a wrongly sent request would still end at once
    SCONFIG_LIST noEntries{2, nullptr};
    ByteArg in("01");
    SBYTE_ARRAY noBytes{3, nullptr};
    ByteArg twoBytes("3344");
    ByteArg none("");
    ByteArg outArg = ByteArg::output(4);
    struct Row {
        qint32 ioctl;
        void* input;
        void* output;
        short rc = rp1210rc::NULL_PARAMETER;
    };
    const Row rows[] = {
        {IOCTL_FIVE_BAUD_INIT, &twoBytes.array, &outArg.array, 143},
        {IOCTL_FIVE_BAUD_INIT, &none.array, &outArg.array, 143},
        {IOCTL_SEND_PULSES, &none.array, &outArg.array, 143},
        {1, nullptr, nullptr},        {1, &noEntries, nullptr},       {2, nullptr, nullptr},
        {2, &noEntries, nullptr},     {4, nullptr, &outArg.array},    {4, &in.array, nullptr},
        {4, &noBytes, &outArg.array}, {5, &in.array, nullptr},        {5, nullptr, &outArg.array},
        {6, nullptr, nullptr},        {6, &noBytes, nullptr},         {250, nullptr, nullptr},
        {251, nullptr, nullptr},      {252, &noBytes, nullptr},       {253, nullptr, &outArg.array},
        {254, nullptr, &outArg.array}, {255, &in.array, nullptr},     {255, nullptr, &outArg.array},
        {255, &noBytes, &outArg.array},
    };
    for (const Row& r : rows)
        EXPECT_EQ(g.RP1210_Ioctl(1, r.ioctl, r.input, r.output), r.rc) << r.ioctl;
    EXPECT_EQ(ioctlRequests(), 0);
    EXPECT_EQ(outArg.hex(), guards(8));
}

TEST_F(IoctlTest, InitNoWaitReturnsAtOnce)
{
    ASSERT_EQ(connect("J1939"), 1);
    g.getCliente(1)->setServiceRequestState(SERV_IOCTL, RESPONSES_SERV_RP1210(7));
    ByteArg in("c133f1");
    const auto [rc, seconds] = runWhileClockMoves([&] { return g.RP1210_Ioctl(1, IOCTL_INIT_NO_WAIT, &in.array, nullptr); });
    EXPECT_EQ(rc, 0);
    EXPECT_LT(seconds, 6);
    const auto calls = out.calls("GenerarTrama_IOCTL_INIT");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].args, (std::vector<int>{1, PROTOCOLO_J1939, IOCTL_INIT_NO_WAIT}));
    EXPECT_EQ(calls[0].data.toHex().toStdString(), "c133f1");
    EXPECT_EQ(g.getCliente(1)->getServiceRequestState(SERV_IOCTL), 7);  // no request state was set
}

TEST_F(IoctlTest, GetConfigFillsEveryEntryAndUnansweredOnesWithZero)
{
    ASSERT_EQ(connect("J1939"), 1);
    out.respond("GenerarTrama_SET_GET_IOCTL", [](GestorRP1210& gestor, const OutputCall& c) {
        gestor.actualizar_GET_IOCTL_Params(quint8(c.args[0]), {5, 100, 7, 200});
    });
    std::vector<SCONFIG> entries = {{5, 0xDEADBEEF}, {9, 0xDEADBEEF}, {7, 0xDEADBEEF}};
    SCONFIG_LIST list{quint32(entries.size()), entries.data()};
    EXPECT_EQ(g.RP1210_Ioctl(1, IOCTL_GET_CONFIG, &list, nullptr), 0);
    EXPECT_EQ(entries[0].Value, 100u);
    EXPECT_EQ(entries[1].Value, 0u);
    EXPECT_EQ(entries[2].Value, 200u);
    EXPECT_EQ(out.calls("GenerarTrama_SET_GET_IOCTL").back().args,
              (std::vector<int>{1, PROTOCOLO_J1939, IOCTL_GET_CONFIG, 3}));

    SCONFIG_LIST empty{0, nullptr};  // needs no entries
    EXPECT_EQ(g.RP1210_Ioctl(1, IOCTL_GET_CONFIG, &empty, nullptr), 0);
}

TEST_F(IoctlTest, AnswerStatesAreMappedPerIdentifier)
{
    ASSERT_EQ(connect("J1939"), 1);
    struct Row {
        qint32 ioctl;
        int state;
        short rc;
    };
    const Row rows[] = {
        {1, 1, 511},   {1, 3, 136},   {2, 0, 0},     {2, 1, 143},   {2, 3, 136},   {4, 14, 141}, {5, 1, 511},
        {250, 1, 0},   {251, 1, 0},   {252, 1, 0},   {252, 0, 0},   {251, 3, 136}, {253, 1, 143}, {253, 0, 0},
        {254, 1, 511}, {254, 0, 0},   {254, 11, 143}, {255, 5, 515}, {6, 1, 0},
    };
    std::vector<SCONFIG> entries = {{5, 0xDEADBEEF}};
    SCONFIG_LIST list{1, entries.data()};
    for (const Row& r : rows) {
        answerEveryIoctlWith(r.state);
        ByteArg in(r.ioctl == IOCTL_SEND_PULSES ? "010001" : "33");
        ByteArg outArg = ByteArg::output(4);
        void* input = r.ioctl <= IOCTL_SET_CONFIG ? static_cast<void*>(&list) : static_cast<void*>(&in.array);
        EXPECT_EQ(g.RP1210_Ioctl(1, r.ioctl, input, &outArg.array), r.rc) << r.ioctl << "/" << r.state;
        // A failed ioctl leaves the caller's records alone.
        EXPECT_EQ(outArg.hex(), guards(8)) << r.ioctl;
        EXPECT_EQ(outArg.array.NumOfBytes, 4u) << r.ioctl;
        EXPECT_EQ(entries[0].Value, 0xDEADBEEFu) << r.ioctl;
        out.drainAnswers();
    }
}

TEST_F(IoctlTest, AnswersAreCopiedWithinTheCallersCapacity)
{
    ASSERT_EQ(connect("J1939"), 1);
    struct Row {
        qint32 ioctl;
        const char* answer;
        int capacity;
        bool nullBytes;
        short rc;
        quint32 count;
        std::string buffer;  // capacity bytes plus 4 guards
    };
    const Row rows[] = {
        {4, "1122", 4, false, 0, 2, "11225a5a" + guards(4)},
        {5, "01020304", 4, false, 0, 4, "01020304" + guards(4)},
        {5, "010203040506", 4, false, 141, 4, "01020304" + guards(4)},
        {5, "", 4, false, 0, 0, guards(8)},
        {255, "aabbcc", 2, false, 141, 2, "aabb" + guards(4)},
        {255, "aabbcc", 3, false, 0, 3, "aabbcc" + guards(4)},
        {5, "0102", 8, true, 141, 0, guards(12)},  // no byte pointer: no room at all
        {4, "", 0, true, 0, 0, guards(4)},
    };
    for (const Row& r : rows) {
        const QByteArray answer = QByteArray::fromHex(r.answer);
        out.respond("GenerarTrama_IOCTL_INIT", [answer](GestorRP1210& gestor, const OutputCall& c) {
            gestor.actualizar_FAST_INIT_AND_FIVE_BAUD_INIT_MSG(quint8(c.args[0]), answer, quint32(c.args[2]));
        });
        out.respond("GenerarTrama_IOCTL_SendPulses", [answer](GestorRP1210& gestor, const OutputCall& c) {
            gestor.actualizar_SendPulsesInit_MSG(quint8(c.args[0]), answer);
        });
        ByteArg in(r.ioctl == IOCTL_SEND_PULSES ? "010000" : "33");
        ByteArg outArg = ByteArg::output(r.capacity);
        if (r.nullBytes)
            outArg.array.BytePtr = nullptr;
        EXPECT_EQ(g.RP1210_Ioctl(1, r.ioctl, &in.array, &outArg.array), r.rc) << r.ioctl << " " << r.answer;
        EXPECT_EQ(outArg.array.NumOfBytes, r.count) << r.ioctl << " " << r.answer;
        EXPECT_EQ(outArg.hex(), r.buffer) << r.ioctl << " " << r.answer;
        out.drainAnswers();
    }
}

TEST_F(IoctlTest, SilentAdapterGives142AfterEachIdentifiersLimit)
{
    ASSERT_EQ(connect("J1939"), 1);
    SCONFIG_LIST list{0, nullptr};
    struct Row {
        qint32 ioctl;
        int limit;
    };
    const Row rows[] = {{1, 6}, {2, 7}, {4, 8}, {5, 6}, {250, 6}, {251, 6}, {252, 6}, {253, 6}, {254, 6}, {255, 6}};
    for (const Row& r : rows) {
        ByteArg in(r.ioctl == IOCTL_SEND_PULSES ? "010000" : "33");
        ByteArg outArg = ByteArg::output(4);
        void* input = r.ioctl <= IOCTL_SET_CONFIG ? static_cast<void*>(&list) : static_cast<void*>(&in.array);
        const auto [rc, seconds] = runWhileClockMoves([&] { return g.RP1210_Ioctl(1, r.ioctl, input, &outArg.array); });
        EXPECT_EQ(rc, rp1210rc::HARDWARE_NOT_RESPONDING) << r.ioctl;
        EXPECT_GE(seconds, r.limit) << r.ioctl;
        EXPECT_LT(seconds, r.limit + kSlackSeconds) << r.ioctl;
        EXPECT_EQ(outArg.hex(), guards(8)) << r.ioctl;
        EXPECT_EQ(g.getCliente(1)->getServiceRequestState(SERV_IOCTL), RESP_SERV_PENDING);
    }
}

TEST_F(IoctlTest, SendPulsesWaitsSixSecondsPlusThePulseTotal)
{
    ASSERT_EQ(connect("J1939"), 1);
    struct Row {
        const char* input;
        int limit;
    };
    const Row rows[] = {
        {"0201f40064", 6 + 500 + 100},  // count in byte 0, values from byte 1
        {"0001000a", 6 + 10},           // zero byte 0: count in byte 1, values from byte 2
        {"0000", 6},                    // zero pulses
        {"05000a", 6 + 10},             // claims five values, holds one: only that one is read
        {"0100", 6},                    // half a value is not read
        {"00", 6},                      // no count byte
    };
    ByteArg outArg = ByteArg::output(4);
    for (const Row& r : rows) {
        ByteArg in(r.input);  // exactly the input's bytes
        const auto [rc, seconds] =
            runWhileClockMoves([&] { return g.RP1210_Ioctl(1, IOCTL_SEND_PULSES, &in.array, &outArg.array); });
        EXPECT_EQ(rc, rp1210rc::HARDWARE_NOT_RESPONDING) << r.input;
        EXPECT_GE(seconds, r.limit) << r.input;
        EXPECT_LT(seconds, r.limit + kSlackSeconds) << r.input;
        EXPECT_EQ(out.calls("GenerarTrama_IOCTL_SendPulses").back().data.toHex().toStdString(), r.input);
    }
}

TEST_F(IoctlTest, DisconnectDuringTheWaitEndsItWith148)
{
    ASSERT_EQ(connect("J1939"), 1);
    ByteArg in("01ffff");  // a wait of more than 18 hours
    ByteArg outArg = ByteArg::output(4);
    auto ioctl = std::async(std::launch::async,
                            [&] { return g.RP1210_Ioctl(1, IOCTL_SEND_PULSES, &in.array, &outArg.array); });
    ASSERT_TRUE(out.waitForCount("GenerarTrama_IOCTL_SendPulses", 1));
    EXPECT_EQ(g.RP1210_ClientDisconnect(1), 0);
    const bool ended = ioctl.wait_for(5s) == std::future_status::ready;
    if (!ended)
        clock.advanceSeconds(70000);  // let the stuck wait time out so the test can fail cleanly
    EXPECT_TRUE(ended);
    EXPECT_EQ(ioctl.get(), rp1210rc::CLIENT_DISCONNECTED);
    EXPECT_EQ(outArg.hex(), guards(8));
}

}  // namespace
