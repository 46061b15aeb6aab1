// The stress test's parts: its load, the threads' positions and the watchdog over them,
// the numbering node on the bus, and the clients whose messages are accounted for.
#pragma once

#include "adapter/j1939_id.h"
#include "bus/sim_engine_ecu.h"
#include "support/vehicle_rig.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <QByteArray>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#if defined(__SANITIZE_THREAD__)
#define RP1210_STRESS_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define RP1210_STRESS_TSAN 1
#endif
#endif

namespace stress {

using Clock = std::chrono::steady_clock;
using ms = std::chrono::milliseconds;

// ---- the load, by build ----

struct Load {
    int seconds = 20;
    int framesPerMs = 10;  // the node's frames, each to 9 clients
    ms sendPeriod{1};      // between one echo client's messages (J1708: 10 times as long)
    ms stallLimit{30000};
    ms answerLimit{5000};
    ms drainLimit{20000};
    const char* build = "plain build";
};

inline Load currentLoad()
{
    Load l;
    if (const char* s = std::getenv("RP1210_STRESS_SECONDS"))
        l.seconds = std::max(1, std::atoi(s));
#if defined(RP1210_STRESS_TSAN)
    // Every access is checked: a tenth of the traffic keeps the threads interleaving
    // without the checker falling behind.
    l.framesPerMs = 1, l.sendPeriod = ms(8), l.stallLimit = ms(90000), l.build = "thread sanitizer";
    l.answerLimit = ms(20000), l.drainLimit = ms(60000);
#elif defined(RP1210CORE_SANITIZED)
    l.framesPerMs = 4, l.sendPeriod = ms(2), l.stallLimit = ms(60000), l.build = "instrumented build";
    l.drainLimit = ms(40000);
#endif
    if (const char* s = std::getenv("RP1210_STRESS_STALL_MS"))  // to see the watchdog at work
        l.stallLimit = ms(std::max(1, std::atoi(s)));
    return l;
}

// ---- positions and the watchdog ----

// Where one thread is: its last step (a string literal) and when it took it.
class Position {
public:
    explicit Position(std::string name) : name_(std::move(name)) {}
    void step(const char* what)
    {
        what_ = what;
        at_ = Clock::now().time_since_epoch().count();
    }
    const std::string& name() const { return name_; }
    const char* what() const { return what_; }
    Clock::time_point at() const { return Clock::time_point(Clock::duration(at_.load())); }

private:
    const std::string name_;
    std::atomic<const char*> what_{"started"};
    std::atomic<Clock::rep> at_{Clock::now().time_since_epoch().count()};
};

class Positions {
public:
    Position& add(const std::string& name)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return all_.emplace_back(name);
    }
    // The positions that have not moved for `limit`, other than the finished ones.
    std::vector<const Position*> stalled(Clock::duration limit) const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<const Position*> out;
        for (const Position& p : all_)
            if (std::string(p.what()) != "done" && Clock::now() - p.at() > limit)
                out.push_back(&p);
        return out;
    }
    void print() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const Position& p : all_)
            std::fprintf(stderr, "  %-24s %-40s for %.1f s\n", p.name().c_str(), p.what(),
                         std::chrono::duration<double>(Clock::now() - p.at()).count());
    }

private:
    mutable std::mutex mutex_;
    std::deque<Position> all_;  // a deque: the positions handed out stay where they are
};

// Aborts the run when a thread has not moved for the limit: prints every thread's
// position and, when gdb is there, every thread's stack.
class Watchdog {
public:
    Watchdog(const Positions& positions, Clock::duration limit) : positions_(positions), limit_(limit)
    {
        thread_ = std::thread([this] { run(); });
    }
    ~Watchdog()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }

