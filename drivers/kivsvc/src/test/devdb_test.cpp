#include <atomic>
#include <chrono>
#include <climits>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "devdb.h"

// Reaches the identifier counter, which only wraps after 2^31 devices.
class devdbTestT {
public:
    static void nextDevIdx(int id) {
        rux::lockT<rux::mutexT> g(devdbT::_mtx);
        devdbT::_nextDevIdx = id;
    }
};

namespace {

std::atomic<int> liveDevices{0};

class fakeDevT : public kivDevT {
public:
    fakeDevT() { ++liveDevices; }
    ~fakeDevT() override { --liveDevices; }
    bool getConfig(kivsvc::configT&) const override { return false; }
    bool restoreLastSavedConfig(kivsvc::configT&) override { return false; }
    bool setConfig(const kivsvc::configT&, bool) override { return false; }
    bool getStatus(kivsvc::statusT&) const override { return false; }
    bool getMeasure(kivsvc::measureT&) const override { return false; }
    bool eraseFirmware(const kivsvc::bootAppDataT&) override { return false; }
    bool writeFirmware(const kivsvc::fwBlockT&) override { return false; }
    bool getFirmwareCRC(kivsvc::bootAppDataT&) const override { return false; }
    bool setBootAppData(const kivsvc::bootAppDataT&) override { return false; }
    bool getBootAppData(kivsvc::bootAppDataT&) const override { return false; }
    bool reset(resetT) override { return true; }
};

// Records each notification with the identifiers it saw under the read lock.
class recorderT : public observerT {
public:
    explicit recorderT(std::vector<int>* order = nullptr, int tag = 0) : _order(order), _tag(tag) {}

    void notify(const devdbT& db) override {
        std::map<int, std::shared_ptr<const kivDevT>> now;
        {
            devdbT::rdT rd(db);
            rd.get(now);
        }
        std::set<int> ids;
        for (auto& e : now)
            ids.insert(e.first);
        std::lock_guard<std::mutex> g(_m);
        _seen.push_back(ids);
        if (_order)
            _order->push_back(_tag);
    }

    size_t count() const {
        std::lock_guard<std::mutex> g(_m);
        return _seen.size();
    }
    std::set<int> last() const {
        std::lock_guard<std::mutex> g(_m);
        return _seen.empty() ? std::set<int>() : _seen.back();
    }

private:
    mutable std::mutex _m;
    std::vector<std::set<int>> _seen;
    std::vector<int>* _order;
    int _tag;
};

// Leaves the process-wide database as it found it.
class DevdbT : public ::testing::Test {
protected:
    devdbT& db = *devdbT::instance();

    int addDev(std::shared_ptr<kivDevT> dev = std::make_shared<fakeDevT>()) {
        devdbT::wrT wr(db);
        int id = wr.add(std::move(dev));
        added.push_back(id);
        return id;
    }
    bool removeDev(int id) {
        devdbT::wrT wr(db);
        return wr.remove(id);
    }
    void watch(std::shared_ptr<observerT> o) {
        db.add(o);
        watched.push_back(o);
    }
    void TearDown() override {
        for (auto& o : watched)
            db.remove(o);
        devdbT::wrT wr(db);
        for (int id : added)
            wr.remove(id);
    }

    std::vector<int> added;
    std::vector<std::shared_ptr<observerT>> watched;
};

} // namespace

// ---- identifiers ----------------------------------------------------------

TEST_F(DevdbT, IdentifiersAscendFromZeroAndAreNotReused) {
    EXPECT_EQ(devdbT::instance(), &db);
    devdbTestT::nextDevIdx(0);
    EXPECT_EQ(addDev(), 0);
    EXPECT_EQ(addDev(), 1);
    EXPECT_TRUE(removeDev(0));
    EXPECT_EQ(addDev(), 2);
    EXPECT_TRUE(removeDev(2));
    EXPECT_EQ(addDev(), 3);
}

