// Waits for a condition with a deadline instead of sleeping a fixed time.
#pragma once

#include <chrono>
#include <thread>

template <class Predicate>
bool waitUntil(Predicate predicate, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000))
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return predicate();
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}