private:
    void run()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        // Looks once a second: a stall is a matter of tens of seconds.
        while (!cv_.wait_for(lock, std::chrono::seconds(1), [this] { return stop_; })) {
            const std::vector<const Position*> stalled = positions_.stalled(limit_);
            if (stalled.empty())
                continue;
            std::fprintf(stderr, "\nSTALLED: %s has not moved for %.1f s. Every thread's position:\n",
                         stalled.front()->name().c_str(), std::chrono::duration<double>(limit_).count());
            positions_.print();
            if (access("/usr/bin/gdb", X_OK) == 0) {
                const std::string command = "gdb -p " + std::to_string(getpid()) +
                                            " -batch -nx -ex 'thread apply all bt' 1>&2 2>/dev/null";
                std::fflush(stderr);
                if (std::system(command.c_str()) != 0)
                    std::fprintf(stderr, "(gdb could not attach)\n");
            }
            std::fflush(stderr);
            std::abort();
        }
    }

    const Positions& positions_;
    const Clock::duration limit_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool stop_ = false;
    std::thread thread_;
};

// Problems seen on worker threads, reported by the main thread.
class Failures {
public:
    void add(const std::string& what)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (all_.size() < 20)
            all_.push_back(what);
    }
    std::string text() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::string out;
        for (const std::string& s : all_)
            out += s + "\n";
        return out;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> all_;
};

// ---- the bus side ----

constexpr quint8 kNodeAddress = 0x42;
constexpr quint32 kNodePgn = 0xFF10;       // the node's numbered frames, to everyone
constexpr quint32 kRepeatedPgn = 0xFF20;   // the broadcast record of one client
constexpr quint32 kClientPgn = 0xEF00;     // the clients' own numbered messages
constexpr char kOwnMarker = char(0xEC);

inline quint32 be32(const char* p)
{
    return (quint32(quint8(p[0])) << 24) | (quint32(quint8(p[1])) << 16) | (quint32(quint8(p[2])) << 8) | quint8(p[3]);
}
inline QByteArray be32Bytes(quint32 v)
{
    QByteArray b(4, '\0');
    for (int i = 0; i < 4; ++i)
        b[i] = char(v >> (24 - 8 * i));
    return b;
}

// Another node on the vehicle's CAN bus: writes numbered J1939 frames at the load's pace
// and counts the repetitions of the client's broadcast record it hears.
class Node {
public:
    Node(VehicleRig& rig, const Load& load, Positions& positions)
        : load_(load), port_(rig.vehicle.createCanPort()), position_(positions.add("bus node"))
    {
        port_->open(rig.vehicle.canBus().bitrate(), [this](const rp1210core::bus::CanFrame& f, bool own) {
            if (!own && f.extended && rp1210core::adapter::j1939DecodeId(f.id).pgn == kRepeatedPgn)
                ++repeats_;
        });
    }
    ~Node()
    {
        stop();
        port_->close();
    }
    void start()
    {
        thread_ = std::thread([this] { run(); });
    }
    // Ends the writing; written() is final afterwards.
    void stop()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }
    quint32 written() const { return written_; }
    long broadcastsHeard() const { return repeats_; }

private:
    void run()
    {
        const quint32 id = rp1210core::adapter::j1939EncodeId({6, kNodePgn, kNodeAddress, 0xFF});
        auto tick = Clock::now();
        while (!stop_) {
            position_.step("write frames");
            for (int i = 0; i < load_.framesPerMs && !stop_; ++i) {
                const QByteArray data = be32Bytes(written_) + QByteArray(4, char(0xA5));
                const auto f = rp1210core::bus::CanFrame::make(id, true, reinterpret_cast<const quint8*>(data.constData()), 8);
                if (!port_->write(f))
                    break;  // the bus queue is full: the same number goes out on the next tick
                ++written_;
            }
            position_.step("pacing");
            tick += ms(1);
            std::this_thread::sleep_until(tick);  // the load's pace
        }
        position_.step("done");
    }

    const Load& load_;
    std::unique_ptr<rp1210core::bus::CanBus> port_;
    Position& position_;
    std::atomic<bool> stop_{false};
    std::atomic<quint32> written_{0};
    std::atomic<long> repeats_{0};
    std::thread thread_;
};

class Rig;

// The command numbers used here.
enum Command : short {
    kAllFiltersPass = 3,
    kJ1939Filters = 4,
    kEchoMessages = 16,
    kAllFiltersDiscard = 17,
    kJ1939Broadcast = 22,
};

