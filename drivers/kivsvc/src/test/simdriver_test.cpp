#include <atomic>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "devdb.h"
#include "kivsvc_common.h"
#include "q720sim.h"
#include "rux_cli_xface.h"
#include "simdriver.h"

namespace {

using kivsvc::reportDeviceT;

// Serial numbers unique in this process: every test shares the one database.
std::string fresh(const std::string& tag) {
    static std::atomic<int> n{0};
    return tag + std::to_string(n++);
}

std::map<int, std::shared_ptr<const kivDevT>> devices() {
    std::map<int, std::shared_ptr<const kivDevT>> out;
    devdbT::rdT rd;
    rd.get(out);
    return out;
}

// Identifiers of the devices with serial number `snum`.
std::vector<int> idsOf(const std::string& snum) {
    std::vector<int> ids;
    for (auto& e : devices())
        if (e.second->snum() == snum)
            ids.push_back(e.first);
    return ids;
}

class countingObserverT : public observerT {
public:
    void notify(const devdbT&) override { ++calls; }
    std::atomic<int> calls{0};
};

// The simulator's menu on a VT100 session, typed into key by key.
struct consoleT {
    simDriverT drv;
    std::ostringstream os;
    std::shared_ptr<rux::cliMenuT> root = rux::cliMenuT::create("/", "root");
    std::unique_ptr<rux::cliSessionT> s;

    consoleT() {
        drv.console(root);
        s = std::make_unique<rux::cliSessionT>(root);
        s->setOutput(rux::cliVT100TermT::create(os));
        out();
    }

    // Feeds the bytes; returns what the terminal received meanwhile.
    std::string keys(const std::string& bytes) {
        std::istringstream is(bytes);
        rux::cliVT100InputDecoderT d(is);
        d.run(*s);
        return out();
    }

