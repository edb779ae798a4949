// The standard console's output shared between the operator's session and
// log lines from other threads.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "gas/console/cli_log_output.h"
#include "gas/console/shared_output.h"
#include "logger/logger.h"

namespace rux {
namespace {

// Records what reaches the device; deliberately unguarded, so that any write
// outside the shared output's lock shows up under ThreadSanitizer.
class recordT : public cliOutputT {
public:
    void flush() override {}
    void rchr(char c) override { text_.push_back(c); }
    void rtext(const std::string& s) override { text_ += s; }
    void push() override {}
    void pop() override {}
    void erasel() override { text_ += "<EL>"; }
    void erased() override {}
    void erasec() override {}
    void nl() override { text_ += "\r\n"; }
    void cup(unsigned) override {}

    std::string text_;
};

struct rigT {
    std::shared_ptr<recordT> rec = std::make_shared<recordT>();
    std::shared_ptr<cliSharedOutputT> out = cliSharedOutputT::create(rec);
};

TEST(cliSharedOutputT, PostedLineWaitsForTheHolderWithoutBlockingThePoster) {
    rigT r;
    r.out->lock();
    r.out->text("prompt > ab");
    std::thread poster([&] { r.out->post("NTC x -> hello\n"); });
    poster.join(); // returns although the lock is held
    EXPECT_EQ(r.rec->text_, "prompt > ab");
    r.out->text("c");
    r.out->unlock();
    EXPECT_EQ(r.rec->text_, "prompt > abc\r\nNTC x -> hello\r\n");
}

// CONCURRENCY: a line posted while another thread writes one piece of output
// outside lock() (a prompt drawn by itself, say) is written when that piece is
// done, not left queued until the operator's next key.
TEST(cliSharedOutputT, LinePostedDuringASingleWriteIsWrittenAfterIt) {
    // Holds the writer inside the device until the line has been posted.
    class gateT : public recordT {
    public:
        void rtext(const std::string& s) override {
            entered = true;
            while (!open)
                std::this_thread::yield();
            recordT::rtext(s);
        }
        std::atomic<bool> entered{false}, open{false};
    };
    auto gate = std::make_shared<gateT>();
    auto out = cliSharedOutputT::create(gate);
    std::thread writer([&] { out->rtext("prompt > "); });
    while (!gate->entered)
        std::this_thread::yield();
    out->post("NTC x -> hello\n"); // the writer holds the output: queued
    gate->open = true;
    writer.join();
    EXPECT_EQ(gate->text_, "prompt > \r\nNTC x -> hello\r\n");
}

TEST(cliSharedOutputT, LineLoggedByTheHolderIsWrittenAtOnceOnALineOfItsOwn) {
    rigT r;
    r.out->lock();
    r.out->text("out");
    r.out->post("line\n");
    r.out->text("more\n");
    r.out->unlock();
    EXPECT_EQ(r.rec->text_, "out\r\nline\r\nmore\r\n");
}

TEST(cliSharedOutputT, LineWithoutLineEndStillEndsItsLine) {
    rigT r;
    r.out->post("one");
    r.out->post("two\n");
    EXPECT_EQ(r.rec->text_, "one\r\ntwo\r\n");
}

TEST(cliSharedOutputT, LinesBetweenOperationsScrollAboveTheOperatorsLine) {
    rigT r;
    r.out->lock();
    r.out->text("op > ab");
    r.out->redraw([&r] { r.out->text("op > ab"); });
    r.out->unlock();
    r.rec->text_.clear();
    std::thread([&] { r.out->post("one\n"); }).join();
    EXPECT_EQ(r.rec->text_, "<EL>one\r\nop > ab");
    // Lines that come during an operation are written after it, then the
    // line is drawn again.
    r.rec->text_.clear();
    r.out->lock();
    r.out->text("c");
    std::thread([&] { r.out->post("two\n"); }).join();
    r.out->unlock();
    EXPECT_EQ(r.rec->text_, "c<EL>two\r\nop > ab");
    // A line the operation itself logs follows its output.
    r.rec->text_.clear();
    r.out->lock();
    r.out->text("out");
    r.out->post("three\n");
    r.out->unlock();
    EXPECT_EQ(r.rec->text_, "out\r\nthree\r\n");
}

TEST(cliSharedOutputT, BacklogKeepsTheNewestLinesAndCountsTheDropped) {
    rigT r;
    r.out->lock();
    std::thread poster([&] {
        for (size_t i = 0; i < cliSharedOutputT::maxPending + 10; ++i)
            r.out->post("l" + std::to_string(i) + "\n");
    });
    poster.join();
    r.out->unlock();
    const std::string& t = r.rec->text_;
    EXPECT_EQ(t.find("l9\r\n"), std::string::npos);
    EXPECT_NE(t.find("... 10 log lines dropped\r\nl10\r\n"), std::string::npos);
    EXPECT_NE(t.find("l" + std::to_string(cliSharedOutputT::maxPending + 9) + "\r\n"),
              std::string::npos);
}

TEST(cliSharedOutputT, ConcurrentLinesNeverSplitTheSessionsWrites) {
    rigT r;
    constexpr int posters = 4, lines = 200, edits = 300;
    std::vector<std::thread> ts;
    for (int p = 0; p < posters; ++p)
        ts.emplace_back([&, p] {
            for (int i = 0; i < lines; ++i)
                r.out->post("P" + std::to_string(p) + "-" + std::to_string(i) + "\n");
        });
    // The session writes one whole "[....]" per key operation.
    ts.emplace_back([&] {
        for (int i = 0; i < edits; ++i) {
            r.out->lock();
            r.out->text("[");
            r.out->text("....");
            r.out->text("]");
            r.out->unlock();
        }
    });
    for (auto& t : ts)
        t.join();
    r.out->lock(); // takes over whatever is still queued
    r.out->unlock();
    const std::string& t = r.rec->text_;
    // Lines beyond the backlog while the session holds the output are dropped
    // and counted; every other line arrives whole.
    int seen = 0, dropped = 0;
    const std::string mark = "... ";
    for (size_t p = t.find(mark); p != std::string::npos; p = t.find(mark, p + 1))
        dropped += std::stoi(t.substr(p + mark.size()));
    for (size_t p = t.find('P'); p != std::string::npos; p = t.find('P', p + 1)) {
        ++seen;
        const size_t eol = t.find("\r\n", p);
        ASSERT_NE(eol, std::string::npos);
        const std::string line = t.substr(p, eol - p);
        EXPECT_EQ(line.find_first_of("[.]"), std::string::npos) << line;
        EXPECT_TRUE(p == 0 || t.compare(p - 2, 2, "\r\n") == 0) << t.substr(p - 2, 8);
    }
    EXPECT_EQ(seen + dropped, posters * lines);
    size_t groups = 0;
    for (size_t p = t.find('['); p != std::string::npos; p = t.find('[', p + 1)) {
        ++groups;
        EXPECT_EQ(t.compare(p, 6, "[....]"), 0);
    }
    EXPECT_EQ(groups, size_t(edits));
}

TEST(cliLogOutputT, LogLinesReachTheConsoleThroughTheSharedOutput) {
    rigT r;
    auto dev = std::make_shared<cliLogOutputT>(r.out);
    EXPECT_EQ(dev->name(), "cli");
    EXPECT_EQ(dev->level(), 9);
    loggerT log("console_output_test");
    log.setLogDev(dev);
    log.printFunc(false);
    log.printTime(false);
    r.out->lock();
    r.out->text("op > x");
    std::thread([&] { loggerT::logbufT(log, log::NOTICE) << "from a thread\n"; }).join();
    r.out->unlock();
    EXPECT_EQ(r.rec->text_, "op > x\r\nNTC console_output_test -> from a thread\r\n");
}

TEST(cliLogOutputT, PlainOutputGetsWholeLines) {
    auto rec = std::make_shared<recordT>();
    cliLogOutputT dev(rec);
    rec->text("partial");
    dev._doLog("line\n", log::NOTICE);
    EXPECT_EQ(rec->text_, "partial\r\nline\r\n");
}

} // namespace
} // namespace rux
