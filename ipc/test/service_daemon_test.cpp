// The service client against a real rux_ipcd: calls, time-outs, nodes going
// down, secondary names, daemon restarts, output holds, pull mode, floods and
// shutdown. Other nodes are child processes (service_node.cpp).
#include <filesystem>
#include <fstream>
#include <future>
#include <set>
#include <thread>

#include "service_fixture.h"
#include "service_impl.h"

using namespace rux;
using namespace svctest;

namespace {

auto* const g_env = ::testing::AddGlobalTestEnvironment(new envT);

class ServiceT : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(daemon.start()); }
    void TearDown() override { daemon.stop(); }

    // The service of this test, bound as `node`, with an event handler.
    ipcServiceT::handleT bind(const std::string& service, const std::string& node = "tester") {
        svc = ipcServiceT::handle(service);
        shut.svc = svc;
        events = std::make_shared<eventsT>();
        svc.setEventHandler(events);
        EXPECT_EQ(svc.bind(node), 0);
        return svc;
    }

    daemonT daemon;
    ipcServiceT::handleT svc;
    std::shared_ptr<eventsT> events;
    shutterT shut;
};

long vmRssKiB(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

TEST_F(ServiceT, SynchronousCallGetsItsAnswer) {
    bind("sync");
    auto echo = startNode("sync", "echo");
    ASSERT_TRUE(events->waitFor("UP echo"));
    for (int i = 0; i < 20; ++i) {
        std::unique_ptr<ipcMessageT> reply;
        std::string body = "call number " + std::to_string(i) + " of thirty-two b";
        ASSERT_EQ(svc.send("echo", text(body), reply, timeT(10, 0)), 0);
        ASSERT_TRUE(reply);
        EXPECT_EQ(text(*reply), body);
    }
    std::unique_ptr<ipcMessageT> reply;
    EXPECT_EQ(svc.send("nobody", text("x"), reply, timeT(10, 0)), 3);
    EXPECT_EQ(svc.send("nobody", text("x")), 3);
}

TEST_F(ServiceT, LateReplyIsDroppedAndNotGivenToTheNextCall) {
    bind("late");
    auto slow = startNode("late", "slow", {"--delay-ms", "1200"});
    ASSERT_TRUE(events->waitFor("UP slow"));
    std::unique_ptr<ipcMessageT> reply;
    EXPECT_EQ(svc.send("slow", text("first"), reply, timeT::fromMs(200)), 2);
    EXPECT_FALSE(reply);
    ASSERT_EQ(svc.send("slow", text("second"), reply, timeT(30, 0)), 0);
    EXPECT_EQ(text(*reply), "second");
}

TEST_F(ServiceT, CallEndsAtOnceWhenTheDestinationGoesDown) {
    bind("down");
    auto quitter = startNode("down", "quitter", {"--exit-on-request"});
    ASSERT_TRUE(events->waitFor("UP quitter"));
    std::unique_ptr<ipcMessageT> reply;
    // A result of 2 would mean it sat out the whole time-out.
    EXPECT_EQ(svc.send("quitter", text("bye"), reply, timeT(120, 0)), 3);
    EXPECT_TRUE(events->waitFor("DOWN quitter"));
    EXPECT_EQ(svc.send("quitter", text("again"), reply, timeT(1, 0)), 3);
}

// A node starts in about a second under ThreadSanitizer: fewer rounds there.
#if defined(__SANITIZE_THREAD__)
constexpr int kExitRounds = 50;
#else
constexpr int kExitRounds = 200;
#endif

TEST_F(ServiceT, AnswerOfANodeThatExitsRightAfterIsDelivered) {
    bind("rexit");
    for (int i = 0; i < kExitRounds; ++i) {
        auto node = startNode("rexit", "rx", {"--reply-exit"});
        ASSERT_TRUE(events->waitFor("UP rx", size_t(i + 1))) << i;
        std::unique_ptr<ipcMessageT> reply;
        std::string body = "answer and go " + std::to_string(i);
        ASSERT_EQ(svc.send("rx", text(body), reply, timeT(30, 0)), 0) << "round " << i;
        EXPECT_EQ(text(*reply), body);
        ASSERT_TRUE(node->wait());
        EXPECT_EQ(node->exitCode(), 0);
        ASSERT_TRUE(events->waitFor("DOWN rx", size_t(i + 1))) << i;
    }
}

TEST_F(ServiceT, SecondaryNamesForwardSynchronouslyThroughAChain) {
    bind("chain");
    auto target = startNode("chain", "target");
    auto bridge = startNode("chain", "bridge", {"--alias", "far", "--forward-to", "target"});
    ASSERT_TRUE(bridge->waitForOutput("alias far 0"));
    ASSERT_TRUE(events->waitFor("UP far"));
    std::unique_ptr<ipcMessageT> reply;
    ASSERT_EQ(svc.send("far", text("through the bridge"), reply, timeT(30, 0)), 0);
    EXPECT_EQ(text(*reply), "through the bridge");
    EXPECT_TRUE(bridge->waitForOutput("forwarded 0"));

    // Our own secondary name: bound, refused when taken, unbound.
    EXPECT_EQ(svc.bindAlias("mine"), 0);
    EXPECT_EQ(svc.bindAlias("far"), 1);
    EXPECT_EQ(svc.unbindAlias("mine"), 0);
    EXPECT_EQ(svc.bindAlias("mine"), 0);
}

TEST_F(ServiceT, ReconnectsAfterADaemonRestartAndRebindsItsAliases) {
    bind("restart");
    ASSERT_EQ(svc.bindAlias("alias-one"), 0);
    auto peer = startNode("restart", "peer", {"--delay-ms", "400", "--events"});
    ASSERT_TRUE(events->waitFor("UP peer"));

    // A call in flight when the daemon dies is not answered by anything stale.
    auto inFlight = std::async(std::launch::async, [&] {
        std::unique_ptr<ipcMessageT> reply;
        return svc.send("peer", text("lost"), reply, timeT(60, 0));
    });
    ASSERT_TRUE(peer->waitForOutput("delaying tester"));
    daemon.kill();
    int r = inFlight.get();
    EXPECT_TRUE(r == 3 || r == 4) << r;
    ASSERT_TRUE(events->waitFor("DOWN peer"));

    auto restarted = std::chrono::steady_clock::now();
    ASSERT_TRUE(daemon.start());
    ASSERT_TRUE(events->waitFor("UP peer", 2));
    auto took = std::chrono::steady_clock::now() - restarted;
    // Attempts every 200 ms: well within a few seconds, not the socket
    // layer's 20-second connect.
    EXPECT_LT(took, 5s);
    size_t at = 0;
    EXPECT_TRUE(peer->waitForOutput("event UP alias-one", msT(10000), 0, &at));
    EXPECT_TRUE(peer->waitForOutput("event UP alias-one", msT(10000), at));

    std::unique_ptr<ipcMessageT> reply;
    ASSERT_EQ(svc.send("peer", text("fresh"), reply, timeT(30, 0)), 0);
    EXPECT_EQ(text(*reply), "fresh");
    auto seen = events->all();
    EXPECT_EQ(seen[0], "UP peer");
    EXPECT_EQ(seen[1], "DOWN peer");
    EXPECT_EQ(seen[2], "UP peer");
}

TEST_F(ServiceT, InvocationIdsWrapToOneAndNeverZero) {
    bind("wrap");
    auto echo = startNode("wrap", "echo");
    ASSERT_TRUE(events->waitFor("UP echo"));
    auto* impl = static_cast<impl::ipcServiceT*>(svc.operator->());
    impl->_lastIvkId(0xFFFFFFFEu);
    std::vector<uint32_t> ids;
    for (int i = 0; i < 3; ++i) {
        std::unique_ptr<ipcMessageT> reply;
        ASSERT_EQ(svc.send("echo", text("w" + std::to_string(i)), reply, timeT(10, 0)), 0);
        EXPECT_EQ(text(*reply), "w" + std::to_string(i));
        ids.push_back(reply->_header().ivkId);
    }
    EXPECT_EQ(ids, (std::vector<uint32_t>{0xFFFFFFFFu, 1u, 2u}));
}

TEST_F(ServiceT, HoldTimeKeepsLessUrgentOutputBack) {
    // The configuration holds priority 0 for 300 ms on this service.
    bind("hold");
    auto sink = startNode("hold", "sink", {"--pull"});
    ASSERT_TRUE(events->waitFor("UP sink"));
    ASSERT_EQ(svc.send("sink", text("urgent", 0)), 0);
    ASSERT_EQ(svc.send("sink", text("later", 2)), 0);
    ASSERT_EQ(svc.send("sink", text("sooner", 1)), 0);
    size_t at = 0;
    ASSERT_TRUE(sink->waitForOutput("got tester sink urgent @", msT(10000), 0, &at));
    size_t at2 = 0;
    ASSERT_TRUE(sink->waitForOutput("got tester sink sooner @", msT(10000), at, &at2));
    size_t at3 = 0;
    ASSERT_TRUE(sink->waitForOutput("got tester sink later @", msT(10000), at2, &at3));
    std::string out = sink->output();
    long t0 = std::atol(out.c_str() + at);
    long t1 = std::atol(out.c_str() + at2);
    // Stamped on arrival, in whole milliseconds: the trip itself may differ a little.
    EXPECT_GE(t1 - t0, 290) << out;
}

TEST_F(ServiceT, PulledMessagesKeepTheNamesTheyCameWith) {
    bind("pull");
    std::unique_ptr<ipcMessageT> msg;
    EXPECT_EQ(svc.recv(msg, timeT::fromMs(50)), 2);
    auto flooder = startNode("pull", "flooder", {"--flood", "tester", "3", "--exit"});
    ASSERT_TRUE(flooder->waitForOutput("flooded 3"));
    ASSERT_TRUE(flooder->wait());
    ASSERT_TRUE(events->waitFor("DOWN flooder"));
    for (int i = 0; i < 3; ++i) {
        std::string src, dst;
        ASSERT_EQ(svc.recv(src, msg, timeT(10, 0), &dst), 0);
        EXPECT_EQ(src, "flooder");
        EXPECT_EQ(dst, "tester");
        EXPECT_EQ(msg->currSize(), 32u);
    }
    // A receiver installed afterwards rules out pulling.
    svc.setReceiver(std::make_shared<recordingReceiverT>());
    try {
        svc.recv(msg, timeT::fromMs(10));
        ADD_FAILURE() << "recv with a receiver did not throw";
    } catch (const ipcExceptionT& e) {
        EXPECT_EQ(e.code(), 4);
        EXPECT_STREQ(e.what(), "wrong sequence of operations");
    }
}

// Messages and events share one order: a node's last messages come before
// the news that it went down.
TEST_F(ServiceT, CallbacksRunInArrivalOrder) {
    bind("order");
    svc.setReceiver(std::make_shared<recordingReceiverT>(events));
    for (int round = 1; round <= 20; ++round) {
        auto flooder = startNode("order", "flooder", {"--flood", "tester", "5", "--exit"});
        ASSERT_TRUE(flooder->wait());
        ASSERT_TRUE(events->waitFor("DOWN flooder", size_t(round)));
    }
    std::vector<std::string> expect;
    for (int round = 0; round < 20; ++round) {
        expect.push_back("UP flooder");
        for (int i = 0; i < 5; ++i)
            expect.push_back("msg flooder");
        expect.push_back("DOWN flooder");
    }
    EXPECT_EQ(events->all(), expect);
}

TEST_F(ServiceT, ReceiverExceptionsAreLoggedAndTheNodeGoesOn) {
    bind("throw");
    auto thrower = startNode("throw", "thrower", {"--throw"});
    ASSERT_TRUE(events->waitFor("UP thrower"));
    ASSERT_EQ(svc.send("thrower", text("boom")), 0);
    EXPECT_TRUE(
        thrower->waitForOutput("exception thrown by receiver: receiver gave up on message 1"));
    std::unique_ptr<ipcMessageT> reply;
    EXPECT_EQ(svc.send("thrower", text("still alive?"), reply, timeT(30, 0)), 0);
    EXPECT_TRUE(thrower->running());
}

TEST_F(ServiceT, FloodAgainstASlowReceiverKeepsItsMemoryBounded) {
    bind("flood");
    auto slow = startNode("flood", "slow", {"--slow-ms", "2"});
    ASSERT_TRUE(events->waitFor("UP slow"));
    long before = vmRssKiB(slow->pid());
    auto flooder = startNode("flood", "flooder", {"--flood", "slow", "100000"});
    ASSERT_TRUE(flooder->waitForOutput("flooded", msT(120000)));
    long after = vmRssKiB(slow->pid());
    // Unbounded, the backlog takes about 19 MiB here; bounded, under 2 MiB.
    // Sanitizers keep freed memory for a while.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    const long bound = 32 * 1024;
#else
    const long bound = 8 * 1024;
#endif
    EXPECT_LT(after - before, bound) << "before " << before << " KiB, after " << after;
    // The receiver said why it let messages go, and still serves calls.
    EXPECT_TRUE(slow->waitForOutput("one-way messages"));
    std::unique_ptr<ipcMessageT> reply;
    // Behind up to 4096 queued messages at 2 ms each (far slower under ThreadSanitizer).
    EXPECT_EQ(svc.send("slow", text("still there"), reply, timeT(240, 0)), 0);
}

TEST_F(ServiceT, CallsHonourTheirTimeOutWhileTheDaemonIsAway) {
    bind("away");
    auto echo = startNode("away", "echo");
    ASSERT_TRUE(events->waitFor("UP echo"));
    daemon.kill();
    ASSERT_TRUE(events->waitFor("DOWN echo"));
    auto t0 = std::chrono::steady_clock::now();
    std::unique_ptr<ipcMessageT> reply;
    EXPECT_EQ(svc.send("echo", text("anyone?"), reply, timeT::fromMs(700)), 2);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 690ms);
    std::unique_ptr<ipcMessageT> msg;
    EXPECT_EQ(svc.recv(msg, timeT::fromMs(300)), 2);
    ASSERT_TRUE(daemon.start());
    ASSERT_TRUE(events->waitFor("UP echo", 2));
    EXPECT_EQ(svc.send("echo", text("back"), reply, timeT(30, 0)), 0);
}

