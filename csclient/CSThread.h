#ifndef COM_VELA_CSTHREAD_H
#define COM_VELA_CSTHREAD_H

#include "Timing.h"

#include <pthread.h>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>

namespace com_vela {

// One joinable POSIX thread. Stopping is cooperative: kill() raises a stop
// request that the running function sees through CSThread::stopRequested()
// or CSThread::sleepUnlessStopped(); a thread is never cancelled, so it is
// never unwound while it holds a lock.
class CSThread {
public:
    typedef void* (*Function)(void*);

    // kill() waits timing.threadStopBound for the thread to return before
    // detaching it.
    explicit CSThread(const Timing& timing = Timing());
    virtual ~CSThread();   // as kill()

    // False without doing anything when a thread is already held.
    bool create(Function function, void* argument);

    // Requests a stop and releases the handle. From another thread the thread
    // is joined, or detached after the stop bound; from the thread itself the
    // handle counts as empty once the thread has returned (the next create,
    // kill or wait joins it).
    void kill();

    // False when no handle is held; otherwise joins and clears the handle.
    bool waitForThread() const;

    // Joins when the thread returns within the given time; false (handle kept)
    // otherwise, or when no handle is held, or when called from the thread itself.
    bool joinWithin(std::chrono::milliseconds bound) const;

    bool isActive() const;
    pthread_t getId() const;

    // Stop request of the thread held here (false when none is held).
    bool isStopRequested() const;
    // True when called on the thread held here.
    bool isCurrentThread() const;

    // For the running thread function: its own stop request (false on a
    // thread not started by CSThread), and a sleep that ends early on a stop
    // request (returns true when stopped).
    static bool stopRequested();
    static bool sleepUnlessStopped(std::chrono::milliseconds duration);

    struct Control;

    CSThread(const CSThread&) = delete;
    CSThread& operator=(const CSThread&) = delete;

private:
    static void* trampoline(void* control);
    void release() const;

    // Serialises create, kill and the joins. The state below is also read
    // without it, so the running thread may query its own CSThread while
    // its owner waits in kill().
    const std::chrono::milliseconds stopBound;
    mutable std::mutex lock;
    mutable std::atomic<bool> held;
    mutable std::atomic<pthread_t> handle;
    mutable std::shared_ptr<Control> control;   // std::atomic_load/store only
};

} // namespace com_vela

#endif
