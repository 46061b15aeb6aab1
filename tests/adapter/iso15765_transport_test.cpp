// ISO-TP engine: messages between two engines back to back (sizes, addressing, block size,
// separation, padding), scripted peers for timeouts, aborts and untrusted frames.
#include "adapter/iso15765_transport.h"
#include "support/bytes.h"

#include <QList>

#include <gtest/gtest.h>

#include <random>

using namespace rp1210core::adapter;
using rp1210core::bus::CanFrame;

namespace {

IsoTpConnectionConfig config(bool ext29, bool extAddressing, quint8 bs = 0, quint8 stMin = 0, bool pad = true,
                             quint8 txStMin = 0)
{
    return {ext29, extAddressing, ext29 ? 0x18DAF110u : 0x7E8u, ext29 ? 0x18DA10F1u : 0x7E0u, 0xF1, 0x10, bs, stMin,
            txStMin, pad, 0xAA};
}

IsoTpConnectionConfig mirrored(IsoTpConnectionConfig c)
{
    std::swap(c.incomingId, c.outgoingId);
    std::swap(c.incomingAddress, c.outgoingAddress);
    return c;
}

struct Side {
    IsoTpEngine engine;
    int handle = -1;
    IsoTpOutput out;
    std::vector<std::pair<qint64, IsoTpEvent>> events;  // with the time they came out
    std::vector<CanFrame> sent;
};

// Two engines on a lossless bus; time jumps from deadline to deadline, so nothing sleeps.
struct Link {
    Side a, b;
    qint64 now = 0;

    explicit Link(const IsoTpConnectionConfig& ca)
    {
        a.handle = a.engine.addConnection(ca);
        b.handle = b.engine.addConnection(mirrored(ca));
    }

    bool quiet() const
    {
        return a.out.frames.empty() && b.out.frames.empty() && a.out.events.empty() && b.out.events.empty();
    }

    void deliver(Side& from, Side& to)
    {
        std::vector<CanFrame> frames;
        frames.swap(from.out.frames);
        for (CanFrame f : frames) {
            from.sent.push_back(f);
            f.timestampUs = now * 1000;
            to.engine.receive(f, now, to.out);
        }
        for (auto& e : from.out.events)
            from.events.emplace_back(now, std::move(e));
        from.out.events.clear();
    }

