// Log lines of the daemon, and a limiter for lines that repeat.
//
// IPCD_LOG(logger, level, function) << ... << "\n"; writes one line and costs
// only a level check when the logger's level filters it out.
//
// repeatLimitT lets one line through per text and window; repeats within the
// window are counted, and the count is reported with the next line let
// through. Bounded: it forgets the oldest texts beyond a fixed number. One
// thread uses one limiter.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

#include "logger/logger.h"
#include "sal/time.h"

#define IPCD_LOG(logger, lev, fn)                                                                  \
    if ((logger).level() < (lev)) {                                                                \
    } else                                                                                         \
        ::rux::loggerT::logbufT((logger), (lev), (fn))

namespace rux {
namespace ipcd {

class repeatLimitT {
public:
    explicit repeatLimitT(int windowSec, size_t maxTexts = 256)
        : _window(windowSec, 0), _max(maxTexts) {}

    // True when `text` may be written now; `suppressed` then receives how many
    // times it was held back since it was last written.
    bool allow(const std::string& text, const timeT& now, uint32_t& suppressed);

private:
    struct seenT {
        timeT since;   // when it was last written
        uint32_t held; // repeats held back since
    };
    timeT _window;
    size_t _max;
    std::unordered_map<std::string, seenT> _seen;
};

// Writes `text` (one line, without its line end) at `level`, unless it repeats
// within the limiter's window; a line let through after repeats is followed by
// "last message repeated <n> times".
void logLimited(const loggerT& log, repeatLimitT& limit, int level, const char* function,
                const std::string& text);

} // namespace ipcd
} // namespace rux
