#include "fault.h"

#include <execinfo.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "sal/assert.h"
#include "sal/thread.h"

namespace rux::impl {

namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr int kMaxSig = 65;
constexpr size_t kAltStack = 64 * 1024;
constexpr int kMaxFrames = 64;
constexpr uintptr_t kCodeAssert = 1; // the framework assertion's code
using ulong_ = unsigned long;

// Everything the handler reads is made before a fault can happen, in static
// storage: a handler may not allocate.
char g_dump[PATH_MAX];
char g_log[PATH_MAX];
std::atomic<bool> g_dumpSet{false};
std::atomic<bool> g_logSet{false};
long g_gmtoff = 0; // local time offset for the log lines' time stamps
struct sigaction g_chain[kMaxSig];
bool g_installed = false;

// 0 no report, 1 a report is being written, 2 written.
std::atomic<int> g_state{0};
std::atomic<pid_t> g_reporter{0};

char g_report[4096];
char g_trace[32 * 1024];
void* g_frames[kMaxFrames];

// Bounds of the calling thread's stack, for telling a stack overflow.
__thread uintptr_t t_stackLo __attribute__((tls_model("initial-exec")));
__thread uintptr_t t_stackHi __attribute__((tls_model("initial-exec")));

// ---- async-signal-safe text --------------------------------------------------

struct textT {
    char* buf;
    size_t cap;
    size_t n = 0;

    textT& str(const char* s) {
        while (s && *s && n < cap)
            buf[n++] = *s++;
        return *this;
    }
    textT& chr(char c, size_t count = 1) {
        while (count-- > 0 && n < cap)
            buf[n++] = c;
        return *this;
    }
    // Lower-case hexadecimal, as many digits as a pointer has.
    textT& hex(uintptr_t v) {
        for (int shift = int(sizeof v * 8) - 4; shift >= 0; shift -= 4)
            chr("0123456789abcdef"[(v >> shift) & 0xf]);
        return *this;
    }
    textT& dec(unsigned long v, int width = 0) {
        char tmp[24];
        int k = 0;
        do {
            tmp[k++] = char('0' + v % 10);
            v /= 10;
        } while (v != 0);
        while (width-- > k)
            chr('0');
        while (k > 0)
            chr(tmp[--k]);
        return *this;
    }
};

void writeAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return;
        p += w;
        n -= size_t(w);
    }
}

// "dd/mm/yyyy hh:mm:ss.uuuuuu " as the logger writes it, without localtime().
void stamp(textT& t) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    long long secs = (long long)ts.tv_sec + g_gmtoff;
    long long days = secs / 86400, rem = secs % 86400;
    if (rem < 0) {
        rem += 86400;
        --days;
    }
    // Civil date from days since 1970-01-01 (Howard Hinnant's algorithm).
    long long z = days + 719468;
    long long era = (z >= 0 ? z : z - 146096) / 146097;
    long long doe = z - era * 146097;
    long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    long long y = yoe + era * 400;
    long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    long long mp = (5 * doy + 2) / 153;
    long long d = doy - (153 * mp + 2) / 5 + 1;
    long long m = mp < 10 ? mp + 3 : mp - 9;
    if (m <= 2)
        ++y;
    t.dec(ulong_(d), 2).chr('/').dec(ulong_(m), 2).chr('/').dec(ulong_(y), 4);
    t.chr(' ').dec(ulong_(rem / 3600), 2).chr(':').dec(ulong_(rem / 60 % 60), 2);
    t.chr(':').dec(ulong_(rem % 60), 2).chr('.').dec(ulong_(ts.tv_nsec / 1000), 6);
    t.chr(' ');
}

// ---- the report ----------------------------------------------------------------

struct faultT {
    const char* type = "unknown";
    const char* access = nullptr; // "R", "W", "D", "?" for memory faults
    const char* expr = nullptr;   // assertion only
    const char* file = nullptr;
    unsigned line = 0;
    uintptr_t code = 0;
    uintptr_t addr = 0;
    uintptr_t ip = 0;
};

