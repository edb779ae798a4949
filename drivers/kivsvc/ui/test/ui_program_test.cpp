// kivsvc-ui between a UI on TCP and the device service and remote-assistance
// stand-in on IPC, all of them real processes.
#include <signal.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "ipc/service.h"
#include "ui_system.h"

using namespace uitest;
using kivsvc::kivmsgT;
using rux::test::telnetClientT;

namespace {

constexpr uint32_t kLocalDrv = 0x00010001u;
constexpr uint32_t kRemoteRass = 0x00020002u;
const std::string kPingFrame = std::string("KIVM\x00\x03\x00\x00\x00\x00\x00\x04ping", 16);

bool typeLine(telnetClientT& t, const std::string& line, const std::string& answer) {
    size_t from = t.output().size();
    return t.sendLine(line) && t.waitForOutput(answer, msT(10000), from);
}

// A request to the device service answered through the bridge.
void expectVersionAnswered(uiClientT& c, int ivk) {
    ASSERT_TRUE(c.send(frameBytes(kLocalDrv, request(kivmsgT::getSvcVersion, ivk))));
    frameT f;
    ASSERT_TRUE(c.nextNonPing(f));
    EXPECT_EQ(kLocalDrv, f.header);
    kivmsgT m = decode(f);
    EXPECT_EQ(kivmsgT::svcVersionReply, m.msg_id());
    EXPECT_EQ(ivk, m.ivk_id());
}

// Tells when a node is known to a node of the test process.
struct nodeSeenT : rux::ipcEventHandlerT {
    explicit nodeSeenT(std::string n) : node(std::move(n)) {}
    void notify(const rux::ipcEventT& e) override {
        std::lock_guard<std::mutex> g(mtx);
        if (e.node == node)
            up = e.type == rux::ipcEventT::enUP;
        cv.notify_all();
    }
    bool waitUp() {
        std::unique_lock<std::mutex> g(mtx);
        return cv.wait_for(g, std::chrono::seconds(10), [&] { return up; });
    }
    std::string node;
    std::mutex mtx;
    std::condition_variable cv;
    bool up = false;
};

} // namespace

// ---- the road of requests and reports ---------------------------------------

TEST(kivsvcUiRoad, requestsAreAnsweredWithTheRequestsHeader) {
    systemT sys;
    ASSERT_TRUE(sys.startAll());
    uiClientT c;
    ASSERT_TRUE(sys.connectUi(c));
    ASSERT_TRUE(sys.ui->waitForOutput("accepted new connection from 127.0.0.1:"));
    expectVersionAnswered(c, 7);

    ASSERT_TRUE(c.send(frameBytes(kRemoteRass, request(kivmsgT::rassMsg, 8))));
    frameT f;
    ASSERT_TRUE(c.nextNonPing(f));
    EXPECT_EQ(kRemoteRass, f.header);
    kivmsgT m = decode(f);
    EXPECT_EQ(kivmsgT::rassMsg, m.msg_id());
    EXPECT_EQ(8, m.ivk_id());
    EXPECT_EQ(kivsvc::rassStatusT::service_unavail, m.rass().rstatus().status());
}

TEST(kivsvcUiRoad, deviceReportsReachTheUiAsFrames) {
    systemT sys;
    ASSERT_TRUE(sys.startAll());
    uiClientT c;
    ASSERT_TRUE(sys.connectUi(c));
    ASSERT_TRUE(c.send(frameBytes(kLocalDrv, request(kivmsgT::registerForDeviceNotif, 1))));
    frameT f;
    ASSERT_TRUE(c.nextNonPing(f));
    ASSERT_EQ(kivmsgT::ack, decode(f).msg_id());

    telnetClientT t;
    ASSERT_TRUE(t.connect(sys.telnetPort));
    ASSERT_TRUE(t.waitForOutput("> "));
    ASSERT_TRUE(typeLine(t, "driver_q7 add Q720 SIM00002", "device successfully connected"));
    ASSERT_TRUE(c.nextNonPing(f));
    EXPECT_EQ(kLocalDrv, f.header);
    kivmsgT m = decode(f);
    EXPECT_EQ(kivmsgT::reportDevice, m.msg_id());
    EXPECT_EQ("SIM00002", m.report_device().snum());
}

