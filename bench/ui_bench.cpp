// Latency of a UI request through the local UI bridge: a control-bus frame on
// TCP -> kivsvc-ui -> rux_ipcd -> kivsvc-drv -> simulated meter and back, next
// to its two legs measured in the same run: a TCP loopback round trip of a
// frame-sized message and the synchronous IPC call of the same request made
// directly to the device service. Each benchmark reports p50 and p99 (µs).
//
// The programs run as child processes in a private runtime directory; every
// process runs on CPU 0, so that cross-CPU wake-ups do not swamp the figures.
#include <algorithm>
#include <csignal>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include "ipc/service.h"
#include "kivsvc_common.h"
#include "rux_testsupport.h"

namespace {

using clk = std::chrono::steady_clock;
using rux::test::msT;
using rux::test::processT;
using kivsvc::kivmsgT;

std::string be32(uint32_t v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i)
        s[size_t(i)] = char(v >> (24 - 8 * i));
    return s;
}

bool sendAll(int fd, const std::string& b) {
    return ::send(fd, b.data(), b.size(), MSG_NOSIGNAL) == ssize_t(b.size());
}

bool recvAll(int fd, char* p, size_t n) {
    while (n) {
        ssize_t r = ::recv(fd, p, n, 0);
        if (r <= 0)
            return false;
        p += r;
        n -= size_t(r);
    }
    return true;
}

// One frame; false when the connection ended.
bool recvFrame(int fd, uint32_t& hdr, std::string& payload) {
    char h[12];
    if (!recvAll(fd, h, 12))
        return false;
    auto u = [&](int at) {
        auto b = reinterpret_cast<unsigned char*>(h + at);
        return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
    };
    hdr = u(4);
    payload.assign(u(8), '\0');
    return recvAll(fd, payload.data(), payload.size());
}

