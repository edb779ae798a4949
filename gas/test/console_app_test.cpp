// The operator console of a real program: telnet clients (ours and Debian's
// telnet under a pseudo-terminal) and the standard-input console, against the
// skeleton's test program in a child process.
#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "rux_testsupport.h"

namespace {

using rux::test::msT;
using rux::test::processT;
using rux::test::telnetClientT;
using rux::test::tempDirT;

const char* const kListening = "telnet server listening on ";

// gas_testapp serving until told to quit, logging to its log file and its
// console (standard error, or the standard console when that runs), with a
// private home.
class appT {
public:
    appT(const std::string& console, bool stdinPipe = false) {
        processT::optionsT o;
        o.argv = {GAS_TESTAPP, "--serve", "-C", console, "-B", "127.0.0.1:0", "-D", "console,file"};
        o.env = {{"HOME", home.path()}, {"RUX_RUNTIME_DIR", home.path()}};
        o.stdinPipe = stdinPipe;
        p = std::make_unique<processT>(o);
    }
    bool start() { return p->start() && p->waitForOutput("NTC gas_testapp -> serving"); }
    // From the log file: the program's own output may interleave with the
    // console's on standard output.
    uint16_t port() {
        const std::string log = home.path() + "/rux/log/gas_testapp.log";
        p->attachLog(log);
        if (!processT::waitForFile(log, kListening))
            return 0;
        return rux::test::portAfter(rux::test::readFile(log), kListening);
    }
    // Ends the program; true when it exited with 0.
    bool term() { return p->signal(SIGTERM) && p->wait() && p->exited() && p->exitCode() == 0; }