TEST(kivsvcUiRoad, twoRequestsInOneWriteAreBothAnsweredBeforeAnyPing) {
    systemT sys;
    ASSERT_TRUE(sys.startAll());
    uiClientT c;
    ASSERT_TRUE(sys.connectUi(c));
    ASSERT_TRUE(c.send(frameBytes(kLocalDrv, request(kivmsgT::getSvcVersion, 1)) +
                       frameBytes(kLocalDrv, request(kivmsgT::getSvcVersion, 2))));
    frameT a, b;
    ASSERT_TRUE(c.next(a));
    ASSERT_TRUE(c.next(b));
    // A second request left waiting in the buffer would be overtaken by a ping.
    EXPECT_EQ(kLocalDrv, a.header);
    EXPECT_EQ(kLocalDrv, b.header);
    EXPECT_EQ(1, decode(a).ivk_id());
    EXPECT_EQ(2, decode(b).ivk_id());
}

TEST(kivsvcUiRoad, frameForAServiceNotServedIsDroppedAndTheConnectionGoesOn) {
    systemT sys;
    ASSERT_TRUE(sys.startDaemon());
    ASSERT_TRUE(sys.startDriver());
    ASSERT_TRUE(sys.startBridge({"-s", "local"}));
    uiClientT c;
    ASSERT_TRUE(sys.connectUi(c));
    ASSERT_TRUE(c.send(frameBytes(kRemoteRass, request(kivmsgT::rassMsg, 3))));
    ASSERT_TRUE(sys.ui->waitForOutput(
        "cannot forward message on service \"remote\": service is disabled"));
    expectVersionAnswered(c, 4);
}

// A node that takes a call and never answers costs the UI the "timeout"
// option's wait, and no frame.
TEST(kivsvcUiRoad, unansweredCallEndsAtTheTimeoutAndTheConnectionGoesOn) {
    systemT sys;
    ASSERT_TRUE(sys.startDaemon());
    ASSERT_TRUE(sys.startDriver());
    ASSERT_TRUE(sys.startBridge({"-s", "local", "-t", "300"}));
    rux::ipcServiceT::handleT svc = rux::ipcServiceT::handle("local");
    auto seen = std::make_shared<nodeSeenT>("kivsvc-ui");
    svc.setEventHandler(seen);
    ASSERT_EQ(0, svc.bind("kivsvc-cli"));
    ASSERT_TRUE(seen->waitUp());

    uiClientT c;
    ASSERT_TRUE(sys.connectUi(c));
    ASSERT_TRUE(c.send(frameBytes(0x00010101u, request(kivmsgT::getSvcVersion, 1))));
    std::string src;
    std::unique_ptr<rux::ipcMessageT> call;
    ASSERT_EQ(0, svc.recv(src, call, rux::timeT::fromMs(10000)));
    EXPECT_EQ("kivsvc-ui", src);
    ASSERT_TRUE(sys.ui->waitForOutput(
        "failed to send data to \"kivsvc-cli\" on service \"local\", err = 2"));
    svc.shutdown();
    expectVersionAnswered(c, 2);
}

// A "timeout" of a century is a long wait, not a call that fails at once.
TEST(kivsvcUiRoad, hugeTimeoutStillLetsCallsBeAnswered) {
    systemT sys;
    ASSERT_TRUE(sys.startDaemon());
    ASSERT_TRUE(sys.startDriver());
    ASSERT_TRUE(sys.startBridge({"-s", "local", "-t", "3000000000000"}));
    uiClientT c;
    ASSERT_TRUE(sys.connectUi(c));
    expectVersionAnswered(c, 3);
}

// A node without a code in frames cannot be named to the UI: its message is
// dropped, and the device service's reports still come through.
TEST(kivsvcUiRoad, messageFromANodeWithoutCodeIsDroppedAndReportsGoOn) {
    systemT sys;
    ASSERT_TRUE(sys.startAll());
    uiClientT c;
    ASSERT_TRUE(sys.connectUi(c));
    ASSERT_TRUE(c.send(frameBytes(kLocalDrv, request(kivmsgT::registerForDeviceNotif, 1))));
    frameT f;
    ASSERT_TRUE(c.nextNonPing(f));

    rux::ipcServiceT::handleT svc = rux::ipcServiceT::handle("local");
    auto seen = std::make_shared<nodeSeenT>("kivsvc-ui");
    svc.setEventHandler(seen);
    ASSERT_EQ(0, svc.bind("stranger"));
    ASSERT_TRUE(seen->waitUp());
    auto msg = rux::ipcMessageT::create(3, 2);
    msg->write("abc", 3);
    ASSERT_EQ(0, svc.send("kivsvc-ui", std::move(msg)));
    ASSERT_TRUE(sys.ui->waitForOutput("from node \"stranger\" on service \"local\""));
    svc.shutdown();

    telnetClientT t;
    ASSERT_TRUE(t.connect(sys.telnetPort));
    ASSERT_TRUE(t.waitForOutput("> "));
    ASSERT_TRUE(typeLine(t, "driver_q7 add Q710 SIM00001", "device successfully connected"));
    ASSERT_TRUE(c.nextNonPing(f));
    EXPECT_EQ(kivmsgT::reportDevice, decode(f).msg_id());
}

