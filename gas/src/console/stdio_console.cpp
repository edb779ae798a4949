#include "stdio_console.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <istream>
#include <streambuf>

#include "cli/console.h"
#include "cli/decoder.h"
#include "cli/session.h"

namespace rux::impl {

namespace {

// Standard input that also ends when the wake-up descriptor becomes readable.
class stdinBufT : public std::streambuf {
public:
    explicit stdinBufT(int wake) : _wake(wake) { setg(_buf, _buf, _buf); }

protected:
    int_type underflow() override {
        if (gptr() < egptr())
            return traits_type::to_int_type(*gptr());
        for (;;) {
            pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {_wake, POLLIN, 0}};
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                return traits_type::eof();
            }
            if (fds[1].revents)
                return traits_type::eof();
            if (!fds[0].revents)
                continue;
            ssize_t n = read(STDIN_FILENO, _buf, sizeof _buf);
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (n <= 0)
                return traits_type::eof();
            setg(_buf, _buf, _buf + n);
            return traits_type::to_int_type(*gptr());
        }
    }

private:
    int _wake;
    char _buf[256];
};

// Keys as from a terminal; on a pipe or file a line feed ends the line (a
// carriage return right before it counts once).
class stdinDecoderT : public cliVT100InputDecoderT {
public:
    explicit stdinDecoderT(std::istream& is)
        : cliVT100InputDecoderT(is), _lines(!isatty(STDIN_FILENO)) {}

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

// Runs every key operation of the session holding the output's lock.
class lockedInputT : public cliInputT {
public:
    lockedInputT(cliSessionT& s, cliSharedOutputT& out) : _s(s), _out(out) {}

    bool chr(char c) override {
        return _locked([&] { return _s.chr(c); });
    }
    bool del() override {
        return _locked([&] { return _s.del(); });
    }
    bool ok() override {
        return _locked([&] { return _s.ok(); });
    }
    bool complete() override {
        return _locked([&] { return _s.complete(); });
    }
    bool help() override {
        return _locked([&] { return _s.help(); });
    }
    bool sep() override {
        return _locked([&] { return _s.sep(); });
    }
    bool up() override {
        return _locked([&] { return _s.up(); });
    }
    bool down() override {
        return _locked([&] { return _s.down(); });
    }
    bool brk() override {
        return _locked([&] { return _s.brk(); });
    }

private:
    template <class F> bool _locked(F f) {
        _out.lock();
        bool r = f();
        _out.unlock();
        return r;
    }

    cliSessionT& _s;
    cliSharedOutputT& _out;
};

} // namespace

stdioConsoleT::stdioConsoleT(std::shared_ptr<cliMenuT> root, std::shared_ptr<cliSharedOutputT> out)
    : _root(std::move(root)), _out(std::move(out)) {}

stdioConsoleT::~stdioConsoleT() {
    stop();
    for (int fd : _wake)
        if (fd >= 0)
            close(fd);
}

bool stdioConsoleT::start() {
    if (_thread.valid() || !_root || !_out)
        return false;
    if (_wake[0] < 0 && pipe2(_wake, O_CLOEXEC) != 0)
        return false;
    _thread = threadT::create("rux_gas_console");
    _thread.start(functorT(this, &stdioConsoleT::_run));
    return true;
}

void stdioConsoleT::stop() {
    if (!_thread.valid())
        return;
    if (_wake[1] >= 0) {
        const char b = 0;
        ssize_t n;
        do
            n = write(_wake[1], &b, 1);
        while (n < 0 && errno == EINTR);
    }
    if (_thread->tid() != impl::selfTid()) {
        _thread->wait();
        _thread.reset();
    }
    cliRestoreOsConsole();
}

void stdioConsoleT::_run() {
    {
        stdinBufT buf(_wake[0]);
        std::istream in(&buf);
        stdinDecoderT decoder(in);
        cliSessionT session(_root);
        _out->lock();
        session.setOutput(_out);
        _out->unlock();
        // Log lines scroll above the operator's line; the session is idle
        // (waiting for a key) whenever this runs.
        cliSharedOutputT* out = _out.get();
        _out->redraw([&session, out] {
            const cliCtxT& ctx = session.ctx();
            out->text(ctx.menu->name() + " > " + ctx.typed());
        });
        lockedInputT input(session, *_out);
        decoder.run(input);
        _out->redraw(nullptr);
    }
    // Standard input has ended (or we are stopping): the program goes on.
    cliRestoreOsConsole();
}

} // namespace rux::impl
