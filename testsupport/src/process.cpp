#include "rux_testsupport.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/prctl.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <iostream>

extern char** environ;

namespace rux::test {

namespace {

std::string errnoText(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

// Waits on the condition until `pred` holds or the time-out passes.
template <class P>
bool waitUntil(std::mutex& m, std::condition_variable& cv, msT timeout, P pred) {
    std::unique_lock<std::mutex> lk(m);
    return cv.wait_for(lk, timeout, pred);
}

bool findFrom(const std::string& hay, const std::string& needle, size_t from, size_t* at) {
    if (from > hay.size())
        return false;
    size_t p = hay.find(needle, from);
    if (p == std::string::npos)
        return false;
    if (at)
        *at = p + needle.size();
    return true;
}

} // namespace

processT::processT(optionsT opts) : _opts(std::move(opts)) {}

processT::processT(std::vector<std::string> argv) { _opts.argv = std::move(argv); }

processT::~processT() {
    if (_pid > 0 && !_done) {
        if (_opts.newSession)
            ::kill(-_pid, SIGKILL);
        ::kill(_pid, SIGKILL);
        wait(msT(10000));
    }
    if (_stopFd >= 0) {
        // Let the reader drain what the child wrote before it ended.
        uint64_t one = 1;
        if (_outThread.joinable()) {
            std::unique_lock<std::mutex> lk(_mtx);
            _cv.wait_for(lk, msT(500), [&] { return _outFd < 0; });
        }
        (void)!::write(_stopFd, &one, sizeof one);
    }
    if (_outThread.joinable())
        _outThread.join();
    if (_notifyThread.joinable())
        _notifyThread.join();
    if (_inFd >= 0)
        ::close(_inFd);
    if (_notifyFd >= 0)
        ::close(_notifyFd);
    if (_stopFd >= 0)
        ::close(_stopFd);
    if (::testing::Test::HasFailure()) {
        std::cerr << "----- output of " << (_opts.argv.empty() ? "?" : _opts.argv[0]) << " (pid "
                  << _pid << ") -----\n"
                  << output() << "\n";
        for (const auto& l : _logs)
            std::cerr << "----- " << l << " -----\n" << readFile(l) << "\n";
        std::cerr << "-----\n";
    }
}

bool processT::start() {
    if (_opts.argv.empty()) {
        _err = "no program";
        return false;
    }
    _stopFd = ::eventfd(0, EFD_CLOEXEC);
    if (_stopFd < 0) {
        _err = errnoText("eventfd");
        return false;
    }

    std::map<std::string, std::string> env;
    for (char** e = environ; *e; ++e) {
        const char* eq = std::strchr(*e, '=');
        if (eq)
            env[std::string(*e, size_t(eq - *e))] = eq + 1;
    }
    for (const auto& u : _opts.unsetEnv)
        env.erase(u);
    env.erase("NOTIFY_SOCKET");
    for (const auto& kv : _opts.env)
        env[kv.first] = kv.second;

    if (_opts.notify) {
        _notifyDir = std::make_unique<tempDirT>();
        _notifyPath = _notifyDir->path() + "/notify";
        _notifyFd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un sa{};
        sa.sun_family = AF_UNIX;
        std::strncpy(sa.sun_path, _notifyPath.c_str(), sizeof sa.sun_path - 1);
        if (_notifyFd < 0 || ::bind(_notifyFd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
            _err = errnoText("notify socket");
            return false;
        }
        env["NOTIFY_SOCKET"] = _notifyPath;
    }

    std::vector<std::string> envStrings;
    for (const auto& kv : env)
        envStrings.push_back(kv.first + "=" + kv.second);
    std::vector<char*> envp, argv;
    for (auto& s : envStrings)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    for (auto& a : _opts.argv)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    int childIn = -1, childOut = -1, ptySlave = -1;
    if (_opts.pty) {
        int master = -1;
        if (::openpty(&master, &ptySlave, nullptr, nullptr, nullptr) != 0) {
            _err = errnoText("openpty");
            return false;
        }
        ::fcntl(master, F_SETFD, FD_CLOEXEC);
        _outFd = master;
        _inFd = ::dup(master);
        ::fcntl(_inFd, F_SETFD, FD_CLOEXEC);
    } else {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) {
            _err = errnoText("pipe");
            return false;
        }
        _outFd = out[0];
        childOut = out[1];
        if (_opts.stdinPipe) {
            int in[2];
            if (::pipe2(in, O_CLOEXEC) != 0) {
                _err = errnoText("pipe");
                return false;
            }
            childIn = in[0];
            _inFd = in[1];
        } else {
            childIn = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        }
    }

    const char* cwd = _opts.cwd.empty() ? nullptr : _opts.cwd.c_str();
    const pid_t parent = ::getpid();
    bool newSession = _opts.newSession || _opts.pty;
    pid_t pid = ::fork();
    if (pid < 0) {
        _err = errnoText("fork");
        return false;
    }
    if (pid == 0) {
        // Child: async-signal-safe calls only. A test binary killed by a time-out
        // must not leave its programs running.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(125);
        if (newSession)
            ::setsid();
        if (ptySlave >= 0) {
            ::ioctl(ptySlave, TIOCSCTTY, 0);
            ::dup2(ptySlave, 0);
            ::dup2(ptySlave, 1);
            ::dup2(ptySlave, 2);
        } else {
            ::dup2(childIn, 0);
            ::dup2(childOut, 1);
            ::dup2(childOut, 2);
        }
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        if (cwd && ::chdir(cwd) != 0)
            ::_exit(126);
        ::execve(argv[0], argv.data(), envp.data());
        static const char msg[] = "processT: exec failed\n";
        (void)!::write(2, msg, sizeof msg - 1);
        ::_exit(127);
    }
    _pid = pid;
    if (ptySlave >= 0)
        ::close(ptySlave);
    if (childIn >= 0)
        ::close(childIn);
    if (childOut >= 0)
        ::close(childOut);

    _outThread = std::thread(&processT::_reader, this, _outFd);
    if (_notifyFd >= 0)
        _notifyThread = std::thread(&processT::_notifyReader, this);
    return true;
}

void processT::_reader(int fd) {
    char buf[4096];
    for (;;) {
        pollfd p[2] = {{fd, POLLIN, 0}, {_stopFd, POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (p[0].revents) {
            ssize_t n = ::read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) // EOF, or EIO once a pty's last slave closed
                break;
            std::lock_guard<std::mutex> lk(_mtx);
            _out.append(buf, size_t(n));
            _cv.notify_all();
            continue;
        }
        if (p[1].revents)
            break;
    }
    std::lock_guard<std::mutex> lk(_mtx);
    ::close(fd);
    _outFd = -1;
    _cv.notify_all();
}

void processT::_notifyReader() {
    char buf[4096];
    for (;;) {
        pollfd p[2] = {{_notifyFd, POLLIN, 0}, {_stopFd, POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (p[0].revents) {
            ssize_t n = ::recv(_notifyFd, buf, sizeof buf, 0);
            if (n > 0) {
                std::lock_guard<std::mutex> lk(_mtx);
                _notes.emplace_back(buf, size_t(n));
                _cv.notify_all();
            }
            continue;
        }
        if (p[1].revents)
            return;
    }
}

std::string processT::output() const {
    std::lock_guard<std::mutex> lk(_mtx);
    return _out;
}

bool processT::waitForOutput(const std::string& text, msT timeout, size_t from, size_t* at) {
    return waitUntil(_mtx, _cv, timeout, [&] { return findFrom(_out, text, from, at); });
}

bool processT::waitForFile(const std::string& path, const std::string& text, msT timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (readFile(path).find(text) != std::string::npos)
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(msT(5));
    }
}

bool processT::waitForNotify(const std::string& text, msT timeout) {
    return waitUntil(_mtx, _cv, timeout, [&] {
        for (const auto& n : _notes)
            if (n.find(text) != std::string::npos)
                return true;
        return false;
    });
}

std::vector<std::string> processT::notifications() const {
    std::lock_guard<std::mutex> lk(_mtx);
    return _notes;
}

bool processT::writeInput(const std::string& bytes) {
    size_t off = 0;
    while (off < bytes.size()) {
        if (_inFd < 0)
            return false;
        ssize_t n = ::write(_inFd, bytes.data() + off, bytes.size() - off);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        off += size_t(n);
    }
    return true;
}

void processT::closeInput() {
    if (_inFd >= 0 && !_opts.pty) {
        ::close(_inFd);
        _inFd = -1;
    } else if (_inFd >= 0) {
        writeInput(std::string(1, '\x04')); // end of file on a terminal in canonical mode
    }
}

bool processT::signal(int sig) { return _pid > 0 && !_done && ::kill(_pid, sig) == 0; }

bool processT::wait(msT timeout) {
    if (_pid <= 0)
        return false;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!_done) {
        int st = 0;
        pid_t r = ::waitpid(_pid, &st, WNOHANG);
        if (r == _pid) {
            _status = st;
            _done = true;
            break;
        }
        if (r < 0 && errno != EINTR)
            return false;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(msT(2));
    }
    // The child has gone: let the reader take what it wrote last, unless a
    // descendant still holds the output open.
    std::unique_lock<std::mutex> lk(_mtx);
    _cv.wait_until(lk, deadline, [&] { return _outFd < 0; });
    return true;
}

bool processT::running() { return _pid > 0 && !_done && !wait(msT(0)); }

bool processT::exited() const { return _done && WIFEXITED(_status); }
int processT::exitCode() const { return exited() ? WEXITSTATUS(_status) : -1; }
int processT::termSignal() const { return _done && WIFSIGNALED(_status) ? WTERMSIG(_status) : 0; }
bool processT::coreDumped() const { return _done && WIFSIGNALED(_status) && WCOREDUMP(_status); }

} // namespace rux::test
