#include "sal/assert.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace rux {

namespace {
std::atomic<faultHookT> g_hook{nullptr};
}

faultHookT setFaultHook(faultHookT hook) {
    return g_hook.exchange(hook);
}

namespace impl {

void fault(const char* expr, const char* file, unsigned line) {
    // A fault raised inside the hook itself must not recurse into it again: the
    // line goes to standard error and the process ends.
    thread_local bool inHook = false;
    faultHookT hook = g_hook.load();
    if (hook && !inHook) {
        inHook = true;
        hook(expr, file, line);
    } else {
        std::fprintf(stderr, "rux: assertion \"%s\" failed at %s:%u\n", expr, file, line);
    }
    std::abort();
}

} // namespace impl
} // namespace rux
