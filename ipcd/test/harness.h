// End-to-end harness: a real rux_ipcd in a private runtime directory, and raw
// sequenced-packet nodes built from the wire helpers that talk to it.
#pragma once

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ipc/names.h"
#include "ipc/wire.h"
#include "rux_testsupport.h"
#include "sal/socket.h"

namespace ipcdtest {

using namespace rux;
using namespace rux::impl;
using rux::test::msT;
using rux::test::processT;
using rux::test::tempDirT;

// A configuration file: DEFAULTS with `defaults` lines, plus one section per
// entry of `services` ("name", then its lines).
inline std::string cfgText(const std::string& defaults,
                           const std::vector<std::pair<std::string, std::string>>& services = {}) {
    std::string s = "[SERVICES]\n";
    int n = 0;
    for (const auto& svc : services)
        s += "s" + std::to_string(++n) + " = " + svc.first + "\n";
    s += "[DEFAULTS]\n" + defaults;
    for (const auto& svc : services)
        s += "[" + svc.first + "]\n" + svc.second;
    return s;
}

// rux_ipcd with its log on the collected output, serving in `dir`.
class daemonT {
public:
    daemonT() { setenv("RUX_RUNTIME_DIR", _dir.path().c_str(), 1); }

    const tempDirT& dir() const { return _dir; }
    processT& proc() { return *_proc; }

    // Starts the daemon with `cfg` as its configuration file and waits until it
    // serves.
    bool start(const std::string& cfg = cfgText("LOG_LEV = DEBUG\n")) {
        std::string path = _dir.sub("rux_ipc.cfg");
        std::ofstream(path) << cfg;
        processT::optionsT o;
        o.argv = {RUX_IPCD, "-c", path, "-D", "console", "-L", "debug", "-G", _dir.path()};
        o.env["RUX_RUNTIME_DIR"] = _dir.path();
        o.env["HOME"] = _dir.path();
        o.unsetEnv = {"rux_ipc_config"};
        o.notify = true;
        _proc = std::make_unique<processT>(o);
        return _proc->start() && _proc->waitForNotify("READY=1");
    }

    bool waitLog(const std::string& text, msT timeout = msT(10000)) {
        return _proc->waitForOutput(text, timeout);
    }
    // How many times `text` appears in the output so far.
    size_t count(const std::string& text) const {
        std::string out = _proc->output();
        size_t n = 0;
        for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1))
            ++n;
        return n;
    }
    // Resident memory of the daemon in KiB.
    long rssKiB() const {
        std::ifstream in("/proc/" + std::to_string(_proc->pid()) + "/status");
        std::string key;
        while (in >> key) {
            if (key == "VmRSS:") {
                long kb = 0;
                in >> kb;
                return kb;
            }
            in.ignore(1 << 16, '\n');
        }
        return -1;
    }

private:
    tempDirT _dir;
    std::unique_ptr<processT> _proc;
};

// A raw node: one connection to the daemon, datagrams in and out.
class nodeT {
public:
    bool connect() { return _conn.connect(daemonAddr); }
    int fd() const { return _conn.nativeHandle(); }
    uint32_t id() const { return _id; }

    // Attaches and returns the response's status (-1 when none came).
    int attach(const std::string& service, const std::string& name) {
        _service = service;
        dgramT d;
        if (!_conn.isOpen() && !connect())
            return -1;
        if (!ipcBuildAttach(d, service, name) || !send(d))
            return -1;
        ipcHeaderT h;
        ipcSubscrT s;
        if (!recvKind(enIPC_SUBSCR, d) || !ipcParseSubscr(d, h, s))
            return -1;
        if (s.status == ipcSubscrT::enACCEPTED)
            _id = h.dstId;
        return int(s.status);
    }