TEST_F(DevdbT, CounterWrapsToZeroAndSkipsIdentifiersInUse) {
    devdbTestT::nextDevIdx(0);
    auto keeper = std::make_shared<fakeDevT>();
    EXPECT_EQ(addDev(keeper), 0);
    devdbTestT::nextDevIdx(INT_MAX);
    EXPECT_EQ(addDev(), INT_MAX);
    EXPECT_EQ(addDev(), 1); // 0 still belongs to `keeper`
    devdbT::rdT rd(db);
    EXPECT_EQ(rd.find(0), keeper);
}

// ---- look-ups -------------------------------------------------------------

TEST_F(DevdbT, ReadGuardCopiesTheMapKeepingEntriesAlreadyThere) {
    auto a = std::make_shared<fakeDevT>();
    auto b = std::make_shared<fakeDevT>();
    int ida = addDev(a);
    int idb = addDev(b);
    auto other = std::make_shared<fakeDevT>();
    std::map<int, std::shared_ptr<const kivDevT>> out{{ida, other}, {-5, other}};
    {
        devdbT::rdT rd(db);
        rd.get(out);
        EXPECT_EQ(rd.find(idb), b);
        EXPECT_EQ(rd.find(-1), nullptr);
        EXPECT_EQ(rd.find(idb + 1000), nullptr);
    }
    EXPECT_EQ(out.at(ida), other);
    EXPECT_EQ(out.at(idb), b);
    EXPECT_EQ(out.at(-5), other);
}

TEST_F(DevdbT, RemovedDeviceLivesWhileAClientHoldsIt) {
    int before = liveDevices;
    int id = addDev();
    std::shared_ptr<kivDevT> held;
    {
        devdbT::wrT wr(db);
        held = wr.find(id);
    }
    ASSERT_NE(held, nullptr);
    EXPECT_TRUE(removeDev(id));
    EXPECT_FALSE(removeDev(id));
    EXPECT_EQ(liveDevices, before + 1);
    EXPECT_TRUE(held->reset(kivDevT::hwReset));
    held.reset();
    EXPECT_EQ(liveDevices, before);
}

// ---- observers ------------------------------------------------------------

TEST_F(DevdbT, EveryWriteGuardNotifiesOnceInInsertionOrder) {
    std::vector<int> order;
    auto first = std::make_shared<recorderT>(&order, 1);
    auto second = std::make_shared<recorderT>(&order, 2);
    watch(second);
    watch(first);
    int id = addDev();
    EXPECT_EQ(order, (std::vector<int>{2, 1}));
    EXPECT_EQ(first->last().count(id), 1u);
    removeDev(id);
    EXPECT_EQ(first->last().count(id), 0u);
    { devdbT::wrT wr(db); } // no change, still a notification
    EXPECT_EQ(first->count(), 3u);
    EXPECT_EQ(second->count(), 3u);
}

TEST_F(DevdbT, SameObserverTwiceIsKeptOnce) {
    auto o = std::make_shared<recorderT>();
    watch(o);
    db.add(o);
    addDev();
    EXPECT_EQ(o->count(), 1u);
    db.remove(o);
    addDev();
    EXPECT_EQ(o->count(), 1u);
    db.remove(o); // not registered any more: nothing happens
    db.remove(std::make_shared<recorderT>());
    db.add(nullptr);
    addDev();
}

TEST_F(DevdbT, RemovingAnUnknownIdentifierStillNotifies) {
    auto o = std::make_shared<recorderT>();
    watch(o);
    EXPECT_FALSE(removeDev(-1));
    EXPECT_FALSE(removeDev(INT_MAX - 7));
    EXPECT_EQ(o->count(), 2u);
}

