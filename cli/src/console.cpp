#include "cli/console.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>

#include <termios.h>
#include <unistd.h>

#include "cli/action.h"
#include "cli/session.h"
#include "cli/term.h"

namespace rux {

namespace {

// Signals that end the process: the terminal gets its modes back first.
constexpr int kSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGABRT, SIGSEGV, SIGBUS, SIGFPE};
constexpr int kMaxSig = 65;

std::mutex g_mtx;
bool g_inited = false;
bool g_atexit = false;
termios g_saved;
volatile sig_atomic_t g_raw = 0; // g_saved holds the modes to put back
struct sigaction g_old[kMaxSig];
bool g_hooked[kMaxSig];

void onSignal(int sig) {
    if (g_raw)
        tcsetattr(STDIN_FILENO, TCSANOW, &g_saved);
    // The previous disposition takes the signal as if we had not been here.
    sigaction(sig, &g_old[sig], nullptr);
    raise(sig);
}

void hookSignals() {
    for (int sig : kSignals) {
        struct sigaction old;
        if (sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN)
            continue;
        struct sigaction sa = {};
        sa.sa_handler = onSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESETHAND;
        g_old[sig] = old;
        g_hooked[sig] = sigaction(sig, &sa, nullptr) == 0;
    }
}

void unhookSignals() {
    for (int sig : kSignals) {
        if (!g_hooked[sig])
            continue;
        struct sigaction cur;
        // Leave alone a handler someone installed after us.
        if (sigaction(sig, nullptr, &cur) == 0 && cur.sa_handler == onSignal)
            sigaction(sig, &g_old[sig], nullptr);
        g_hooked[sig] = false;
    }
}

void restoreAtExit() {
    cliRestoreOsConsole();
}

// The VT100 decoder over standard input; on a pipe or file a line feed ends
// the line (a carriage return before it counts once).
class osConsoleInT : public cliVT100InputDecoderT {
public:
    osConsoleInT() : cliVT100InputDecoderT(std::cin), _lines(!isatty(STDIN_FILENO)) {}

protected:
    int _filter(char& c) override {
        if (!_lines)
            return enUSE;
        const bool afterCR = _cr;
        _cr = c == '\r';
        if (c != '\n')
            return enUSE;
        if (afterCR)
            return enSKIP;
        c = '\r';
        return enUSE;
    }

private:
    bool _lines;
    bool _cr = false;
};

} // namespace

bool cliInitOsConsole() {
    std::lock_guard<std::mutex> lock(g_mtx);
    if (g_inited)
        return true;
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (isatty(STDIN_FILENO)) {
        termios t;
        if (tcgetattr(STDIN_FILENO, &t) != 0)
            return false;
        g_saved = t;
        t.c_lflag &= ~(ICANON | ECHO | ECHONL | IEXTEN);
        t.c_iflag &= ~(ICRNL | INLCR | IGNCR | IXON);
        // Ctrl-C and Ctrl-Z are keys of the editor; Ctrl-\ still quits.
        t.c_cc[VINTR] = _POSIX_VDISABLE;
        t.c_cc[VSUSP] = _POSIX_VDISABLE;
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 0;
        g_raw = 1;
        hookSignals();
        if (tcsetattr(STDIN_FILENO, TCSANOW, &t) != 0) {
            g_raw = 0;
            unhookSignals();
            return false;
        }
        if (!g_atexit)
            g_atexit = std::atexit(restoreAtExit) == 0;
    }
    g_inited = true;
    return true;
}

void cliRestoreOsConsole() {
    std::lock_guard<std::mutex> lock(g_mtx);
    if (g_raw) {
        tcsetattr(STDIN_FILENO, TCSANOW, &g_saved);
        g_raw = 0;
        unhookSignals();
    }
    g_inited = false;
}

std::shared_ptr<cliInputDecoderT> cliGetOsConsoleIn() {
    static const std::shared_ptr<cliInputDecoderT> in = std::make_shared<osConsoleInT>();
    return in;
}

std::shared_ptr<cliOutputT> cliGetOsConsoleOut() {
    static const std::shared_ptr<cliOutputT> out = cliVT100TermT::create(std::cout);
    return out;
}

bool cliStart(std::shared_ptr<cliMenuT> root, bool quit) {
    if (!root)
        return false;
    if (quit) {
        auto q = cliCmdT::create("quit", "bye bye");
        q->action(cliActionT::create([](const cliArgsT&, std::shared_ptr<cliOutputT> out) {
            out->text("see you!\n");
            out->flush();
            std::exit(0);
        }));
        root->add(q);
    }
    cliInitOsConsole();
    {
        cliSessionT session(root);
        session.setOutput(cliGetOsConsoleOut());
        cliGetOsConsoleIn()->run(session);
    }
    cliRestoreOsConsole();
    return true;
}

} // namespace rux
