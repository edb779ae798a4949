#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

#include "capture_dev.h"
#include "rux_logger_xface.h"

using rux::loggerT;
namespace lv = rux::log;

namespace {

constexpr int kThreads = 8;
constexpr int kLines = 400;

std::string lineText(int thread, int i) {
    return "thread " + std::to_string(thread) + " line " + std::to_string(i) + " " +
           std::string(40, char('a' + thread)) + "\n";
}

// Runs `fn(thread)` on kThreads threads released at once.
template <class F> void onThreads(F fn) {
    std::atomic<bool> go{false};
    std::vector<std::thread> ts;
    for (int t = 0; t < kThreads; ++t)
        ts.emplace_back([&, t] {
            while (!go.load())
                std::this_thread::yield();
            fn(t);
        });
    go = true;
    for (auto& t : ts)
        t.join();
}

std::vector<std::string> splitLines(const std::string& s) {
    std::vector<std::string> out;
    std::istringstream in(s);
    for (std::string l; std::getline(in, l);)
        out.push_back(l + "\n");
    return out;
}

// Every line whole, and each thread's lines present once and in order.
void expectWholeLinesInThreadOrder(const std::vector<std::string>& lines) {
    ASSERT_EQ(lines.size(), size_t(kThreads * kLines));
    std::map<int, int> next;
    for (const auto& l : lines) {
        int t = -1, i = -1;
        ASSERT_EQ(sscanf(l.c_str(), "thread %d line %d", &t, &i), 2) << l;
        ASSERT_EQ(l, lineText(t, i));
        ASSERT_EQ(i, next[t]++) << "thread " << t << " out of order";
    }
}

// Holds every delivery until opened; counts what it let through.
class gateDevT : public captureDevT {
public:
    void _doLog(const std::string& text, int level) override {
        std::unique_lock<std::mutex> g(_m);
        _cv.wait(g, [&] { return _open; });
        g.unlock();
        captureDevT::_doLog(text, level);
    }
    void open() {
        std::lock_guard<std::mutex> g(_m);
        _open = true;
        _cv.notify_all();
    }

private:
    std::mutex _m;
    std::condition_variable _cv;
    bool _open = false;
};

} // namespace

// ---- stream device --------------------------------------------------------

TEST(StreamLogDevT, LinesFromManyThreadsStayWhole) {
    std::ostringstream os;
    rux::streamLogDevT dev("buf", os);
    onThreads([&](int t) {
        for (int i = 0; i < kLines; ++i)
            dev._doLog(lineText(t, i), lv::INFO);
    });
    expectWholeLinesInThreadOrder(splitLines(os.str()));
}

// ---- file device ----------------------------------------------------------

TEST(FileLogDevConcurrencyT, LinesFromManyThreadsStayWholeAcrossRotations) {
    char tmpl[] = "/tmp/rux_logger_conc.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string path = std::string(tmpl) + "/app.log";
    {
        rux::fileLogDevT dev(path, 4096);
        onThreads([&](int t) {
            for (int i = 0; i < kLines; ++i)
                dev._doLog(lineText(t, i), lv::INFO);
        });
    }
    for (const std::string& p : {path, path + ".old"}) {
        std::ifstream in(p);
        std::stringstream s;
        s << in.rdbuf();
        EXPECT_LE(s.str().size(), 4096u);
        for (const auto& l : splitLines(s.str())) {
            int t = -1, i = -1;
            ASSERT_EQ(sscanf(l.c_str(), "thread %d line %d", &t, &i), 2) << l;
            EXPECT_EQ(l, lineText(t, i));
        }
        unlink(p.c_str());
    }
    rmdir(tmpl);
}

// ---- multi device ---------------------------------------------------------

TEST(MultiLogDevT, FansOutInListOrderFilteredPerDevice) {
    auto order = std::make_shared<std::vector<std::string>>();
    struct tagDevT : rux::logDevT {
        tagDevT(std::string n, std::shared_ptr<std::vector<std::string>> o)
            : rux::logDevT(std::move(n)), order(std::move(o)) {}
        void _doLog(const std::string&, int) override { order->push_back(name()); }
        std::shared_ptr<std::vector<std::string>> order;
    };
    rux::multiLogDevT multi("multilog");
    auto a = std::make_shared<tagDevT>("a", order);
    auto b = std::make_shared<tagDevT>("b", order);
    auto c = std::make_shared<tagDevT>("c", order);
    b->level(lv::ERROR);
    multi.add(c);
    multi.add(a);
    multi.add(b);
    multi.add(nullptr);
    EXPECT_EQ(multi.devices().size(), 3u);

    multi._doLog("x\n", lv::WARNING);
    EXPECT_EQ(*order, (std::vector<std::string>{"c", "a"}));
    order->clear();
    multi._doLog("x\n", lv::ERROR);
    EXPECT_EQ(*order, (std::vector<std::string>{"c", "a", "b"}));
}

