// Client sessions of the device service, driven by connection events as the
// IPC library delivers them, without a daemon.
#include <gtest/gtest.h>

#include "drvapp.h"
#include "msgconv.h"

class drvAppTestT {
public:
    static void bindLogger(kivsvcDrvAppT& app) { app._logger = rux::loggerT("kivsvc-drv"); }
};

namespace {

rux::ipcEventT event(int type, const std::string& node) {
    return rux::ipcEventT{type, "local", node};
}

} // namespace

TEST(kivsvcDrvSessions, upCreatesASessionAndDownDropsIt) {
    kivsvcDrvAppT app;
    drvAppTestT::bindLogger(app);
    kivsvcDrvAppT::eventHandlerT events(&app);
    events.notify(event(rux::ipcEventT::enUP, "ui"));
    std::weak_ptr<clientT> s = app._client("ui");
    ASSERT_FALSE(s.expired());
    EXPECT_EQ(s.lock()->node(), "ui");
    events.notify(event(rux::ipcEventT::enDOWN, "ui"));
    EXPECT_FALSE(app._client("ui"));
    // Nobody holds it any more, the device database included.
    EXPECT_TRUE(s.expired());
    // A node without a session going down changes nothing.
    events.notify(event(rux::ipcEventT::enDOWN, "ui"));
}

TEST(kivsvcDrvSessions, secondUpReplacesTheSessionEverywhere) {
    kivsvcDrvAppT app;
    drvAppTestT::bindLogger(app);
    kivsvcDrvAppT::eventHandlerT events(&app);
    events.notify(event(rux::ipcEventT::enUP, "ui"));
    std::weak_ptr<clientT> first = app._client("ui");
    events.notify(event(rux::ipcEventT::enUP, "ui"));
    auto second = app._client("ui");
    ASSERT_TRUE(second);
    EXPECT_NE(second, first.lock());
    // Still an observer of the device database, the replaced session would
    // send the node every report a second time.
    EXPECT_TRUE(first.expired());
    events.notify(event(rux::ipcEventT::enDOWN, "ui"));
}

TEST(kivsvcDrvSessions, sessionsAreKeptPerNode) {
    kivsvcDrvAppT app;
    drvAppTestT::bindLogger(app);
    kivsvcDrvAppT::eventHandlerT events(&app);
    events.notify(event(rux::ipcEventT::enUP, "a"));
    events.notify(event(rux::ipcEventT::enUP, "b"));
    events.notify(event(rux::ipcEventT::enDOWN, "a"));
    EXPECT_FALSE(app._client("a"));
    ASSERT_TRUE(app._client("b"));
    EXPECT_EQ(app._client("b")->node(), "b");
    events.notify(event(rux::ipcEventT::enDOWN, "b"));
}

namespace {

std::unique_ptr<rux::ipcMessageT> request(kivsvc::kivmsgT::msgIdT id) {
    auto pb = std::make_unique<kivsvc::kivmsgT>();
    pb->set_msg_id(id);
    pb->set_ivk_id(5);
    return msg_pb2ipc(pb, nullptr);
}

} // namespace

TEST(kivsvcDrvRequestRoad, onlyNodesWithASessionGetAnswers) {
    kivsvcDrvAppT app;
    drvAppTestT::bindLogger(app);
    kivsvcDrvAppT::eventHandlerT events(&app);
    kivsvcDrvAppT::receiverT receiver(&app);
    // Unknown to the service: logged, no reply.
    testing::internal::CaptureStderr();
    EXPECT_FALSE(receiver.syncMsg(request(kivsvc::kivmsgT::getSvcVersion), "ui", "local"));
    EXPECT_NE(testing::internal::GetCapturedStderr().find(
                  "received message from unregistered client \"ui' on service \"local\"\n"),
              std::string::npos);

    events.notify(event(rux::ipcEventT::enUP, "ui"));
    auto reply = receiver.syncMsg(request(kivsvc::kivmsgT::getSvcVersion), "ui", "local");
    ASSERT_TRUE(reply);
    auto pb = msg_ipc2pb(reply);
    ASSERT_TRUE(pb);
    EXPECT_EQ(pb->msg_id(), kivsvc::kivmsgT::svcVersionReply);
    EXPECT_EQ(pb->ivk_id(), 5);
    EXPECT_EQ(pb->svc_version(), kivsvcDrvAppT::versionText);

    events.notify(event(rux::ipcEventT::enDOWN, "ui"));
    EXPECT_FALSE(receiver.syncMsg(request(kivsvc::kivmsgT::getSvcVersion), "ui", "local"));
}

TEST(kivsvcDrvRequestRoad, undecodableRequestsAndForwardedMessagesAreDropped) {
    kivsvcDrvAppT app;
    drvAppTestT::bindLogger(app);
    kivsvcDrvAppT::eventHandlerT events(&app);
    kivsvcDrvAppT::receiverT receiver(&app);
    events.notify(event(rux::ipcEventT::enUP, "ui"));
    auto junk = rux::ipcMessageT::create(2, 2);
    junk->write("\xff\xff", 2);
    EXPECT_FALSE(receiver.syncMsg(std::move(junk), "ui", "local"));
    testing::internal::CaptureStderr();
    receiver.fwdMsg(request(kivsvc::kivmsgT::getSvcVersion), "ui", "alias", "local");
    EXPECT_NE(testing::internal::GetCapturedStderr().find("ERR kivsvc-drv -> { fwdMsg } dropped"),
              std::string::npos);
    receiver.asyncMsg(request(kivsvc::kivmsgT::getSvcVersion), "ui", "local");
    // Still serving.
    EXPECT_TRUE(receiver.syncMsg(request(kivsvc::kivmsgT::getSvcVersion), "ui", "local"));
    events.notify(event(rux::ipcEventT::enDOWN, "ui"));
}

TEST(kivsvcDrvLifetime, callbacksTheServiceKeepsDoNothingOnceTheApplicationHasGone) {
    auto app = std::make_unique<kivsvcDrvAppT>();
    drvAppTestT::bindLogger(*app);
    auto events = std::make_shared<kivsvcDrvAppT::eventHandlerT>(app.get());
    auto receiver = std::make_shared<kivsvcDrvAppT::receiverT>(app.get());
    events->notify(event(rux::ipcEventT::enUP, "ui"));
    std::weak_ptr<clientT> session = app->_client("ui");
    app.reset();
    // The sessions went with the application, none is created afterwards.
    EXPECT_TRUE(session.expired());
    // Calls the service queued before its shut-down, run late.
    events->notify(event(rux::ipcEventT::enUP, "late"));
    events->notify(event(rux::ipcEventT::enDOWN, "ui"));
    EXPECT_FALSE(receiver->syncMsg(request(kivsvc::kivmsgT::getSvcVersion), "ui", "local"));
    receiver->fwdMsg(request(kivsvc::kivmsgT::getSvcVersion), "ui", "alias", "local");
}
