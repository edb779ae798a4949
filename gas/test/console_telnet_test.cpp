// The telnet console server and the system menu, driven in-process through a
// telnet client on a real socket.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <list>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>

#include "console/sys_menu.h"
#include "gas/console/telnet_srv.h"
#include "logger/logger.h"
#include "logger/stream_logdev.h"
#include "rux_testsupport.h"
#include "sal/thread.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace rux {
namespace {

using test::msT;
using test::telnetClientT;

// Collects every log line of the process.
class captureT : public logDevT {
public:
    captureT() : logDevT("capture") {}
    void _doLog(const std::string& text, int) override {
        std::lock_guard<std::mutex> g(_m);
        _text += text;
        _cv.notify_all();
    }
    bool waitFor(const std::string& s, msT timeout = msT(10000)) {
        std::unique_lock<std::mutex> g(_m);
        return _cv.wait_for(g, timeout, [&] { return _text.find(s) != std::string::npos; });
    }
    std::string text() {
        std::lock_guard<std::mutex> g(_m);
        return _text;
    }

private:
    std::mutex _m;
    std::condition_variable _cv;
    std::string _text;
};

std::string noCR(std::string s) {
    s.erase(std::remove(s.begin(), s.end(), '\r'), s.end());
    return s;
}

// A root menu "app" with the system menu, served on an ephemeral loopback port.
class rigT {
public:
    explicit rigT(std::function<void(rigT&)> onQuit = nullptr,
                  ipv4AddressT host = ipv4AddressT::loopback()) {
        log = std::make_shared<captureT>();
        loggerT::setDefLogDev(log);
        impl::sysMenuCfgT cfg;
        cfg.appName = "app";
        cfg.quit = [this, onQuit] {
            ++quits;
            if (onQuit)
                onQuit(*this);
        };
        cfg.server = [this] { return srv; };
        cfg.devices = [this](std::list<std::shared_ptr<logDevT>>& l) { l = devices; };
        root = cliMenuT::create("app", "root");
        root->add(impl::makeSysMenu(cfg), false);
        srv = gasTelnetSrvT::create();
        started = srv->start(ipv4SockAddrT(host, 0), root);
        port = srv->address().port();
    }
    ~rigT() {
        srv->stop();
        loggerT::setDefLogDev(std::make_shared<streamLogDevT>("stderr", std::cerr));
    }

    // A client at its first prompt.
    std::unique_ptr<telnetClientT> client() {
        auto c = std::make_unique<telnetClientT>();
        EXPECT_TRUE(c->connect(port));
        EXPECT_TRUE(c->waitForOutput("app > "));
        return c;
    }
    std::set<uint32_t> sids() const {
        std::set<uint32_t> s;
        for (const auto& i : srv->sessions())
            s.insert(i.sid);
        return s;
    }
    // Runs a line and returns what it printed up to the next prompt.
    static std::string run(telnetClientT& c, const std::string& line) {
        const size_t from = c.output().size();
        c.sendLine(line);
        size_t at = 0;
        if (!c.waitForOutput("app > ", msT(10000), from + line.size(), &at))
            return "<no prompt after \"" + line + "\">" + c.output().substr(from);
        return noCR(c.output().substr(from, at - from));
    }

    std::shared_ptr<captureT> log;
    std::shared_ptr<cliMenuT> root;
    std::shared_ptr<gasTelnetSrvT> srv;
    std::list<std::shared_ptr<logDevT>> devices;
    std::atomic<int> quits{0};
    bool started = false;
    uint16_t port = 0;
};

bool waitUntil(const std::function<bool()>& cond, msT timeout = msT(10000)) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(msT(5));
    }
    return true;
}

// ---- server ------------------------------------------------------------------

TEST(gasTelnetSrvT, LogsThePortActuallyBound) {
    rigT r;
    ASSERT_TRUE(r.started);
    ASSERT_NE(r.port, 0);
    ASSERT_TRUE(r.log->waitFor("telnet server listening on"));
    EXPECT_EQ(test::portAfter(r.log->text(), "telnet server listening on "), r.port);
    EXPECT_NE(r.log->text().find("telnet server listening on 127.0.0.1:" + std::to_string(r.port)),
              std::string::npos);
    EXPECT_EQ(r.log->text().find("without authentication"), std::string::npos);
}

TEST(gasTelnetSrvT, WarnsThatANetworkAddressIsReachableWithoutAuthentication) {
    rigT r(nullptr, ipv4AddressT::any());
    ASSERT_TRUE(r.started);
    ASSERT_TRUE(r.log->waitFor("telnet server listening on"));
    const std::string t = r.log->text();
    EXPECT_NE(t.find("WRN rux_gas -> "), std::string::npos) << t;
    EXPECT_NE(t.find("reachable from the network without authentication"), std::string::npos);
}

