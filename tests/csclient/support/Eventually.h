#ifndef TESTS_CSCLIENT_EVENTUALLY_H
#define TESTS_CSCLIENT_EVENTUALLY_H

#include <chrono>
#include <thread>

namespace cstest {

// Polls `condition` until it holds or `timeoutMs` has passed.
template <typename Condition>
bool eventually(Condition condition, int timeoutMs)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

} // namespace cstest

#endif
