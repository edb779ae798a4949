// The process's fault report: handlers for SIGSEGV, SIGBUS, SIGILL, SIGFPE and
// SIGABRT running on an alternate signal stack, and the framework assertion's
// hook. The report goes to the dump file, standard error and the log file; it
// is written with async-signal-safe calls only, once per process, and the
// process then ends by the signal's default action.
//
// CODE is the signal number (1 for a framework assertion); CODE, ADDR and EIP
// have as many hexadecimal digits as a pointer. After the report's frame come
// the faulting thread and the backtrace (symbols as the dynamic linker knows
// them: rux_program links programs with -rdynamic for their own functions).
#pragma once

#include <string>

namespace rux::impl {

// Installs handlers and hook and gives the calling thread and every thread
// threadT starts from now on an alternate signal stack. Once per process.
void faultInstall();
// Puts the handlers back on top of any installed since; those are called after
// the report (the console's terminal restore, for one).
void faultReassert();
// Where the report goes; empty: nowhere (standard error still gets it).
void faultSetDump(const std::string& path);
void faultSetLog(const std::string& path);
// The calling thread gets an alternate signal stack (freed at thread exit).
void faultAltStack();

} // namespace rux::impl
