#include "sal/time.h"

#include <cerrno>
#include <ctime>

#include "sal/assert.h"

namespace rux {

namespace {
constexpr int32_t kNsPerSec = 1000000000;

timeT fromNanos(int64_t ns) {
    int64_t s = ns / kNsPerSec, r = ns % kNsPerSec;
    if (r < 0) {
        r += kNsPerSec;
        --s;
    }
    return timeT(int32_t(s), int32_t(r));
}

void readClock(clockid_t id, timeT& t) {
    struct timespec ts;
    RUX_OS_CHECK(clock_gettime(id, &ts) == 0);
    t.sec = int32_t(ts.tv_sec);
    t.nsec = int32_t(ts.tv_nsec);
}
} // namespace

timeT timeT::fromMs(int64_t ms) {
    return fromNanos(ms * 1000000);
}
timeT timeT::fromUs(int64_t us) {
    return fromNanos(us * 1000);
}
timeT timeT::fromNs(int64_t ns) {
    return fromNanos(ns);
}

timeT& timeT::normalise() {
    *this = fromNanos(ns());
    return *this;
}

// In 64-bit nanoseconds, so operands that are not normalised still give a
// normalised result and nothing overflows on the way.
timeT& timeT::operator+=(const timeT& o) {
    *this = fromNanos(ns() + o.ns());
    return *this;
}

timeT& timeT::operator-=(const timeT& o) {
    *this = fromNanos(ns() - o.ns());
    return *this;
}

void sysCLK(timeT& t) {
    readClock(CLOCK_REALTIME, t);
}
void monCLK(timeT& t) {
    readClock(CLOCK_MONOTONIC, t);
}

void sleep(const timeT& t) {
    int64_t ms = t.ms();
    if (ms <= 0)
        return;
    struct timespec req = {time_t(ms / 1000), long(ms % 1000) * 1000000L};
    // Sleep against an absolute monotonic deadline so signals do not stretch it.
    struct timespec now;
    RUX_OS_CHECK(clock_gettime(CLOCK_MONOTONIC, &now) == 0);
    struct timespec until = {now.tv_sec + req.tv_sec, now.tv_nsec + req.tv_nsec};
    if (until.tv_nsec >= kNsPerSec) {
        until.tv_nsec -= kNsPerSec;
        ++until.tv_sec;
    }
    int rc;
    while ((rc = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr)) == EINTR) {
    }
    RUX_OS_CHECK(rc == 0);
}

void ptimerT::reset() {
    _latched = false;
    monCLK(_start);
}

bool ptimerT::expired() {
    if (_latched)
        return true;
    timeT elapsed = timeT(monCLK) - _start;
    _latched = elapsed >= _period;
    return _latched;
}

bool ptimerT::expired(timeT& rest) {
    if (_latched)
        return true;
    timeT elapsed = timeT(monCLK) - _start;
    rest = _period - elapsed;
    _latched = rest.nonPositive();
    return _latched;
}

} // namespace rux
