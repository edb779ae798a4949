// The request list of the USB drivers: completion, reply matching, one request
// in flight per device, time-outs and late replies, devices that go away.
// The test thread plays the driver thread; requesters are real threads.
#include <atomic>
#include <condition_variable>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "usbdrv/reqlist.h"

using rux::timeT;
using usbdrv::exchangeT;
using usbdrv::reqListT;

namespace {

// A request whose reply is identified by (rid, mid); parse keeps byte 2 as
// the reply's token and fails for token 0xEE.
class fakeExT : public exchangeT {
public:
    fakeExT(unsigned char rid, unsigned char mid, bool reply = true, unsigned char token = 0)
        : _rid(rid), _mid(mid), _reply(reply), _token(token) {}
    int format(unsigned char* buf, std::size_t size) override {
        if (size < 3)
            return -1;
        buf[0] = 2;
        buf[1] = _mid;
        buf[2] = _token;
        return 3;
    }
    bool expectsReply() const override { return _reply; }
    unsigned char replyRid() const override { return _rid; }
    unsigned char replyMid() const override { return _mid; }
    matchT match(const unsigned char* r, std::size_t len) const override {
        if (len < 2 || r[0] != _rid || (r[1] & 0x7F) != _mid)
            return enNO;
        return (r[1] & 0x80) ? enFAILED : enYES;
    }
    bool parse(const unsigned char* r, std::size_t len) override {
        if (len < 3 || r[2] == 0xEE)
            return false;
        got = r[2];
        return true;
    }
    timeT timeout() const override { return _timeout; }

    std::atomic<int> got{-1};
    timeT _timeout;

private:
    unsigned char _rid, _mid;
    bool _reply;
    unsigned char _token;
};

// Counts wake-ups so the test can wait until requests are queued.
struct wakesT {
    void operator()() {
        std::lock_guard<std::mutex> g(m);
        ++n;
        cv.notify_all();
    }
    bool waitFor(int count) {
        std::unique_lock<std::mutex> g(m);
        return cv.wait_for(g, std::chrono::seconds(10), [&] { return n >= count; });
    }
    std::mutex m;
    std::condition_variable cv;
    int n = 0;
};

struct fixtureT {
    fixtureT() : list([this] { wakes(); }) {}
    // Submits on a thread of its own; returns the future result.
    std::future<bool> submit(const void* dev, std::shared_ptr<exchangeT> ex) {
        const int before = wakes.n;
        auto f = std::async(std::launch::async, [this, dev, ex] { return list.submit(dev, ex); });
        EXPECT_TRUE(wakes.waitFor(before + 1));
        return f;
    }
    wakesT wakes;
    reqListT list;
};

const timeT t0(100, 0);
const std::vector<unsigned char> reply42{4, 2, 42};

bool ready(std::future<bool>& f) {
    return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
}

int devA, devB;

} // namespace

TEST(UsbReqListT, ReplyCompletesTheRequestInFlight) {
    fixtureT fx;
    fx.list.attach(&devA);
    auto ex = std::make_shared<fakeExT>(4, 2);
    auto done = fx.submit(&devA, ex);
    auto r = fx.list.takeNext(t0);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->ex, ex);
    fx.list.sent(r, true, t0);

    // Another report id, another message id, another device: not its reply.
    const unsigned char otherMid[] = {4, 3, 1};
    const unsigned char otherRid[] = {5, 2, 1};
    EXPECT_EQ(fx.list.offer(&devA, otherMid, 3), reqListT::enUNEXPECTED);
    EXPECT_EQ(fx.list.offer(&devA, otherRid, 3), reqListT::enUNEXPECTED);
    EXPECT_EQ(fx.list.offer(&devB, reply42.data(), 3), reqListT::enUNEXPECTED);
    EXPECT_FALSE(ready(done));

    EXPECT_EQ(fx.list.offer(&devA, reply42.data(), 3), reqListT::enCOMPLETED);
    EXPECT_TRUE(done.get());
    EXPECT_EQ(ex->got, 42);
    EXPECT_EQ(fx.list.size(), 0u);
}

