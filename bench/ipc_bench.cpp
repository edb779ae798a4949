// Cost of the IPC bus: a synchronous 32-byte call and a burst of one-way
// 32-byte messages between two nodes through a real rux_ipcd, each next to a
// minimal two-hop relay (client -> relay -> server -> relay -> client over
// sequenced-packet sockets, one poll and one blocking send per hop, no queues);
// and the daemon's resident memory idle and with 100 attached nodes.
//
// Every process runs on CPU 0, so that cross-CPU wake-ups do not swamp the
// figures. The other processes are this program again, started with
// RUX_IPC_BENCH_ROLE set (server node, relay, relay server).
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "rux_ipc_xface.h"

namespace {

using clk = std::chrono::steady_clock;
constexpr size_t kMsg = 32;
constexpr int kBurst = 1000;
const char* const kRole = "RUX_IPC_BENCH_ROLE";

void pinToCpu0() {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(0, &set);
    ::sched_setaffinity(0, sizeof set, &set);
}

std::string relayPath() {
    return std::string(std::getenv("RUX_RUNTIME_DIR")) + "/bench-relay";
}

// A "Name:   N kB" line of a /proc file of `pid`.
long procKiB(pid_t pid, const char* file, const std::string& name) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/" + file);
    std::string line;
    while (std::getline(f, line))
        if (line.rfind(name, 0) == 0)
            return std::atol(line.c_str() + name.size());
    return -1;
}

long vmRssKiB(pid_t pid) {
    return procKiB(pid, "status", "VmRSS:");
}

// The daemon's own share: its private pages plus its part of shared ones
// (VmRSS counts every page of libc and libstdc++ that any process touched).
long pssKiB(pid_t pid) {
    return procKiB(pid, "smaps_rollup", "Pss:");
}

long anonKiB(pid_t pid) {
    return procKiB(pid, "status", "RssAnon:");
}

// --- the other processes -------------------------------------------------

class echoReceiverT : public rux::ipcReceiverT {
public:
    void asyncMsg(std::unique_ptr<rux::ipcMessageT>, const std::string&,
                  const std::string&) override {}
    std::unique_ptr<rux::ipcMessageT> syncMsg(std::unique_ptr<rux::ipcMessageT> msg,
                                              const std::string&, const std::string&) override {
        auto rep = msg->reply(msg->currSize());
        rep->write(msg->buf(), long(msg->currSize()));
        return rep;
    }
    void fwdMsg(std::unique_ptr<rux::ipcMessageT>, const std::string&, const std::string&,
                const std::string&) override {}
};

[[noreturn]] void runServerNode() {
    auto svc = rux::ipcServiceT::handle("bench");
    svc.setReceiver(std::make_shared<echoReceiverT>());
    if (svc.bind("srv") != 0)
        std::_Exit(1);
    for (;;)
        ::pause();
}

int unixSocket() {
    return ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
}

sockaddr_un unixAddr(const std::string& path) {
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::strncpy(sa.sun_path, path.c_str(), sizeof sa.sun_path - 1);
    return sa;
}

int connectRelay(char hello) {
    sockaddr_un sa = unixAddr(relayPath());
    for (int i = 0; i < 500; ++i) {
        int fd = unixSocket();
        if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) {
            ::send(fd, &hello, 1, MSG_NOSIGNAL);
            return fd;
        }
        ::close(fd);
        ::usleep(10000);
    }
    std::_Exit(1);
}