const char* fpeType(int code) {
    switch (code) {
    case FPE_INTDIV: return "integer divide by 0";
    case FPE_INTOVF: return "integer overflow";
    case FPE_FLTDIV: return "floating point divide by 0";
    case FPE_FLTOVF: return "floating point overflow";
    case FPE_FLTUND: return "floating point underflow";
    case FPE_FLTRES: return "floating point inexact result";
    case FPE_FLTINV: return "invalid floating point operation";
    case FPE_FLTSUB: return "array out of bounds";
    default: return "unknown";
    }
}

const char* accessKind(const ucontext_t* uc) {
#if defined(__x86_64__)
    // Page-fault error code: bit 1 a write, bit 4 an instruction fetch.
    greg_t err = uc->uc_mcontext.gregs[REG_ERR];
    return (err & 0x10) ? "D" : (err & 0x2) ? "W" : "R";
#else
    (void)uc;
    return "?";
#endif
}

uintptr_t instructionAddress(const ucontext_t* uc) {
#if defined(__x86_64__)
    return uintptr_t(uc->uc_mcontext.gregs[REG_RIP]);
#elif defined(__i386__)
    return uintptr_t(uc->uc_mcontext.gregs[REG_EIP]);
#elif defined(__aarch64__)
    return uintptr_t(uc->uc_mcontext.pc);
#else
    (void)uc;
    return 0;
#endif
}

bool isStackOverflow(uintptr_t addr) {
    const uintptr_t lo = t_stackLo;
    if (lo == 0 || addr == 0)
        return false;
    // The guard below the stack and a large frame's reach beyond it.
    const uintptr_t reach = 1024 * 1024;
    return addr < lo + 4096 && addr + reach >= lo;
}

faultT describe(int sig, const siginfo_t* si, const ucontext_t* uc) {
    faultT f;
    f.code = uintptr_t(sig);
    f.ip = uc ? instructionAddress(uc) : 0;
    const bool sent = si->si_code <= 0; // by kill(), raise() or abort()
    switch (sig) {
    case SIGSEGV:
        f.addr = uintptr_t(si->si_addr);
        if (sent) {
            f.type = "unknown";
            f.addr = 0;
        } else if (isStackOverflow(f.addr)) {
            f.type = "stack overflow";
        } else {
            f.type = "invalid memory access";
            f.access = uc ? accessKind(uc) : "?";
        }
        break;
    case SIGBUS:
        f.addr = sent ? 0 : uintptr_t(si->si_addr);
        if (sent) {
            f.type = "unknown";
        } else if (si->si_code == BUS_ADRALN) {
            f.type = "data misalignment";
        } else {
            f.type = "in-page error";
            f.access = uc ? accessKind(uc) : "?";
        }
        break;
    case SIGILL:
        f.type = sent                                                         ? "unknown"
                 : si->si_code == ILL_PRVOPC || si->si_code == ILL_PRVREG ? "private instruction"
                                                                              : "illegal instruction";
        break;
    case SIGFPE:
        f.type = sent ? "unknown" : fpeType(si->si_code);
        break;
    case SIGABRT:
        // abort() without a framework assertion: an uncaught exception, a
        // library's own check.
        f.type = "non continuable exception";
        break;
    }
    return f;
}

void threadLine(textT& t) {
    char name[17] = {};
    prctl(PR_GET_NAME, name, 0, 0, 0);
    t.str("\nTHREAD: ").str(name).str(" [").dec(ulong_(syscall(SYS_gettid))).str("], PID ");
    t.dec(ulong_(getpid())).str("\nBACKTRACE:\n");
}