TEST_F(ServiceT, ShutdownEndsWaitsAndALaterBindStartsAgain) {
    bind("shut");
    auto slow = startNode("shut", "slow", {"--delay-ms", "60000"});
    ASSERT_TRUE(events->waitFor("UP slow"));
    auto pending = std::async(std::launch::async, [&] {
        std::unique_ptr<ipcMessageT> reply;
        return svc.send("slow", text("never answered"), reply);
    });
    auto pulling = std::async(std::launch::async, [&] {
        std::unique_ptr<ipcMessageT> msg;
        return svc.recv(msg);
    });
    ASSERT_TRUE(slow->waitForOutput("delaying tester"));
    svc.shutdown();
    EXPECT_EQ(pending.get(), 4);
    EXPECT_EQ(pulling.get(), 4);
    EXPECT_EQ(svc.send("slow", text("x")), 4);
    svc.shutdown(); // twice is harmless
    EXPECT_EQ(svc.bind("tester"), 0);
    ASSERT_TRUE(events->waitFor("UP slow", 2));
}

TEST_F(ServiceT, ShutdownWhileBindingWithoutADaemon) {
    daemon.stop();
    svc = ipcServiceT::handle("nodaemon");
    auto binding = std::async(std::launch::async, [&] { return svc.bind("lonely"); });
    // Shut down once the binding runs (its I/O thread exists).
    for (auto until = std::chrono::steady_clock::now() + 60s;
         !svc.thread().valid() && std::chrono::steady_clock::now() < until;)
        std::this_thread::yield();
    auto t0 = std::chrono::steady_clock::now();
    svc.shutdown();
    EXPECT_EQ(binding.get(), 4);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
}

