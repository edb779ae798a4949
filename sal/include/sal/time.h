// Time values, clocks, sleeping and the polling timer.
//
// timeT is both a point in time (a clock reading) and a duration; the arithmetic
// below keeps results normalised (0 <= nsec < 1e9, borrowing from sec). Plain
// value type, no locking. sysCLK reads CLOCK_REALTIME, monCLK CLOCK_MONOTONIC;
// every time-out in the framework is measured on the monotonic clock.
#pragma once

#include <cstdint>

namespace rux {

struct timeT;
using clockT = void (*)(timeT&);

struct timeT {
    int32_t sec = 0;  // seconds, may be negative for a negative duration
    int32_t nsec = 0; // nanoseconds, 0 <= nsec < 1e9 when normalised

    constexpr timeT() = default;
    constexpr timeT(int32_t s, int32_t ns) : sec(s), nsec(ns) {}
    // Filled with the reading of `clock` (sysCLK or monCLK).
    explicit timeT(clockT clock) { clock(*this); }

    static timeT fromMs(int64_t ms);
    static timeT fromUs(int64_t us);
    static timeT fromNs(int64_t ns);

    // Whole milliseconds, truncated: sec * 1000 + nsec / 1e6.
    int64_t ms() const { return int64_t(sec) * 1000 + nsec / 1000000; }
    int64_t us() const { return int64_t(sec) * 1000000 + nsec / 1000; }
    int64_t ns() const { return int64_t(sec) * 1000000000 + nsec; }

    // Brings nsec into [0, 1e9) by carrying into / borrowing from sec.
    timeT& normalise();
    // True for a duration of zero or less.
    bool nonPositive() const { return sec < 0 || (sec == 0 && nsec <= 0); }

    timeT& operator+=(const timeT& o);
    timeT& operator-=(const timeT& o);
    friend timeT operator+(timeT a, const timeT& b) { return a += b; }
    friend timeT operator-(timeT a, const timeT& b) { return a -= b; }
    // Comparisons assume normalised operands.
    friend bool operator==(const timeT& a, const timeT& b) {
        return a.sec == b.sec && a.nsec == b.nsec;
    }
    friend bool operator!=(const timeT& a, const timeT& b) { return !(a == b); }
    friend bool operator<(const timeT& a, const timeT& b) {
        return a.sec < b.sec || (a.sec == b.sec && a.nsec < b.nsec);
    }
    friend bool operator>(const timeT& a, const timeT& b) { return b < a; }
    friend bool operator<=(const timeT& a, const timeT& b) { return !(b < a); }
    friend bool operator>=(const timeT& a, const timeT& b) { return !(a < b); }
};

// Wall clock (UTC since 1970) and monotonic clock.
void sysCLK(timeT& t);
void monCLK(timeT& t);

// Suspends the caller for t.ms() milliseconds (nothing for zero or less).
void sleep(const timeT& t);

// Polling timer: expires once `period` has passed on the monotonic clock since
// the last reset(); once expired it stays expired (latched) until reset().
// Not thread-safe: one owner.
class ptimerT {
public:
    explicit ptimerT(const timeT& period = timeT()) : _period(period) { reset(); }

    void period(const timeT& p) { _period = p; }
    const timeT& period() const { return _period; }

    void reset();
    bool expired();
    // As expired(); when not latched yet, `rest` receives period - elapsed
    // (written even when negative).
    bool expired(timeT& rest);

private:
    timeT _period;
    timeT _start;          // monotonic reading at reset()
    bool _latched = false; // expiry seen once, kept until reset()
};

} // namespace rux
