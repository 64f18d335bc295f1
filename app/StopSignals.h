#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

// How the program ends in order. SIGTERM and SIGINT are blocked in every
// thread and taken by one thread of this object in sigwait, so no program
// code runs in a signal handler. Build it first in main, before any other
// thread starts: the threads started later inherit the blocked signals.
//
// A signal begins the stop (beginStop, the one place where a stop begins):
// one line "SN>Stopping: SIGTERM received" on standard output, then the
// request set with whenStopped, which asks the work under way to end. The
// main thread, seeing requested(), winds down and ends the process with
// end(0). When it has not done so after `bound`, or at once when no request
// is set, the stop thread ends the process itself (status 0).
//
// Every end through end(), a stop's or another orderly one's, first runs the
// closing step set with closeWith, once, with the reason: "SIGTERM",
// "SIGINT", or "exit" when no stop was requested.
class StopSignals {
public:
    explicit StopSignals(std::chrono::milliseconds bound);
    // Ends the stop thread (the process normally ends through end() instead).
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    void whenStopped(std::function<void()> request);
    void closeWith(std::function<void(const std::string& reason)> closing);

    bool requested() const { return stopRequested; }

    // Runs the closing step, writes what stdio holds and ends the process
    // with `status`, without unwinding: detached work may still use the
    // objects that are alive. The first caller ends it; a second one waits.
    [[noreturn]] void end(int status);

private:
    void waitForSignals();
    void beginStop(const char* signalName);

    const std::chrono::milliseconds bound;
    std::atomic<bool> stopRequested{false};

    std::mutex mutex;  // guards the members below
    std::condition_variable quitWake;
    std::function<void()> request;
    std::function<void(const std::string&)> closing;
    std::string reason = "exit";
    bool quitting = false;  // the destructor runs

    std::mutex endMutex;  // held by the thread that ends the process
    std::thread thread;
};
