// The test-support library itself: what other tests rely on when they wait.
#include "rux_testsupport.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstring>

using namespace rux::test;

TEST(processT, CollectsOutputAndExitCode) {
    processT p(std::vector<std::string>{"/bin/sh", "-c", "echo hello; echo err >&2; exit 3"});
    ASSERT_TRUE(p.start()) << p.lastError();
    EXPECT_TRUE(p.waitForOutput("hello"));
    EXPECT_TRUE(p.waitForOutput("err"));
    ASSERT_TRUE(p.wait());
    EXPECT_EQ(p.exitCode(), 3);
    EXPECT_EQ(p.termSignal(), 0);
}

TEST(processT, EnvironmentAndInput) {
    processT::optionsT o;
    o.argv = {"/bin/sh", "-c", "read x; echo \"$FOO:$x:${HOME-unset}\""};
    o.env = {{"FOO", "bar"}};
    o.unsetEnv = {"HOME"};
    o.stdinPipe = true;
    processT p(o);
    ASSERT_TRUE(p.start());
    ASSERT_TRUE(p.writeInput("typed\n"));
    EXPECT_TRUE(p.waitForOutput("bar:typed:unset"));
    EXPECT_TRUE(p.wait());
}

TEST(processT, NotifySocketAndSignal) {
    processT::optionsT o;
    o.argv = {"/bin/sh", "-c", "echo \"sock=$NOTIFY_SOCKET;\"; exec sleep 30"};
    o.notify = true;
    processT p(o);
    ASSERT_TRUE(p.start());
    ASSERT_TRUE(p.waitForOutput(";"));
    // Speak for the child: a datagram to its NOTIFY_SOCKET is what sd_notify sends.
    std::string out = p.output();
    std::string path = out.substr(out.find("sock=") + 5);
    path = path.substr(0, path.find(';'));
    int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::strncpy(sa.sun_path, path.c_str(), sizeof sa.sun_path - 1);
    const char msg[] = "READY=1\nSTATUS=up";
    ASSERT_EQ(::sendto(fd, msg, sizeof msg - 1, 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa),
              ssize_t(sizeof msg - 1));
    ::close(fd);
    EXPECT_TRUE(p.waitForNotify("READY=1"));
    EXPECT_FALSE(p.waitForNotify("STOPPING=1", msT(10)));
    ASSERT_TRUE(p.signal(SIGTERM));
    ASSERT_TRUE(p.wait());
    EXPECT_EQ(p.termSignal(), SIGTERM);
}

TEST(processT, WaitTimesOutWhileRunning) {
    processT p(std::vector<std::string>{"/bin/sleep", "30"});
    ASSERT_TRUE(p.start());
    EXPECT_FALSE(p.wait(msT(20)));
    EXPECT_TRUE(p.running());
} // destructor kills and reaps

TEST(portAfter, ReadsThePortOfTheMarkedLine) {
    EXPECT_EQ(portAfter("x\nNTC rux_gas -> telnet server listening on 127.0.0.1:40123\n",
                        "listening on"),
              40123);
    EXPECT_EQ(portAfter("nothing here", "listening on"), 0);
}