void writeReport(const faultT& f) {
    textT r{g_report, sizeof g_report};
    r.chr('*', 80);
    r.str("\n*************************** SOFTWARE FAULT DETECTED ****************************\n");
    r.chr('*', 80);
    r.str("\nTYPE  : ").str(f.type);
    if (f.access)
        r.str(" (").str(f.access).str(")");
    if (f.expr) {
        r.str("\nEXPR  : ").str(f.expr);
        r.str("\nFILE  : ").str(f.file ? f.file : "");
        r.str("\nLINE  : ").dec(f.line);
    }
    r.str("\nCODE  : 0x").hex(f.code);
    r.str("\nADDR  : 0x").hex(f.addr);
    r.str("\nEIP   : 0x").hex(f.ip);
    r.chr('\n').chr('*', 80);
    threadLine(r);

    // The symbolised backtrace, through a pipe into memory: it goes to three places.
    size_t traceLen = 0;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) == 0) {
        int n = backtrace(g_frames, kMaxFrames);
        // Start at the faulting frame: the handler's own frames tell nothing.
        int first = 0;
        for (int i = 0; i < n && f.ip != 0; ++i)
            if (uintptr_t(g_frames[i]) == f.ip) {
                first = i;
                break;
            }
        backtrace_symbols_fd(g_frames + first, n - first, fds[1]);
        close(fds[1]);
        for (;;) {
            ssize_t got = ::read(fds[0], g_trace + traceLen, sizeof g_trace - 1 - traceLen);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                break;
            traceLen += size_t(got);
        }
        close(fds[0]);
    }
    textT tr{g_trace + traceLen, sizeof g_trace - traceLen};
    tr.chr('*', 80).chr('\n');
    traceLen += tr.n;

    if (g_dumpSet.load()) {
        int fd = ::open(g_dump, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd >= 0) {
            writeAll(fd, g_report, r.n);
            writeAll(fd, g_trace, traceLen);
            close(fd);
        }
    }
    writeAll(STDERR_FILENO, g_report, r.n);
    writeAll(STDERR_FILENO, g_trace, traceLen);

    // Straight to the log file: the logger's own locks may be held by this very
    // thread. Each line as an EMERGENCY line of "rux_gas" from "backtrace".
    if (!g_logSet.load())
        return;
    int fd = ::open(g_log, O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0)
        return;
    auto logLines = [fd](const char* p, size_t n) {
        while (n > 0) {
            const char* nl = static_cast<const char*>(memchr(p, '\n', n));
            size_t len = nl ? size_t(nl - p) : n;
            char head[96];
            textT h{head, sizeof head};
            stamp(h);
            h.str("EMG rux_gas -> { backtrace } ");
            writeAll(fd, head, h.n);
            writeAll(fd, p, len);
            writeAll(fd, "\n", 1);
            size_t used = nl ? len + 1 : len;
            p += used;
            n -= used;
        }
    };
    logLines(g_report, r.n);
    logLines(g_trace, traceLen);
    close(fd);
}

// True when this call must write the report; waits while another thread writes one.
bool claimReport() {
    const pid_t me = pid_t(syscall(SYS_gettid));
    int expected = 0;
    if (g_state.compare_exchange_strong(expected, 1)) {
        g_reporter.store(me);
        return true;
    }
    // The reporting thread itself faulting again must not wait on itself.
    if (g_reporter.load() != me) {
        const struct timespec pause = {0, 10 * 1000 * 1000};
        while (g_state.load() != 2)
            nanosleep(&pause, nullptr);
    }
    return false;
}

