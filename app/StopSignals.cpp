#include "StopSignals.h"

#include "Log.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <pthread.h>

namespace {

sigset_t stopSignalSet()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

} // namespace

StopSignals::StopSignals(std::chrono::milliseconds bound) : bound(bound)
{
    const sigset_t set = stopSignalSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    thread = std::thread(&StopSignals::waitForSignals, this);
}

StopSignals::~StopSignals()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        quitting = true;
    }
    quitWake.notify_all();
    // Wakes the thread's sigwait; it sees `quitting` and returns.
    pthread_kill(thread.native_handle(), SIGTERM);
    thread.join();
}

void StopSignals::whenStopped(std::function<void()> action)
{
    std::lock_guard<std::mutex> lock(mutex);
    request = std::move(action);
}

void StopSignals::closeWith(std::function<void(const std::string& reason)> step)
{
    std::lock_guard<std::mutex> lock(mutex);
    closing = std::move(step);
}

void StopSignals::end(int status)
{
    endMutex.lock();  // never released: this thread ends the process
    std::function<void(const std::string&)> close;
    std::string why;
    {
        std::lock_guard<std::mutex> lock(mutex);
        close = closing;
        why = reason;
    }
    if (close)
        close(why);
    std::fflush(nullptr);
    std::_Exit(status);
}

void StopSignals::waitForSignals()
{
    const sigset_t set = stopSignalSet();
    int signal = 0;
    while (sigwait(&set, &signal) != 0) {
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (quitting)
            return;
    }
    beginStop(signal == SIGINT ? "SIGINT" : "SIGTERM");
}

void StopSignals::beginStop(const char* signalName)
{
    snlog::out() << "SN>Stopping: " << signalName << " received";
    std::function<void()> action;
    {
        std::lock_guard<std::mutex> lock(mutex);
        reason = signalName;
        action = request;
    }
    stopRequested = true;
    if (action) {
        action();
        // The main thread normally ends the process well within the bound.
        std::unique_lock<std::mutex> lock(mutex);
        if (quitWake.wait_for(lock, bound, [this] { return quitting; }))
            return;
        snlog::err() << "SN>ERROR>The stop took longer than " << bound.count() << " ms; ending now.";
    }
    end(0);
}