TEST_F(ServiceT, NameTakenRefusesTheBindUntilItIsFree) {
    auto holder = startNode("taken", "name");
    svc = ipcServiceT::handle("taken");
    shut.svc = svc;
    EXPECT_EQ(svc.bind("name"), 1);
    std::unique_ptr<ipcMessageT> msg;
    EXPECT_EQ(svc.recv(msg, timeT::fromMs(10)), 1);
    holder->signal(SIGKILL);
    holder->wait();
    // Retried every 200 ms: the name is ours once free.
    for (int i = 0; i < 300 && svc.recv(msg, timeT::fromMs(100)) != 2; ++i)
        std::this_thread::sleep_for(100ms);
    EXPECT_EQ(svc.recv(msg, timeT::fromMs(10)), 2);
    EXPECT_EQ(svc.bind("name"), 0);
}

// CONCURRENCY: many threads calling at once each get their own answer.
// A receiver that calls out reads the socket itself while it waits: the
// messages it meets on the way still run after it, in the order they came.
TEST_F(ServiceT, ReceiverCallingOutKeepsTheArrivalOrder) {
    bind("callout");
    auto echo = startNode("callout", "echo");
    ASSERT_TRUE(events->waitFor("UP echo"));
    ipcServiceT::handleT self = svc;
    svc.setReceiver(std::make_shared<recordingReceiverT>(events, [self]() mutable {
        std::unique_ptr<ipcMessageT> reply;
        int r = self.send("echo", text("ping"), reply, timeT(30, 0));
        return r == 0 && text(*reply) == "ping" ? "" : " call failed";
    }));
    for (int round = 1; round <= 5; ++round) {
        auto flooder = startNode("callout", "flooder", {"--flood", "tester", "20", "--exit"});
        ASSERT_TRUE(flooder->wait());
        ASSERT_TRUE(events->waitFor("DOWN flooder", size_t(round)));
    }
    std::vector<std::string> expect = {"UP echo"};
    for (int round = 0; round < 5; ++round) {
        expect.push_back("UP flooder");
        for (int i = 0; i < 20; ++i)
            expect.push_back("msg flooder");
        expect.push_back("DOWN flooder");
    }
    EXPECT_EQ(events->all(), expect);
}

