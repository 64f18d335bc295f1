#include "PeriodicThread.h"

#include <utility>

PeriodicThread::PeriodicThread(std::chrono::steady_clock::duration period, std::function<void()> body)
    : period(period), body(std::move(body)), thread(&PeriodicThread::loop, this)
{
}

PeriodicThread::~PeriodicThread()
{
    {
        std::lock_guard<std::mutex> lock(stopMutex);
        stopRequested = true;
    }
    stopSignal.notify_all();
    thread.join();
}

void PeriodicThread::loop()
{
    auto next = std::chrono::steady_clock::now() + period;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(stopMutex);
            if (stopSignal.wait_until(lock, next, [this] { return stopRequested; }))
                return;
        }
        body();
        next += period;
        const auto now = std::chrono::steady_clock::now();
        if (next <= now)
            next = now + period;
    }
}