TEST(UsbReqListT, OutcomesOfSendAndReply) {
    fixtureT fx;
    fx.list.attach(&devA);
    struct caseT {
        bool expectsReply;
        bool sentOk;
        std::vector<unsigned char> reply; // empty: none offered
        reqListT::offerT offer;
        bool result;
    } cases[] = {
        {false, true, {}, reqListT::enUNEXPECTED, true},          // no reply awaited
        {false, false, {}, reqListT::enUNEXPECTED, false},        // send failed
        {true, false, {}, reqListT::enUNEXPECTED, false},         // send failed
        {true, true, {4, 2, 0xEE}, reqListT::enBADREPLY, false},  // reply does not parse
        {true, true, {4, 0x82, 1}, reqListT::enDEVFAILED, false}, // device says it failed
    };
    for (const auto& c : cases) {
        auto done = fx.submit(&devA, std::make_shared<fakeExT>(4, 2, c.expectsReply));
        auto r = fx.list.takeNext(t0);
        ASSERT_TRUE(r);
        fx.list.sent(r, c.sentOk, t0);
        if (!c.reply.empty()) {
            EXPECT_EQ(fx.list.offer(&devA, c.reply.data(), c.reply.size()), c.offer);
        }
        EXPECT_EQ(done.get(), c.result);
    }
}

TEST(UsbReqListT, OneRequestInFlightPerDeviceInSubmissionOrder) {
    fixtureT fx;
    fx.list.attach(&devA);
    fx.list.attach(&devB);
    auto a1 = std::make_shared<fakeExT>(4, 2, true, 1);
    auto a2 = std::make_shared<fakeExT>(4, 2, true, 2);
    auto b1 = std::make_shared<fakeExT>(4, 2, true, 3);
    auto fa1 = fx.submit(&devA, a1);
    auto fa2 = fx.submit(&devA, a2);
    auto fb1 = fx.submit(&devB, b1);

    auto r1 = fx.list.takeNext(t0);
    ASSERT_TRUE(r1);
    EXPECT_EQ(r1->ex, a1);
    fx.list.sent(r1, true, t0);
    // a2 waits for a1; the other device is served meanwhile.
    auto r2 = fx.list.takeNext(t0);
    ASSERT_TRUE(r2);
    EXPECT_EQ(r2->ex, b1);
    fx.list.sent(r2, true, t0);
    EXPECT_FALSE(fx.list.takeNext(t0));

    const unsigned char reply[] = {4, 2, 7};
    EXPECT_EQ(fx.list.offer(&devA, reply, 3), reqListT::enCOMPLETED);
    EXPECT_TRUE(fa1.get());
    EXPECT_EQ(a1->got, 7);
    EXPECT_EQ(a2->got, -1); // the reply went to the request in flight only

    auto r3 = fx.list.takeNext(t0);
    ASSERT_TRUE(r3);
    EXPECT_EQ(r3->ex, a2);
    fx.list.sent(r3, true, t0);
    EXPECT_EQ(fx.list.offer(&devA, reply, 3), reqListT::enCOMPLETED);
    EXPECT_EQ(fx.list.offer(&devB, reply, 3), reqListT::enCOMPLETED);
    EXPECT_TRUE(fa2.get());
    EXPECT_TRUE(fb1.get());
}

TEST(UsbReqListT, OverdueReplyFailsAndItsLateArrivalCompletesNothing) {
    fixtureT fx;
    fx.list.attach(&devA);
    auto first = std::make_shared<fakeExT>(4, 2);
    auto f1 = fx.submit(&devA, first);
    auto r = fx.list.takeNext(t0);
    fx.list.sent(r, true, t0);
    timeT at;
    ASSERT_TRUE(fx.list.nextDeadline(at));
    EXPECT_EQ(at, t0 + timeT(5, 0)); // the default time-out

    EXPECT_TRUE(fx.list.expire(t0 + timeT(4, 999999999)).empty());
    EXPECT_EQ(fx.list.expire(t0 + timeT(5, 0)), std::vector<reqListT::devKeyT>{&devA});
    EXPECT_FALSE(f1.get());

    // A newer request with the same reply ids waits while a late reply may come.
    auto second = std::make_shared<fakeExT>(4, 2);
    auto f2 = fx.submit(&devA, second);
    EXPECT_FALSE(fx.list.takeNext(t0 + timeT(6, 0)));
    ASSERT_TRUE(fx.list.nextDeadline(at));
    EXPECT_EQ(at, t0 + timeT(15, 0));
    EXPECT_EQ(fx.list.offer(&devA, reply42.data(), 3), reqListT::enLATE);
    EXPECT_EQ(second->got, -1);

    r = fx.list.takeNext(t0 + timeT(6, 0));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->ex, second);
    fx.list.sent(r, true, t0 + timeT(6, 0));
    EXPECT_EQ(fx.list.offer(&devA, reply42.data(), 3), reqListT::enCOMPLETED);
    EXPECT_TRUE(f2.get());
}

