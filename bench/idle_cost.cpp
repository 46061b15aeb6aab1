// Measures what an idle driver costs the whole process: CPU time and context switches
// while 16 connected clients sit in blocking reads with no traffic, and the CPU time of
// one connect that the adapter never answers.
//
//   idle_cost [seconds]      (default 5 seconds of idle observation)
//
// Wiring as a host does it (wireCore) over a transport that plays the adapter from its
// own thread: it answers connect requests, or stays silent for the unanswered case.
// Exit status 2 when a figure misses its target (0.5% of a core and 100 wake-ups a
// second idle, 20 ms of CPU for the unanswered connect).
#include "link/gestor_input.h"
#include "link/gestor_io.h"
#include "rp1210/gestor_rp1210.h"
#include "rp1210/wiring.h"
#include <rp1210core/iproxy_link.h>

#include <QByteArray>
#include <QString>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <dirent.h>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kClients = 16;
constexpr double kIdleCpuTarget = 0.5;        // percent of one core
constexpr double kIdleWakeTarget = 100.0;     // per second
constexpr double kUnansweredCpuTargetMs = 20.0;

double processCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// Voluntary plus involuntary context switches of every live thread of the process.
long processContextSwitches()
{
    long total = 0;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr)
        return -1;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.')
            continue;
        std::ifstream status(std::string("/proc/self/task/") + e->d_name + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 || line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
                total += std::atol(line.c_str() + line.find(':') + 1);
        }
    }
    closedir(dir);
    return total;
}

// The adapter: answers each connect request from its own thread, or nothing at all.
class AdapterLink final : public IProxyLink {
public:
    explicit AdapterLink(bool answers) : answers_(answers), thread_([this] { run(); }) {}
    ~AdapterLink() override
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }

    void setInput(GestorInput* in) { in_ = in; }

    short initializeConnection() override { return 0; }
    bool writeData(const char* data, int length) override
    {
        if (!answers_ || length < 5 || quint8(data[0]) != 0x04 || quint8(data[1]) != 0x02)
            return true;
        // Connect accepted at the requested speed.
        const char answer[] = {0x04, 0x02, data[2], 0x00, data[4]};
        {
            std::lock_guard<std::mutex> lock(mutex_);
            pending_.emplace_back(answer, int(sizeof answer));
        }
        cv_.notify_one();
        return true;
    }
    void getTypeInterface(QString& type, int& version, int& other) override
    {
        type = QStringLiteral("A");
        version = 7;
        other = 0;
    }
    void limpiarDescargarProxy() override {}
    int getComChannel() override { return 1; }

private:
    void run()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            cv_.wait(lock, [this] { return stop_ || !pending_.empty(); });
            if (stop_)
                return;
            const QByteArray frame = pending_.front();
            pending_.pop_front();
            lock.unlock();
            if (GestorInput* in = in_.load())
                in->storeMsg(frame.constData(), quint32(frame.size()));
            lock.lock();
        }
    }

    const bool answers_;
    std::atomic<GestorInput*> in_{nullptr};
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<QByteArray> pending_;
    bool stop_ = false;
    std::thread thread_;
};

// Destroyed in reverse: threads stopped, then the manager, then the transport.
struct Core {
    AdapterLink link;
    GestorInput in;
    Gestor_IO io;
    GestorRP1210 g;

    explicit Core(bool answers) : link(answers)
    {
        rp1210core::internal::wireCore(g, io, in, &link);
        link.setInput(&in);
    }
    ~Core()
    {
        in.pararHiloRecepcion();
        io.pararHiloEnvio();
    }
};

bool idle(int seconds)
{
    Core core(true);
    for (int i = 1; i <= kClients; ++i) {
        const short id = core.g.RP1210_ClientConnect(0, 1, "J1939", 0, 0, 0);
        if (id != i) {
            std::fprintf(stderr, "connect %d answered %d\n", i, id);
            std::exit(1);
        }
    }
    std::atomic<int> returned{0};
    std::vector<std::thread> readers;
    for (short id = 1; id <= kClients; ++id) {
        readers.emplace_back([&core, &returned, id] {
            char buf[64];
            core.g.RP1210_ReadMessage(id, buf, short(sizeof buf), 1);  // no time-out: until the disconnect
            ++returned;
        });
    }
    // Let the readers reach their waits and the connect traffic settle.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    const long switches0 = processContextSwitches();
    const double cpu0 = processCpuSeconds();
    const auto wall0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double cpu1 = processCpuSeconds();
    const long switches1 = processContextSwitches();
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();

    for (short id = 1; id <= kClients; ++id)
        core.g.RP1210_ClientDisconnect(id);
    for (std::thread& t : readers)
        t.join();

    const double cpuPercent = 100.0 * (cpu1 - cpu0) / wall;
    const double wakes = double(switches1 - switches0) / wall;
    std::printf("idle, %d clients blocked in reads, %.1f s: CPU %.3f%% of one core (%.2f ms), "
                "%.1f context switches/s (%ld)%s\n",
                kClients, wall, cpuPercent, 1000.0 * (cpu1 - cpu0), wakes, switches1 - switches0,
                returned == kClients ? "" : "  [readers not all released]");
    return cpuPercent < kIdleCpuTarget && wakes < kIdleWakeTarget;
}

bool unansweredConnect()
{
    Core core(false);
    const double cpu0 = processCpuSeconds();
    const long switches0 = processContextSwitches();
    const auto wall0 = std::chrono::steady_clock::now();
    const short rc = core.g.RP1210_ClientConnect(0, 1, "J1939", 0, 0, 0);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    const long switches1 = processContextSwitches();
    const double cpuMs = 1000.0 * (processCpuSeconds() - cpu0);
    // The link threads have ended by now: their switches are no longer counted.
    std::printf("unanswered connect: returned %d after %.2f s, CPU %.2f ms (switches of live threads: %ld)\n", rc,
                wall, cpuMs, switches1 - switches0);
    return cpuMs < kUnansweredCpuTargetMs;
}

}  // namespace

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const bool idleOk = idle(seconds);
    const bool connectOk = unansweredConnect();
    return idleOk && connectOk ? 0 : 2;
}
