// Whether a thread sleeps in a blocking call, so its wake-up path is surely exercised (Linux /proc).
#pragma once

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <string>

// Processor time the calling thread has used, in milliseconds: a waiter that polls shows.
inline double threadCpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

inline long currentThreadTid() { return static_cast<long>(::syscall(SYS_gettid)); }

// True while the thread `tid` of this process is in an interruptible sleep.
inline bool threadIsSleeping(long tid)
{
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string line;
    std::getline(stat, line);
    // "tid (name) S ...": the name may contain spaces, so look behind its last ')'.
    const auto close = line.rfind(')');
    return tid > 0 && close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'S';
}
