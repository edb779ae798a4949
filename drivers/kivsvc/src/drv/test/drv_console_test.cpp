// kivsvc-drv's operator console over a real telnet connection, the simulator
// it drives, and client sessions across a daemon restart.
#include <chrono>
#include <csignal>
#include <thread>

#include "drv_system.h"

using namespace drvtest;
using kivsvc::kivmsgT;
using kivsvc::reportDeviceT;
using rux::test::telnetClientT;

namespace {

// Types a console line and waits for `answer` after it.
bool typeLine(telnetClientT& t, const std::string& line, const std::string& answer) {
    size_t from = t.output().size();
    return t.sendLine(line) && t.waitForOutput(answer, msT(10000), from);
}

bool connectConsole(systemT& sys, telnetClientT& t) {
    return sys.telnetPort != 0 && t.connect(sys.telnetPort) && t.waitForOutput("> ");
}

} // namespace

TEST(kivsvcDrvConsole, deviceShowListsTheEmulatedDevicesInColumns) {
    systemT sys;
    ASSERT_TRUE(sys.startAll());
    telnetClientT t;
    ASSERT_TRUE(connectConsole(sys, t));
    size_t from = t.output().size();
    ASSERT_TRUE(t.sendLine("device show"));
    ASSERT_TRUE(t.waitForOutput("BL000003", msT(10000), from));
    ASSERT_TRUE(t.waitForOutput("\n", msT(10000), t.output().find("BL000003", from)));
    const std::string out = t.output().substr(from);
    // Serial numbers of 8 characters widen their column to 11.
    EXPECT_NE(out.find("ID   MODEL   SNUM       HWVER   SWVER"), std::string::npos) << out;
    // Identifiers follow the order the driver threads identified the devices
    // in; the bootloader is listed as UNKN, meters as Q720.
    EXPECT_NE(out.find("Q720    SN000201   "), std::string::npos) << out;
    EXPECT_NE(out.find("Q720    SN000102   "), std::string::npos) << out;
    EXPECT_NE(out.find("UNKN    BL000003   "), std::string::npos) << out;
    EXPECT_EQ(out.find("\\x00"), std::string::npos) << out;
}

TEST(kivsvcDrvConsole, exitEndsOnlyTheSessionThatTypesIt) {
    systemT sys;
    ASSERT_TRUE(sys.startDaemon());
    ASSERT_TRUE(sys.startDriver());
    telnetClientT a, b;
    ASSERT_TRUE(connectConsole(sys, a));
    ASSERT_TRUE(connectConsole(sys, b));
    ASSERT_TRUE(typeLine(a, "exit", "bye bye!"));
    EXPECT_TRUE(a.waitClosed());
    // The other operator and the program carry on.
    EXPECT_TRUE(typeLine(b, "device show", "SWVER"));
    EXPECT_TRUE(sys.drv->running());
}

TEST(kivsvcDrvConsole, driverMenusAreOfferedWithTheirHelp) {
    systemT sys;
    ASSERT_TRUE(sys.startDaemon());
    ASSERT_TRUE(sys.startDriver());
    telnetClientT t;
    ASSERT_TRUE(connectConsole(sys, t));
    size_t from = t.output().size();
    ASSERT_TRUE(t.send("?"));
    ASSERT_TRUE(t.waitForOutput("bye bye", msT(10000), from));
    const std::string out = t.output().substr(from);
    EXPECT_NE(out.find("connected device operations"), std::string::npos) << out;
    EXPECT_NE(out.find("q7.xx driver specific commands"), std::string::npos) << out;
    EXPECT_NE(out.find("nx.xx driver specific commands"), std::string::npos) << out;
}