TEST(gasTelnetSrvT, AddressInUseFailsToStart) {
    rigT r;
    ASSERT_TRUE(r.started);
    auto other = gasTelnetSrvT::create();
    EXPECT_FALSE(other->start(ipv4SockAddrT(ipv4AddressT::loopback(), r.port), r.root));
    EXPECT_FALSE(other->running());
}

TEST(gasTelnetSrvT, FailedAcceptIsRetriedUntilItSucceeds) {
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer runtime opens a pipe to check memory it reports on; with
    // the process out of descriptors its checks misfire.
    GTEST_SKIP() << "needs the process out of descriptors";
#endif
    rigT r;
    ASSERT_TRUE(r.log->waitFor("telnet server listening on"));
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    // Out of descriptors: the limit is the lowest free number, so accept fails.
    const int lowest = dup(fd);
    ASSERT_GE(lowest, 0);
    close(lowest);
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    rlimit low = old;
    low.rlim_cur = rlim_t(lowest);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(r.port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int rc = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    const bool warned = r.log->waitFor("failed to accept a connection, retrying");
    setrlimit(RLIMIT_NOFILE, &old);
    ASSERT_EQ(rc, 0);
    ASSERT_TRUE(warned) << r.log->text();
    // The server accepts the waiting connection and opens the negotiation.
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 10000), 1);
    unsigned char b[3] = {};
    EXPECT_EQ(recv(fd, b, sizeof b, MSG_WAITALL), 3);
    EXPECT_EQ(b[0], 255);
    close(fd);
    EXPECT_TRUE(r.log->waitFor("accepted new connection from"));
    const std::string t = r.log->text();
    EXPECT_EQ(t.find("retrying"), t.rfind("retrying")) << "one warning per failing run\n" << t;
    EXPECT_TRUE(r.srv->running());
}

TEST(gasTelnetSrvT, ConnectionBeyondTheCapIsToldSoAndClosed) {
    rigT r;
    std::vector<std::unique_ptr<telnetClientT>> clients;
    for (size_t i = 0; i < gasTelnetSrvT::maxSessions; ++i)
        clients.push_back(r.client());
    EXPECT_EQ(r.srv->sessions().size(), gasTelnetSrvT::maxSessions);
    telnetClientT extra;
    ASSERT_TRUE(extra.connect(r.port));
    EXPECT_TRUE(extra.waitClosed());
    EXPECT_EQ(noCR(extra.output()), "too many telnet sessions, try again later\n");
    EXPECT_EQ(r.srv->sessions().size(), gasTelnetSrvT::maxSessions);
    // A place freed is a place taken.
    clients.back()->close();
    ASSERT_TRUE(waitUntil([&] { return r.srv->sessions().size() < gasTelnetSrvT::maxSessions; }));
    auto again = r.client();
    EXPECT_EQ(rigT::run(*again, "rux sessions show").find("error"), std::string::npos);
}

TEST(gasTelnetSrvT, StopEndsEverySessionAndWaitsForTheirThreads) {
    rigT r;
    auto a = r.client();
    auto b = r.client();
    r.srv->stop();
    EXPECT_FALSE(r.srv->running());
    EXPECT_TRUE(r.srv->sessions().empty());
    EXPECT_TRUE(a->waitClosed());
    EXPECT_TRUE(b->waitClosed());
    threadT::iteratorT it;
    for (it.reset(); !it.end(); ++it)
        EXPECT_NE(it->status(), threadT::enRUNNING) << it->name();
}

TEST(gasTelnetSrvT, SessionThatStopsTheServerEndsWithTheOthers) {
    // The quit action stops the server on the session's own thread: it must
    // wait for the others, not for itself.
    rigT r([](rigT& rig) { rig.srv->stop(); });
    auto a = r.client();
    auto b = r.client();
    a->sendLine("rux quit");
    EXPECT_TRUE(a->waitClosed());
    EXPECT_TRUE(b->waitClosed());
    EXPECT_EQ(r.quits, 1);
    EXPECT_TRUE(waitUntil([&] { return r.srv->sessions().empty(); }));
}

// ---- system menu over telnet -----------------------------------------------------