// ---- a client whose messages are accounted for ----

struct Tracked {
    enum Kind { J1939, Can, J1708 };
    Tracked(Kind k, std::string n) : kind(k), name(std::move(n)) {}

    Kind kind;
    std::string name;
    short id = 0;
    quint8 tag = 0;  // J1939 source address, CAN identifier byte or J1708 MID of its own messages
    bool echo = false, blocking = true, tight = false, filterOnNode = false, broadcast = false;
    qint32 rxBytes = 1 << 23;  // room for far more than the readers ever fall behind
    int pauseEvery = 0, readsSincePause = 0;
    ms sendPeriod{1};

    std::atomic<quint32> accepted{0};   // own messages the send call accepted
    std::atomic<quint32> nextFrame{0};  // the node's next number this client must read
    std::atomic<quint32> nextEcho{0};   // the next own message to come back
    long missing = 0;                   // node frames a tight client never read
    std::atomic<long> echoesMissing{0};  // own messages passed over by a later echo
    std::vector<std::string> problems;  // reader thread only, until joined

    void fail(const std::string& what) { problems.push_back(what); }
    void sent(quint32 sequence) { accepted = sequence + 1; }

    // The client's own numbered message in its protocol's layout.
    QByteArray message(quint32 sequence) const
    {
        const QByteArray body = QByteArray(1, kOwnMarker) + be32Bytes(sequence);
        switch (kind) {
        case J1939:  // PGN (LSB first), priority, source, destination, data
            return QByteArray::fromHex("00ef0006") + char(tag) + char(0x30) + body + QByteArray(3, '\0');
        case Can:  // extended, identifier, data
            return QByteArray::fromHex("0118ef30") + char(tag) + body + QByteArray(3, '\0');
        case J1708:  // priority, MID, data (the library adds the checksum)
            return QByteArray(1, char(8)) + char(tag) + body;
        }
        return QByteArray();
    }

    void take(const QByteArray& m, Rig& run);
    void check(Rig& run);

private:
    void frame(quint32 sequence, Rig& run);
    void ownEcho(const char* body, int n);
};

// ---- the run ----

// Between the core and the adapter: remembers whose message each send frame carries, so
// that the adapter's refusals (whose echoes never come) are counted by client.
class RefusalCount final : public IProxyLink {
public:
    explicit RefusalCount(VehicleRig& rig) : rig_(rig)
    {
        rig.io.setIProxyLink(this);
        rig.adapter.setDelivery([this](const QByteArray& f) {
            if (f.size() > 4 && quint8(f[1]) == SERV_ENVIAR_MENSAJE && f[3] != 0) {
                std::lock_guard<std::mutex> lock(mutex_);
                ++refused_[sender_[quint8(f[4])]];
            }
            rig_.in.storeMsg(f.constData(), quint32(f.size()));
        });
    }
    ~RefusalCount() override { rig_.io.setIProxyLink(&rig_.adapter); }
    long of(short client) const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return refused_[size_t(client)];
    }
    long total() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        long n = 0;
        for (long r : refused_)
            n += r;
        return n;
    }

    short initializeConnection() override { return rig_.adapter.initializeConnection(); }
    bool writeData(const char* data, int length) override
    {
        // Class, code, client (plus 0x10 with echo; client 16 is 0x10 or 0x20), protocol, counter.
        if (length > 4 && quint8(data[1]) == SERV_ENVIAR_MENSAJE) {
            const quint8 v = quint8(data[2]);
            std::lock_guard<std::mutex> lock(mutex_);
            sender_[quint8(data[4])] = (v == 0x10 || v == 0x20) ? 16 : (v & 0x0F);
        }
        return rig_.adapter.writeData(data, length);
    }
    void getTypeInterface(QString& type, int& version, int& other) override
    {
        rig_.adapter.getTypeInterface(type, version, other);
    }
    void limpiarDescargarProxy() override { rig_.adapter.limpiarDescargarProxy(); }
    int getComChannel() override { return rig_.adapter.getComChannel(); }