    void run(qint64 until = 1000000)
    {
        for (;;) {
            for (; !quiet(); deliver(b, a))
                deliver(a, b);
            const qint64 da = a.engine.nextDeadline(), db = b.engine.nextDeadline();
            const qint64 next = da < 0 ? db : (db < 0 ? da : std::min(da, db));
            if (next < 0 || next > until)
                return;
            now = std::max(now, next);
            a.engine.poll(now, a.out);
            b.engine.poll(now, b.out);
            if (quiet()) {
                ADD_FAILURE() << "a deadline at " << next << " did nothing when due";
                return;
            }
        }
    }
};

TEST(IsoTp, MessagesCrossBothWaysAtOnce)
{
    const struct {
        int size;
        bool ext29, extAddressing;
        quint8 bs, stMin;
        bool pad;
        quint8 txStMin;
        int frames, flowControls;  // per direction
        qint64 lastMs;             // when the last frame goes out
        int lastLength;            // of the last data frame
    } rows[] = {
        {1, false, false, 0, 0, true, 0, 1, 0, 0, 8},          {7, false, false, 0, 0, false, 0, 1, 0, 0, 8},
        {3, true, true, 0, 0, false, 0, 1, 0, 0, 5},           {6, false, true, 0, 0, true, 0, 1, 0, 0, 8},
        {7, false, true, 0, 0, false, 0, 2, 1, 0, 4},          {8, false, false, 0, 0, false, 0, 2, 1, 0, 3},
        {4095, true, false, 2, 0, false, 0, 586, 293, 0, 2},   {4095, true, true, 8, 1, true, 0, 683, 86, 596, 8},
        {100, false, false, 0, 0xF5, true, 0, 15, 1, 13, 8},   {100, false, false, 0, 0, true, 3, 15, 1, 39, 8},
        {100, false, false, 0, 0x80, true, 0, 15, 1, 13 * 127, 8},
        {100, false, false, 3, 5, true, 2, 15, 5, 5 * (13 - 4), 8},  // blocks of 3: four gaps are FCs
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << "size " << r.size << " bs " << int(r.bs) << " stmin " << int(r.stMin));
        const IsoTpConnectionConfig ca = config(r.ext29, r.extAddressing, r.bs, r.stMin, r.pad, r.txStMin);
        Link link(ca);
        const QByteArray toB = pattern(r.size, 1), toA = pattern(r.size, 7);
        ASSERT_EQ(link.a.engine.send(link.a.handle, ubytes(toB), toB.size(), 0, link.a.out), IsoTpEngine::Ok);
        ASSERT_EQ(link.b.engine.send(link.b.handle, ubytes(toA), toA.size(), 0, link.b.out), IsoTpEngine::Ok);
        link.run();
        for (Side* s : {&link.a, &link.b}) {
            const IsoTpConnectionConfig own = s == &link.a ? ca : mirrored(ca);
            ASSERT_EQ(s->events.size(), 2u);
            for (const auto& [at, e] : s->events) {
                EXPECT_EQ(at, r.lastMs);
                EXPECT_NE(e.kind, IsoTpEventKind::Failed);
                if (e.kind == IsoTpEventKind::Received) {
                    EXPECT_EQ(e.data, s == &link.a ? toA : toB);
                    EXPECT_EQ(e.timestampUs, r.lastMs * 1000);
                }
            }
            EXPECT_NE(s->events[0].second.kind, s->events[1].second.kind);
            EXPECT_EQ(int(s->sent.size()), r.frames + r.flowControls);
            int flowControls = 0, lastLength = -1;
            for (const CanFrame& f : s->sent) {
                EXPECT_TRUE(f.id == own.outgoingId && f.extended == r.ext29);
                EXPECT_TRUE(!r.extAddressing || f.data[0] == own.outgoingAddress);
                if ((f.data[r.extAddressing ? 1 : 0] & 0xF0) == 0x30)
                    ++flowControls;
                else
                    lastLength = f.length;
            }
            EXPECT_EQ(flowControls, r.flowControls);
            EXPECT_EQ(lastLength, r.lastLength);
        }
        EXPECT_EQ(link.a.engine.droppedFrames() + link.b.engine.droppedFrames(), 0u);
    }
}