TEST(gasSysMenu, ThreadShowListsTheConsoleThreadsRunning) {
    rigT r;
    auto c = r.client();
    const std::string out = rigT::run(*c, "rux thread show");
    EXPECT_NE(out.find("\nTID         HANDLES   PRIO          STATUS      NAME\n"
                       "_____________________________________________________\n\n"),
              std::string::npos)
        << out;
    auto lineOf = [&](const std::string& name) {
        size_t p = out.find(name);
        if (p == std::string::npos)
            return std::string();
        return out.substr(out.rfind('\n', p) + 1, out.find('\n', p) - out.rfind('\n', p) - 1);
    };
    const std::string srv = lineOf("rux_gas_telnet_srv");
    const std::string ses = lineOf("rux_gas_telnet_session [127.0.0.1:");
    ASSERT_FALSE(srv.empty()) << out;
    ASSERT_FALSE(ses.empty()) << out;
    EXPECT_EQ(srv.substr(36, 12), "running     ") << srv;
    EXPECT_EQ(ses.substr(36, 12), "running     ") << ses;
    EXPECT_EQ(ses.substr(22, 14), "normal (0)    ") << ses;
    // One thread alone, by identifier.
    const std::string tid = ses.substr(0, ses.find(' '));
    const std::string one = rigT::run(*c, "rux thread show " + tid);
    EXPECT_NE(one.find(ses), std::string::npos) << one;
    EXPECT_EQ(one.find("rux_gas_telnet_srv"), std::string::npos) << one;
}

TEST(gasSysMenu, SessionsShowMarksTheIssuingSession) {
    rigT r;
    auto a = r.client();
    auto b = r.client();
    const std::string fromA = rigT::run(*a, "rux sessions show");
    const std::string fromB = rigT::run(*b, "rux sessions show");
    const std::string head = "\ntelnet server is running at 127.0.0.1:" + std::to_string(r.port) +
                             "\n\nSID             PEER\n_____________________\n\n";
    EXPECT_NE(fromA.find(head), std::string::npos) << fromA;
    auto marked = [](const std::string& out) {
        size_t p = out.find(" (*)\n");
        if (p == std::string::npos || out.find(" (*)", p + 1) != std::string::npos)
            return std::string();
        const size_t bol = out.rfind('\n', p) + 1;
        return out.substr(bol, out.find(' ', bol) - bol);
    };
    ASSERT_FALSE(marked(fromA).empty()) << fromA;
    ASSERT_FALSE(marked(fromB).empty()) << fromB;
    EXPECT_NE(marked(fromA), marked(fromB));
    for (uint32_t sid : r.sids())
        EXPECT_NE(fromA.find(std::to_string(sid)), std::string::npos);
    const std::string one = rigT::run(*b, "rux sessions show " + marked(fromA));
    const std::string sidA = marked(fromA);
    EXPECT_NE(one.find("\n" + sidA + std::string(16 - sidA.size(), ' ') + "127.0.0.1:"),
              std::string::npos)
        << one;
    EXPECT_EQ(one.find(marked(fromB)), std::string::npos) << one;
    EXPECT_EQ(one.find(" (*)"), std::string::npos) << one;
}

TEST(gasSysMenu, KillEndsTheNamedSessionOnly) {
    rigT r;
    auto a = r.client();
    const auto before = r.sids();
    auto b = r.client();
    uint32_t bsid = 0;
    for (uint32_t s : r.sids())
        if (!before.count(s))
            bsid = s;
    ASSERT_NE(bsid, 0u);
    const std::string out = rigT::run(*a, "rux sessions kill " + std::to_string(bsid));
    EXPECT_NE(out.find("killing telnet session #" + std::to_string(bsid)), std::string::npos)
        << out;
    EXPECT_TRUE(b->waitClosed());
    ASSERT_TRUE(waitUntil([&] { return r.sids() == before; }));
    EXPECT_NE(rigT::run(*a, "rux sessions show").find(" (*)"), std::string::npos);
}

TEST(gasSysMenu, KillingItsOwnSessionEndsItAfterTheReply) {
    rigT r;
    auto a = r.client();
    const uint32_t sid = *r.sids().begin();
    a->sendLine("rux sessions kill " + std::to_string(sid));
    EXPECT_TRUE(a->waitClosed());
    EXPECT_NE(a->output().find("killing telnet session #" + std::to_string(sid)), std::string::npos)
        << a->output() << r.log->text();
    a->close(); // as a telnet client does when the server has closed
    EXPECT_TRUE(waitUntil([&] { return r.sids().empty(); }));
}

TEST(gasSysMenu, CloseSaysByeAndEndsTheSession) {
    rigT r;
    auto a = r.client();
    auto b = r.client();
    a->sendLine("rux sessions close");
    EXPECT_TRUE(a->waitClosed());
    EXPECT_NE(noCR(a->output()).find("bye bye!\n"), std::string::npos) << a->output();
    a->close();
    EXPECT_TRUE(waitUntil([&] { return r.sids().size() == 1; }));
    EXPECT_NE(rigT::run(*b, "rux sessions show").find(" (*)"), std::string::npos);
}

