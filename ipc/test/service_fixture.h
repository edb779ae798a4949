// Shared pieces of the service tests: one private runtime directory and IPC
// configuration for the whole test program, a real rux_ipcd, test nodes in
// child processes, and an event handler that can be waited on.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ipc/service.h"
#include "rux_testsupport.h"

namespace svctest {

using namespace std::chrono_literals;
using rux::test::msT;
using rux::test::processT;

// One runtime directory and configuration file for the program, set before any
// thread starts (the library reads RUX_RUNTIME_DIR on every connect).
class envT : public ::testing::Environment {
public:
    void SetUp() override {
        dir = std::make_unique<rux::test::tempDirT>();
        ::setenv("RUX_RUNTIME_DIR", dir->path().c_str(), 1);
        ::unsetenv("rux_ipc_config");
        cfg = dir->sub("client.cfg");
        std::ofstream(cfg) << "[SERVICES]\n"
                              "s1 = hold\n"
                              "s2 = small\n"

                              "[DEFAULTS]\n"
                              "LOG_LEV = WARNING\n"
                              "[hold]\n"
                              "M_PRIO_HOLD_0 = 300, ms\n"
                              "[small]\n"
                              "QUEUE_DIM = 4\n";
        rux::ipcServiceT::_g_cfgf_name = cfg;
    }
    static std::unique_ptr<rux::test::tempDirT> dir;
    static std::string cfg;
};

inline std::unique_ptr<rux::test::tempDirT> envT::dir;
inline std::string envT::cfg;

inline processT::optionsT withEnv(std::vector<std::string> argv) {
    processT::optionsT o;
    o.argv = std::move(argv);
    o.env["RUX_RUNTIME_DIR"] = envT::dir->path();
    o.unsetEnv.push_back("rux_ipc_config");
    return o;
}

#if defined(RUX_IPCD) && defined(RUX_TEST_NODE)
// The real daemon, with the built-in configuration, logging to its output.
class daemonT {
public:
    bool start() {
        proc = std::make_unique<processT>(withEnv({RUX_IPCD, "-F", "-D", "console", "-L", "info"}));
        return proc->start() && proc->waitForOutput("entering main loop", msT(20000), from);
    }
    // SIGKILL: the socket file stays behind, as after a crash.
    void kill() {
        if (!proc)
            return;
        proc->signal(SIGKILL);
        proc->wait();
        from = 0;
    }
    bool stop() { return proc && proc->signal(SIGTERM) && proc->wait(); }
    std::unique_ptr<processT> proc;
    size_t from = 0;
};

// A test node (service_node.cpp) in a child process.
inline std::unique_ptr<processT> startNode(const std::string& service, const std::string& node,
                                           std::vector<std::string> opts = {}) {
    std::vector<std::string> argv = {RUX_TEST_NODE, service, node};
    argv.insert(argv.end(), opts.begin(), opts.end());
    auto p = std::make_unique<processT>(withEnv(argv));
    EXPECT_TRUE(p->start()) << p->lastError();
    EXPECT_TRUE(p->waitForOutput("bound " + node + " 0")) << node;
    return p;
}
#endif

// Collects connection events; tests wait for a given one to arrive.
class eventsT : public rux::ipcEventHandlerT {
public:
    void notify(const rux::ipcEventT& ev) override {
        record((ev.type == rux::ipcEventT::enUP ? "UP " : "DOWN ") + ev.node);
    }
    // Anything else that should take its place in the same order.
    void record(const std::string& what) {
        std::lock_guard<std::mutex> g(m);
        seen.push_back(what);
        cv.notify_all();
    }
    // Waits until `ev` ("UP name") has been seen `count` times in all.
    bool waitFor(const std::string& ev, size_t count = 1, msT timeout = msT(20000)) {
        std::unique_lock<std::mutex> g(m);
        return cv.wait_for(g, timeout, [&] { return countOf(ev) >= count; });
    }
    size_t countOf(const std::string& ev) {
        size_t n = 0;
        for (auto& s : seen)
            n += s == ev;
        return n;
    }
    std::vector<std::string> all() {
        std::lock_guard<std::mutex> g(m);
        return seen;
    }
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::string> seen;
};

// A receiver that records "msg <src>" for every one-way message into `events`
// (null: records nothing), after `onMsg` if given, whose text is appended;
// requests get no answer.
struct recordingReceiverT : rux::ipcReceiverT {
    explicit recordingReceiverT(std::shared_ptr<eventsT> e = nullptr,
                                std::function<std::string()> onMsg = nullptr)
        : events(std::move(e)), onMsg(std::move(onMsg)) {}
    void asyncMsg(std::unique_ptr<rux::ipcMessageT>, const std::string& src,
                  const std::string&) override {
        std::string extra = onMsg ? onMsg() : "";
        if (events)
            events->record("msg " + src + extra);
    }
    std::unique_ptr<rux::ipcMessageT> syncMsg(std::unique_ptr<rux::ipcMessageT>,
                                              const std::string&, const std::string&) override {
        return nullptr;
    }
    void fwdMsg(std::unique_ptr<rux::ipcMessageT>, const std::string&, const std::string&,
                const std::string&) override {}
    std::shared_ptr<eventsT> events;
    std::function<std::string()> onMsg;
};

inline std::unique_ptr<rux::ipcMessageT> text(const std::string& s, unsigned prio = 1) {
    auto m = rux::ipcMessageT::create(s.size(), prio);
    m->write(s.data(), long(s.size()));
    return m;
}

inline std::string text(const rux::ipcMessageT& m) {
    return std::string(m.buf(), m.currSize());
}

// Shuts the service down however the test ends.
struct shutterT {
    rux::ipcServiceT::handleT svc;
    ~shutterT() {
        if (svc.valid())
            svc.shutdown();
    }
};

} // namespace svctest