    // Sends, waiting up to `ms` for room in the connection.
    bool send(const dgramT& d, int ms = 10000) {
        for (;;) {
            ssize_t r = ::send(fd(), d.buf(), d.length(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (r == ssize_t(d.length()))
                return true;
            if (r >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOBUFS))
                return false;
            pollfd p{fd(), POLLOUT, 0};
            if (::poll(&p, 1, ms) != 1)
                return false;
        }
    }
    // Sends only if the connection has room now.
    bool trySend(const dgramT& d) {
        return ::send(fd(), d.buf(), d.length(), MSG_NOSIGNAL | MSG_DONTWAIT) ==
               ssize_t(d.length());
    }
    bool sendRaw(const std::string& bytes) {
        return ::send(fd(), bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
    }

    // The next datagram within `ms`; false on time-out or end of connection.
    bool recv(dgramT& d, int ms = 5000) {
        pollfd p{fd(), POLLIN, 0};
        if (::poll(&p, 1, ms) != 1)
            return false;
        ssize_t r = ::recv(fd(), _buf.data(), _buf.size(), MSG_DONTWAIT);
        if (r <= 0)
            return false;
        dgramT out{uint32_t(r)};
        out.write(_buf.data(), uint32_t(r));
        d = std::move(out);
        return true;
    }
    // The next datagram of `kind`, skipping others (presence notifications).
    bool recvKind(int kind, dgramT& d, int ms = 5000) {
        while (recv(d, ms))
            if (ipcRawKind(d) == kind)
                return true;
        return false;
    }
    // True when no user message arrives within `ms` (or the connection ended).
    bool quiet(int ms = 300) {
        dgramT d;
        return !recvKind(enIPC_USER, d, ms);
    }
    // True once the daemon has ended the connection (after draining it).
    bool waitClosed(int ms = 10000) {
        for (;;) {
            pollfd p{fd(), POLLIN, 0};
            if (::poll(&p, 1, ms) != 1)
                return false;
            ssize_t r = ::recv(fd(), _buf.data(), _buf.size(), MSG_DONTWAIT);
            if (r == 0 || (r < 0 && errno != EAGAIN))
                return true;
        }
    }
    // Waits for the presence notification about `name`.
    bool waitPresence(const std::string& name, bool up, uint32_t* id = nullptr, int ms = 5000) {
        dgramT d;
        while (recv(d, ms)) {
            ipcHeaderT h;
            ipcNotifT n;
            if (ipcParseNotif(d, h, n) && n.node == name && n.up == up) {
                if (id)
                    *id = n.id;
                return true;
            }
        }
        return false;
    }

    // A user message of `prio` to `dst` carrying `text`.
    dgramT user(uint32_t dst, const std::string& text, unsigned prio = 2, uint32_t src = 0,
                uint32_t fwd = 0, uint32_t ivk = 0) const {
        ipcHeaderT h;
        h.prio = prio;
        h.srcId = src ? src : _id;
        h.dstId = dst;
        h.fwdId = fwd;
        h.ivkId = ivk;
        dgramT d{uint32_t(ipcHeaderT::size + text.size())};
        ipcStoreHeader(d, h);
        d.seek(ipcHeaderT::size, enSEEK_SET);
        d.write(text.data(), uint32_t(text.size()));
        return d;
    }
    // Bind (type 1) or unbind (type 2) of a secondary name; the status, or -1.
    int alias(uint32_t type, const std::string& name, uint32_t* id = nullptr, uint32_t src = 0) {
        dgramT d;
        static uint32_t ivk = 100;
        uint32_t mine = ++ivk;
        if (!ipcBuildAliasRequest(d, type, _service, name, src ? src : _id, mine) || !send(d))
            return -1;
        ipcHeaderT h;
        ipcSubscrT s;
        while (recvKind(enIPC_SUBSCR, d)) {
            if (ipcParseSubscr(d, h, s) && h.ivkId == mine) {
                if (id)
                    *id = h.dstId;
                return int(s.status);
            }
        }
        return -1;
    }

    void close() { _conn.close(); }

private:
    seqSocketT _conn;
    std::vector<char> _buf = std::vector<char>(1 << 20);
    std::string _service;
    uint32_t _id = 0;
};

// A child process that reads a node's connection, as the node's program
// would, until it is stopped (SIGSTOP). It exits 0 once a user message with
// the payload `until` arrived, 3 at the end of the connection.
class readerProcT {
public:
    readerProcT(int fd, const std::string& until) {
        _pid = ::fork();
        if (_pid != 0)
            return;
        // Only system calls from here on: the test process has threads.
        static char buf[1 << 20];
        for (;;) {
            ssize_t r = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
            if (r == 0)
                ::_exit(3);
            if (r < 0) {
                if (errno != EAGAIN && errno != EINTR)
                    ::_exit(4);
                pollfd p{fd, POLLIN, 0};
                ::poll(&p, 1, -1);
                continue;
            }
            if (size_t(r) == ipcHeaderT::size + until.size() && buf[0] == enIPC_USER &&
                until.compare(0, until.size(), buf + ipcHeaderT::size, until.size()) == 0)
                ::_exit(0);
        }
    }
    ~readerProcT() {
        if (_pid > 0 && !_done) {
            ::kill(_pid, SIGKILL);
            ::waitpid(_pid, nullptr, 0);
        }
    }
    bool ok() const { return _pid > 0; }
    void stop() { ::kill(_pid, SIGSTOP); }
    void cont() { ::kill(_pid, SIGCONT); }
    // The exit code once it ended within `ms`; -1 otherwise.
    int exitCode(int ms = 10000) {
        for (int waited = 0; waited <= ms; waited += 10) {
            int st = 0;
            if (::waitpid(_pid, &st, WNOHANG) == _pid) {
                _done = true;
                return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
            }
            ::usleep(10000);
        }
        return -1;
    }

private:
    pid_t _pid = -1;
    bool _done = false;
};

// The payload text of a user message.
inline std::string payload(const dgramT& d) {
    if (d.length() < ipcHeaderT::size)
        return std::string();
    return std::string(d.buf() + ipcHeaderT::size, d.length() - ipcHeaderT::size);
}

} // namespace ipcdtest
