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
    if (faultHookT hook = g_hook.load())
        hook(expr, file, line);
    else
        std::fprintf(stderr, "rux: assertion \"%s\" failed at %s:%u\n", expr, file, line);
    std::abort();
}

} // namespace impl
} // namespace rux