// Every calling thread gets its own wait set; a thread that ends gives its
// descriptors back.
TEST_F(ServiceT, CallingThreadsThatEndLeaveNoDescriptorsBehind) {
    bind("threads");
    auto echo = startNode("threads", "echo");
    ASSERT_TRUE(events->waitFor("UP echo"));
    auto openFds = [] {
        size_t n = 0;
        for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
            (void)e;
            ++n;
        }
        return n;
    };
    auto callOnce = [&](int i) {
        std::unique_ptr<ipcMessageT> reply;
        return svc.send("echo", text(std::to_string(i)), reply, timeT(30, 0)) == 0 &&
               text(*reply) == std::to_string(i);
    };
    std::thread([&] { EXPECT_TRUE(callOnce(-1)); }).join(); // libraries settle first
    size_t before = openFds();
    for (int i = 0; i < 200; ++i) {
        bool ok = false;
        std::thread([&] { ok = callOnce(i); }).join();
        ASSERT_TRUE(ok) << i;
    }
    EXPECT_EQ(openFds(), before);
}

TEST_F(ServiceT, ConcurrentCallersGetTheirOwnAnswers) {
    bind("many");
    auto echo = startNode("many", "echo");
    ASSERT_TRUE(events->waitFor("UP echo"));
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 6; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 100; ++i) {
                std::unique_ptr<ipcMessageT> reply;
                std::string body = std::to_string(t) + ":" + std::to_string(i);
                if (svc.send("echo", text(body, unsigned(t % 5)), reply, timeT(60, 0)) != 0 ||
                    text(*reply) != body)
                    ++wrong;
                if (i % 10 == 0)
                    svc.send("echo", text("one-way", 4));
            }
        });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(wrong.load(), 0);
}

// CONCURRENCY: answers racing their callers' time-outs end only their own call;
// a caller that gave up never gets woken into, nor handed, a later call's answer.
TEST_F(ServiceT, AnswersRacingTimeOutsReachOnlyTheirOwnCall) {
    bind("race");
    auto echo = startNode("race", "echo");
    ASSERT_TRUE(events->waitFor("UP echo"));
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 150; ++i) {
                std::unique_ptr<ipcMessageT> reply;
                std::string body = std::to_string(t) + ":" + std::to_string(i);
                int r = svc.send("echo", text(body), reply, timeT::fromMs(1 + i % 3));
                if ((r == 0 && text(*reply) != body) || (r == 2 && reply) || (r != 0 && r != 2))
                    ++wrong;
            }
        });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(wrong.load(), 0);
    std::unique_ptr<ipcMessageT> reply;
    ASSERT_EQ(svc.send("echo", text("last"), reply, timeT(30, 0)), 0);
    EXPECT_EQ(text(*reply), "last");
}

} // namespace
