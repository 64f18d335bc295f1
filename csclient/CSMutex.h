#ifndef COM_VELA_CSMUTEX_H
#define COM_VELA_CSMUTEX_H

#include <pthread.h>
#include <atomic>

namespace com_vela {

// POSIX mutex. A recursive one may be taken again by the thread that holds it.
class CSMutex {
public:
    explicit CSMutex(bool recursive = false);
    virtual ~CSMutex();

    // 0 on success, 1 when busy (EBUSY), 2 on any other error.
    int lock();
    int tryLock();
    // 0 on success, 2 on error.
    int unlock();

    // True when the calling thread holds the mutex.
    bool isHeldByCurrentThread() const;

    CSMutex(const CSMutex&) = delete;
    CSMutex& operator=(const CSMutex&) = delete;

private:
    void noteAcquired();

    pthread_mutex_t mutex;
    std::atomic<pthread_t> owner;
    std::atomic<bool> owned;
    unsigned depth;   // touched only by the holder
};

// Scoped lock over a CSMutex.
class CSLockGuard {
public:
    explicit CSLockGuard(CSMutex& m) : mutex(m) { mutex.lock(); }
    ~CSLockGuard() { mutex.unlock(); }
    CSLockGuard(const CSLockGuard&) = delete;
    CSLockGuard& operator=(const CSLockGuard&) = delete;

private:
    CSMutex& mutex;
};

} // namespace com_vela

#endif
