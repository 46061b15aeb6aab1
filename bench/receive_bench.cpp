// The receive path against the in-process test adapter: frames handed to storeMsg (as the
// transport does) until every client has read them all with blocking reads, for one
// client and for 16 clients of one protocol; and the wake-up of one blocked reader.
#include "bench_support.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

using namespace bench;

namespace {

constexpr int kFramesPerRound = 20000;

// Reader threads, one per client, each reading one round of frames with blocking reads
// and checking that they come whole and in order.
class Readers {
public:
    Readers(CoreRig& rig, const std::vector<short>& ids) : rig_(rig)
    {
        for (short id : ids) {
            rig.g.getCliente(quint8(id))->setBlockingTimeout(5000);  // a lost frame ends the round
            threads_.emplace_back([this, id] { run(id); });
        }
    }
    ~Readers()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        cv_.notify_all();
        for (std::thread& t : threads_)
            t.join();
    }
    // Starts a round of `frames` frames numbered from `first`.
    void start(int frames, quint32 first)
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            frames_ = frames;
            first_ = first;
            done_ = 0;
            ++round_;
        }
        cv_.notify_all();
    }
    void waitDone()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [this] { return done_ == int(threads_.size()); });
    }
    long errors() const { return errors_; }

private:
    void run(short id)
    {
        std::vector<char> buffer(256);
        quint64 seen = 0;
        for (;;) {
            int frames = 0;
            quint32 next = 0;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                cv_.wait(lock, [&] { return stop_ || round_ != seen; });
                if (stop_)
                    return;
                seen = round_;
                frames = frames_;
                next = first_;
            }
            for (int i = 0; i < frames; ++i, ++next) {
                const short n = rig_.g.RP1210_ReadMessage(id, buffer.data(), short(buffer.size()), 1);
                if (n <= 0) {
                    errors_ += frames - i;
                    break;
                }
                if (n < 13 || sequenceOfRead(buffer.data()) != next) {
                    ++errors_;
                    next = n >= 13 ? sequenceOfRead(buffer.data()) : next;
                }
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                ++done_;
            }
            cv_.notify_all();
        }
    }

    CoreRig& rig_;
    std::mutex mutex_;
    std::condition_variable cv_;
    quint64 round_ = 0;
    int frames_ = 0, done_ = 0;
    quint32 first_ = 0;
    bool stop_ = false;
    std::atomic<long> errors_{0};
    std::vector<std::thread> threads_;
};

// Frames per second into every client's queue and out of its reads. Target: 500,000 to one
// client; 100,000 to each of 16.
void BM_ReceivePath(benchmark::State& state)
{
    const int clients = int(state.range(0));
    CoreRig rig;
    std::vector<short> ids;
    for (int i = 0; i < clients; ++i) {
        const short id = rig.openClient("CAN");
        if (!require(state, id == i + 1, "connect answered " + std::to_string(id)))
            return;
        ids.push_back(id);
    }
    // Frames built beforehand: the measure is the driver's, not the test's.
    std::vector<QByteArray> frames;
    for (int i = 0; i < kFramesPerRound; ++i)
        frames.push_back(LinkRig::receivedFrame(PROTOCOLO_CAN, canMessage(quint32(i))));

    Readers readers(rig, ids);
    double total = 0;
    long rounds = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        readers.start(kFramesPerRound, 0);
        for (const QByteArray& f : frames)
            rig.store(f);
        readers.waitDone();
        const double s = seconds(Clock::now() - t0);
        state.SetIterationTime(s);
        total += s;
        ++rounds;
    }
    state.counters["frames_per_s_each_client"] = double(kFramesPerRound) * double(rounds) / total;
    state.counters["deliveries_per_s"] = double(kFramesPerRound) * double(rounds) * clients / total;
    state.counters["lost_or_out_of_order"] = double(readers.errors());
}
BENCHMARK(BM_ReceivePath)->Arg(1)->Arg(16)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

// From storeMsg to the return of a blocking RP1210_ReadMessage that was waiting for it.
// Target: median under 20 us, 99th percentile under 200 us.
void BM_BlockedReaderWakeUp(benchmark::State& state)
{
    CoreRig rig;
    const short id = rig.openClient("CAN");
    if (!require(state, id == 1, "connect answered " + std::to_string(id)))
        return;
    const QByteArray frame = LinkRig::receivedFrame(PROTOCOLO_CAN, canMessage(1));

    std::mutex mutex;
    std::condition_variable cv;
    Clock::time_point returnedAt;
    quint64 returns = 0;
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        char buffer[64];
        while (!stop) {
            const short n = rig.g.RP1210_ReadMessage(id, buffer, short(sizeof buffer), 1);
            const auto t = Clock::now();
            if (n <= 0)
                continue;  // woken by the disconnect at the end
            {
                std::lock_guard<std::mutex> lock(mutex);
                returnedAt = t;
                ++returns;
            }
            cv.notify_all();
        }
    });

    std::vector<double> us;
    for (auto _ : state) {
        // Time for the reader to fall asleep in its wait again; not part of the figure.
        state.PauseTiming();
        std::this_thread::sleep_for(std::chrono::microseconds(300));
        state.ResumeTiming();
        quint64 before = 0;
        {
            std::lock_guard<std::mutex> lock(mutex);
            before = returns;
        }
        const auto t0 = Clock::now();
        rig.store(frame);
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait(lock, [&] { return returns != before; });
        const double d = micros(returnedAt - t0);
        us.push_back(d);
        state.SetIterationTime(d / 1e6);
    }
    stop = true;
    rig.g.RP1210_ClientDisconnect(id);
    reader.join();
    reportPercentiles(state, us, "wake");
}
BENCHMARK(BM_BlockedReaderWakeUp)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(3000);

}  // namespace