private:
    VehicleRig& rig_;
    mutable std::mutex mutex_;
    std::array<quint8, 256> sender_{};  // by message counter
    std::array<long, 17> refused_{};    // by client
};

class Rig {
public:
    Rig() : node(rig, load, positions), refusals(rig) {}

    // Connects and sets up a tracked client; its id, or the failing result negated.
    short open(const char* protocol, Tracked& t)
    {
        t.tag = nextTag_++;
        t.sendPeriod = t.kind == Tracked::J1708 ? load.sendPeriod * 10 : load.sendPeriod;
        const short id = rig.g.RP1210_ClientConnect(0, 1, protocol, 0, t.rxBytes, 0);
        if (id < 1 || id > 16)
            return short(-id);
        char on = t.echo ? 1 : 0;
        short rc = rig.g.RP1210_SendCommand(kEchoMessages, id, &on, 1);
        if (rc == 0 && t.filterOnNode) {
            // PGN and source compared: the node's frames and nothing else.
            char record[] = {0x05, char(kNodePgn), char(kNodePgn >> 8), 0, 0, char(kNodeAddress), 0};
            rc = rig.g.RP1210_SendCommand(kJ1939Filters, id, record, short(sizeof record));
        } else if (rc == 0) {
            rc = rig.g.RP1210_SendCommand(kAllFiltersPass, id, nullptr, 0);
        }
        if (rc == 0 && t.broadcast) {
            // Every 50 ms: priority 6, from the client, to all, 8 bytes.
            char add[] = {1, 50, 0, 14, 0, char(kRepeatedPgn), char(kRepeatedPgn >> 8), 0, 6, char(t.tag), char(0xFF),
                          char(0xBC), 0, 0, 0, 0, 0, 0, 0};
            rc = rig.g.RP1210_SendCommand(kJ1939Broadcast, id, add, short(sizeof add));
        }
        rig.g.getCliente(quint8(id))->setBlockingTimeout(100);  // readers look at the run's end
        return rc == 0 ? id : short(-rc);
    }

    bool stopping() const { return stopping_; }
    bool finished() const { return finished_; }
    void pace(ms period) const { std::this_thread::sleep_for(period); }  // the load's pace
    void expectOk(Tracked& t, short rc, const char* what)
    {
        if (rc != 0)
            t.fail(std::string(what) + " answered " + std::to_string(rc));
    }

