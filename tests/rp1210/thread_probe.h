// Lets a test wait until another thread sleeps inside a blocking call, so that its wake-up
// path is exercised for certain. Linux only: reads the thread's state from /proc.
#pragma once

#include <sys/syscall.h>
#include <unistd.h>

#include <fstream>
#include <string>

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
