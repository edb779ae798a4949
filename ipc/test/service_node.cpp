// A small IPC node for the service tests: binds a name on a service and
// behaves as its options say, reporting what it does on standard output.
//
//   ipc_test_node <service> <node> [options]
//     --alias NAME       bind a secondary name after binding
//     --delay-ms N       wait N ms before answering a request
//     --reply-exit       answer the first request, then exit at once
//     --exit-on-request  exit with code 3 on a request, without answering
//     --forward-to NODE  answer requests to a secondary name by calling NODE on its behalf
//     --flood DST N      send N one-way messages of 32 bytes to DST
//     --exit             exit after the flood
//     --slow-ms N        take N ms over every one-way message
//     --throw            throw from the receiver on every one-way message
//     --events           print every connection event
//     --pull             no receiver: print every message pulled
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include <unistd.h>

#include "ipc/service.h"
#include "sal/time.h"

using namespace rux;

namespace {

std::string g_forwardTo;
int g_delayMs = 0;
int g_slowMs = 0;
bool g_replyExit = false;
bool g_exitOnRequest = false;
bool g_throw = false;
std::atomic<long> g_async{0};
ipcServiceT::handleT g_svc;

void say(const std::string& line) {
    std::string l = line + "\n";
    ssize_t r = ::write(1, l.data(), l.size());
    (void)r;
}

std::string payload(const ipcMessageT& m) {
    return std::string(m.buf(), m.currSize());
}

class receiverT : public ipcReceiverT {
public:
    void asyncMsg(std::unique_ptr<ipcMessageT> msg, const std::string& src,
                  const std::string&) override {
        if (g_slowMs)
            rux::sleep(timeT::fromMs(g_slowMs));
        long n = ++g_async;
        if (g_throw)
            throw std::runtime_error("receiver gave up on message " + std::to_string(n));
        if (n == 1 || n % 1000 == 0)
            say("async " + std::to_string(n) + " from " + src + " " + payload(*msg).substr(0, 8));
    }

    std::unique_ptr<ipcMessageT> syncMsg(std::unique_ptr<ipcMessageT> msg, const std::string& src,
                                         const std::string&) override {
        if (g_exitOnRequest)
            ::_exit(3);
        if (g_delayMs) {
            say("delaying " + src);
            rux::sleep(timeT::fromMs(g_delayMs));
        }
        auto rep = msg->reply(msg->currSize());
        rep->write(msg->buf(), long(msg->currSize()));
        if (g_replyExit) {
            // A deferred reply, then straight out: the library must still
            // deliver it.
            g_svc.send(src, std::move(rep));
            std::exit(0);
        }
        return rep;
    }

    void fwdMsg(std::unique_ptr<ipcMessageT> msg, const std::string& src, const std::string& dst,
                const std::string&) override {
        if (g_forwardTo.empty() || !msg->wantReply())
            return;
        std::unique_ptr<ipcMessageT> answer;
        auto req = msg->clone();
        int r = g_svc.forward(dst, g_forwardTo, std::move(req), answer, timeT(10, 0));
        say("forwarded " + std::to_string(r));
        auto rep = msg->reply(answer ? answer->currSize() : 0);
        if (answer)
            rep->write(answer->buf(), long(answer->currSize()));
        g_svc.send(src, std::move(rep));
    }
};

std::string g_floodDst;
std::atomic<bool> g_floodDstUp{false};

class eventsT : public ipcEventHandlerT {
public:
    explicit eventsT(bool print) : _print(print) {}
    void notify(const ipcEventT& ev) override {
        if (_print)
            say(std::string("event ") + (ev.type == ipcEventT::enUP ? "UP " : "DOWN ") + ev.node);
        if (ev.type == ipcEventT::enUP && ev.node == g_floodDst)
            g_floodDstUp = true;
    }

private:
    bool _print;
};

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s <service> <node> [options]\n", argv[0]);
        return 2;
    }
    std::string service = argv[1], node = argv[2];
    std::string alias, &floodDst = g_floodDst;
    long floodN = 0;
    bool events = false, pull = false, exitAfter = false;
    for (int i = 3; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (a == "--alias")
            alias = next();
        else if (a == "--delay-ms")
            g_delayMs = std::atoi(next().c_str());
        else if (a == "--reply-exit")
            g_replyExit = true;
        else if (a == "--exit-on-request")
            g_exitOnRequest = true;
        else if (a == "--forward-to")
            g_forwardTo = next();
        else if (a == "--flood") {
            floodDst = next();
            floodN = std::atol(next().c_str());
        } else if (a == "--slow-ms")
            g_slowMs = std::atoi(next().c_str());
        else if (a == "--events")
            events = true;
        else if (a == "--pull")
            pull = true;
        else if (a == "--exit")
            exitAfter = true;
        else if (a == "--throw")
            g_throw = true;
        else {
            std::fprintf(stderr, "unknown option %s\n", a.c_str());
            return 2;
        }
    }
    g_svc = ipcServiceT::handle(service);
    g_svc.setEventHandler(std::make_shared<eventsT>(events));
    if (!pull)
        g_svc.setReceiver(std::make_shared<receiverT>());
    int r = g_svc.bind(node);
    say("bound " + node + " " + std::to_string(r));
    if (r != 0)
        return 1;
    if (!alias.empty())
        say("alias " + alias + " " + std::to_string(g_svc.bindAlias(alias)));
    if (!floodDst.empty()) {
        // A node learns the others just after its attach.
        while (!g_floodDstUp)
            rux::sleep(timeT::fromMs(10));
        long sent = 0;
        for (long i = 0; i < floodN; ++i) {
            auto m = ipcMessageT::create(32, 3);
            m->write("flood-message-32-bytes-long-----", 32);
            if (g_svc.send(floodDst, std::move(m)) == 0)
                ++sent;
        }
        say("flooded " + std::to_string(sent));
        if (exitAfter)
            std::exit(0); // what is still queued leaves on the way out
    }
    if (pull) {
        for (;;) {
            std::string src, dst;
            std::unique_ptr<ipcMessageT> m;
            int got = g_svc.recv(src, m, &dst);
            if (got != 0) {
                say("recv " + std::to_string(got));
                rux::sleep(timeT::fromMs(50));
                continue;
            }
            timeT now(monCLK);
            say("got " + src + " " + dst + " " + payload(*m) + " @" + std::to_string(now.ms()));
        }
    }
    for (;;)
        ::pause();
}