    std::string out() {
        std::string r = os.str();
        os.str("");
        return r;
    }
};

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(simDriverT, AddWithOnlyASerialNumberMakesAQ720WithDefaultVersions) {
    consoleT c;
    std::string snum = fresh("A");
    EXPECT_TRUE(contains(c.keys("add -snum " + snum + "\r"), "device successfully connected\r\n"));
    auto ids = idsOf(snum);
    ASSERT_EQ(ids.size(), 1u);
    auto dev = devices().at(ids[0]);
    EXPECT_EQ(dev->model(), reportDeviceT::Q720);
    EXPECT_EQ(dev->hwver(), "1.0");
    EXPECT_EQ(dev->swver(), "1.2");
    EXPECT_EQ(c.drv._serials(), std::vector<std::string>{snum});
}

TEST(simDriverT, AddReadsModelAndVersionsByPosition) {
    consoleT c;
    std::string snum = fresh("B");
    c.keys("add Q710 " + snum + " hw7 sw9\r");
    auto ids = idsOf(snum);
    ASSERT_EQ(ids.size(), 1u);
    auto dev = devices().at(ids[0]);
    EXPECT_EQ(dev->model(), reportDeviceT::Q710);
    EXPECT_EQ(dev->model2str(), "Q710");
    EXPECT_EQ(dev->hwver(), "hw7");
    EXPECT_EQ(dev->swver(), "sw9");

    simDriverT d;
    std::string other = fresh("B");
    ASSERT_TRUE(d._connect(reportDeviceT::unknown, other, "", ""));
    EXPECT_EQ(devices().at(idsOf(other)[0])->model2str(), "unknown");
}

TEST(simDriverT, DuplicateSerialFailsAndLeavesTheDatabaseAlone) {
    consoleT c;
    std::string snum = fresh("C");
    c.keys("add Q720 " + snum + "\r");
    auto before = devices();
    auto watcher = std::make_shared<countingObserverT>();
    devdbT::instance()->add(watcher);
    EXPECT_TRUE(contains(c.keys("add Q710 " + snum + "\r"),
                         "failed to connect device (snum already present?)\r\n"));
    devdbT::instance()->remove(watcher);
    EXPECT_EQ(watcher->calls, 0);
    EXPECT_EQ(idsOf(snum).size(), 1u);
    EXPECT_EQ(devices().size(), before.size());
}

TEST(simDriverT, EmptySerialNumberIsRefused) {
    consoleT c;
    size_t before = devices().size();
    EXPECT_TRUE(contains(c.keys("add\r"), "failed to connect device (snum already present?)\r\n"));
    EXPECT_TRUE(contains(c.keys("add Q720 \"\"\r"),
                         "failed to connect device (snum already present?)\r\n"));
    EXPECT_FALSE(c.drv._connect(reportDeviceT::Q720, "", "", ""));
    EXPECT_EQ(devices().size(), before);
}

TEST(simDriverT, RemoveAndAddAgainGivesANewIdentifier) {
    consoleT c;
    std::string snum = fresh("D");
    c.keys("add Q720 " + snum + "\r");
    int first = idsOf(snum).at(0);
    EXPECT_TRUE(contains(c.keys("remove " + snum + "\r"), "device removed\r\n"));
    EXPECT_TRUE(idsOf(snum).empty());
    EXPECT_TRUE(c.drv._serials().empty());
    // Typed in full, an unknown serial number reaches the command.
    EXPECT_FALSE(c.drv._disconnect(snum));
    EXPECT_FALSE(c.drv._disconnect(""));
    c.keys("add Q720 " + snum + "\r");
    auto again = idsOf(snum);
    ASSERT_EQ(again.size(), 1u);
    EXPECT_GT(again[0], first);
}

TEST(simDriverT, RemoveOffersTheConnectedSerialsSorted) {
    consoleT c;
    c.keys("remove ");
    EXPECT_FALSE(contains(c.keys("?"), "[snum]"));
    c.keys("\x03");
    for (const char* s : {"m2", "m10", "m1", "Z", "m"})
        ASSERT_TRUE(c.drv._connect(reportDeviceT::Q720, s, "", ""));
    c.keys("remove ");
    EXPECT_EQ(c.keys("?"), "\r\n"
                           "\t[snum]\tZ  \t\t\r\n"
                           "\t[snum]\tm  \t\t\r\n"
                           "\t[snum]\tm1 \t\t\r\n"
                           "\t[snum]\tm10\t\t\r\n"
                           "\t[snum]\tm2 \t\t\r\n"
                           "\t<cr>\t\tenter menu/command\r\n"
                           "\33[2K\r\33[J/ > remove ");
    // The list follows the meters: completion finds the one left with a 1.
    ASSERT_TRUE(c.drv._disconnect("m10"));
    c.keys("\x03remove m1\t\r");
    EXPECT_EQ(c.drv._serials(), (std::vector<std::string>{"Z", "m", "m2"}));
    for (const char* s : {"Z", "m", "m2"})
        ASSERT_TRUE(c.drv._disconnect(s));
}

// Reads succeed and leave the caller's message as it was; writes and resets
// succeed; every bootloader operation fails, also leaving its message alone.
TEST(q720simT, AnswersEveryOperationAtOnce) {
    q720simT dev(reportDeviceT::Q720, "S", "", "");

    kivsvc::configT cfg;
    cfg.mutable_q7xx()->set_spare(7);
    const std::string cfgBefore = cfg.SerializeAsString();
    EXPECT_TRUE(dev.getConfig(cfg));
    EXPECT_TRUE(dev.restoreLastSavedConfig(cfg));
    EXPECT_EQ(cfg.SerializeAsString(), cfgBefore);
    kivsvc::configT empty;
    EXPECT_TRUE(dev.getConfig(empty));
    EXPECT_EQ(empty.ByteSizeLong(), 0u);
    EXPECT_TRUE(dev.setConfig(cfg, false));
    EXPECT_TRUE(dev.setConfig(cfg, true));

    kivsvc::statusT status;
    status.set_opmode(kivsvc::statusT::simulation);
    const std::string statusBefore = status.SerializeAsString();
    EXPECT_TRUE(dev.getStatus(status));
    EXPECT_EQ(status.SerializeAsString(), statusBefore);

    kivsvc::measureT measure;
    EXPECT_TRUE(dev.getMeasure(measure));
    EXPECT_EQ(measure.ByteSizeLong(), 0u);

    for (auto how : {kivDevT::swReset, kivDevT::hwReset, kivDevT::cfgReset})
        EXPECT_TRUE(dev.reset(how)) << how;

    kivsvc::bootAppDataT app;
    app.set_version(3);
    const std::string appBefore = app.SerializeAsString();
    EXPECT_FALSE(dev.getBootAppData(app));
    EXPECT_FALSE(dev.getFirmwareCRC(app));
    EXPECT_FALSE(dev.setBootAppData(app));
    EXPECT_FALSE(dev.eraseFirmware(app));
    EXPECT_EQ(app.SerializeAsString(), appBefore);
    kivsvc::fwBlockT block;
    block.set_offset(0);
    block.set_data("x");
    EXPECT_FALSE(dev.writeFirmware(block));

    // The identity: versions default only when not given.
    EXPECT_EQ(dev.snum(), "S");
    q720simT given(reportDeviceT::Q710, "T", "2.0", "3.1");
    EXPECT_EQ(given.model(), reportDeviceT::Q710);
    EXPECT_EQ(given.hwver(), "2.0");
    EXPECT_EQ(given.swver(), "3.1");
}

// Sessions on several threads race for one serial number: one wins each time.
TEST(simDriverT, ConcurrentSessionsAddAndRemoveOneSerialOnce) {
    simDriverT d;
    const int threads = 4;
    for (int round = 0; round < 50; ++round) {
        std::string snum = fresh("R");
        std::atomic<int> added{0}, removed{0};
        std::vector<std::thread> ts;
        for (int i = 0; i < threads; ++i)
            ts.emplace_back([&] {
                if (d._connect(reportDeviceT::Q720, snum, "", ""))
                    ++added;
            });
        for (auto& t : ts)
            t.join();
        ASSERT_EQ(added, 1);
        ASSERT_EQ(idsOf(snum).size(), 1u);

        ts.clear();
        for (int i = 0; i < threads; ++i)
            ts.emplace_back([&] {
                if (d._disconnect(snum))
                    ++removed;
            });
        for (auto& t : ts)
            t.join();
        ASSERT_EQ(removed, 1);
        ASSERT_TRUE(idsOf(snum).empty());
    }
}

} // namespace