    tempDirT home;
    std::unique_ptr<processT> p;
};

// Runs a line and returns its output up to the next prompt.
std::string run(telnetClientT& c, const std::string& line) {
    const size_t from = c.output().size();
    c.sendLine(line);
    size_t at = 0;
    if (!c.waitForOutput("gas_testapp > ", msT(10000), from + line.size(), &at))
        return "<no prompt>" + c.output().substr(from);
    return c.output().substr(from, at - from);
}

TEST(gasConsoleApp, QuitOverTelnetEndsTheProgramWithExitZero) {
    appT app("telnet");
    ASSERT_TRUE(app.start());
    const uint16_t port = app.port();
    ASSERT_NE(port, 0) << app.p->output();
    telnetClientT a, b;
    ASSERT_TRUE(a.connect(port));
    ASSERT_TRUE(b.connect(port));
    ASSERT_TRUE(a.waitForOutput("gas_testapp > "));
    ASSERT_TRUE(b.waitForOutput("gas_testapp > "));
    a.sendLine("rux quit");
    ASSERT_TRUE(app.p->wait());
    EXPECT_TRUE(app.p->exited());
    EXPECT_EQ(app.p->exitCode(), 0) << app.p->output();
    EXPECT_TRUE(a.waitClosed());
    EXPECT_TRUE(b.waitClosed());
    const std::string out = app.p->output();
    EXPECT_NE(out.find("NTC gas_testapp -> quitting"), std::string::npos) << out;
    EXPECT_NE(out.find("gas_testapp exited"), std::string::npos) << out;
}

TEST(gasConsoleApp, ConsoleThreadsAreListedRunning) {
    appT app("stdio,telnet", true);
    ASSERT_TRUE(app.start());
    const uint16_t port = app.port();
    telnetClientT c;
    ASSERT_TRUE(c.connect(port));
    ASSERT_TRUE(c.waitForOutput("gas_testapp > "));
    const std::string out = run(c, "rux thread show");
    for (const char* name :
         {"rux_gas_console", "rux_gas_telnet_srv", "rux_gas_telnet_session [127.0.0.1:"}) {
        const size_t p = out.find(name);
        ASSERT_NE(p, std::string::npos) << name << "\n" << out;
        const size_t bol = out.rfind('\n', p) + 1;
        EXPECT_EQ(out.compare(bol + 36, 12, "running     "), 0) << out.substr(bol, p - bol);
    }
    EXPECT_TRUE(app.term());
}

TEST(gasConsoleApp, StandardInputConsoleRunsCommandsAndShowsLogLines) {
    appT app("stdio", true);
    ASSERT_TRUE(app.start());
    size_t at = 0;
    ASSERT_TRUE(app.p->writeInput("rux log print rux_gas notice \"from the console\"\n"));
    ASSERT_TRUE(
        app.p->waitForOutput("NTC rux_gas -> { user } from the console", msT(10000), 0, &at))
        << app.p->output();
    ASSERT_TRUE(app.p->writeInput("rux sessions close\n"));
    EXPECT_TRUE(app.p->waitForOutput("error: you are not in a telnet session!", msT(10000), at));
    ASSERT_TRUE(app.p->writeInput("rux sessions show\n"));
    EXPECT_TRUE(app.p->waitForOutput("error: telnet server is not running", msT(10000), at));
    ASSERT_TRUE(app.p->writeInput("rux quit\n"));
    ASSERT_TRUE(app.p->wait());
    EXPECT_EQ(app.p->exitCode(), 0) << app.p->output();
}

TEST(gasConsoleApp, EndOfStandardInputEndsTheConsoleNotTheProgram) {
    appT app("stdio,telnet"); // standard input is /dev/null
    ASSERT_TRUE(app.start());
    const uint16_t port = app.port();
    telnetClientT c;
    ASSERT_TRUE(c.connect(port));
    ASSERT_TRUE(c.waitForOutput("gas_testapp > "));
    // The console thread has ended (or ends) while the program serves on.
    std::string line;
    for (int i = 0; i < 1000; ++i) {
        const std::string out = run(c, "rux thread show");
        const size_t p = out.find("rux_gas_console");
        ASSERT_NE(p, std::string::npos) << out;
        line = out.substr(out.rfind('\n', p) + 1, p - out.rfind('\n', p) - 1);
        if (line.find("running") == std::string::npos)
            break;
    }
    EXPECT_NE(line.find("zombie"), std::string::npos) << line;
    EXPECT_TRUE(app.p->running());
    EXPECT_TRUE(app.term());
}

TEST(gasConsoleApp, DebianTelnetClientDrivesTheSystemMenu) {
    ASSERT_EQ(access("/usr/bin/telnet", X_OK), 0) << "the telnet client is needed";
    appT app("telnet");
    ASSERT_TRUE(app.start());
    const uint16_t port = app.port();
    ASSERT_NE(port, 0);
    processT::optionsT o;
    o.argv = {"/usr/bin/telnet", "127.0.0.1", std::to_string(port)};
    o.env = {{"TERM", "vt100"}};
    o.pty = true;
    processT tn(o);
    ASSERT_TRUE(tn.start()) << tn.lastError();
    size_t at = 0;
    ASSERT_TRUE(tn.waitForOutput("gas_testapp > ", msT(10000), 0, &at)) << tn.output();
    // Keys one at a time: the editor completes and echoes as the operator types.
    ASSERT_TRUE(tn.writeInput("rux sessions show\r"));
    ASSERT_TRUE(tn.waitForOutput(" (*)", msT(10000), at, &at)) << tn.output();
    ASSERT_TRUE(tn.waitForOutput("gas_testapp > ", msT(10000), at, &at));
    ASSERT_TRUE(tn.writeInput("rux log modify rux_gas debug\r"));
    ASSERT_TRUE(tn.waitForOutput("gas_testapp > ", msT(10000), at, &at));
    ASSERT_TRUE(tn.writeInput("rux log show rux_gas\r"));
    ASSERT_TRUE(tn.waitForOutput("debug", msT(10000), at, &at)) << tn.output();
    ASSERT_TRUE(tn.waitForOutput("gas_testapp > ", msT(10000), at, &at));
    ASSERT_TRUE(tn.writeInput("rux quit\r"));
    ASSERT_TRUE(app.p->wait());
    EXPECT_EQ(app.p->exitCode(), 0) << app.p->output();
    EXPECT_TRUE(tn.waitForOutput("Connection closed by foreign host", msT(10000), at))
        << tn.output();
    EXPECT_TRUE(tn.wait());
}

} // namespace