// One engine against a scripted peer. Steps are separated by '|': "@t" polls at time t,
// "@t send n" first sends n bytes, "@t <hex>" first receives that frame (its length as
// written, even over 8). The one event expected must come at exactly step `eventStep`.
TEST(IsoTp, ScriptedPeers)
{
    constexpr auto Rx = IsoTpEventKind::Received, F = IsoTpEventKind::Failed;
    constexpr auto None = IsoTpFailure::None, Timeout = IsoTpFailure::Timeout;
    const char* const ff = "@0 10 14 01 02 03 04 05 06";  // announces 20 bytes
    const char* const fc = "30 00 00 aa aa aa aa aa";
    const struct {
        std::string script;
        bool extAddressing;
        quint64 dropped;
        int eventStep = -1;  // -1: none
        IsoTpEventKind kind = F;
        IsoTpFailure failure = None;
        bool sending = false;
        int receivedSize = 0;
        const char* lastFrame = nullptr;  // the engine's last frame; nullptr: no check
    } rows[] = {
        {"@0 send 20|@900 31 00 00|@1000|@1899|@1900", false, 0, 4, F, Timeout, true},  // WAIT
        {"@0 send 20|@10 30 01 00|@1009|@1010", false, 0, 3, F, Timeout, true, 0, "21 07 08 09 0a 0b 0c 0d"},
        {"@0 send 20|@5 32 00 00", false, 0, 1, F, IsoTpFailure::Overflow, true},
        {"@0 send 20|@5 36 00 00", false, 0, 1, F, IsoTpFailure::InvalidFlowStatus, true},
        {std::string(ff) + "|@999|@1000", false, 0, 2, F, Timeout, false, 0, fc},
        {std::string(ff) + "|@800 21 07 08 09 0a 0b 0c 0d|@1000|@1800", false, 0, 3, F, Timeout},
        {std::string(ff) + "|@1 22 07 08 09 0a 0b 0c 0d|@2 21 07", false, 1, 1, F, IsoTpFailure::WrongSequence},
        // a new first frame restarts the reception; a single frame ends it
        {std::string(ff) + "|@1 21 07 08 09 0a 0b 0c 0d|@2 10 08 01 02 03 04 05 06|@3 21 07 08", false, 0, 3, Rx, None,
         false, 8, fc},
        {std::string(ff) + "|@1 03 01 02 03|@2 21 07 08 09 0a 0b 0c 0d|@3000", false, 1, 1, Rx, None, false, 3},
        {"@0 10 00 00 00 10 00 01 02", false, 0, 0, F, IsoTpFailure::TooLong, false, 0, "32 00 00 aa aa aa aa aa"},
        {std::string(ff) + "|@1 21 07 08|@1000", false, 1, 2, F, Timeout},  // short CF ignored
        {std::string(ff) + "|@1 30 00 00|@1000", false, 1, 2, F, Timeout, false, 0, fc},  // FC while not sending
        {"@0 -", false, 1},  // empty frame
        {"@0 01 02 03 04 05 06 07 08 09", false, 1},
        {"@0 00 01", false, 1},
        {"@0 08 01 02 03 04 05 06 07", false, 1},
        {"@0 05 01 02", false, 1},
        {"@0 10 14 01 02", false, 1},
        {"@0 10 07 01 02 03 04 05 06", false, 1},  // fits a single frame
        {"@0 21 01 02|@1 30 00 00|@2 40 00 00", false, 3},
        {"@0 f1|@0 f2 03 01 02 03|@0 f1 07 01 02 03 04 05 06|@0 f1 10 06 01 02 03 04 05", true, 4},
        {"@0 f1 10 07 01 02 03 04 05|@1 f1 21 06 07", true, 0, 1, Rx, None, false, 7},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.script);
        IsoTpEngine engine;
        const IsoTpConnectionConfig c = config(false, r.extAddressing);
        const int handle = engine.addConnection(c);
        IsoTpOutput out;
        std::vector<CanFrame> frames;
        const QList<QByteArray> steps = QByteArray::fromStdString(r.script).split('|');
        for (int i = 0; i < steps.size(); ++i) {
            const QByteArray step = steps[i].trimmed();
            const int space = step.indexOf(' ');
            const qint64 at = step.mid(1, space < 0 ? -1 : space - 1).toLongLong();
            const QByteArray rest = space < 0 ? QByteArray() : step.mid(space + 1);
            if (rest.startsWith("send ")) {
                const QByteArray payload = pattern(rest.mid(5).toInt(), 1);
                ASSERT_EQ(engine.send(handle, ubytes(payload), payload.size(), at, out), IsoTpEngine::Ok);
            } else if (space >= 0) {
                const QByteArray bytes = hex(rest.constData());
                CanFrame f = CanFrame::make(c.incomingId, c.extendedId, ubytes(bytes), bytes.size());
                f.length = quint8(bytes.size());
                engine.receive(f, at, out);
            }
            engine.poll(at, out);
            frames.insert(frames.end(), out.frames.begin(), out.frames.end());
            out.frames.clear();
            ASSERT_EQ(out.events.size(), i < r.eventStep || r.eventStep < 0 ? 0u : 1u) << "after step " << i;
        }
        if (r.eventStep >= 0) {
            const IsoTpEvent& e = out.events.front();
            EXPECT_TRUE(e.kind == r.kind && e.failure == r.failure && e.sending == r.sending);
            EXPECT_EQ(e.data, pattern(r.receivedSize, 1));
        }
        EXPECT_EQ(engine.nextDeadline(), -1);
        EXPECT_EQ(engine.droppedFrames(), r.dropped);
        if (r.lastFrame != nullptr) {
            ASSERT_FALSE(frames.empty());
            const CanFrame& last = frames.back();
            EXPECT_EQ(toHex(QByteArray(reinterpret_cast<const char*>(last.data.data()), last.length)),
                      toHex(hex(r.lastFrame)));
        }
    }
}

