// Priority of the library's own link threads.
#pragma once

#ifdef _WIN32
#include <windows.h>
#endif

namespace rp1210core::internal {

// The send and receive threads run at the highest priority of the process's normal class
// on Windows. On Linux they keep normal scheduling: a real-time policy lets a thread
// starve every other one on a small machine, and measured here it also made the frame
// stream slower by preempting the producer on every frame.
inline void raiseLinkThreadPriority()
{
#ifdef _WIN32
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
#endif
}

}  // namespace rp1210core::internal