    // Runs the load for its time, stops the senders and the node, and lets the readers
    // read what is on its way.
    void waitForTheEnd(const std::vector<std::unique_ptr<Tracked>>& tracked)
    {
        Position& at = positions.add("main");
        for (int s = 0; s < load.seconds; ++s) {
            at.step("running the load");
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
        at.step("stopping");
        stopping_ = true;
        node.stop();
        at.step("draining");
        const quint32 frames = node.written();
        waitUntil(
            [&] {
                for (const auto& t : tracked)
                    if ((t->kind != Tracked::J1708 && !t->tight && t->nextFrame < frames) ||
                        (t->echo && t->nextEcho + quint32(refusals.of(t->id)) < t->accepted + quint32(t->echoesMissing)))
                        return false;
                return true;
            },
            load.drainLimit);
        finished_ = true;
        at.step("done");
    }

    const Load load = currentLoad();
    Positions positions;
    VehicleRig rig;
    Node node;
    RefusalCount refusals;
    Failures failures;
    std::atomic<long> deliveries{0}, echoes{0}, tightGaps{0}, udsAnswers{0}, churnConnects{0};

private:
    std::atomic<bool> stopping_{false}, finished_{false};
    quint8 nextTag_ = 0xE0;  // each client's own source address, identifier byte or MID
};

// ---- accounting ----

inline void Tracked::take(const QByteArray& m, Rig& run)
{
    // Timestamp, then with echo on a byte that tells the client's own messages.
    const int at = echo ? 5 : 4;
    if (m.size() <= at) {
        fail("a message of " + std::to_string(m.size()) + " bytes");
        return;
    }
    const char* p = m.constData() + at;
    const int n = m.size() - at;
    const bool own = echo && m[4] == 1;
    if (own) {
        ownEcho(p, n);
        ++run.echoes;
        return;
    }
    bool fromNode = false;
    const char* data = nullptr;
    if (kind == J1939 && n == 14) {  // PGN, priority, source, destination, 8 bytes
        fromNode = quint8(p[0]) == quint8(kNodePgn) && quint8(p[1]) == quint8(kNodePgn >> 8) &&
                   quint8(p[4]) == kNodeAddress;
        data = p + 6;
    } else if (kind == Can && n == 13 && p[0] == 1) {  // extended, identifier, 8 bytes
        fromNode = be32(p + 1) == rp1210core::adapter::j1939EncodeId({6, kNodePgn, kNodeAddress, 0xFF});
        data = p + 5;
    }
    if (fromNode) {
        frame(be32(data), run);
        ++run.deliveries;
    } else if (filterOnNode) {
        fail("the filter let through a message of " + std::to_string(n) + " bytes");
    }
}

inline void Tracked::frame(quint32 sequence, Rig& run)
{
    const quint32 expected = nextFrame;
    if (sequence < expected) {
        fail("frame " + std::to_string(sequence) + " again or late, after " + std::to_string(expected - 1));
        return;
    }
    if (sequence > expected) {
        missing += long(sequence - expected);
        // The frames missed were refused before this one was queued: the count of refusals
        // the client's queue has made by now covers them.
        const quint64 refused = run.rig.g.getCliente(quint8(id))->getRxRefused();
        if (!tight)
            fail("frames " + std::to_string(expected) + " to " + std::to_string(sequence - 1) + " missing");
        else if (quint64(missing) > refused)
            fail(std::to_string(missing) + " frames missing with " + std::to_string(refused) + " refusals");
        ++run.tightGaps;
    }
    nextFrame = sequence + 1;
}

inline void Tracked::ownEcho(const char* p, int n)
{
    // The message as sent, without the J1708 priority and checksum.
    const int body = kind == J1939 ? 6 : kind == Can ? 5 : 1;
    if (n < body + 5 || p[body] != kOwnMarker) {
        if (!(kind == J1939 && broadcast && n > 6 && p[6] == char(0xBC)))  // the record's own echo
            fail("an own message of " + std::to_string(n) + " bytes that was never sent");
        return;
    }
    const quint32 sequence = be32(p + body + 1);
    if (sequence < nextEcho) {
        fail("echo " + std::to_string(sequence) + " again or late, after " + std::to_string(nextEcho - 1));
        return;
    }
    echoesMissing += long(sequence - nextEcho);  // refused by the adapter, checked at the end
    nextEcho = sequence + 1;
}

inline void Tracked::check(Rig& run)
{
    std::printf("[ stress ] client %2d %-16s node frames read %7u, own sent %6u, echoed %6u, refused by the adapter %5ld, "
                "by the queue %5llu\n",
                id, name.c_str(), nextFrame.load() - quint32(missing), accepted.load(),
                nextEcho.load() - quint32(echoesMissing), run.refusals.of(id),
                (unsigned long long)run.rig.g.getCliente(quint8(id))->getRxRefused());
    for (const std::string& p : problems)
        ADD_FAILURE() << p;
    const quint32 frames = run.node.written();
    const quint64 refused = run.rig.g.getCliente(quint8(id))->getRxRefused();
    if (kind != J1708 && !tight) {
        EXPECT_EQ(nextFrame.load(), frames) << "node frames read";
    }
    if (tight)
        EXPECT_LE(quint64(missing), refused);
    else
        EXPECT_EQ(refused, 0u) << "a roomy queue refused messages";
    if (echo) {
        // Every accepted message comes back, but for those the adapter refused.
        EXPECT_EQ(echoesMissing + long(accepted - nextEcho), run.refusals.of(id)) << accepted << " accepted";
        EXPECT_GT(accepted.load(), 0u);
    }
}

}  // namespace stress
