// Set-up phases, exit codes, readiness and stopping of a program on the skeleton.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "gas_rig.h"

using rux::test::processT;
using rux::test::readFile;
using rux::test::tempDirT;

namespace {

std::string logOf(const tempDirT& home) {
    return home.path() + "/rux/log/gas_testapp.log";
}

TEST(gasPhases, EachFailureHasItsTextAndCode) {
    struct caseT {
        std::map<std::string, std::string> env;
        std::vector<std::string> args;
        int code;
        std::string text;
    };
    const std::vector<caseT> cases = {
        {{{"GAS_TESTAPP_FAIL", "config"}}, {}, 1, "error: failed to configure GAS application\n"},
        {{{"GAS_TESTAPP_TWICE", "1"}}, {"-D", "null"}, 2,
         "error: failed to initialize GAS for linux-x86_64\n"},
        {{{"GAS_TESTAPP_FAIL", "init"}}, {}, 6, "error: failed to perform user initialization\n"},
        {{}, {"-G", "/nonexistent/logs"}, 8,
         "error: invalid log directory \"/nonexistent/logs\"\nerror: failed to initialize "
         "logger\n"},
    };
    for (const caseT& c : cases) {
        SCOPED_TRACE(c.text);
        gasRunT r = runApp(c.args, c.env);
        EXPECT_EQ(r.code, c.code);
        EXPECT_TRUE(contains(r.out, c.text)) << r.out;
    }
}

TEST(gasPhases, UnusableHomeFailsTheLoggerOnly) {
    tempDirT tmp;
    const std::string file = tmp.sub("plain");
    FILE* f = fopen(file.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
    // A home that is a file: the directory cannot be made.
    gasRunT r = runApp({}, {}, file);
    EXPECT_EQ(r.code, 8);
    EXPECT_TRUE(contains(r.out, "error: can't make log directory \"" + file + "/rux/log\"\n"));
    // Without a log file the program runs.
    r = runApp({"-D", "console"}, {}, file);
    EXPECT_EQ(r.code, 0) << r.out;
}

TEST(gasPhases, RunResultIsTheExitCodeAndTheLogTellsStartAndEnd) {
    tempDirT home;
    gasRunT r = runApp({"-e", "17"}, {}, home.path());
    EXPECT_EQ(r.code, 17);
    const std::string log = readFile(logOf(home));
    EXPECT_TRUE(contains(log, "NTC rux_gas -> gas_testapp started\n"));
    EXPECT_TRUE(contains(log, "NTC rux_gas -> gas_testapp exited\n"));
    struct stat st;
    EXPECT_EQ(stat((home.path() + "/rux/log").c_str(), &st), 0);
}

TEST(gasPhases, DeferredLogKeepsTheLastLines) {
    tempDirT home;
    gasRunT r = runApp({"-D", "file,deferred"}, {}, home.path());
    EXPECT_EQ(r.code, 0);
    EXPECT_TRUE(contains(readFile(logOf(home)), "gas_testapp exited\n"));
}

TEST(gasPhases, LoggerOffWritesNoFile) {
    tempDirT home;
    gasRunT r = runApp({"-D", "null"}, {}, home.path());
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(readFile(logOf(home)), "");
    EXPECT_FALSE(contains(r.out, "started"));
}

TEST(gasLifecycle, QuitSignalsEndTheProgramCleanly) {
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(sig);
        tempDirT home;
        auto o = appOptions({"--serve", "-e", "0"}, home.path());
        o.notify = true;
        processT p(o);
        p.attachLog(logOf(home));
        ASSERT_TRUE(p.start());
        ASSERT_TRUE(p.waitForNotify("READY=1"));
        ASSERT_TRUE(processT::waitForFile(logOf(home), "serving"));
        ASSERT_TRUE(p.signal(sig));
        ASSERT_TRUE(p.waitForNotify("STOPPING=1"));
        ASSERT_TRUE(p.wait());
        EXPECT_EQ(p.exitCode(), 0);
        const std::string log = readFile(logOf(home));
        EXPECT_TRUE(contains(log, " received\n"));
        EXPECT_TRUE(contains(log, "NTC gas_testapp -> quitting\n"));
        EXPECT_TRUE(contains(log, "NTC rux_gas -> gas_testapp exited\n"));
    }
}

TEST(gasLifecycle, QuitDuringStartUpSkipsTheBody) {
    tempDirT home;
    const std::string gate = home.sub("gate");
    auto o = appOptions({"--serve"}, home.path(), {{"GAS_TESTAPP_INIT_GATE", gate}});
    o.notify = true;
    processT p(o);
    ASSERT_TRUE(p.start());
    ASSERT_TRUE(p.waitForOutput("init waiting\n"));
    ASSERT_TRUE(p.signal(SIGTERM));
    // Told once the request is recorded; then the start-up goes on.
    ASSERT_TRUE(p.waitForNotify("STOPPING=1"));
    FILE* f = fopen(gate.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
    ASSERT_TRUE(p.wait());
    EXPECT_EQ(p.exitCode(), 0);
    EXPECT_FALSE(contains(p.output(), "values:"));
    EXPECT_TRUE(contains(readFile(logOf(home)), "gas_testapp exited\n"));
}

TEST(gasLifecycle, StoppingIsToldWhenTheBodyEndsByItself) {
    tempDirT home;
    auto o = appOptions({"-e", "3"}, home.path());
    o.notify = true;
    processT p(o);
    ASSERT_TRUE(p.start());
    ASSERT_TRUE(p.wait());
    EXPECT_EQ(p.exitCode(), 3);
    EXPECT_TRUE(p.waitForNotify("STOPPING=1"));
}

TEST(gasLifecycle, SignalNamedInTheLog) {
    tempDirT home;
    processT p(appOptions({"--serve"}, home.path()));
    p.attachLog(logOf(home));
    ASSERT_TRUE(p.start());
    ASSERT_TRUE(processT::waitForFile(logOf(home), "serving"));
    ASSERT_TRUE(p.signal(SIGTERM));
    ASSERT_TRUE(p.wait());
    EXPECT_EQ(p.exitCode(), 0);
    EXPECT_TRUE(contains(readFile(logOf(home)), "rux_gas -> { _onQuitSignal } SIGTERM received\n"));
}

TEST(gasLifecycle, ReadinessIsHarmlessWithoutServiceManager) {
    tempDirT home;
    auto o = appOptions({"--serve"}, home.path());
    o.unsetEnv.push_back("NOTIFY_SOCKET");
    processT p(o);
    ASSERT_TRUE(p.start());
    ASSERT_TRUE(processT::waitForFile(logOf(home), "serving"));
    ASSERT_TRUE(p.signal(SIGTERM));
    ASSERT_TRUE(p.wait());
    EXPECT_EQ(p.exitCode(), 0);
}

} // namespace

namespace {

processT::optionsT onTerminal(const std::vector<std::string>& args, const tempDirT& home) {
    auto o = appOptions(args, home.path(), {{"GAS_TESTAPP_CFG", "useConsole=1"}});
    o.pty = true;
    return o;
}

TEST(gasConsoleLog, LogLinesGoIntoTheStdioConsole) {
    tempDirT home;
    processT p(onTerminal({"--serve", "-D", "console,file"}, home));
    p.attachLog(logOf(home));
    ASSERT_TRUE(p.start());
    ASSERT_TRUE(p.waitForOutput("devices: cli:9 file:9 multilog:9 default=multilog"));
    ASSERT_TRUE(p.waitForOutput("NTC gas_testapp -> serving"));
    ASSERT_TRUE(p.signal(SIGTERM));
    ASSERT_TRUE(p.wait());
    EXPECT_EQ(p.exitCode(), 0);
    EXPECT_TRUE(contains(readFile(logOf(home)), "gas_testapp exited\n"));
}

TEST(gasConsoleLog, WithoutStdioConsoleLogLinesGoToStandardError) {
    gasRunT r = runApp({"-D", "console", "-C", "null"}, {{"GAS_TESTAPP_CFG", "useConsole=1"}});
    EXPECT_EQ(r.code, 0);
    EXPECT_TRUE(contains(r.out, "devices: stderr:9 default=stderr\n")) << r.out;
    EXPECT_TRUE(contains(r.out, "NTC rux_gas -> gas_testapp started\n"));
}

TEST(gasConsoleLog, ConsoleOnEmptyInputLeavesTheProgramRunning) {
    tempDirT home;
    auto o = appOptions({"--serve"}, home.path(), {{"GAS_TESTAPP_CFG", "useConsole=1"}});
    o.notify = true;
    processT p(o);
    p.attachLog(logOf(home));
    ASSERT_TRUE(p.start());
    ASSERT_TRUE(p.waitForNotify("READY=1"));
    // Standard input is /dev/null: the console has ended by now or soon will.
    ASSERT_TRUE(processT::waitForFile(logOf(home), "serving"));
    EXPECT_TRUE(p.running());
    ASSERT_TRUE(p.signal(SIGTERM));
    ASSERT_TRUE(p.wait());
    EXPECT_EQ(p.exitCode(), 0);
}

TEST(gasConsoleLog, FaultWithTheConsoleOnATerminal) {
    // The console's terminal restore runs after the report; the process
    // still dies by the signal.
    tempDirT home;
    processT p(onTerminal({"--crash=null"}, home));
    ASSERT_TRUE(p.start());
    ASSERT_TRUE(p.wait());
    EXPECT_EQ(p.termSignal(), SIGSEGV);
    EXPECT_TRUE(contains(readFile(home.path() + "/rux/log/gas_testapp.dump"),
                         "TYPE  : invalid memory access (W)\n"));
}

} // namespace