TEST(MultiLogDevT, RemovesByNameOrDeviceAndReplacesTheList) {
    rux::multiLogDevT multi("multilog");
    auto a = std::make_shared<captureDevT>("a");
    auto a2 = std::make_shared<captureDevT>("a");
    auto b = std::make_shared<captureDevT>("b");
    multi.add(a);
    multi.add(b);
    multi.add(a2);
    multi.add(b);
    multi.remove("a");
    EXPECT_EQ(multi.devices(), (rux::multiLogDevT::listT{b, b}));
    multi.remove(b);
    EXPECT_TRUE(multi.devices().empty());
    multi.remove("nothing");

    multi.add(a);
    multi.add(rux::multiLogDevT::listT{b, nullptr, a2});
    EXPECT_EQ(multi.devices(), (rux::multiLogDevT::listT{b, a2}));
    multi._doLog("x\n", lv::INFO);
    EXPECT_EQ(a->count(), 0u);
    EXPECT_EQ(b->count(), 1u);
    EXPECT_EQ(a2->count(), 1u);
}

TEST(MultiLogDevT, ListChangesWhileDeliveringAreSafe) {
    rux::multiLogDevT multi("multilog");
    auto keep = std::make_shared<captureDevT>("keep");
    multi.add(keep);
    std::atomic<bool> done{false};
    std::thread changer([&] {
        while (!done) {
            auto tmp = std::make_shared<captureDevT>("tmp");
            multi.add(tmp);
            multi.remove("tmp");
        }
    });
    onThreads([&](int t) {
        for (int i = 0; i < kLines; ++i)
            multi._doLog(lineText(t, i), lv::INFO);
    });
    done = true;
    changer.join();
    expectWholeLinesInThreadOrder(keep->texts());
}

// ---- deferred device ------------------------------------------------------

TEST(DeferredLogDevT, ManyWritersLoseNothingAndKeepOrderPerThread) {
    auto sink = std::make_shared<captureDevT>("sink");
    {
        rux::deferredLogDevT dev("deferred", sink, 4);
        EXPECT_EQ(dev.capacity(), 4u);
        EXPECT_EQ(dev.device(), sink);
        onThreads([&](int t) {
            for (int i = 0; i < kLines; ++i)
                dev._doLog(lineText(t, i), lv::INFO);
        });
        dev.flush();
        EXPECT_EQ(sink->count(), size_t(kThreads * kLines));
    }
    expectWholeLinesInThreadOrder(sink->texts());
}

TEST(DeferredLogDevT, DestructionDeliversEverythingQueued) {
    auto gate = std::make_shared<gateDevT>();
    std::thread opener;
    {
        rux::deferredLogDevT dev("deferred", gate, 64);
        for (int i = 0; i < 50; ++i)
            dev._doLog(lineText(0, i), i % 10);
        // The sink may well still be blocked when destruction begins.
        opener = std::thread([&] { gate->open(); });
    }
    opener.join();
    auto lines = gate->lines();
    ASSERT_EQ(lines.size(), 50u);
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(lines[i].first, i % 10);
        EXPECT_EQ(lines[i].second, lineText(0, i));
    }
}

TEST(DeferredLogDevT, WrappedDeviceLevelFiltersAtDelivery) {
    auto sink = std::make_shared<captureDevT>("sink");
    sink->level(lv::WARNING);
    rux::deferredLogDevT dev("deferred", sink);
    dev._doLog("warn\n", lv::WARNING);
    dev._doLog("info\n", lv::INFO);
    dev.flush();
    EXPECT_EQ(sink->texts(), std::vector<std::string>{"warn\n"});
}

// ---- log IDs under concurrent change --------------------------------------

TEST(LoggerConcurrencyT, BindingAndReconfiguringWhileLogging) {
    auto a = std::make_shared<captureDevT>("a");
    auto b = std::make_shared<captureDevT>("b");
    auto old = loggerT::setDefLogDev(a);
    std::atomic<bool> done{false};
    std::thread changer([&] {
        for (int n = 0; !done; ++n) {
            loggerT::setDefLogDev(n % 2 ? a : b);
            loggerT l("conc.shared");
            l.level(n % 2 ? lv::DUMP : lv::DEBUG);
            std::list<loggerT> all;
            loggerT::getAll(all);
        }
    });
    onThreads([&](int t) {
        for (int i = 0; i < kLines; ++i) {
            loggerT l(i % 2 ? "conc.shared" : "conc.own");
            l.print(lv::INFO, "f", "%s", lineText(t, i).c_str());
        }
    });
    done = true;
    changer.join();
    loggerT::setDefLogDev(old);
    EXPECT_EQ(a->count() + b->count(), size_t(kThreads * kLines));
}