TEST_F(DevdbT, ObserversRunWithNoDatabaseLockHeld) {
    // From inside notify, other threads must be able to write and to change
    // the observer list; a lock still held would leave them waiting.
    struct probeT : observerT {
        devdbT* db;
        std::vector<bool> othersProgressed;
        void notify(const devdbT&) override {
            auto other = std::async(std::launch::async, [this] {
                db->enterExclusive();
                db->leaveExclusive();
                auto tmp = std::make_shared<recorderT>();
                db->add(tmp);
                db->remove(tmp);
            });
            othersProgressed.push_back(other.wait_for(std::chrono::seconds(60)) ==
                                       std::future_status::ready);
        }
    };
    auto probe = std::make_shared<probeT>();
    probe->db = &db;
    watch(probe);
    addDev();
    ASSERT_EQ(probe->othersProgressed.size(), 1u);
    EXPECT_TRUE(probe->othersProgressed[0]);
}

TEST_F(DevdbT, ObserverMayUnregisterItselfWhileNotified) {
    struct quitterT : observerT {
        devdbT* db;
        std::shared_ptr<observerT> self;
        int calls = 0;
        void notify(const devdbT&) override {
            ++calls;
            db->remove(self);
            self.reset();
        }
    };
    auto q = std::make_shared<quitterT>();
    q->db = &db;
    q->self = q;
    db.add(q);
    auto after = std::make_shared<recorderT>();
    watch(after);
    addDev();
    addDev();
    EXPECT_EQ(q->calls, 1);
    EXPECT_EQ(after->count(), 2u);
}

// ---- several drivers at once ----------------------------------------------

TEST_F(DevdbT, DriversOnSeveralThreadsNotifyWithoutDeadlock) {
    constexpr int kDrivers = 4;
    constexpr int kDevices = 100;
    auto a = std::make_shared<recorderT>();
    auto b = std::make_shared<recorderT>();
    watch(a);
    watch(b);

    std::mutex idsMtx;
    std::vector<int> ids;
    std::atomic<bool> done{false};
    // A client looking devices up and an observer coming and going meanwhile.
    std::thread client([&] {
        auto passer = std::make_shared<recorderT>();
        while (!done) {
            std::map<int, std::shared_ptr<const kivDevT>> m;
            {
                devdbT::rdT rd(db);
                rd.get(m);
            }
            for (auto& e : m)
                e.second->model2str();
            db.add(passer);
            db.remove(passer);
        }
    });
    std::vector<std::thread> drivers;
    for (int d = 0; d < kDrivers; ++d)
        drivers.emplace_back([&] {
            for (int i = 0; i < kDevices; ++i) {
                int id;
                {
                    devdbT::wrT wr(db);
                    id = wr.add(std::make_shared<fakeDevT>());
                }
                {
                    std::lock_guard<std::mutex> g(idsMtx);
                    ids.push_back(id);
                }
                if (i % 2) {
                    devdbT::wrT wr(db);
                    EXPECT_TRUE(wr.remove(id));
                }
            }
        });
    for (auto& t : drivers)
        t.join();
    done = true;
    client.join();

    EXPECT_EQ(std::set<int>(ids.begin(), ids.end()).size(), ids.size()) << "identifier reused";
    const size_t releases = kDrivers * (kDevices + kDevices / 2);
    EXPECT_EQ(a->count(), releases);
    EXPECT_EQ(b->count(), releases);
    std::map<int, std::shared_ptr<const kivDevT>> left;
    devdbT::rdT(db).get(left);
    for (int id : ids)
        if (left.count(id))
            added.push_back(id);
    EXPECT_EQ(added.size(), size_t(kDrivers * kDevices / 2));
}

// ---- device identity ------------------------------------------------------

TEST(KivDevT, ModelNames) {
    fakeDevT dev;
    EXPECT_EQ(dev.model(), 0);
    EXPECT_EQ(dev.model2str(), "unknown");
    const std::map<int, std::string> names = {{1, "Q720"},    {2, "Q710"},     {3, "NBOOT"},
                                              {4, "unknown"}, {5, "unknown"},  {6, "Q850"},
                                              {7, "unknown"}, {14, "unknown"}, {-1, "unknown"}};
    for (auto& n : names) {
        dev.model(n.first);
        EXPECT_EQ(dev.model2str(), n.second) << n.first;
    }
}
