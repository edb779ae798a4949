#include "quit_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace rux::impl {

namespace {

constexpr int kQuitSignals[] = {SIGTERM, SIGINT, SIGHUP};

// Made once and never closed: a handler may be writing while the skeleton ends.
int g_pipe[2] = {-1, -1};
std::atomic<bool> g_listening{false};

void onQuitSignal(int sig) {
    const int savedErrno = errno;
    if (g_listening.load()) {
        const char b = char(sig);
        ssize_t rc;
        do
            rc = ::write(g_pipe[1], &b, 1);
        while (rc < 0 && errno == EINTR);
    } else {
        // Nobody to tell: the signal ends the process as if we had not been here.
        struct sigaction dfl = {};
        dfl.sa_handler = SIG_DFL;
        sigaction(sig, &dfl, nullptr);
        raise(sig);
    }
    errno = savedErrno;
}

sigset_t quitSet() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : kQuitSignals)
        sigaddset(&set, sig);
    return set;
}

} // namespace

void quitSignalsT::block() {
    sigset_t set = quitSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

bool quitSignalsT::start(std::function<void(int)> onQuit) {
    if (_thread.valid())
        return true;
    if (g_pipe[0] < 0 && pipe2(g_pipe, O_CLOEXEC) != 0)
        return false;
    _onQuit = std::move(onQuit);
    // Drain what an earlier run left behind.
    int fl = fcntl(g_pipe[0], F_GETFL);
    fcntl(g_pipe[0], F_SETFL, fl | O_NONBLOCK);
    char junk[64];
    while (::read(g_pipe[0], junk, sizeof junk) > 0) {
    }
    fcntl(g_pipe[0], F_SETFL, fl);

    g_listening.store(true);
    reassert();
    _thread = threadT::create("rux_gas_signal");
    _thread.start(this, &quitSignalsT::_run);
    return true;
}

void quitSignalsT::reassert() {
    for (int sig : kQuitSignals) {
        struct sigaction cur;
        if (sigaction(sig, nullptr, &cur) == 0 && !(cur.sa_flags & SA_SIGINFO) &&
            cur.sa_handler == onQuitSignal)
            continue;
        struct sigaction sa = {};
        sa.sa_handler = onQuitSignal;
        // No SA_RESTART: where a handler runs late (sanitizers defer them to the
        // next library call), the signal thread's read must return to let it run.
        sa.sa_flags = 0;
        sigemptyset(&sa.sa_mask);
        sigaction(sig, &sa, nullptr);
    }
}

void quitSignalsT::stop() {
    if (!_thread.valid())
        return;
    const char stopByte = 0;
    ssize_t rc;
    do
        rc = ::write(g_pipe[1], &stopByte, 1);
    while (rc < 0 && errno == EINTR);
    _thread->wait();
    _thread.reset();
    g_listening.store(false);
}

void quitSignalsT::_run() {
    // The one thread the quit signals are delivered to.
    sigset_t set = quitSet();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    for (;;) {
        char b;
        ssize_t rc = ::read(g_pipe[0], &b, 1);
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc <= 0 || b == 0)
            break;
        _onQuit(int(b));
    }
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

} // namespace rux::impl
