// Client sessions of the device service, driven by connection events as the
// IPC library delivers them, without a daemon.
#include <gtest/gtest.h>

#include "drvapp.h"
#include "simdriver.h"

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