TEST(IsoTp, ConnectionsAreCheckedAndFoundByTheirAddressing)
{
    IsoTpEngine engine;
    IsoTpConnectionConfig other = config(false, true);
    other.outgoingId = 0x800;
    EXPECT_EQ(engine.addConnection(other), IsoTpEngine::ErrBadConfig);
    const int normal = engine.addConnection(config(false, false));
    ASSERT_GE(normal, 0);
    EXPECT_EQ(engine.addConnection(config(false, false)), IsoTpEngine::ErrDuplicate);
    EXPECT_EQ(engine.addConnection(config(false, true)), IsoTpEngine::ErrDuplicate);
    EXPECT_GE(engine.addConnection(config(true, false)), 0);  // 29-bit: another identifier
    other.incomingId = other.outgoingId = 0x600;
    EXPECT_GE(engine.addConnection(other), 0);
    other.incomingAddress = 0x22;
    const int second = engine.addConnection(other);
    EXPECT_GE(second, 0);
    EXPECT_EQ(engine.addConnection(other), IsoTpEngine::ErrDuplicate);

    IsoTpOutput out;
    const quint8 toSecond[] = {0x22, 0x02, 0xAB, 0xCD};
    engine.receive(CanFrame::make(0x600, false, toSecond, 4), 0, out);
    engine.receive(CanFrame::make(0x7E8, true, toSecond + 1, 3), 0, out);  // same number, other width
    ASSERT_EQ(out.events.size(), 1u);
    EXPECT_TRUE(out.events[0].connection == second && out.events[0].data == hex("ab cd"));
    EXPECT_EQ(engine.droppedFrames(), 1u);

    const QByteArray big = pattern(IsoTpEngine::kMaxMessage + 1);
    EXPECT_EQ(engine.send(normal, ubytes(big), big.size(), 0, out), IsoTpEngine::ErrTooLong);
    EXPECT_EQ(engine.send(normal, ubytes(big), 0, 0, out), IsoTpEngine::ErrEmpty);
    EXPECT_EQ(engine.send(99, ubytes(big), 8, 0, out), IsoTpEngine::ErrUnknownConnection);
    EXPECT_EQ(engine.send(normal, ubytes(big), 8, 0, out), IsoTpEngine::Ok);
    EXPECT_EQ(engine.send(normal, ubytes(big), 8, 0, out), IsoTpEngine::ErrBusy);
    EXPECT_EQ(engine.removeConnection(normal), IsoTpEngine::Ok);
    EXPECT_EQ(engine.nextDeadline(), -1);
    EXPECT_GE(engine.addConnection(config(false, false)), 0);

    EXPECT_TRUE(IsoTpEngine::stMinMs(0xF1) == 1 && IsoTpEngine::stMinMs(0xF9) == 1);
    EXPECT_TRUE(IsoTpEngine::stMinMs(0xF0) == 127 && IsoTpEngine::stMinMs(0xFA) == 127);
}

// Random frames, biased towards valid headers, into two engines in the middle of
// exchanges; the sanitizers watch the reads, the test the outputs.
TEST(IsoTp, RandomFramesKeepTheEngineSound)
{
    std::mt19937 rng(15765);
    for (bool extAddressing : {false, true}) {
        const IsoTpConnectionConfig c = config(false, extAddressing, 2, 0, false);
        Link link(c);
        const QByteArray payload = pattern(300);
        for (int round = 0; round < 20000; ++round) {
            Side& s = rng() % 2 ? link.a : link.b;
            if (rng() % 50 == 0)
                s.engine.send(s.handle, ubytes(payload), int(rng() % 300) + 1, link.now, s.out);
            quint8 bytes[8];
            for (quint8& b : bytes)
                b = quint8(rng());
            if (extAddressing && rng() % 4 != 0)
                bytes[0] = &s == &link.a ? 0xF1 : 0x10;
            bytes[extAddressing ? 1 : 0] = quint8((rng() % 5) << 4 | (rng() % 3 ? (rng() % 3) : (rng() % 16)));
            CanFrame f = CanFrame::make(&s == &link.a ? c.incomingId : c.outgoingId, false, bytes, int(rng() % 9));
            if (rng() % 200 == 0)
                f.length = quint8(rng());
            s.engine.receive(f, link.now, s.out);
            link.now += rng() % 300;
            link.run(link.now);
        }
        for (Side* s : {&link.a, &link.b}) {
            for (const CanFrame& f : s->sent)
                ASSERT_LE(f.length, 8);
            for (const auto& entry : s->events)
                ASSERT_LE(entry.second.data.size(), IsoTpEngine::kMaxMessage);
            EXPECT_GT(s->engine.droppedFrames(), 0u);
        }
    }
}

}  // namespace