TEST(gasSysMenu, QuitAsksTheApplicationToEnd) {
    rigT r;
    auto a = r.client();
    rigT::run(*a, "rux quit");
    EXPECT_EQ(r.quits, 1);
}

TEST(gasSysMenu, LogModifySetsOnlyTheGivenSettings) {
    rigT r;
    loggerT id("console_test_id");
    id.level(log::NOTICE);
    auto c = r.client();
    rigT::run(*c, "rux log modify console_test_id -ptime no");
    EXPECT_FALSE(id.printTime());
    EXPECT_TRUE(id.printFunc());
    EXPECT_EQ(id.level(), log::NOTICE);
    rigT::run(*c, "rux log modify console_test_id debug");
    EXPECT_EQ(id.level(), log::DEBUG);
    EXPECT_FALSE(id.printTime());
    EXPECT_TRUE(id.printFunc());
    rigT::run(*c, "rux log modify console_test_id -pfunc no -ptime yes");
    EXPECT_TRUE(id.printTime());
    EXPECT_FALSE(id.printFunc());
}

TEST(gasSysMenu, LogShowLaysOutEveryLogId) {
    rigT r;
    loggerT id("console_test_id");
    id.level(log::WARNING);
    id.printTime(false);
    std::list<loggerT> all;
    loggerT::getAll(all);
    size_t w = 0;
    for (const auto& l : all)
        w = std::max(w, l.name().size());
    w += 3;
    auto c = r.client();
    const std::string out = rigT::run(*c, "rux log show");
    EXPECT_NE(out.find("\nID" + std::string(w - 2, ' ') + "LEVEL       PTIME   PFUNC   DEVICE\n" +
                       std::string(w + 35, '_') + "\n\n"),
              std::string::npos)
        << out;
    const std::string line =
        "console_test_id" + std::string(w - 15, ' ') + "warning     false   true    capture\n";
    EXPECT_NE(out.find(line), std::string::npos) << out;
    EXPECT_NE(out.find("rux_gas"), std::string::npos);
    const std::string one = rigT::run(*c, "rux log show console_test_id");
    EXPECT_NE(one.find(line), std::string::npos) << one;
    EXPECT_EQ(one.find("rux_gas"), std::string::npos) << one;
}

TEST(gasSysMenu, LogPrintWritesThroughTheNamedLogId) {
    rigT r;
    loggerT id("console_test_id");
    id.printTime(false);
    id.level(log::DUMP);
    auto c = r.client();
    rigT::run(*c, "rux log print console_test_id warning \"hello there\"");
    EXPECT_TRUE(r.log->waitFor("WRN console_test_id -> { user } hello there\n")) << r.log->text();
    rigT::run(*c, "rux log print console_test_id -text plain");
    EXPECT_TRUE(r.log->waitFor("NDP console_test_id -> { user } plain\n")) << r.log->text();
}

TEST(gasSysMenu, LogDevShowAndModifyTheApplicationsDevices) {
    rigT r;
    std::ostringstream sink;
    auto a = std::make_shared<streamLogDevT>("file", sink);
    auto b = std::make_shared<streamLogDevT>("multilog", sink);
    a->level(log::INFO);
    r.devices = {a, b};
    auto c = r.client();
    const std::string out = rigT::run(*c, "rux log dev show");
    EXPECT_NE(out.find("\nDEVICE     LEVEL\n" + std::string(17, '_') +
                       "\n\nfile       info\nmultilog   dump\n"),
              std::string::npos)
        << out;
    rigT::run(*c, "rux log dev modify multilog warning");
    EXPECT_EQ(b->level(), log::WARNING);
    const std::string one = rigT::run(*c, "rux log dev show file");
    EXPECT_NE(one.find("\nfile       info\n"), std::string::npos) << one;
    EXPECT_EQ(one.find("multilog   "), std::string::npos) << one;
}

TEST(gasSysMenu, ThreadModifyChangesTheSchedulingClass) {
    rigT r;
    auto c = r.client();
    auto t = threadT::create("console_test_idle");
    std::atomic<bool> go{false};
    t.start(functorT([&] {
        while (!go)
            std::this_thread::sleep_for(msT(1));
    }));
    const std::string out =
        rigT::run(*c, "rux thread modify " + std::to_string(t->tid()) + " batch");
    EXPECT_EQ(out.find("error"), std::string::npos) << out;
    EXPECT_EQ(t->priority().cls(), threadT::enBATCH);
    go = true;
    t->wait();
}

} // namespace
} // namespace rux
