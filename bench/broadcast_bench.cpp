// How evenly the real send thread repeats a 100 ms broadcast record, alone and while
// another client sends as fast as the send thread takes its messages, and what one
// scheduler tick costs when nothing is due.
//
// Wiring as a host does it, with a transport that timestamps every frame it is given:
// GestorRP1210 -> Gestor_IO (real send thread) -> TimingLink. Client 1 (CAN) adds the
// record with send command 22; under load client 2 (CAN) sends messages as fast as the
// send thread takes them (at most kMaxQueued frames waiting, as an adapter's queue would
// bound it).
#include "link/gestor_io.h"
#include <rp1210core/iproxy_link.h>
#include "common/clock.h"
#include "rp1210/gestor_rp1210.h"
#include "rp1210/wiring.h"

#include <QByteArray>
#include <QString>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

// Counts operator new calls of the current thread while armed.
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

namespace {

using Clock = std::chrono::steady_clock;

constexpr quint8 kBroadcastClient = 1;
constexpr quint8 kLoadClient = 2;
constexpr int kIntervalMs = 100;
constexpr int kMaxQueued = 64;

bool isSendFrameOf(const char* data, int length, quint8 client)
{
    return length > 4 && static_cast<quint8>(data[1]) == SERV_ENVIAR_MENSAJE &&
           (static_cast<quint8>(data[2]) & 0x0F) == client;
}

// Timestamps the broadcast client's frames; counts the rest.
class TimingLink final : public IProxyLink {
public:
    TimingLink() { stamps_.reserve(4096); }
    short initializeConnection() override { return 0; }
    bool writeData(const char* data, int length) override
    {
        const Clock::time_point now = Clock::now();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (isSendFrameOf(data, length, kBroadcastClient)) {
                if (stamps_.size() < stamps_.capacity())
                    stamps_.push_back(now);
            } else {
                ++others_;
            }
        }
        // Confirm every message as an adapter does, so that its counter and slot come free.
        if (answers_ != nullptr && length > 4 && static_cast<quint8>(data[1]) == SERV_ENVIAR_MENSAJE) {
            const char answer[] = {0x04, 0x04, data[3], 0x00, data[4], 0, 0, 0, 0, 0, 0};
            answers_->storeMsg(answer, sizeof answer);
        }
        return true;
    }
    void answerInto(GestorInput* input) { answers_ = input; }
    void getTypeInterface(QString& type, int& version, int& other) override
    {
        type = QStringLiteral("A");
        version = 7;
        other = 0;
    }
    void limpiarDescargarProxy() override {}
    int getComChannel() override { return 1; }

    std::vector<Clock::time_point> stamps() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return stamps_;
    }
    long others() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return others_;
    }

private:
    GestorInput* answers_ = nullptr;
    mutable std::mutex mutex_;
    std::vector<Clock::time_point> stamps_;
    long others_ = 0;
};

// Declared so that the manager goes first (its destructor releases the transport
// through the output manager) after the send thread has been stopped.
struct Rig {
    TimingLink link;
    GestorInput in;
    Gestor_IO io;
    GestorRP1210 g;

    Rig() { rp1210core::internal::wireCore(g, io, in, &link); }
    ~Rig()
    {
        io.pararHiloEnvio();
        in.pararHiloRecepcion();
    }

    void connect(quint8 id)
    {
        Cliente* c = g.getCliente(id);
        c->setProtocolo(PROTOCOLO_CAN);
        c->setConectado(true);
    }
};

struct Figures {
    int intervals = 0;
    double minMs = 0, medianMs = 0, p99Ms = 0, maxMs = 0;
    int below = 0;  // intervals under the record's interval
    long loadFrames = 0;
};

