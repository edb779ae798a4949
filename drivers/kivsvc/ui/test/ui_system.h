// The bridge as its users run it: rux_ipcd, kivsvc-drv on simulated meters,
// kivsvc-rass and kivsvc-ui in child processes sharing a private runtime
// directory, and a UI that speaks frames over a real TCP connection.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "kivsvc_common.h"
#include "rux_testsupport.h"

namespace uitest {

using rux::test::msT;
using rux::test::processT;

// One control-bus frame as the UI sees it.
struct frameT {
    uint32_t header = 0;
    std::string payload;
};

inline std::string be32(uint32_t v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i)
        s[size_t(i)] = char(v >> (24 - 8 * i));
    return s;
}

inline std::string frameBytes(uint32_t header, const std::string& payload) {
    return "KIVM" + be32(header) + be32(uint32_t(payload.size())) + payload;
}

inline std::string request(kivsvc::kivmsgT::msgIdT id, int ivk, int dev = -1) {
    kivsvc::kivmsgT m;
    m.set_msg_id(id);
    m.set_ivk_id(ivk);
    m.set_dev_id(dev);
    return m.SerializeAsString();
}

inline kivsvc::kivmsgT decode(const frameT& f) {
    kivsvc::kivmsgT m;
    EXPECT_TRUE(m.ParseFromString(f.payload)) << "payload of " << f.payload.size() << " bytes";
    return m;
}

// The UI end of the TCP connection.
class uiClientT {
public:
    ~uiClientT() { close(); }

