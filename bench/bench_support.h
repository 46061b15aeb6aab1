// What the benchmarks share: percentiles, the process's CPU time and context switches,
// and RP1210 calls on a core wired to the in-process test adapter (LinkRig).
#pragma once

#include "support/link_rig.h"

#include <benchmark/benchmark.h>

#include <QByteArray>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <string>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }
inline double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// The q-quantile (0..1) of the samples; 0 when there are none.
inline double quantile(std::vector<double> samples, double q)
{
    if (samples.empty())
        return 0;
    const size_t at = std::min(samples.size() - 1, size_t(q * double(samples.size())));
    std::nth_element(samples.begin(), samples.begin() + long(at), samples.end());
    return samples[at];
}

// Median and 99th percentile as counters, with the sample count.
inline void reportPercentiles(benchmark::State& state, const std::vector<double>& us, const char* prefix)
{
    state.counters[std::string(prefix) + "_median_us"] = quantile(us, 0.5);
    state.counters[std::string(prefix) + "_p99_us"] = quantile(us, 0.99);
    state.counters["samples"] = double(us.size());
}

inline double processCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// Voluntary plus involuntary context switches of every live thread of the process.
inline long processContextSwitches()
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

// A CAN message as a client sends it (and reads it behind the timestamp): frame type,
// 4-byte identifier, data whose first four bytes carry `sequence`.
inline QByteArray canMessage(quint32 sequence, int dataBytes = 8)
{
    QByteArray m(5 + dataBytes, '\0');
    m[0] = 0x00;
    m[3] = 0x01;
    m[4] = 0x23;
    for (int i = 0; i < 4 && i < dataBytes; ++i)
        m[5 + i] = char(sequence >> (24 - 8 * i));
    return m;
}
inline quint32 sequenceOfRead(const char* read)  // timestamp, then the message above
{
    quint32 s = 0;
    for (int i = 0; i < 4; ++i)
        s = (s << 8) | quint8(read[4 + 5 + i]);
    return s;
}

// The core over the in-process test adapter, with clients that hear every message.
struct CoreRig : LinkRig {
    // A client of `connectString` with every filter open and room for `rxBytes`; its id or
    // the error.
    short openClient(const char* connectString, qint32 rxBytes = 1 << 22, qint32 txBytes = 1 << 22)
    {
        const short id = g.RP1210_ClientConnect(0, 1, connectString, txBytes, rxBytes, 0);
        if (id < 1 || id > 16)
            return id;
        const short rc = g.RP1210_SendCommand(3, id, nullptr, 0);
        return rc == 0 ? id : short(-rc);
    }
    void store(const QByteArray& frame) { in.storeMsg(frame.constData(), quint32(frame.size())); }
};

// Skips the benchmark with the reason when `ok` is false.
inline bool require(benchmark::State& state, bool ok, const std::string& what)
{
    if (!ok)
        state.SkipWithError(what.c_str());
    return ok;
}

}  // namespace bench