// Relay: one poll, then one blocking send of what arrived to the other side.
[[noreturn]] void runRelay() {
    sockaddr_un sa = unixAddr(relayPath());
    int l = unixSocket();
    ::unlink(sa.sun_path);
    if (::bind(l, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(l, 4) != 0)
        std::_Exit(1);
    int client = -1, server = -1;
    char b[65536];
    while (client < 0 || server < 0) {
        int fd = ::accept4(l, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0 && ::recv(fd, b, 1, 0) == 1)
            (b[0] == 'C' ? client : server) = fd;
    }
    pollfd p[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
    for (;;) {
        if (::poll(p, 2, -1) < 0)
            continue;
        for (int i = 0; i < 2; ++i) {
            if (!p[i].revents)
                continue;
            ssize_t n = ::recv(p[i].fd, b, sizeof b, 0);
            if (n <= 0)
                std::_Exit(0);
            ::send(p[1 - i].fd, b, size_t(n), MSG_NOSIGNAL);
        }
    }
}

// Relay server: answers 's' messages, takes 'a' messages.
[[noreturn]] void runRelayServer() {
    int fd = connectRelay('S');
    char b[65536];
    for (;;) {
        ssize_t n = ::recv(fd, b, sizeof b, 0);
        if (n <= 0)
            std::_Exit(0);
        if (b[0] == 's')
            ::send(fd, b, size_t(n), MSG_NOSIGNAL);
    }
}

// Runs before the benchmarks when this program is started as a helper.
const bool g_role = [] {
    const char* role = std::getenv(kRole);
    if (!role)
        return false;
    std::string r = role;
    if (r == "server")
        runServerNode();
    if (r == "relay")
        runRelay();
    if (r == "relay-server")
        runRelayServer();
    std::_Exit(2);
}();

// --- the benchmark process -------------------------------------------------

pid_t spawn(const std::vector<std::string>& argv, const char* role, bool quiet = false) {
    pid_t pid = ::fork();
    if (pid == 0) {
        if (quiet) {
            int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 1);
            ::dup2(null, 2);
        }
        if (role)
            ::setenv(kRole, role, 1);
        else
            ::unsetenv(kRole);
        std::vector<char*> a;
        for (auto& s : argv)
            a.push_back(const_cast<char*>(s.c_str()));
        a.push_back(nullptr);
        ::execv(a[0], a.data());
        std::_Exit(127);
    }
    return pid;
}

struct worldT {
    pid_t daemon = -1, server = -1, relay = -1, relayServer = -1;
    long daemonIdleKiB = -1, daemonIdlePssKiB = -1, daemonIdleAnonKiB = -1;
    rux::ipcServiceT::handleT svc;
    int relayFd = -1;
    std::vector<pid_t> all;

    worldT() {
        pinToCpu0();
        char tmpl[] = "/tmp/rux-ipc-bench-XXXXXX";
        if (!::mkdtemp(tmpl))
            std::abort();
        ::setenv("RUX_RUNTIME_DIR", tmpl, 1);
        // The relay's blocking sends hold a fast sender back; the daemon does
        // the same under WAIT (under DROP a burst would lose messages).
        std::string cfg = std::string(tmpl) + "/bench.cfg";
        std::ofstream(cfg) << "[SERVICES]\nb = bench\n[DEFAULTS]\nLOG_LEV = ERROR\n"
                              "[bench]\nCONGESTION = WAIT\n";
        ::setenv("rux_ipc_config", cfg.c_str(), 1);
        daemon = spawn({RUX_IPCD, "-F", "-D", "console", "-L", "error", "-c", cfg}, nullptr, true);
        std::string sock = std::string(tmpl) + "/rux_ipcd";
        for (int i = 0; i < 1000 && ::access(sock.c_str(), F_OK) != 0; ++i)
            ::usleep(5000);
        ::usleep(20000);
        daemonIdleKiB = vmRssKiB(daemon);
        daemonIdlePssKiB = pssKiB(daemon);
        daemonIdleAnonKiB = anonKiB(daemon);
        std::string self = "/proc/self/exe";
        char path[4096];
        ssize_t n = ::readlink(self.c_str(), path, sizeof path - 1);
        if (n <= 0)
            std::abort();
        path[n] = 0;
        server = spawn({path}, "server");
        relay = spawn({path}, "relay");
        relayServer = spawn({path}, "relay-server");
        all = {relayServer, relay, server, daemon};

        svc = rux::ipcServiceT::handle("bench");
        if (svc.bind("cli") != 0)
            std::abort();
        // The server node is known once a call reaches it.
        for (int i = 0; i < 2000; ++i) {
            std::unique_ptr<rux::ipcMessageT> reply;
            if (svc.send("srv", message('s'), reply, rux::timeT(1, 0)) == 0)
                break;
            ::usleep(5000);
        }
        relayFd = connectRelay('C');
    }

    ~worldT() {
        svc.shutdown();
        for (pid_t p : all)
            if (p > 0) {
                ::kill(p, SIGTERM);
                ::waitpid(p, nullptr, 0);
            }
    }

    static std::unique_ptr<rux::ipcMessageT> message(char tag) {
        auto m = rux::ipcMessageT::create(kMsg, 2);
        char b[kMsg];
        std::memset(b, tag, kMsg);
        m->write(b, kMsg);
        return m;
    }
};

worldT& world() {
    static worldT* w = [] {
        auto* p = new worldT;
        std::atexit([] { delete &world(); });
        return p;
    }();
    return *w;
}

struct figuresT {
    double p50 = 0, p99 = 0, rate = 0;
};
figuresT g_ipcSync, g_relaySync, g_ipcBurst, g_relayBurst;

void latencyCounters(benchmark::State& state, std::vector<double>& us, figuresT& out) {
    if (us.empty())
        return;
    std::sort(us.begin(), us.end());
    out.p50 = us[us.size() / 2];
    out.p99 = us[std::min(us.size() - 1, us.size() * 99 / 100)];
    double total = 0;
    for (double v : us)
        total += v;
    out.rate = 1e6 * double(us.size()) / total;
    state.counters["p50_us"] = out.p50;
    state.counters["p99_us"] = out.p99;
    state.counters["calls_per_s"] = out.rate;
}

void BM_SyncCallIpcd(benchmark::State& state) {
    worldT& w = world();
    std::vector<double> us;
    for (auto _ : state) {
        auto t0 = clk::now();
        std::unique_ptr<rux::ipcMessageT> reply;
        if (w.svc.send("srv", worldT::message('s'), reply, rux::timeT(10, 0)) != 0)
            state.SkipWithError("call failed");
        us.push_back(std::chrono::duration<double, std::micro>(clk::now() - t0).count());
    }
    latencyCounters(state, us, g_ipcSync);
}
BENCHMARK(BM_SyncCallIpcd)->UseRealTime();

void BM_SyncCallRelay(benchmark::State& state) {
    worldT& w = world();
    std::vector<double> us;
    char b[kMsg];
    std::memset(b, 's', kMsg);
    char in[65536];
    for (auto _ : state) {
        auto t0 = clk::now();
        ::send(w.relayFd, b, kMsg, MSG_NOSIGNAL);
        if (::recv(w.relayFd, in, sizeof in, 0) != ssize_t(kMsg))
            state.SkipWithError("relay failed");
        us.push_back(std::chrono::duration<double, std::micro>(clk::now() - t0).count());
    }
    latencyCounters(state, us, g_relaySync);
}
BENCHMARK(BM_SyncCallRelay)->UseRealTime();

void burstCounters(benchmark::State& state, double seconds, figuresT& out) {
    out.rate = seconds > 0 ? double(state.iterations()) * kBurst / seconds : 0;
    state.counters["msgs_per_s"] = out.rate;
    state.SetItemsProcessed(int64_t(state.iterations()) * kBurst);
}

// A burst of one-way messages, closed by a call that the server answers only
// after it has taken every message before it.
void BM_OneWayBurstIpcd(benchmark::State& state) {
    worldT& w = world();
    double seconds = 0;
    for (auto _ : state) {
        auto t0 = clk::now();
        for (int i = 0; i < kBurst; ++i)
            w.svc.send("srv", worldT::message('a'));
        std::unique_ptr<rux::ipcMessageT> reply;
        if (w.svc.send("srv", worldT::message('s'), reply, rux::timeT(30, 0)) != 0)
            state.SkipWithError("closing call failed");
        seconds += std::chrono::duration<double>(clk::now() - t0).count();
    }
    burstCounters(state, seconds, g_ipcBurst);
}
BENCHMARK(BM_OneWayBurstIpcd)->UseRealTime();

void BM_OneWayBurstRelay(benchmark::State& state) {
    worldT& w = world();
    char a[kMsg], s[kMsg], in[65536];
    std::memset(a, 'a', kMsg);
    std::memset(s, 's', kMsg);
    double seconds = 0;
    for (auto _ : state) {
        auto t0 = clk::now();
        for (int i = 0; i < kBurst; ++i)
            ::send(w.relayFd, a, kMsg, MSG_NOSIGNAL);
        ::send(w.relayFd, s, kMsg, MSG_NOSIGNAL);
        if (::recv(w.relayFd, in, sizeof in, 0) != ssize_t(kMsg))
            state.SkipWithError("relay failed");
        seconds += std::chrono::duration<double>(clk::now() - t0).count();
    }
    burstCounters(state, seconds, g_relayBurst);
}
BENCHMARK(BM_OneWayBurstRelay)->UseRealTime();

// The daemon against the relay (targets: p50 <= 1.4, p99 <= 2, one-way >= 0.75).
void BM_Ratios(benchmark::State& state) {
    for (auto _ : state)
        benchmark::ClobberMemory();
    auto ratio = [](double a, double b) { return b > 0 ? a / b : 0; };
    state.counters["sync_p50_ratio"] = ratio(g_ipcSync.p50, g_relaySync.p50);
    state.counters["sync_p99_ratio"] = ratio(g_ipcSync.p99, g_relaySync.p99);
    state.counters["oneway_rate_ratio"] = ratio(g_ipcBurst.rate, g_relayBurst.rate);
}
BENCHMARK(BM_Ratios)->Iterations(1);

// Resident memory of the daemon idle and with 100 more attached nodes
// (targets: <= 4 MiB idle, <= 64 KiB per node).
void BM_DaemonMemory(benchmark::State& state) {
    worldT& w = world();
    std::vector<int> nodes;
    long before = vmRssKiB(w.daemon);
    std::string sock = std::string(std::getenv("RUX_RUNTIME_DIR")) + "/rux_ipcd";
    sockaddr_un sa = unixAddr(sock);
    char b[65536];
    auto drain = [&] {
        for (int fd : nodes)
            while (::recv(fd, b, sizeof b, MSG_DONTWAIT) > 0) {
            }
    };
    for (auto _ : state) {
        for (int i = 0; i < 100; ++i) {
            int fd = unixSocket();
            rux::dgramT att;
            if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
                !rux::impl::ipcBuildAttach(att, "rss", "node" + std::to_string(i)) ||
                ::send(fd, att.buf(), att.length(), MSG_NOSIGNAL) < 0 ||
                ::recv(fd, b, sizeof b, 0) <= 0) {
                state.SkipWithError("attach failed");
                break;
            }
            nodes.push_back(fd);
            drain();
        }
        ::usleep(50000);
        drain();
    }
    long after = vmRssKiB(w.daemon);
    state.counters["idle_KiB"] = double(w.daemonIdleKiB);
    state.counters["idle_pss_KiB"] = double(w.daemonIdlePssKiB);
    state.counters["idle_anon_KiB"] = double(w.daemonIdleAnonKiB);
    state.counters["with_bench_nodes_KiB"] = double(before);
    state.counters["with_100_more_KiB"] = double(after);
    state.counters["per_node_KiB"] = double(after - before) / 100.0;
    for (int fd : nodes)
        ::close(fd);
}
BENCHMARK(BM_DaemonMemory)->Iterations(1)->UseRealTime();

} // namespace
