// Cost of the socket layer over raw sequenced-packet sockets: a request/reply
// round trip and a one-way burst, each through rux::seqSocketT and through
// plain socket calls on an AF_UNIX socketpair.
#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include "rux_sal_xface.h"

namespace {

constexpr size_t kMsg = 64;

void privateRuntimeDir() {
    static bool done = false;
    if (done)
        return;
    char tmpl[] = "/tmp/rux-bench-XXXXXX";
    if (!::mkdtemp(tmpl))
        std::abort();
    ::setenv("RUX_RUNTIME_DIR", tmpl, 1);
    done = true;
}

struct ruxPairT {
    rux::srvSocketT<rux::seqSocketT> srv;
    rux::seqSocketT client, server;
    explicit ruxPairT(const std::string& name) {
        privateRuntimeDir();
        rux::unixSockAddrT a(name);
        if (!srv.bind(a, 1) || !client.connect(a) || !srv.accept(server, a))
            std::abort();
    }
};

rux::dgramT payload() {
    rux::dgramT d{kMsg};
    d.trunc(kMsg);
    return d;
}

void BM_RoundTripRux(benchmark::State& state) {
    ruxPairT p("bench_rt");
    std::thread echo([&] {
        rux::dgramT d;
        rux::unixSockAddrT from;
        while (p.server.recv(d, from) && d.length() > 0)
            p.server.send(d, from);
    });
    rux::dgramT req = payload(), rep;
    rux::unixSockAddrT from;
    for (auto _ : state) {
        p.client.send(req, from);
        p.client.recv(rep, from);
        benchmark::DoNotOptimize(rep.length());
    }
    p.client.shutdown(3);
    echo.join();
}
BENCHMARK(BM_RoundTripRux);

void BM_RoundTripRaw(benchmark::State& state) {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0)
        std::abort();
    std::thread echo([&] {
        char b[65536];
        ssize_t n;
        while ((n = ::recv(sv[1], b, sizeof b, 0)) > 0)
            ::send(sv[1], b, size_t(n), MSG_NOSIGNAL);
    });
    char req[kMsg] = {}, rep[65536];
    for (auto _ : state) {
        ::send(sv[0], req, kMsg, MSG_NOSIGNAL);
        benchmark::DoNotOptimize(::recv(sv[0], rep, sizeof rep, 0));
    }
    ::shutdown(sv[0], SHUT_RDWR);
    echo.join();
    ::close(sv[0]);
    ::close(sv[1]);
}
BENCHMARK(BM_RoundTripRaw);

void BM_BurstRux(benchmark::State& state) {
    ruxPairT p("bench_burst");
    std::atomic<int64_t> got{0};
    std::thread sink([&] {
        rux::dgramT d;
        rux::unixSockAddrT from;
        while (p.server.recv(d, from) && d.length() > 0)
            got.fetch_add(1, std::memory_order_relaxed);
    });
    rux::dgramT msg = payload();
    rux::unixSockAddrT to;
    int64_t sent = 0;
    for (auto _ : state) {
        p.client.send(msg, to);
        ++sent;
    }
    while (got.load() < sent)
        std::this_thread::yield();
    state.SetItemsProcessed(sent);
    p.client.close();
    sink.join();
}
BENCHMARK(BM_BurstRux);

void BM_BurstRaw(benchmark::State& state) {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0)
        std::abort();
    std::atomic<int64_t> got{0};
    std::thread sink([&] {
        char b[65536];
        while (::recv(sv[1], b, sizeof b, 0) > 0)
            got.fetch_add(1, std::memory_order_relaxed);
    });
    char msg[kMsg] = {};
    int64_t sent = 0;
    for (auto _ : state) {
        ::send(sv[0], msg, kMsg, MSG_NOSIGNAL);
        ++sent;
    }
    while (got.load() < sent)
        std::this_thread::yield();
    state.SetItemsProcessed(sent);
    ::shutdown(sv[0], SHUT_RDWR);
    sink.join();
    ::close(sv[0]);
    ::close(sv[1]);
}
BENCHMARK(BM_BurstRaw);

} // namespace
