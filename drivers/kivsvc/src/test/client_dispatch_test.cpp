// Request dispatch of a client session, on devices of the real database.
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "client.h"
#include "devdb.h"
#include "q720sim.h"
#include "rux_logger_xface.h"

namespace {

using kivsvc::kivmsgT;

// A device that records each call and answers with `ok`, filling what it is
// asked for so the payload's way into the reply shows.
class recordingDevT : public kivDevT {
public:
    explicit recordingDevT(bool ok) : _ok(ok) {}

    bool getConfig(kivsvc::configT& c) const override {
        note("getConfig");
        c.mutable_q7xx()->set_spare(1);
        return _ok;
    }
    bool restoreLastSavedConfig(kivsvc::configT& c) override {
        note("restoreLastSavedConfig");
        c.mutable_q7xx()->set_spare(2);
        return _ok;
    }
    bool setConfig(const kivsvc::configT& c, bool persistent) override {
        note(std::string("setConfig ") + (persistent ? "persistent " : "") +
             std::to_string(c.q7xx().spare()));
        return _ok;
    }
    bool getStatus(kivsvc::statusT& s) const override {
        note("getStatus");
        s.set_opmode(kivsvc::statusT::simulation);
        return _ok;
    }
    bool getMeasure(kivsvc::measureT& m) const override {
        note("getMeasure");
        m.mutable_q7xx()->set_freq(3);
        return _ok;
    }
    bool eraseFirmware(const kivsvc::bootAppDataT& a) override {
        note("eraseFirmware " + std::to_string(a.len()));
        return _ok;
    }
    bool writeFirmware(const kivsvc::fwBlockT& b) override {
        note("writeFirmware " + std::to_string(b.offset()));
        return _ok;
    }
    bool getFirmwareCRC(kivsvc::bootAppDataT& a) const override {
        note("getFirmwareCRC");
        a.set_crc32(4);
        return _ok;
    }
    bool setBootAppData(const kivsvc::bootAppDataT& a) override {
        note("setBootAppData " + std::to_string(a.version()));
        return _ok;
    }
    bool getBootAppData(kivsvc::bootAppDataT& a) const override {
        note("getBootAppData");
        a.set_version(5);
        return _ok;
    }
    bool reset(resetT how) override {
        note("reset " + std::to_string(int(how)));
        return _ok;
    }

    std::vector<std::string> calls() const {
        std::lock_guard<std::mutex> g(_m);
        return _calls;
    }

private:
    void note(const std::string& call) const {
        std::lock_guard<std::mutex> g(_m);
        _calls.push_back(call);
    }

    bool _ok;
    mutable std::mutex _m;
    mutable std::vector<std::string> _calls;
};

struct fixtureT : ::testing::Test {
    // No reports are due in these tests: the session never registers.
    std::shared_ptr<clientT> client =
        std::make_shared<clientT>("dispatch-node", rux::ipcServiceT::handleT());
    std::shared_ptr<recordingDevT> good = std::make_shared<recordingDevT>(true);
    std::shared_ptr<recordingDevT> bad = std::make_shared<recordingDevT>(false);
    int goodId = -1, badId = -1;

    void SetUp() override {
        devdbT::wrT wr;
        goodId = wr.add(good);
        badId = wr.add(bad);
    }
    void TearDown() override {
        devdbT::wrT wr;
        wr.remove(goodId);
        wr.remove(badId);
    }