Figures measure(int seconds, bool load)
{
    Rig rig;
    rig.connect(kBroadcastClient);
    rig.connect(kLoadClient);
    rig.link.answerInto(&rig.in);
    rig.in.ArrancarHiloRecepcion();
    rig.io.ArrancarHiloEnvio(VCI_A, 0);

    // Function 1, interval 100 ms little-endian, 3 message bytes.
    char add[] = {0x01, kIntervalMs, 0x00, 0x03, 0x00, 0x18, char(0xEF), 0x00};
    const short rc = rig.g.RP1210_SendCommand(22, kBroadcastClient, add, short(sizeof add));
    if (rc != 0 || add[0] != 0) {
        std::fprintf(stderr, "adding the record failed: rc %d, key %d\n", rc, add[0]);
        std::exit(1);
    }

    std::atomic<bool> stop{false};
    std::thread loader;
    if (load) {
        loader = std::thread([&] {
            const char msg[] = {0x00, 0x12, 0x34, 0x01, 0x02, 0x03, 0x04};
            while (!stop) {
                if (rig.io.outputListSize() >= kMaxQueued) {
                    std::this_thread::yield();
                    continue;
                }
                rig.g.RP1210_SendMessage(kLoadClient, msg, short(sizeof msg), 0, 0);
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    stop = true;
    if (loader.joinable())
        loader.join();
    rig.io.pararHiloEnvio();
    rig.in.pararHiloRecepcion();

    const std::vector<Clock::time_point> t = rig.link.stamps();
    std::vector<double> d;
    for (size_t i = 1; i < t.size(); ++i)
        d.push_back(std::chrono::duration<double, std::milli>(t[i] - t[i - 1]).count());
    Figures f;
    f.loadFrames = rig.link.others();
    if (d.empty())
        return f;
    f.intervals = int(d.size());
    f.below = int(std::count_if(d.begin(), d.end(), [](double x) { return x < kIntervalMs; }));
    std::sort(d.begin(), d.end());
    f.minMs = d.front();
    f.maxMs = d.back();
    f.medianMs = d[d.size() / 2];
    f.p99Ms = d[std::min(d.size() - 1, (d.size() * 99) / 100)];
    return f;
}

// A process clock that stands still: nothing becomes due.
class StillClock final : public Rp1210Clock {
public:
    qint64 wallSeconds() const override { return 0; }
    quint32 processMillis() const override { return 50; }
    std::chrono::steady_clock::time_point realTimeOf(qint64) const override { return Clock::now(); }
    std::chrono::steady_clock::time_point realTimeOfMillis(quint32) const override { return Clock::now(); }
};

// Intervals between repetitions of the 100 ms record; none may be shorter than 100 ms.
void BM_BroadcastJitter(benchmark::State& state)
{
    const bool load = state.range(0) != 0;
    const int secondsPerRun = 5;
    Figures f;
    for (auto _ : state) {
        f = measure(secondsPerRun, load);
        state.SetIterationTime(secondsPerRun);
    }
    state.counters["intervals"] = f.intervals;
    state.counters["min_ms"] = f.minMs;
    state.counters["median_ms"] = f.medianMs;
    state.counters["p99_ms"] = f.p99Ms;
    state.counters["max_ms"] = f.maxMs;
    state.counters["under_100ms"] = f.below;
    state.counters["load_frames_per_s"] = double(f.loadFrames) / secondsPerRun;
}
BENCHMARK(BM_BroadcastJitter)->ArgName("under_load")->Arg(0)->Arg(1)->UseManualTime()->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// One turn of the send loop's broadcast walk with nothing due.
void BM_BroadcastIdleTick(benchmark::State& state)
{
    const int clients = int(state.range(0)), records = int(state.range(1));
    StillClock still;
    Rig rig;  // send thread not started: the ticks are called here
    rig.g.setClock(&still);
    for (int id = 1; id <= clients; ++id) {
        rig.connect(quint8(id));
        for (int r = 0; r < records; ++r) {
            char add[] = {0x01, char(0x60), char(0xEA), 0x02, 0x00, 0x01, 0x02};  // 60000 ms
            rig.g.Cmd_Set_Broadcast_Msg(rig.g.getCliente(quint8(id)), add, short(sizeof add));
        }
    }
    for (int i = 0; i < 1000; ++i)
        rig.g.sendBroadcastMsg();
    gNewCalls = 0;
    gCountNew = true;
    long ticks = 0;
    for (auto _ : state) {
        rig.g.sendBroadcastMsg();
        ++ticks;
    }
    gCountNew = false;
    state.counters["allocations_per_tick"] = double(gNewCalls) / double(ticks);
}
BENCHMARK(BM_BroadcastIdleTick)->Args({1, 1})->Args({16, 16});

}  // namespace