TEST(UsbReqListT, HoldOnLateReplyEndsAfterTwiceTheTimeOut) {
    fixtureT fx;
    fx.list.attach(&devA);
    auto slow = std::make_shared<fakeExT>(4, 2);
    slow->_timeout = timeT(30, 0); // a command that legitimately takes longer
    auto f1 = fx.submit(&devA, slow);
    fx.list.sent(fx.list.takeNext(t0), true, t0);
    EXPECT_TRUE(fx.list.expire(t0 + timeT(29, 0)).empty());
    EXPECT_EQ(fx.list.expire(t0 + timeT(30, 0)).size(), 1u);
    EXPECT_FALSE(f1.get());

    // Other reply ids are not held back.
    auto other = std::make_shared<fakeExT>(4, 6);
    auto f2 = fx.submit(&devA, other);
    auto r = fx.list.takeNext(t0 + timeT(31, 0));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->ex, other);
    fx.list.sent(r, true, t0 + timeT(31, 0));
    const unsigned char reply6[] = {4, 6, 9};
    EXPECT_EQ(fx.list.offer(&devA, reply6, 3), reqListT::enCOMPLETED);
    EXPECT_TRUE(f2.get());

    auto same = std::make_shared<fakeExT>(4, 2);
    auto f3 = fx.submit(&devA, same);
    EXPECT_FALSE(fx.list.takeNext(t0 + timeT(89, 0)));
    r = fx.list.takeNext(t0 + timeT(90, 0));
    ASSERT_TRUE(r);
    fx.list.sent(r, true, t0 + timeT(90, 0));
    EXPECT_EQ(fx.list.offer(&devA, reply42.data(), 3), reqListT::enCOMPLETED);
    EXPECT_TRUE(f3.get());
}

TEST(UsbReqListT, GoneDeviceFailsQueuedAndSentRequests) {
    fixtureT fx;
    fx.list.attach(&devA);
    fx.list.attach(&devB);
    auto sentOne = fx.submit(&devA, std::make_shared<fakeExT>(4, 2));
    auto queued = fx.submit(&devA, std::make_shared<fakeExT>(4, 2));
    auto other = fx.submit(&devB, std::make_shared<fakeExT>(4, 2));
    auto r = fx.list.takeNext(t0);
    fx.list.sent(r, true, t0);

    EXPECT_EQ(fx.list.detach(&devA), 2u);
    EXPECT_FALSE(sentOne.get());
    EXPECT_FALSE(queued.get());
    EXPECT_FALSE(ready(other));
    // A reply arriving afterwards finds nobody; new requests fail at once.
    EXPECT_EQ(fx.list.offer(&devA, reply42.data(), 3), reqListT::enUNEXPECTED);
    EXPECT_FALSE(fx.list.submit(&devA, std::make_shared<fakeExT>(4, 2)));

    fx.list.close();
    EXPECT_FALSE(other.get());
    EXPECT_FALSE(fx.list.submit(&devB, std::make_shared<fakeExT>(4, 2)));
    EXPECT_FALSE(fx.list.takeNext(t0));
}

