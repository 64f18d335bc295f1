#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

// A thread that runs `body` once every `period` (a positive duration), the
// first time one period after construction, until the object is destroyed.
// A late turn brings no burst of turns to catch up: the next one is a whole
// period after it. The destructor stops the thread and joins it, waiting for a
// turn in progress to end.
class PeriodicThread {
public:
    PeriodicThread(std::chrono::steady_clock::duration period, std::function<void()> body);
    ~PeriodicThread();
    PeriodicThread(const PeriodicThread&) = delete;
    PeriodicThread& operator=(const PeriodicThread&) = delete;

private:
    void loop();

    const std::chrono::steady_clock::duration period;
    const std::function<void()> body;

    std::mutex stopMutex;
    std::condition_variable stopSignal;
    bool stopRequested = false;
    std::thread thread;  // last: starts once everything above is set
};