TEST(kivsvcDrvSimulation, metersAddedOnTheConsoleAreAnnouncedAndAnswered) {
    systemT sys;
    ASSERT_TRUE(sys.startDaemon());
    ASSERT_TRUE(sys.startDriver({"-s"}));
    clientNodeT c("client-sim");
    ASSERT_TRUE(c.bound);
    ASSERT_TRUE(acked(c.call(kivmsgT::registerForDeviceNotif)));

    telnetClientT t;
    ASSERT_TRUE(connectConsole(sys, t));
    ASSERT_TRUE(typeLine(t, "driver_q7 add Q710 SIM00001 2.0 3.1", "device successfully connected"));
    ASSERT_TRUE(typeLine(t, "driver_q7 add Q720 SIM00002", "device successfully connected"));
    ASSERT_TRUE(typeLine(t, "driver_q7 add Q720 SIM00002", "failed to connect device"));

    auto first = c.next();
    auto second = c.next();
    ASSERT_TRUE(first && second);
    ASSERT_EQ(first->msg_id(), kivmsgT::reportDevice);
    ASSERT_EQ(second->msg_id(), kivmsgT::reportDevice);
    EXPECT_EQ(first->report_device().event(), reportDeviceT::attached);
    EXPECT_EQ(first->report_device().model(), reportDeviceT::Q710);
    EXPECT_EQ(first->report_device().snum(), "SIM00001");
    EXPECT_EQ(first->report_device().hwver(), "2.0");
    EXPECT_EQ(first->report_device().swver(), "3.1");
    EXPECT_EQ(second->report_device().model(), reportDeviceT::Q720);
    EXPECT_EQ(second->report_device().hwver(), "1.0");
    EXPECT_EQ(second->report_device().swver(), "1.2");

    // A simulated meter answers at once with empty messages, refuses the
    // bootloader's requests.
    const int id = first->dev_id();
    auto cfg = c.call(kivmsgT::getConfig, id);
    ASSERT_TRUE(cfg);
    EXPECT_EQ(cfg->msg_id(), kivmsgT::reportConfig);
    auto st = c.call(kivmsgT::getStatus, id);
    ASSERT_TRUE(st);
    EXPECT_EQ(st->msg_id(), kivmsgT::reportStatus);
    auto crc = c.call(kivmsgT::getFirmwareCRC, id);
    ASSERT_TRUE(crc);
    EXPECT_EQ(crc->msg_id(), kivmsgT::ack);
    EXPECT_EQ(crc->reply().ack(), kivsvc::replyT::failed);

    ASSERT_TRUE(typeLine(t, "device show", "SIM00002"));
    EXPECT_NE(t.output().find("Q710    SIM00001   2.0     3.1"), std::string::npos) << t.output();

    ASSERT_TRUE(typeLine(t, "driver_q7 remove SIM00001", "device removed"));
    auto gone = c.next();
    ASSERT_TRUE(gone);
    EXPECT_EQ(gone->report_device().event(), reportDeviceT::removed);
    EXPECT_EQ(gone->dev_id(), id);
}

TEST(kivsvcDrvReconnect, nodeThatReconnectsGetsOneFreshSession) {
    systemT sys;
    ASSERT_TRUE(sys.startDaemon());
    ASSERT_TRUE(sys.startDriver({"-s"}));
    clientNodeT c("client-again");
    ASSERT_TRUE(c.bound);
    ASSERT_TRUE(acked(c.call(kivmsgT::registerForDeviceNotif)));

    // A daemon restart: both nodes lose the connection and reconnect.
    ASSERT_TRUE(sys.ipcd->signal(SIGKILL));
    ASSERT_TRUE(sys.ipcd->wait());
    size_t from = sys.drv->output().size();
    ASSERT_TRUE(sys.startDaemon());
    ASSERT_TRUE(sys.drv->waitForOutput("received connection UP from \"client-again\"", msT(10000),
                                       from));
    // The fresh session is not registered: register it, then one change must
    // give exactly one report.
    // Our node may be back before the service's: until then calls fail at once.
    std::unique_ptr<kivmsgT> r;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!acked(r = c.call(kivmsgT::registerForDeviceNotif)) &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(acked(r));

    telnetClientT t;
    ASSERT_TRUE(connectConsole(sys, t));
    ASSERT_TRUE(typeLine(t, "driver_q7 add Q720 ONCE0001", "device successfully connected"));
    ASSERT_TRUE(typeLine(t, "driver_q7 remove ONCE0001", "device removed"));
    std::vector<int> events;
    while (auto m = c.next(events.size() < 2 ? 10000 : 500))
        if (m->msg_id() == kivmsgT::reportDevice)
            events.push_back(m->report_device().event());
    EXPECT_EQ(events, (std::vector<int>{reportDeviceT::attached, reportDeviceT::removed}));
}
