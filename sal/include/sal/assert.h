// Framework assertion: the one fatal-fault path of the system.
//
// RUX_FAULT_IF(expr) ends the process when `expr` holds; the text of `expr`, the
// file and the line travel to rux::impl::fault(). RUX_OS_CHECK(ok) is the same for
// an unexpected operating-system result, reported with the expression text "1".
//
// fault() hands the three facts to the process-wide hook (the application
// skeleton installs one that writes its fault report); without a hook it writes
// one line to standard error. Then the process aborts. Thread-safe.
#pragma once

namespace rux {

// Called once with the failed expression, source file and line; must not return
// control to the failing code (fault() aborts right after it).
using faultHookT = void (*)(const char* expr, const char* file, unsigned line);

// Installs the process-wide hook and returns the previous one (nullptr: none).
faultHookT setFaultHook(faultHookT hook);

namespace impl {
[[noreturn]] void fault(const char* expr, const char* file, unsigned line);
} // namespace impl

} // namespace rux

#define RUX_FAULT_IF(expr)                                                                         \
    do {                                                                                           \
        if (expr)                                                                                  \
            ::rux::impl::fault(#expr, __FILE__, __LINE__);                                         \
    } while (0)

#define RUX_OS_CHECK(ok)                                                                           \
    do {                                                                                           \
        if (!(ok))                                                                                 \
            ::rux::impl::fault("1", __FILE__, __LINE__);                                           \
    } while (0)