// ---- pings and pongs --------------------------------------------------------

TEST(kivsvcUiPing, silentUiGetsThePingFrameAndAPongIsTaken) {
    systemT sys;
    ASSERT_TRUE(sys.startAll());
    uiClientT c;
    ASSERT_TRUE(sys.connectUi(c));
    frameT f;
    ASSERT_TRUE(c.next(f));
    EXPECT_EQ(kPingFrame, frameBytes(f.header, f.payload));
    ASSERT_TRUE(sys.ui->waitForOutput("ping!"));

    // Service code 3 is a pong whatever the node and payload.
    ASSERT_TRUE(c.send(frameBytes(0x00030001u, "anything")));
    ASSERT_TRUE(sys.ui->waitForOutput("pong!"));
    expectVersionAnswered(c, 5);
}

// ---- services ---------------------------------------------------------------

TEST(kivsvcUiServices, localOnlyIsReadyWithTheDeviceServiceAlone) {
    systemT sys;
    ASSERT_TRUE(sys.startDaemon());
    ASSERT_TRUE(sys.startDriver());
    ASSERT_TRUE(sys.startBridge({"-s", "Local"}));
    ASSERT_TRUE(sys.ui->waitForNotify("READY=1"));
    uiClientT c;
    ASSERT_TRUE(sys.connectUi(c));
    expectVersionAnswered(c, 1);
}

TEST(kivsvcUiServices, defaultWaitsForTheRemoteAssistancePeerToo) {
    systemT sys;
    ASSERT_TRUE(sys.startDaemon());
    ASSERT_TRUE(sys.startDriver());
    ASSERT_TRUE(sys.startBridge({}, false));
    ASSERT_TRUE(sys.ui->waitForOutput("waiting for services to be ready"));
    ASSERT_TRUE(sys.ui->waitForOutput(
        "received connection UP for node \"kivsvc-drv\" on service \"local\""));
    EXPECT_EQ(std::string::npos, sys.ui->output().find("opening UI connection"));
    ASSERT_TRUE(sys.startRass());
    ASSERT_TRUE(sys.nextListening());
}

TEST(kivsvcUiServices, unknownServiceFailsTheOption) {
    systemT sys;
    ASSERT_TRUE(sys.startBridge({"-s", "local,foo"}, false));
    ASSERT_TRUE(sys.ui->wait());
    EXPECT_EQ(4, sys.ui->exitCode());
}

TEST(kivsvcUiServices, addressOffTheLoopbackIsWarnedAbout) {
    systemT sys;
    ASSERT_TRUE(sys.startDaemon());
    ASSERT_TRUE(sys.startDriver());
    ASSERT_TRUE(sys.startBridge({"-s", "local", "-b", "0.0.0.0:0"}));
    EXPECT_NE(std::string::npos, sys.ui->output().find("WRN kivsvc-ui"));
    EXPECT_NE(std::string::npos, sys.ui->output().find("reachable from the network"));
}

// ---- misbehaving UIs --------------------------------------------------------

class kivsvcUiBadInput : public ::testing::TestWithParam<std::pair<const char*, std::string>> {};

TEST_P(kivsvcUiBadInput, closesTheConnectionAndTheNextUiIsServed) {
    systemT sys;
    ASSERT_TRUE(sys.startAll());
    uiClientT c;
    ASSERT_TRUE(sys.connectUi(c));
    ASSERT_TRUE(c.send(GetParam().second));
    ASSERT_TRUE(c.waitClosed());
    ASSERT_TRUE(sys.ui->waitForOutput(GetParam().first));

    ASSERT_TRUE(sys.nextListening());
    uiClientT next;
    ASSERT_TRUE(sys.connectUi(next));
    expectVersionAnswered(next, 9);
}