void onFault(int sig, siginfo_t* si, void* ctx) {
    const int savedErrno = errno;
    if (claimReport()) {
        writeReport(describe(sig, si, static_cast<const ucontext_t*>(ctx)));
        g_state.store(2);
    }
    // A handler that was there before ours (the console's terminal restore)
    // runs next; then the default action ends the process with a core dump.
    const struct sigaction& prev = g_chain[sig];
    if (prev.sa_flags & SA_SIGINFO) {
        if (prev.sa_sigaction)
            prev.sa_sigaction(sig, si, ctx);
    } else if (prev.sa_handler != SIG_DFL && prev.sa_handler != SIG_IGN && prev.sa_handler) {
        prev.sa_handler(sig);
    }
    struct sigaction dfl = {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(sig, &dfl, nullptr);
    // Pending until the handler returns; a hardware fault recurs anyway.
    raise(sig);
    errno = savedErrno;
}

void onAssert(const char* expr, const char* file, unsigned line) {
    if (!claimReport())
        return;
    faultT f;
    f.type = "assert";
    f.expr = expr;
    f.file = file;
    f.line = line;
    f.code = kCodeAssert;
    f.ip = uintptr_t(__builtin_return_address(0));
    writeReport(f);
    g_state.store(2);
}

void setAction(int sig) {
    struct sigaction sa = {};
    sa.sa_sigaction = onFault;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
    // A fault inside the handler ends the process at once instead of re-entering.
    sigemptyset(&sa.sa_mask);
    for (int s : kSignals)
        sigaddset(&sa.sa_mask, s);
    sigaction(sig, &sa, nullptr);
}

void recordStack() {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0)
        return;
    void* addr = nullptr;
    size_t size = 0;
    if (pthread_attr_getstack(&attr, &addr, &size) == 0) {
        t_stackLo = uintptr_t(addr);
        t_stackHi = uintptr_t(addr) + size;
    }
    pthread_attr_destroy(&attr);
}

// Owns the calling thread's alternate stack; unmapped when the thread ends.
struct altStackT {
    void* mem = nullptr;
    size_t size = 0;
    ~altStackT() {
        if (!mem)
            return;
        stack_t off = {};
        off.ss_flags = SS_DISABLE;
        sigaltstack(&off, nullptr);
        munmap(mem, size);
    }
};
thread_local altStackT t_altStack;

void threadStart() {
    faultAltStack();
}

void copyPath(char* dst, const std::string& src) {
    size_t n = src.size() < PATH_MAX - 1 ? src.size() : PATH_MAX - 1;
    memcpy(dst, src.data(), n);
    dst[n] = '\0';
}

} // namespace

void faultAltStack() {
    recordStack();
    if (t_altStack.mem)
        return;
    const size_t page = size_t(sysconf(_SC_PAGESIZE));
    const size_t size = kAltStack + page; // a guard page below
    void* mem = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK,
                     -1, 0);
    if (mem == MAP_FAILED)
        return; // no report on this thread's stack overflow, all else works
    mprotect(mem, page, PROT_NONE);
    stack_t ss = {};
    ss.ss_sp = static_cast<char*>(mem) + page;
    ss.ss_size = kAltStack;
    if (sigaltstack(&ss, nullptr) != 0) {
        munmap(mem, size);
        return;
    }
    t_altStack.mem = mem;
    t_altStack.size = size;
}

void faultInstall() {
    if (g_installed)
        return;
    g_installed = true;
    // The first backtrace() loads the unwinder, which allocates: not in a handler.
    backtrace(g_frames, 2);
    time_t now = time(nullptr);
    struct tm tm {};
    localtime_r(&now, &tm);
    g_gmtoff = tm.tm_gmtoff;

    faultAltStack();
    setThreadStartHook(threadStart);
    // Whatever handled these before is replaced, not chained: only handlers
    // installed later (faultReassert) run after the report.
    for (int sig : kSignals) {
        g_chain[sig] = {};
        g_chain[sig].sa_handler = SIG_DFL;
        setAction(sig);
    }
    setFaultHook(onAssert);
}

void faultReassert() {
    for (int sig : kSignals) {
        struct sigaction cur;
        if (sigaction(sig, nullptr, &cur) != 0)
            continue;
        if ((cur.sa_flags & SA_SIGINFO) && cur.sa_sigaction == onFault)
            continue;
        g_chain[sig] = cur;
        setAction(sig);
    }
}

void faultSetDump(const std::string& path) {
    g_dumpSet.store(false);
    copyPath(g_dump, path);
    g_dumpSet.store(!path.empty());
}

void faultSetLog(const std::string& path) {
    g_logSet.store(false);
    copyPath(g_log, path);
    g_logSet.store(!path.empty());
}

} // namespace rux::impl