int connectTcp(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

std::string statusRequest(int dev) {
    kivmsgT m;
    m.set_msg_id(kivmsgT::getStatus);
    m.set_ivk_id(1);
    m.set_dev_id(dev);
    return m.SerializeAsString();
}

void report(benchmark::State& state, std::vector<double>& us) {
    if (us.empty())
        return;
    std::sort(us.begin(), us.end());
    state.counters["p50_us"] = us[us.size() / 2];
    state.counters["p99_us"] = us[std::min(us.size() - 1, us.size() * 99 / 100)];
}

// rux_ipcd, kivsvc-drv with one simulated meter, kivsvc-ui serving "local",
// one UI connection, and a node of this process on "local".
struct worldT {
    rux::test::tempDirT dir;
    std::unique_ptr<processT> ipcd, drv, ui;
    int uiFd = -1;
    int dev = -1;
    rux::ipcServiceT::handleT svc;
    bool ok = false;

    std::unique_ptr<processT> start(std::vector<std::string> argv) {
        processT::optionsT o;
        o.argv = std::move(argv);
        o.env = {{"HOME", dir.sub("home", true)}, {"RUX_RUNTIME_DIR", dir.sub("run", true)}};
        o.notify = true;
        auto p = std::make_unique<processT>(o);
        return p->start() ? std::move(p) : nullptr;
    }

    worldT() {
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(0, &set);
        ::sched_setaffinity(0, sizeof set, &set); // inherited by the programs
        std::string logs = dir.sub("log", true);
        setenv("RUX_RUNTIME_DIR", dir.sub("run", true).c_str(), 1);
        ipcd = start({RUX_IPCD, "-D", "console", "-L", "error", "-G", logs});
        if (!ipcd || !ipcd->waitForNotify("READY=1"))
            return;
        drv = start({KIVSVC_DRV, "-s", "-D", "console", "-L", "notice", "-B", "127.0.0.1:0",
                     "-G", logs});
        if (!drv || !drv->waitForOutput("telnet server listening on") ||
            !drv->waitForNotify("READY=1"))
            return;
        uint16_t telnet = rux::test::portAfter(drv->output(), "telnet server listening on");
        ui = start({KIVSVC_UI, "-s", "local", "-D", "console", "-L", "info", "-b", "127.0.0.1:0",
                    "-G", logs});
        size_t at = 0;
        const std::string marker = "opening UI connection at ";
        if (!ui || !ui->waitForOutput(marker, msT(10000), 0, &at) ||
            !ui->waitForOutput("\n", msT(10000), at))
            return;
        uiFd = connectTcp(rux::test::portAfter(ui->output().substr(at - marker.size()), marker));
        if (uiFd < 0)
            return;
        // Device reports tell the simulated meter's identifier.
        kivmsgT reg;
        reg.set_msg_id(kivmsgT::registerForDeviceNotif);
        std::string p = reg.SerializeAsString();
        uint32_t hdr;
        std::string payload;
        if (!sendAll(uiFd, "KIVM" + be32(0x00010001u) + be32(uint32_t(p.size())) + p) ||
            !recvFrame(uiFd, hdr, payload))
            return;
        rux::test::telnetClientT t;
        if (!t.connect(telnet) || !t.waitForOutput("> ") ||
            !t.sendLine("driver_q7 add Q720 SIM00001") ||
            !t.waitForOutput("device successfully connected"))
            return;
        while (recvFrame(uiFd, hdr, payload)) {
            kivmsgT m;
            if (hdr != 0x00030000u && m.ParseFromString(payload) &&
                m.msg_id() == kivmsgT::reportDevice) {
                dev = m.dev_id();
                break;
            }
        }
        svc = rux::ipcServiceT::handle("local");
        ok = dev >= 0 && svc.bind("kivsvc-cli") == 0;
        // The device service's name is known once a call to it goes through.
        for (int i = 0; ok && i < 100; ++i) {
            std::unique_ptr<rux::ipcMessageT> reply;
            std::string req = statusRequest(dev);
            auto msg = rux::ipcMessageT::create(req.size(), 2);
            msg->write(req.data(), long(req.size()));
            if (svc.send("kivsvc-drv", std::move(msg), reply, rux::timeT::fromMs(1000)) == 0)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ok = false;
    }
    ~worldT() {
        if (svc.valid())
            svc.shutdown();
        if (uiFd >= 0)
            ::close(uiFd);
        for (auto* p : {&ui, &drv, &ipcd})
            if (*p) {
                (*p)->signal(SIGTERM);
                (*p)->wait();
            }
    }
};

worldT& world() {
    static worldT w;
    return w;
}

void BM_UiRequestRoundTrip(benchmark::State& state) {
    worldT& w = world();
    if (!w.ok) {
        state.SkipWithError("the programs did not start");
        return;
    }
    std::string p = statusRequest(w.dev);
    const std::string frame = "KIVM" + be32(0x00010001u) + be32(uint32_t(p.size())) + p;
    std::vector<double> us;
    uint32_t hdr;
    std::string payload;
    for (auto _ : state) {
        auto t0 = clk::now();
        if (!sendAll(w.uiFd, frame))
            break;
        do {
            if (!recvFrame(w.uiFd, hdr, payload)) {
                state.SkipWithError("UI connection lost");
                return;
            }
        } while (hdr == 0x00030000u); // a ping that crossed the request
        us.push_back(std::chrono::duration<double, std::micro>(clk::now() - t0).count());
    }
    report(state, us);
}

void BM_IpcSyncCall(benchmark::State& state) {
    worldT& w = world();
    if (!w.ok) {
        state.SkipWithError("the programs did not start");
        return;
    }
    std::string p = statusRequest(w.dev);
    std::vector<double> us;
    for (auto _ : state) {
        auto t0 = clk::now();
        auto msg = rux::ipcMessageT::create(p.size(), 2);
        msg->write(p.data(), long(p.size()));
        std::unique_ptr<rux::ipcMessageT> reply;
        if (w.svc.send("kivsvc-drv", std::move(msg), reply, rux::timeT::fromMs(10000)) != 0) {
            state.SkipWithError("call failed");
            return;
        }
        us.push_back(std::chrono::duration<double, std::micro>(clk::now() - t0).count());
    }
    report(state, us);
}

// A frame-sized message to an echoing thread over TCP loopback and back.
void BM_TcpLoopbackRoundTrip(benchmark::State& state) {
    int l = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(l, 1);
    ::getsockname(l, reinterpret_cast<sockaddr*>(&a), &len);
    const size_t n = 12 + statusRequest(1).size();
    std::thread echo([&] {
        int fd = ::accept4(l, nullptr, nullptr, SOCK_CLOEXEC);
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::string b(n, '\0');
        while (recvAll(fd, b.data(), n) && sendAll(fd, b)) {
        }
        ::close(fd);
    });
    int fd = connectTcp(ntohs(a.sin_port));
    std::string msg(n, 'x'), back(n, '\0');
    std::vector<double> us;
    for (auto _ : state) {
        auto t0 = clk::now();
        if (!sendAll(fd, msg) || !recvAll(fd, back.data(), n))
            break;
        us.push_back(std::chrono::duration<double, std::micro>(clk::now() - t0).count());
    }
    ::close(fd);
    echo.join();
    ::close(l);
    report(state, us);
}

BENCHMARK(BM_TcpLoopbackRoundTrip)->Iterations(5000)->UseRealTime();
BENCHMARK(BM_IpcSyncCall)->Iterations(5000)->UseRealTime();
BENCHMARK(BM_UiRequestRoundTrip)->Iterations(5000)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