INSTANTIATE_TEST_SUITE_P(
    frames, kivsvcUiBadInput,
    ::testing::Values(
        std::make_pair("invalid message line format", std::string("KIVX\0\1\0\1\0\0\0\0", 12)),
        std::make_pair("invalid message line format", std::string("GET / HTTP/1.1\r\n\r\n")),
        std::make_pair("above the limit of", std::string("KIVM\0\1\0\1\xff\xff\xff\xf0", 12)),
        std::make_pair("unknown service name in header", frameBytes(0x00090001u, "x")),
        std::make_pair("unknown node name in header", frameBytes(0x00010009u, "x"))));

TEST(kivsvcUiStall, partialFrameThenSilenceIsClosedAtTheDeadline) {
    systemT sys;
    ASSERT_TRUE(sys.startAll());
    uiClientT c;
    ASSERT_TRUE(sys.connectUi(c));
    const std::string whole = frameBytes(kLocalDrv, request(kivmsgT::getSvcVersion, 1));
    ASSERT_TRUE(c.send(whole.substr(0, whole.size() - 2)));
    ASSERT_TRUE(c.waitClosed(msT(30000)));
    ASSERT_TRUE(sys.ui->waitForOutput("inside a frame"));
    ASSERT_TRUE(sys.nextListening());
    uiClientT next;
    ASSERT_TRUE(sys.connectUi(next));
    expectVersionAnswered(next, 2);
}

// A UI that sends requests but reads none of the replies must not hold the
// bridge: once its buffers are full the connection is dropped at the deadline.
TEST(kivsvcUiStall, uiThatStopsReadingIsClosedAtTheDeadline) {
    systemT sys;
    ASSERT_TRUE(sys.startAll());
    uiClientT c;
    ASSERT_TRUE(c.connect(sys.port, 2048));
    std::string burst;
    for (int i = 0; i < 256; ++i)
        burst += frameBytes(kLocalDrv, request(kivmsgT::getSvcVersion, i));
    std::atomic<bool> stop{false};
    std::thread traffic([&] {
        // Non-blocking: once the bridge stops reading, so do we.
        std::string pending;
        for (long n = 0; !stop && n >= 0; n = c.sendSome(pending)) {
            pending.erase(0, size_t(n));
            if (pending.empty())
                pending = burst;
        }
    });
    bool logged = sys.ui->waitForOutput("s, closing the connection", msT(60000));
    stop = true;
    traffic.join();
    ASSERT_TRUE(logged);
    ASSERT_TRUE(sys.nextListening());
    uiClientT next;
    ASSERT_TRUE(sys.connectUi(next));
    expectVersionAnswered(next, 1);
}

// ---- peers and the cycle ----------------------------------------------------

TEST(kivsvcUiPeers, deviceServiceGoingDownClosesTheUiUntilItIsBack) {
    systemT sys;
    ASSERT_TRUE(sys.startAll());
    uiClientT c;
    ASSERT_TRUE(sys.connectUi(c));
    expectVersionAnswered(c, 1);

    ASSERT_TRUE(sys.drv->signal(SIGTERM));
    ASSERT_TRUE(sys.drv->wait());
    ASSERT_TRUE(c.waitClosed());
    ASSERT_TRUE(sys.ui->waitForOutput("waiting for services to be ready", msT(10000), sys._seen));
    // Nothing listens while the peer is away.
    uiClientT refused;
    EXPECT_FALSE(refused.connect(sys.port));
    EXPECT_EQ(std::string::npos, sys.ui->output().find("opening UI connection", sys._seen));

    ASSERT_TRUE(sys.startDriver());
    ASSERT_TRUE(sys.nextListening());
    uiClientT next;
    ASSERT_TRUE(sys.connectUi(next));
    expectVersionAnswered(next, 2);
}

