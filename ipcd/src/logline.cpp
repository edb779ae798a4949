#include "logline.h"

namespace rux {
namespace ipcd {

bool repeatLimitT::allow(const std::string& text, const timeT& now, uint32_t& suppressed) {
    auto it = _seen.find(text);
    if (it != _seen.end()) {
        if (now < it->second.since + _window) {
            ++it->second.held;
            return false;
        }
        suppressed = it->second.held;
        it->second = seenT{now, 0};
        return true;
    }
    if (_seen.size() >= _max) {
        // Forget what has not repeated within the window; if everything has,
        // start over rather than grow.
        for (auto s = _seen.begin(); s != _seen.end();)
            s = now < s->second.since + _window ? std::next(s) : _seen.erase(s);
        if (_seen.size() >= _max)
            _seen.clear();
    }
    _seen.emplace(text, seenT{now, 0});
    suppressed = 0;
    return true;
}

void logLimited(const loggerT& log, repeatLimitT& limit, int level, const char* function,
                const std::string& text) {
    if (log.level() < level)
        return;
    uint32_t held = 0;
    if (!limit.allow(text, timeT(monCLK), held))
        return;
    loggerT::logbufT(log, level, function) << text << "\n";
    if (held)
        loggerT::logbufT(log, level, function) << "last message repeated " << held << " times\n";
}

} // namespace ipcd
} // namespace rux