    // A receive buffer of `rcvbuf` bytes when given (small: fills quickly).
    bool connect(uint16_t port, int rcvbuf = 0) {
        close();
        _fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (rcvbuf > 0)
            ::setsockopt(_fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return _fd >= 0 && ::connect(_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    void close() {
        if (_fd >= 0)
            ::close(_fd);
        _fd = -1;
        _in.clear();
    }
    bool send(const std::string& bytes) {
        return ::send(_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
    }
    // What the socket takes now (0 when it stayed full for 100 ms); -1 once
    // the connection is gone.
    long sendSome(const std::string& bytes) {
        ssize_t r = ::send(_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r >= 0)
            return long(r);
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return -1;
        pollfd p{_fd, POLLOUT, 0};
        ::poll(&p, 1, 100);
        return 0;
    }
    // The next frame, or false when none came within `timeout` or the
    // connection ended.
    bool next(frameT& f, msT timeout = msT(10000)) {
        if (!_fill(12, timeout))
            return false;
        uint32_t len = _get32(8);
        if (!_fill(12 + len, timeout))
            return false;
        if (_in.compare(0, 4, "KIVM") != 0)
            return false;
        f.header = _get32(4);
        f.payload = _in.substr(12, len);
        _in.erase(0, 12 + len);
        return true;
    }
    // The next frame that is not a ping.
    bool nextNonPing(frameT& f, msT timeout = msT(10000)) {
        auto end = std::chrono::steady_clock::now() + timeout;
        while (next(f, std::chrono::duration_cast<msT>(end - std::chrono::steady_clock::now())))
            if (f.header != 0x00030000u)
                return true;
        return false;
    }
    // True once the bridge has closed the connection (what it sent before is
    // skipped).
    bool waitClosed(msT timeout = msT(15000)) {
        auto end = std::chrono::steady_clock::now() + timeout;
        char buf[4096];
        for (;;) {
            int left = int(std::chrono::duration_cast<msT>(end - std::chrono::steady_clock::now())
                               .count());
            if (left <= 0)
                return false;
            pollfd p{_fd, POLLIN, 0};
            if (::poll(&p, 1, left) <= 0)
                continue;
            ssize_t r = ::recv(_fd, buf, sizeof buf, 0);
            if (r <= 0)
                return true;
        }
    }
    int fd() const { return _fd; }

private:
    bool _fill(size_t n, msT timeout) {
        auto end = std::chrono::steady_clock::now() + timeout;
        char buf[4096];
        while (_in.size() < n) {
            int left = int(std::chrono::duration_cast<msT>(end - std::chrono::steady_clock::now())
                               .count());
            if (left <= 0)
                return false;
            pollfd p{_fd, POLLIN, 0};
            if (::poll(&p, 1, left) <= 0)
                continue;
            ssize_t r = ::recv(_fd, buf, sizeof buf, 0);
            if (r <= 0)
                return false;
            _in.append(buf, size_t(r));
        }
        return true;
    }
    uint32_t _get32(size_t at) const {
        auto b = reinterpret_cast<const unsigned char*>(_in.data() + at);
        return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
    }

    int _fd = -1;
    std::string _in;
};

class systemT {
public:
    systemT() {
        _home = _dir.sub("home", true);
        _run = _dir.sub("run", true);
        _logs = _dir.sub("log", true);
        // Nodes of the test process find the daemon here too.
        setenv("RUX_RUNTIME_DIR", _run.c_str(), 1);
    }

    // The bridge and the stand-in end cleanly on SIGTERM whatever the test
    // did to them (a sanitizer report would fail their exit code too).
    ~systemT() {
        for (processT* p : {ui.get(), rass.get()}) {
            if (!p || !p->running())
                continue;
            p->signal(SIGTERM);
            EXPECT_TRUE(p->wait(msT(10000)));
            EXPECT_EQ(0, p->exitCode());
        }
    }

    std::map<std::string, std::string> env() const {
        return {{"HOME", _home}, {"RUX_RUNTIME_DIR", _run}};
    }

    std::unique_ptr<processT> program(std::vector<std::string> argv) {
        processT::optionsT o;
        o.argv = std::move(argv);
        o.env = env();
        o.notify = true;
        return std::make_unique<processT>(o);
    }

    bool startDaemon() {
        ipcd = program({RUX_IPCD, "-D", "console", "-L", "info", "-G", _logs});
        return ipcd->start() && ipcd->waitForNotify("READY=1");
    }

    // kivsvc-drv on the simulator, ready, with its console on a free port.
    bool startDriver() {
        size_t from = 0;
        drv = program({KIVSVC_DRV, "-s", "-D", "console", "-L", "info", "-B", "127.0.0.1:0", "-G",
                       _logs});
        if (!drv->start() || !drv->waitForOutput("telnet server listening on", msT(10000), from))
            return false;
        telnetPort = rux::test::portAfter(drv->output(), "telnet server listening on");
        return drv->waitForNotify("READY=1");
    }

    bool startRass() {
        rass = program({KIVSVC_RASS, "-D", "console", "-L", "info", "-G", _logs});
        return rass->start() && rass->waitForNotify("READY=1");
    }

    // kivsvc-ui on a free port (waits for its first listening socket unless
    // told otherwise).
    bool startBridge(std::vector<std::string> extra = {}, bool waitListening = true) {
        std::vector<std::string> argv = {KIVSVC_UI, "-D", "console", "-L", "debug",
                                         "-b",      "127.0.0.1:0", "-G", _logs};
        argv.insert(argv.end(), extra.begin(), extra.end());
        ui = program(argv);
        if (!ui->start())
            return false;
        return !waitListening || nextListening();
    }

    // Waits for the bridge's next listening socket (after the ones already
    // seen) and takes its port.
    bool nextListening(msT timeout = msT(20000)) {
        const std::string marker = "opening UI connection at ";
        size_t at = 0;
        if (!ui->waitForOutput(marker, timeout, _seen, &at) ||
            !ui->waitForOutput("\n", timeout, at))
            return false;
        _seen = at;
        port = rux::test::portAfter(ui->output().substr(at - marker.size()), marker);
        return port != 0;
    }

    bool startAll(std::vector<std::string> bridgeArgs = {}) {
        return startDaemon() && startDriver() && startRass() && startBridge(bridgeArgs);
    }

    // A UI connected to the bridge's current listening socket.
    bool connectUi(uiClientT& c) { return c.connect(port); }

    rux::test::tempDirT _dir;
    std::string _home, _run, _logs;
    std::unique_ptr<processT> ipcd, drv, rass, ui;
    uint16_t telnetPort = 0;
    uint16_t port = 0;
    size_t _seen = 0;
};

} // namespace uitest