TEST(kivsvcUiQuit, sigtermUnderTrafficEndsTheBridge) {
    systemT sys;
    ASSERT_TRUE(sys.startAll());
    uiClientT c;
    ASSERT_TRUE(sys.connectUi(c));
    expectVersionAnswered(c, 1);
    std::atomic<bool> stop{false};
    std::thread traffic([&] {
        const std::string req = frameBytes(kLocalDrv, request(kivmsgT::getSvcVersion, 2));
        while (!stop && c.send(req)) {
        }
    });
    ASSERT_TRUE(sys.ui->signal(SIGTERM));
    bool ended = sys.ui->wait(msT(5000));
    stop = true;
    ::shutdown(c.fd(), SHUT_RDWR);
    traffic.join();
    ASSERT_TRUE(ended);
    EXPECT_EQ(0, sys.ui->exitCode());
}

TEST(kivsvcUiQuit, sigtermWhileTheDaemonIsAbsentEndsTheBridge) {
    systemT sys;
    ASSERT_TRUE(sys.startBridge({}, false));
    ASSERT_TRUE(sys.ui->waitForOutput("binding \"kivsvc-ui\" on service \"local\""));
    ASSERT_TRUE(sys.ui->signal(SIGTERM));
    ASSERT_TRUE(sys.ui->wait(msT(5000)));
    EXPECT_EQ(0, sys.ui->exitCode());
}

TEST(kivsvcUiQuit, sigtermWhileWaitingForPeersAndWhileListeningEndsTheBridge) {
    systemT sys;
    ASSERT_TRUE(sys.startDaemon());
    ASSERT_TRUE(sys.startBridge({}, false));
    ASSERT_TRUE(sys.ui->waitForOutput("waiting for services to be ready"));
    ASSERT_TRUE(sys.ui->signal(SIGTERM));
    ASSERT_TRUE(sys.ui->wait(msT(5000)));
    EXPECT_EQ(0, sys.ui->exitCode());

    ASSERT_TRUE(sys.startDriver());
    ASSERT_TRUE(sys.startBridge({"-s", "local"}));
    ASSERT_TRUE(sys.ui->signal(SIGTERM));
    ASSERT_TRUE(sys.ui->wait(msT(5000)));
    EXPECT_EQ(0, sys.ui->exitCode());
}

// ---- the remote-assistance stand-in -----------------------------------------

TEST(kivsvcRass, answersEveryCallWithServiceUnavailable) {
    systemT sys;
    ASSERT_TRUE(sys.startDaemon());
    ASSERT_TRUE(sys.startRass());
    rux::ipcServiceT::handleT svc = rux::ipcServiceT::handle("remote");
    auto seen = std::make_shared<nodeSeenT>("kivsvc-rass");
    svc.setEventHandler(seen);
    ASSERT_EQ(0, svc.bind("kivsvc-ui"));
    ASSERT_TRUE(seen->waitUp());
    for (const std::string& payload : {request(kivmsgT::rassMsg, 12), std::string("garbage")}) {
        auto msg = rux::ipcMessageT::create(payload.size(), 2);
        msg->write(payload.data(), long(payload.size()));
        std::unique_ptr<rux::ipcMessageT> reply;
        ASSERT_EQ(0, svc.send("kivsvc-rass", std::move(msg), reply, rux::timeT::fromMs(10000)));
        ASSERT_TRUE(reply);
        auto m = msg_ipc2pb(reply);
        ASSERT_TRUE(m);
        EXPECT_EQ(kivmsgT::rassMsg, m->msg_id());
        EXPECT_EQ(payload == "garbage" ? -1 : 12, m->ivk_id());
        EXPECT_EQ(kivsvc::rassT::reportStatus, m->rass().id());
        EXPECT_EQ(kivsvc::rassStatusT::service_unavail, m->rass().rstatus().status());
    }
    svc.shutdown();
    ASSERT_TRUE(sys.rass->signal(SIGTERM));
    ASSERT_TRUE(sys.rass->wait(msT(5000)));
    EXPECT_EQ(0, sys.rass->exitCode());
}

TEST(kivsvcRass, sigtermWhileTheDaemonIsAbsentEndsIt) {
    systemT sys;
    sys.rass = sys.program({KIVSVC_RASS, "-D", "console", "-L", "info", "-G", sys._logs});
    ASSERT_TRUE(sys.rass->start());
    ASSERT_TRUE(sys.rass->waitForOutput("binding \"kivsvc-rass\" on service \"remote\""));
    ASSERT_TRUE(sys.rass->signal(SIGTERM));
    ASSERT_TRUE(sys.rass->wait(msT(5000)));
    EXPECT_EQ(0, sys.rass->exitCode());
}