TEST(UsbReqListT, ManyRequestersNeverShareADevicesTurn) {
    // A driver thread answers every request with its own token; requesters
    // check they got theirs while two devices are served at once.
    reqListT* listp = nullptr;
    std::mutex m;
    std::condition_variable cv;
    int pending = 0;
    reqListT list([&] {
        std::lock_guard<std::mutex> g(m);
        ++pending;
        cv.notify_all();
    });
    listp = &list;
    const int devs[2] = {0, 0};
    list.attach(&devs[0]);
    list.attach(&devs[1]);
    std::atomic<bool> stop{false};
    std::atomic<int> overlap{0};

    std::thread driver([&] {
        std::map<const void*, std::shared_ptr<exchangeT>> inFlight;
        unsigned tick = 0;
        while (!stop) {
            {
                std::unique_lock<std::mutex> g(m);
                cv.wait_for(g, std::chrono::milliseconds(50), [&] { return pending > 0 || stop; });
                pending = 0;
            }
            const timeT now(1, 0);
            while (auto r = listp->takeNext(now)) {
                if (inFlight.count(r->dev))
                    ++overlap;
                unsigned char buf[8] = {};
                r->ex->format(buf, sizeof buf);
                listp->sent(r, true, now);
                inFlight[r->dev] = r->ex;
                // Answer every other one at once, the rest on the next round.
                if (++tick % 2 == 0) {
                    const unsigned char reply[] = {4, buf[1], buf[2]};
                    listp->offer(r->dev, reply, 3);
                    inFlight.erase(r->dev);
                }
            }
            for (auto it = inFlight.begin(); it != inFlight.end();) {
                unsigned char buf[8] = {};
                it->second->format(buf, sizeof buf);
                const unsigned char reply[] = {4, buf[1], buf[2]};
                listp->offer(it->first, reply, 3);
                it = inFlight.erase(it);
            }
        }
    });

    std::vector<std::thread> clients;
    std::atomic<int> wrong{0}, failed{0};
    for (int c = 0; c < 6; ++c) {
        clients.emplace_back([&, c] {
            for (int i = 0; i < 200; ++i) {
                const unsigned char token = static_cast<unsigned char>(1 + (c * 200 + i) % 200);
                auto ex = std::make_shared<fakeExT>(4, 2, true, token);
                if (!list.submit(&devs[c % 2], ex))
                    ++failed;
                else if (ex->got != token)
                    ++wrong;
            }
        });
    }
    for (auto& t : clients)
        t.join();
    stop = true;
    {
        std::lock_guard<std::mutex> g(m);
        cv.notify_all();
    }
    driver.join();
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(overlap, 0);
    EXPECT_EQ(list.size(), 0u);
}

// Replies that name their request (byte 2 here) need no hold after a
// time-out: the next request goes at once, and match() keeps the late reply
// of the old one from completing it.
TEST(UsbReqListT, RepliesNamingTheirRequestHoldNothingBack) {
    class namedExT : public fakeExT {
    public:
        explicit namedExT(unsigned char token) : fakeExT(4, 2, true, token), _tok(token) {}
        bool repliesNameRequest() const override { return true; }
        matchT match(const unsigned char* r, std::size_t len) const override {
            return len >= 3 && r[2] == _tok ? fakeExT::match(r, len) : enNO;
        }

    private:
        unsigned char _tok;
    };
    fixtureT fx;
    fx.list.attach(&devA);
    auto f1 = fx.submit(&devA, std::make_shared<namedExT>(1));
    fx.list.sent(fx.list.takeNext(t0), true, t0);
    EXPECT_EQ(fx.list.expire(t0 + timeT(5, 0)).size(), 1u);
    EXPECT_FALSE(f1.get());
    timeT at;
    EXPECT_FALSE(fx.list.nextDeadline(at));

    auto second = std::make_shared<namedExT>(2);
    auto f2 = fx.submit(&devA, second);
    auto r = fx.list.takeNext(t0 + timeT(5, 0));
    ASSERT_TRUE(r);
    fx.list.sent(r, true, t0 + timeT(5, 0));
    const unsigned char late[] = {4, 2, 1};
    const unsigned char own[] = {4, 2, 2};
    EXPECT_EQ(fx.list.offer(&devA, late, 3), reqListT::enUNEXPECTED);
    EXPECT_FALSE(ready(f2));
    EXPECT_EQ(fx.list.offer(&devA, own, 3), reqListT::enCOMPLETED);
    EXPECT_TRUE(f2.get());
    EXPECT_EQ(second->got, 2);
}
