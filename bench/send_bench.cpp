// The send path and the answer waits against the in-process test adapter: calls of
// RP1210_SendMessage reaching writeData, the duration of one call, and the time from an
// answer's arrival to the return of the call that waited for it.
#include "bench_support.h"

#include <atomic>
#include <mutex>
#include <thread>

using namespace bench;

namespace {

constexpr int kCallsPerRound = 20000;

// Calls per second reaching writeData (target 200,000) and the duration of one call
// (targets: median 20 us, 99th percentile 200 us).
void BM_SendPath(benchmark::State& state)
{
    CoreRig rig;
    const short id = rig.openClient("CAN");
    if (!require(state, id == 1, "connect answered " + std::to_string(id)))
        return;
    std::vector<QByteArray> messages;
    for (int i = 0; i < kCallsPerRound; ++i)
        messages.push_back(canMessage(quint32(i)));

    std::vector<double> callUs;
    callUs.reserve(size_t(kCallsPerRound) * 8);
    double total = 0;
    long calls = 0, refused = 0;
    for (auto _ : state) {
        rig.link.waitUntilIdle();
        rig.link.clearFrames();
        const auto t0 = Clock::now();
        for (const QByteArray& m : messages) {
            const auto c0 = Clock::now();
            const short rc = rig.g.RP1210_SendMessage(id, m.constData(), short(m.size()), 0, 0);
            callUs.push_back(micros(Clock::now() - c0));
            refused += rc != 0;
        }
        if (!require(state, rig.link.waitForFrames(kCallsPerRound - int(refused), std::chrono::seconds(30)),
                     "the frames did not all reach the adapter"))
            return;
        const double s = seconds(Clock::now() - t0);
        state.SetIterationTime(s);
        total += s;
        calls += kCallsPerRound;
    }
    state.counters["calls_per_s_to_writeData"] = double(calls) / total;
    state.counters["refused"] = double(refused);
    reportPercentiles(state, callUs, "call");
}
BENCHMARK(BM_SendPath)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

// From the arrival of the adapter's answer (storeMsg) to the return of the call that waited
// for it: a blocking RP1210_GetHardwareStatus. Target: under 100 us.
void BM_AnswerToReturn(benchmark::State& state)
{
    CoreRig rig;
    const short id = rig.openClient("CAN");
    if (!require(state, id == 1, "connect answered " + std::to_string(id)))
        return;
    std::mutex mutex;
    Clock::time_point answeredAt;
    rig.link.setDelivery([&](const QByteArray& f) {
        if (f.size() > 1 && quint8(f[1]) == SERV_ESTADO_HARDWARE) {
            std::lock_guard<std::mutex> lock(mutex);
            answeredAt = Clock::now();
        }
        rig.store(f);
    });
    std::vector<double> us;
    char status[64];
    for (auto _ : state) {
        const short rc = rig.g.RP1210_GetHardwareStatus(id, status, short(sizeof status), 1);
        const auto t = Clock::now();
        if (!require(state, rc == 0, "hardware status answered " + std::to_string(rc)))
            return;
        std::lock_guard<std::mutex> lock(mutex);
        const double d = micros(t - answeredAt);
        us.push_back(d);
        state.SetIterationTime(d / 1e6);
    }
    reportPercentiles(state, us, "answer_to_return");
}
BENCHMARK(BM_AnswerToReturn)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(3000);

// Idle: 16 clients blocked in reads without traffic, CPU and context switches of the whole
// process (targets: under 0.5% of a core, under 100 a second).
void BM_Idle16BlockedReaders(benchmark::State& state)
{
    CoreRig rig;
    for (int i = 1; i <= 16; ++i)
        if (!require(state, rig.openClient("J1939") == i, "a connect failed"))
            return;
    std::vector<std::thread> readers;
    for (short id = 1; id <= 16; ++id)
        readers.emplace_back([&rig, id] {
            char buf[64];
            rig.g.RP1210_ReadMessage(id, buf, short(sizeof buf), 1);  // without time-out: until the disconnect
        });
    rig.link.waitUntilIdle();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // every reader in its wait
    double cpu = 0, switches = 0, wall = 0;
    for (auto _ : state) {
        const long s0 = processContextSwitches();
        const double c0 = processCpuSeconds();
        const auto w0 = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(2));
        // The benchmark thread's own sleep and wake count once.
        cpu += processCpuSeconds() - c0;
        switches += double(processContextSwitches() - s0 - 1);
        wall += seconds(Clock::now() - w0);
        state.SetIterationTime(seconds(Clock::now() - w0));
    }
    for (short id = 1; id <= 16; ++id)
        rig.g.RP1210_ClientDisconnect(id);
    for (std::thread& t : readers)
        t.join();
    state.counters["cpu_percent_of_core"] = 100 * cpu / wall;
    state.counters["wakeups_per_s"] = switches / wall;
}
BENCHMARK(BM_Idle16BlockedReaders)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(2);

// CPU of one connect that the adapter never answers, until it gives up (target: 20 ms).
void BM_UnansweredConnect(benchmark::State& state)
{
    for (auto _ : state) {
        CoreRig rig;
        rig.silence(SERV_CONECTAR_CLIENTE);
        const double c0 = processCpuSeconds();
        const auto w0 = Clock::now();
        const short rc = rig.g.RP1210_ClientConnect(0, 1, "J1939", 0, 0, 0);
        state.SetIterationTime(seconds(Clock::now() - w0));
        state.counters["cpu_ms"] = 1000 * (processCpuSeconds() - c0);
        state.counters["result"] = rc;
    }
}
BENCHMARK(BM_UnansweredConnect)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
