// kivsvc-drv end to end: real daemon, real emulated meters and bootloader, a
// real client node; nothing mocked.
#include <csignal>

#include "drv_system.h"

using namespace drvtest;
using kivsvc::kivmsgT;
using kivsvc::reportDeviceT;

namespace {

struct reportT {
    int devId;
    int event;
    int model;
    std::string snum, hwver, swver;
};

// A device text without the NUL padding of its fixed-size field.
std::string unpadded(std::string s) {
    while (!s.empty() && s.back() == '\0')
        s.pop_back();
    return s;
}

// The next `n` device reports.
std::vector<reportT> reports(clientNodeT& c, size_t n) {
    std::vector<reportT> out;
    while (out.size() < n) {
        auto m = c.next();
        if (!m)
            break;
        if (m->msg_id() != kivmsgT::reportDevice || !m->has_report_device())
            continue;
        const auto& r = m->report_device();
        out.push_back({m->dev_id(), r.event(), r.model(), unpadded(r.snum()), r.hwver(), r.swver()});
    }
    return out;
}

// Registers and returns serial number -> device identifier of the devices
// announced.
std::map<std::string, int> registerAndList(clientNodeT& c, size_t n) {
    std::map<std::string, int> ids;
    if (!acked(c.call(kivmsgT::registerForDeviceNotif)))
        return ids;
    for (const auto& r : reports(c, n))
        ids[r.snum] = r.devId;
    return ids;
}

} // namespace

TEST(kivsvcDrvDevices, registeredClientHearsEveryEmulatedDeviceInIdentifierOrder) {
    systemT sys;
    ASSERT_TRUE(sys.startAll());
    clientNodeT c("client-a");
    ASSERT_TRUE(c.bound);
    ASSERT_TRUE(acked(c.call(kivmsgT::registerForDeviceNotif)));
    auto got = reports(c, 3);
    ASSERT_EQ(got.size(), 3u);
    std::map<std::string, reportT> bySnum;
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].event, reportDeviceT::attached);
        if (i > 0)
            EXPECT_LT(got[i - 1].devId, got[i].devId);
        bySnum[got[i].snum] = got[i];
    }
    ASSERT_EQ(bySnum.count("SN000201"), 1u);
    ASSERT_EQ(bySnum.count("SN000102"), 1u);
    ASSERT_EQ(bySnum.count("BL000003"), 1u);
    EXPECT_EQ(bySnum["SN000201"].model, reportDeviceT::Q720);
    EXPECT_EQ(bySnum["SN000102"].model, reportDeviceT::Q720);
    EXPECT_EQ(bySnum["BL000003"].model, reportDeviceT::NBOOT);
    EXPECT_FALSE(bySnum["SN000201"].swver.empty());
    EXPECT_FALSE(bySnum["SN000201"].hwver.empty());
    EXPECT_NE(bySnum["SN000201"].swver, bySnum["SN000102"].swver);
    EXPECT_FALSE(bySnum["BL000003"].swver.empty());
}

TEST(kivsvcDrvDevices, bothProtocolVersionsAnswerConfigurationStatusAndMeasurement) {
    systemT sys;
    ASSERT_TRUE(sys.startAll());
    clientNodeT c("client-b");
    auto ids = registerAndList(c, 3);
    ASSERT_EQ(ids.size(), 3u);
    for (const char* snum : {"SN000201", "SN000102"}) {
        SCOPED_TRACE(snum);
        const int id = ids[snum];
        auto cfg = c.call(kivmsgT::getConfig, id);
        ASSERT_TRUE(cfg);
        EXPECT_EQ(cfg->msg_id(), kivmsgT::reportConfig);
        EXPECT_TRUE(cfg->has_config() && cfg->config().has_q7xx());
        auto st = c.call(kivmsgT::getStatus, id);
        ASSERT_TRUE(st);
        EXPECT_EQ(st->msg_id(), kivmsgT::reportStatus);
        EXPECT_TRUE(st->has_status());
        auto ms = c.call(kivmsgT::getMeasure, id);
        ASSERT_TRUE(ms);
        EXPECT_EQ(ms->msg_id(), kivmsgT::reportMeasure);
        EXPECT_TRUE(ms->has_measure());
        EXPECT_EQ(ms->dev_id(), id);
    }
}

