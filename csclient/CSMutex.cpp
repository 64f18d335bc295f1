#include "CSMutex.h"

#include <cerrno>

namespace com_vela {

CSMutex::CSMutex(bool recursive) : owner(pthread_t()), owned(false), depth(0)
{
    if (recursive) {
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
        pthread_mutex_init(&mutex, &attr);
        pthread_mutexattr_destroy(&attr);
    } else {
        pthread_mutex_init(&mutex, nullptr);
    }
}

CSMutex::~CSMutex()
{
    pthread_mutex_destroy(&mutex);
}

void CSMutex::noteAcquired()
{
    if (depth++ == 0) {
        owner.store(pthread_self());
        owned.store(true);
    }
}

int CSMutex::lock()
{
    int rc = pthread_mutex_lock(&mutex);
    if (rc == 0) {
        noteAcquired();
        return 0;
    }
    return rc == EBUSY ? 1 : 2;
}

int CSMutex::tryLock()
{
    int rc = pthread_mutex_trylock(&mutex);
    if (rc == 0) {
        noteAcquired();
        return 0;
    }
    return rc == EBUSY ? 1 : 2;
}

int CSMutex::unlock()
{
    if (!isHeldByCurrentThread())
        return 2;
    if (--depth == 0)
        owned.store(false);
    if (pthread_mutex_unlock(&mutex) != 0) {
        ++depth;
        owned.store(true);
        return 2;
    }
    return 0;
}

bool CSMutex::isHeldByCurrentThread() const
{
    return owned.load() && pthread_equal(owner.load(), pthread_self());
}

} // namespace com_vela