    std::unique_ptr<kivmsgT> call(kivmsgT::msgIdT id, int dev, int ivk = 9) {
        kivmsgT m;
        m.set_msg_id(id);
        m.set_dev_id(dev);
        m.set_ivk_id(ivk);
        return call(m);
    }
    std::unique_ptr<kivmsgT> call(const kivmsgT& m) {
        auto reply = client->processRequest(std::make_unique<kivmsgT>(m));
        EXPECT_TRUE(reply);
        EXPECT_TRUE(reply->IsInitialized());
        return reply;
    }
};

bool failedAck(const kivmsgT& r) {
    return r.msg_id() == kivmsgT::ack && r.has_reply() && r.reply().ack() == kivsvc::replyT::failed;
}
bool okAck(const kivmsgT& r) {
    return r.msg_id() == kivmsgT::ack && r.has_reply() && r.reply().ack() == kivsvc::replyT::ok;
}
// A failed reply carries no payload.
bool noPayload(const kivmsgT& r) {
    return !r.has_config() && !r.has_status() && !r.has_measure() && !r.has_boot_app_data();
}

using clientDispatchT = fixtureT;

TEST_F(clientDispatchT, ReadsReportThePayloadOrFailWithoutOne) {
    struct caseT {
        kivmsgT::msgIdT req, report;
        std::string call;
        std::function<bool(const kivmsgT&)> filled;
    };
    const std::vector<caseT> cases = {
        {kivmsgT::getConfig, kivmsgT::reportConfig, "getConfig",
         [](const kivmsgT& r) { return r.config().q7xx().spare() == 1; }},
        {kivmsgT::getStatus, kivmsgT::reportStatus, "getStatus",
         [](const kivmsgT& r) { return r.status().opmode() == kivsvc::statusT::simulation; }},
        {kivmsgT::getMeasure, kivmsgT::reportMeasure, "getMeasure",
         [](const kivmsgT& r) { return r.measure().q7xx().freq() == 3u; }},
        {kivmsgT::getBootAppData, kivmsgT::reportBootAppData, "getBootAppData",
         [](const kivmsgT& r) { return r.boot_app_data().version() == 5u; }},
        {kivmsgT::getFirmwareCRC, kivmsgT::reportFirmwareCRC, "getFirmwareCRC",
         [](const kivmsgT& r) { return r.boot_app_data().crc32() == 4u; }},
    };
    for (const auto& c : cases) {
        auto r = call(c.req, goodId);
        EXPECT_EQ(r->msg_id(), c.report) << c.call;
        EXPECT_TRUE(c.filled(*r)) << c.call;
        EXPECT_EQ(r->ivk_id(), 9);
        EXPECT_EQ(r->dev_id(), goodId);
        EXPECT_FALSE(r->has_reply());

        r = call(c.req, badId);
        EXPECT_TRUE(failedAck(*r)) << c.call;
        EXPECT_TRUE(noPayload(*r)) << c.call;
        EXPECT_EQ(r->dev_id(), badId);
    }
    std::vector<std::string> expected;
    for (const auto& c : cases)
        expected.push_back(c.call);
    EXPECT_EQ(good->calls(), expected);
    EXPECT_EQ(bad->calls(), expected);
}

TEST_F(clientDispatchT, GetConfigReadsTheStoredConfigurationOnlyWhenAskedPersistent) {
    kivmsgT m;
    m.set_msg_id(kivmsgT::getConfig);
    m.set_dev_id(goodId);
    m.mutable_config()->set_persistent(true);
    EXPECT_EQ(call(m)->config().q7xx().spare(), 2u);
    m.mutable_config()->set_persistent(false);
    EXPECT_EQ(call(m)->config().q7xx().spare(), 1u);
    m.clear_config();
    EXPECT_EQ(call(m)->config().q7xx().spare(), 1u);
    EXPECT_EQ(good->calls(),
              (std::vector<std::string>{"restoreLastSavedConfig", "getConfig", "getConfig"}));

    m.mutable_config()->set_persistent(true);
    m.set_dev_id(badId);
    auto r = call(m);
    EXPECT_TRUE(failedAck(*r));
    EXPECT_TRUE(noPayload(*r));
}

TEST_F(clientDispatchT, WritesPassThePayloadAndAckTheResult) {
    kivmsgT m;
    m.set_dev_id(goodId);
    m.set_msg_id(kivmsgT::setConfig);
    m.mutable_config()->mutable_q7xx()->set_spare(7);
    EXPECT_TRUE(okAck(*call(m)));
    m.mutable_config()->set_persistent(true);
    EXPECT_TRUE(okAck(*call(m)));
    m.clear_config();

    m.set_msg_id(kivmsgT::setBootAppData);
    m.mutable_boot_app_data()->set_version(8);
    EXPECT_TRUE(okAck(*call(m)));
    m.set_msg_id(kivmsgT::eraseFirmware);
    m.mutable_boot_app_data()->set_len(9);
    EXPECT_TRUE(okAck(*call(m)));
    m.clear_boot_app_data();
    m.set_msg_id(kivmsgT::writeFirmware);
    m.mutable_fw_data()->set_offset(10);
    m.mutable_fw_data()->set_data("x");
    EXPECT_TRUE(okAck(*call(m)));
    m.clear_fw_data();

    m.set_msg_id(kivmsgT::command);
    for (auto c :
         {kivsvc::commandT::swReset, kivsvc::commandT::hwReset, kivsvc::commandT::cfgReset}) {
        m.mutable_cmd()->set_cmd(c);
        EXPECT_TRUE(okAck(*call(m)));
    }
    EXPECT_EQ(good->calls(),
              (std::vector<std::string>{"setConfig 7", "setConfig persistent 7", "setBootAppData 8",
                                        "eraseFirmware 9", "writeFirmware 10", "reset 0", "reset 1",
                                        "reset 2"}));

    // The same on a device that refuses: failed acks.
    m.set_dev_id(badId);
    EXPECT_TRUE(failedAck(*call(m)));
    m.set_msg_id(kivmsgT::writeFirmware);
    m.mutable_fw_data()->set_offset(0);
    m.mutable_fw_data()->set_data("");
    EXPECT_TRUE(failedAck(*call(m)));
}

TEST_F(clientDispatchT, MissingPayloadFailsWithoutCallingTheDevice) {
    for (auto id : {kivmsgT::command, kivmsgT::setConfig, kivmsgT::setBootAppData,
                    kivmsgT::eraseFirmware, kivmsgT::writeFirmware}) {
        auto r = call(id, goodId);
        EXPECT_TRUE(failedAck(*r)) << id;
        EXPECT_EQ(r->ivk_id(), 9);
    }
    EXPECT_TRUE(good->calls().empty());
}

TEST_F(clientDispatchT, MissingDeviceFailsAndKeepsTheRequestIdentifiers) {
    int gone;
    {
        devdbT::wrT wr;
        gone = wr.add(std::make_shared<recordingDevT>(true));
        wr.remove(gone);
    }
    for (auto id : {kivmsgT::getStatus, kivmsgT::getConfig, kivmsgT::getMeasure,
                    kivmsgT::getFirmwareCRC, kivmsgT::getBootAppData}) {
        for (int dev : {gone, -1, -7}) {
            auto r = call(id, dev, 33);
            EXPECT_TRUE(failedAck(*r));
            EXPECT_EQ(r->ivk_id(), 33);
            EXPECT_EQ(r->dev_id(), dev);
        }
        // Without dev_id the reply has none either.
        kivmsgT m;
        m.set_msg_id(id);
        m.set_ivk_id(34);
        auto r = call(m);
        EXPECT_TRUE(failedAck(*r));
        EXPECT_EQ(r->ivk_id(), 34);
        EXPECT_FALSE(r->has_dev_id());
    }
    kivmsgT m;
    m.set_msg_id(kivmsgT::command);
    m.mutable_cmd()->set_cmd(kivsvc::commandT::swReset);
    EXPECT_TRUE(failedAck(*call(m)));
}

TEST_F(clientDispatchT, ReplyAlwaysCarriesTheInvocationId) {
    kivmsgT m;
    m.set_msg_id(kivmsgT::getSvcVersion);
    auto r = call(m);
    EXPECT_TRUE(r->has_ivk_id());
    EXPECT_EQ(r->ivk_id(), -1);
    EXPECT_EQ(r->msg_id(), kivmsgT::svcVersionReply);
    EXPECT_EQ(r->svc_version(), "1.4.3.14");
    EXPECT_FALSE(r->has_dev_id());
    // On the wire too: the field is present although it holds its default.
    EXPECT_NE(r->SerializeAsString().find(std::string("\x10\xff", 2)), std::string::npos);
}

TEST_F(clientDispatchT, UnexpectedKindsAreFailedAcks) {
    for (auto id :
         {kivmsgT::noop, kivmsgT::ack, kivmsgT::reportDevice, kivmsgT::reportConfig,
          kivmsgT::reportStatus, kivmsgT::rassMsg, kivmsgT::svcVersionReply, kivmsgT::reportMeasure,
          kivmsgT::reportBootAppData, kivmsgT::reportFirmwareCRC}) {
        auto r = call(id, goodId);
        EXPECT_TRUE(failedAck(*r)) << id;
    }
    EXPECT_TRUE(good->calls().empty());
}

TEST_F(clientDispatchT, SimulatedMeterAnswersReadsEmptyAndRefusesTheBootloader) {
    int sim;
    {
        devdbT::wrT wr;
        sim = wr.add(std::make_shared<q720simT>(kivsvc::reportDeviceT::Q720, "S1", "", ""));
    }
    auto r = call(kivmsgT::getConfig, sim);
    EXPECT_EQ(r->msg_id(), kivmsgT::reportConfig);
    EXPECT_TRUE(r->has_config());
    EXPECT_EQ(r->config().ByteSizeLong(), 0u);
    EXPECT_EQ(call(kivmsgT::getStatus, sim)->msg_id(), kivmsgT::reportStatus);
    EXPECT_EQ(call(kivmsgT::getMeasure, sim)->msg_id(), kivmsgT::reportMeasure);
    r = call(kivmsgT::getFirmwareCRC, sim);
    EXPECT_TRUE(failedAck(*r));
    EXPECT_TRUE(noPayload(*r));
    EXPECT_TRUE(failedAck(*call(kivmsgT::getBootAppData, sim)));
    kivmsgT m;
    m.set_msg_id(kivmsgT::command);
    m.set_dev_id(sim);
    m.mutable_cmd()->set_cmd(kivsvc::commandT::hwReset);
    EXPECT_TRUE(okAck(*call(m)));
    devdbT::wrT wr;
    wr.remove(sim);
}

// The session's log lines, read back from its log ID.
struct logT {
    std::ostringstream os;
    rux::loggerT log{"dispatch-log"};
    logT() {
        log.setLogDev(std::make_shared<rux::streamLogDevT>("capture", os));
        log.level(rux::log::DEBUG);
        log.printTime(false);
    }
    ~logT() { log.resetLogDev(); }
};

TEST(clientLogT, RequestsRepliesAndRefusalsAreLogged) {
    logT l;
    auto client = std::make_shared<clientT>("dispatch-log", rux::ipcServiceT::handleT());
    kivmsgT m;
    m.set_msg_id(kivmsgT::noop);
    m.set_ivk_id(5);
    client->processRequest(std::make_unique<kivmsgT>(m));
    std::string text = l.os.str();
    EXPECT_NE(text.find("DBG dispatch-log -> { processRequest } received message:\nmsg_id: noop\n"
                        "ivk_id: 5\n\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("ERR dispatch-log -> { processRequest } received unexpected message: "
                        "msg_id: noop\nivk_id: 5\n\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("DBG dispatch-log -> { processRequest } replying: msg_id: ack\n"),
              std::string::npos)
        << text;

    l.os.str("");
    m.set_msg_id(kivmsgT::unregisterForDeviceNotif);
    client->processRequest(std::make_unique<kivmsgT>(m));
    EXPECT_NE(l.os.str().find("INF dispatch-log -> { _unregister } unregistered for device "
                              "change notifications\n"),
              std::string::npos)
        << l.os.str();
}

} // namespace