TEST(kivsvcDrvDevices, configurationChangeIsReadBackAndRestored) {
    systemT sys;
    ASSERT_TRUE(sys.startAll());
    clientNodeT c("client-c");
    auto ids = registerAndList(c, 3);
    ASSERT_EQ(ids.count("SN000201"), 1u);
    const int id = ids["SN000201"];
    auto before = c.call(kivmsgT::getConfig, id);
    ASSERT_TRUE(before && before->has_config());
    const uint32_t digits = before->config().q7xx().outpulse_digits();

    kivmsgT set;
    set.set_msg_id(kivmsgT::setConfig);
    set.set_ivk_id(77);
    set.set_dev_id(id);
    *set.mutable_config() = before->config();
    set.mutable_config()->set_persistent(false);
    set.mutable_config()->mutable_q7xx()->set_outpulse_digits(digits == 3 ? 4 : 3);
    auto r = c.call(set);
    ASSERT_TRUE(acked(r));
    EXPECT_EQ(r->ivk_id(), 77);
    auto changed = c.call(kivmsgT::getConfig, id);
    ASSERT_TRUE(changed && changed->has_config());
    EXPECT_EQ(changed->config().q7xx().outpulse_digits(), digits == 3 ? 4u : 3u);

    *set.mutable_config() = before->config();
    set.mutable_config()->set_persistent(false);
    ASSERT_TRUE(acked(c.call(set)));
    auto after = c.call(kivmsgT::getConfig, id);
    ASSERT_TRUE(after && after->has_config());
    EXPECT_EQ(after->config().q7xx().outpulse_digits(), digits);
}

TEST(kivsvcDrvDevices, meterUnpluggedInTheEmulatorIsReportedRemoved) {
    systemT sys;
    ASSERT_TRUE(sys.startAll());
    clientNodeT c("client-d");
    auto ids = registerAndList(c, 3);
    ASSERT_EQ(ids.count("SN000201"), 1u);
    ASSERT_TRUE(sys.emuCommand("meter remove meter1", "removed meter1"));
    auto got = reports(c, 1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].event, reportDeviceT::removed);
    EXPECT_EQ(got[0].devId, ids["SN000201"]);
    // Requests to it now fail instead of reaching a meter.
    auto r = c.call(kivmsgT::getStatus, ids["SN000201"]);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->msg_id(), kivmsgT::ack);
    EXPECT_EQ(r->reply().ack(), kivsvc::replyT::failed);
}

TEST(kivsvcDrvRequests, serviceVersionIsTheProgramVersion) {
    systemT sys;
    ASSERT_TRUE(sys.startDaemon());
    ASSERT_TRUE(sys.startDriver());
    clientNodeT c("client-e");
    auto r = c.call(kivmsgT::getSvcVersion);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->msg_id(), kivmsgT::svcVersionReply);
    EXPECT_EQ(r->svc_version(), "1.4.3.14");

    processT v({KIVSVC_DRV, "-v"});
    ASSERT_TRUE(v.start());
    ASSERT_TRUE(v.wait());
    EXPECT_NE(v.output().find("1.4.3.14"), std::string::npos);
}

TEST(kivsvcDrvRequests, undecodableRequestIsLoggedAndLeftUnanswered) {
    systemT sys;
    ASSERT_TRUE(sys.startDaemon());
    ASSERT_TRUE(sys.startDriver());
    clientNodeT c("client-f");
    ASSERT_TRUE(sys.drv->waitForOutput("received connection UP from \"client-f\""));
    auto msg = rux::ipcMessageT::create(3, rux::ipcMessageT::prioT(2));
    ASSERT_TRUE(msg);
    msg->write("\xff\xff\xff", 3);
    std::unique_ptr<rux::ipcMessageT> reply;
    int r = c.svc.send("kivsvc-drv", std::move(msg), reply, rux::timeT::fromMs(1500));
    EXPECT_NE(r, 0);
    EXPECT_TRUE(sys.drv->waitForOutput("failed to parse input message of size 3"));
    // The service goes on.
    EXPECT_TRUE(c.call(kivmsgT::getSvcVersion));
}

TEST(kivsvcDrvLifecycle, sigtermWhileTheDaemonIsAbsentEndsTheProgramPromptly) {
    systemT sys;
    ASSERT_TRUE(sys.startDriver({}, false));
    ASSERT_TRUE(sys.drv->waitForOutput("initializing"));
    ASSERT_TRUE(sys.drv->signal(SIGTERM));
    // The bind retries forever without the quit cutting it short.
    ASSERT_TRUE(sys.drv->wait(msT(5000)));
    EXPECT_TRUE(sys.drv->exited());
    EXPECT_EQ(sys.drv->exitCode(), 0);
}

TEST(kivsvcDrvLifecycle, readinessFollowsTheBindAndSigtermEndsCleanly) {
    systemT sys;
    ASSERT_TRUE(sys.startDriver({}, false));
    ASSERT_TRUE(sys.drv->waitForOutput("initializing"));
    // Not ready while the daemon is absent.
    EXPECT_FALSE(sys.drv->waitForNotify("READY=1", msT(300)));
    ASSERT_TRUE(sys.startDaemon());
    ASSERT_TRUE(sys.drv->waitForNotify("READY=1"));
    EXPECT_TRUE(sys.drv->waitForOutput("started using driver \"usb\""));
    ASSERT_TRUE(sys.drv->signal(SIGTERM));
    ASSERT_TRUE(sys.drv->wait());
    EXPECT_EQ(sys.drv->exitCode(), 0);
    EXPECT_NE(sys.drv->output().find("shutting down"), std::string::npos);
}
