#include "CSThread.h"

#include "Log.h"

#include <chrono>
#include <condition_variable>
#include <thread>

namespace com_vela {

// Shared between the owner and the running thread, so that either may go
// first without touching freed memory.
struct CSThread::Control {
    CSThread::Function function = nullptr;
    void* argument = nullptr;
    std::mutex mutex;
    std::condition_variable changed;
    bool stop = false;
    bool finished = false;
    bool selfReleased = false;   // the thread called kill() on itself
};

namespace {
thread_local std::shared_ptr<CSThread::Control> tCurrent;
}

CSThread::CSThread(const Timing& timing) : stopBound(timing.threadStopBound), held(false), handle() {}

CSThread::~CSThread()
{
    kill();
}

void* CSThread::trampoline(void* raw)
{
    std::shared_ptr<Control>* start = static_cast<std::shared_ptr<Control>*>(raw);
    tCurrent = std::move(*start);
    delete start;
    void* result = tCurrent->function(tCurrent->argument);
    {
        std::lock_guard<std::mutex> g(tCurrent->mutex);
        tCurrent->finished = true;
    }
    tCurrent->changed.notify_all();
    tCurrent.reset();
    return result;
}

bool CSThread::create(Function function, void* argument)
{
    std::unique_lock<std::mutex> guard(lock);
    if (held.load()) {
        // A thread that released itself and has returned only needs joining.
        std::shared_ptr<Control> old = std::atomic_load(&control);
        bool done;
        {
            std::lock_guard<std::mutex> g(old->mutex);
            done = old->selfReleased && old->finished;
        }
        if (!done)
            return false;
        pthread_join(handle.load(), nullptr);
        release();
    }
    std::shared_ptr<Control> c = std::make_shared<Control>();
    c->function = function;
    c->argument = argument;
    // Published before the thread starts, so that it recognises itself at once.
    std::atomic_store(&control, c);
    std::shared_ptr<Control>* start = new std::shared_ptr<Control>(c);
    pthread_t t;
    if (pthread_create(&t, nullptr, &CSThread::trampoline, start) != 0) {
        delete start;
        release();
        return false;
    }
    handle.store(t);
    held.store(true);
    return true;
}

void CSThread::release() const
{
    held.store(false);
    handle.store(pthread_t());
    std::atomic_store(&control, std::shared_ptr<Control>());
}

void CSThread::kill()
{
    std::shared_ptr<Control> self = std::atomic_load(&control);
    if (self && self == tCurrent) {
        // The thread releases itself and is about to return; whoever next
        // creates, kills or waits joins it.
        std::lock_guard<std::mutex> g(self->mutex);
        self->stop = true;
        self->selfReleased = true;
        return;
    }

    std::unique_lock<std::mutex> guard(lock);
    if (!held.load())
        return;
    std::shared_ptr<Control> c = std::atomic_load(&control);
    {
        std::lock_guard<std::mutex> g(c->mutex);
        c->stop = true;
    }
    c->changed.notify_all();
    bool finished;
    {
        std::unique_lock<std::mutex> g(c->mutex);
        finished = c->changed.wait_for(g, stopBound, [&] { return c->finished; });
    }
    if (finished) {
        pthread_join(handle.load(), nullptr);
    } else {
        snlog::err(snlog::Priority::warning) << "Thread did not stop in time; detaching it.";
        pthread_detach(handle.load());
    }
    release();
}

bool CSThread::waitForThread() const
{
    std::unique_lock<std::mutex> guard(lock);
    if (!held || pthread_equal(handle.load(), pthread_self()))
        return false;
    bool ok = pthread_join(handle.load(), nullptr) == 0;
    release();
    return ok;
}

bool CSThread::joinWithin(std::chrono::milliseconds bound) const
{
    std::unique_lock<std::mutex> guard(lock);
    if (!held || pthread_equal(handle.load(), pthread_self()))
        return false;
    std::shared_ptr<Control> c = std::atomic_load(&control);
    {
        std::unique_lock<std::mutex> g(c->mutex);
        if (!c->changed.wait_for(g, bound, [&] { return c->finished; }))
            return false;
    }
    bool ok = pthread_join(handle.load(), nullptr) == 0;
    release();
    return ok;
}

bool CSThread::isActive() const
{
    std::shared_ptr<Control> c = std::atomic_load(&control);
    if (!held.load() || !c)
        return false;
    std::lock_guard<std::mutex> g(c->mutex);
    return !(c->selfReleased && c->finished);
}

pthread_t CSThread::getId() const
{
    return handle.load();
}

bool CSThread::isStopRequested() const
{
    std::shared_ptr<Control> c = std::atomic_load(&control);
    if (!c)
        return false;
    std::lock_guard<std::mutex> g(c->mutex);
    return c->stop;
}

bool CSThread::isCurrentThread() const
{
    std::shared_ptr<Control> c = std::atomic_load(&control);
    return c && c == tCurrent;
}

bool CSThread::stopRequested()
{
    if (!tCurrent)
        return false;
    std::lock_guard<std::mutex> g(tCurrent->mutex);
    return tCurrent->stop;
}

bool CSThread::sleepUnlessStopped(std::chrono::milliseconds duration)
{
    if (!tCurrent) {
        std::this_thread::sleep_for(duration);
        return false;
    }
    std::unique_lock<std::mutex> g(tCurrent->mutex);
    return tCurrent->changed.wait_for(g, duration, [] { return tCurrent->stop; });
}

} // namespace com_vela
