#include "sal/sem.h"

#include <cerrno>
#include <ctime>

#include "sal/assert.h"

namespace rux {

semT::semT(unsigned initial) {
    RUX_FAULT_IF(initial > maxCount);
    RUX_OS_CHECK(sem_init(&_sem, 0, initial) == 0);
}

semT::~semT() {
    sem_destroy(&_sem);
}

void semT::post() {
    RUX_OS_CHECK(sem_post(&_sem) == 0);
}

void semT::wait() {
    int rc;
    while ((rc = sem_wait(&_sem)) != 0 && errno == EINTR) {
    }
    RUX_OS_CHECK(rc == 0);
}

bool semT::trywait() {
    int rc;
    while ((rc = sem_trywait(&_sem)) != 0 && errno == EINTR) {
    }
    if (rc == 0)
        return true;
    RUX_OS_CHECK(errno == EAGAIN);
    return false;
}

bool semT::wait(const timeT& timeout) {
    // The deadline is built in the kernel's 64-bit seconds: a time-out near the
    // largest timeT would overflow 32-bit seconds.
    const int64_t ms = timeout.ms() > 0 ? timeout.ms() : 0;
    struct timespec ts;
    RUX_OS_CHECK(clock_gettime(CLOCK_MONOTONIC, &ts) == 0);
    ts.tv_sec += time_t(ms / 1000);
    ts.tv_nsec += long(ms % 1000) * 1000000L;
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_nsec -= 1000000000L;
        ++ts.tv_sec;
    }
    int rc;
    while ((rc = sem_clockwait(&_sem, CLOCK_MONOTONIC, &ts)) != 0 && errno == EINTR) {
    }
    if (rc == 0)
        return true;
    RUX_OS_CHECK(errno == ETIMEDOUT);
    return false;
}

} // namespace rux
