// Fault reports: a crash on a framework thread leaves a dump file and the same
// lines in the log, and the process still dies by the signal.
#include <gtest/gtest.h>

#include <csignal>
#include <regex>
#include <string>

#include "gas_rig.h"

using rux::test::readFile;
using rux::test::tempDirT;

namespace {

struct crashT {
    gasRunT run;
    std::string dump;
    std::string log;
};

crashT crash(const std::string& how) {
    tempDirT home;
    crashT c;
    c.run = runApp({"--crash=" + how}, {}, home.path());
    c.dump = readFile(home.path() + "/rux/log/gas_testapp.dump");
    c.log = readFile(home.path() + "/rux/log/gas_testapp.log");
    return c;
}

const std::string kStars(80, '*');

// The fixed frame of every report, with addresses as wide as a pointer.
void expectFrame(const std::string& dump, const std::string& type, const std::string& code) {
    EXPECT_EQ(dump.rfind(kStars + "\n*************************** SOFTWARE FAULT DETECTED "
                                  "****************************\n" +
                             kStars + "\nTYPE  : " + type + "\n",
                         0),
              0u)
        << dump;
    EXPECT_TRUE(contains(dump, "\nCODE  : 0x" + code + "\n")) << dump;
    EXPECT_TRUE(std::regex_search(dump, std::regex("\nADDR  : 0x[0-9a-f]{16}\nEIP   : "
                                                   "0x[0-9a-f]{16}\n\\*{80}\nTHREAD: gas_crasher")))
        << dump;
    EXPECT_EQ(dump.substr(dump.size() - 81), kStars + "\n");
}

// Every line of the dump is in the log as an EMERGENCY line of "rux_gas".
void expectInLog(const crashT& c) {
    size_t start = 0;
    int lines = 0;
    while (start < c.dump.size()) {
        size_t nl = c.dump.find('\n', start);
        std::string line = c.dump.substr(start, nl - start);
        EXPECT_TRUE(contains(c.log, "EMG rux_gas -> { backtrace } " + line + "\n")) << line;
        ++lines;
        start = nl + 1;
    }
    EXPECT_GT(lines, 10);
}

TEST(gasFault, NullWriteOnAWorkerThread) {
    crashT c = crash("null");
    EXPECT_EQ(c.run.signal, SIGSEGV) << c.run.out;
    expectFrame(c.dump, "invalid memory access (W)", "000000000000000b");
    EXPECT_TRUE(contains(c.dump, "\nADDR  : 0x0000000000000000\n"));
    // The backtrace starts at the faulting function, named.
    EXPECT_TRUE(contains(c.dump, "BACKTRACE:\n" GAS_TESTAPP "(_Z16gasTestNullWritev+")) << c.dump;
    expectInLog(c);
    // Standard error has it too (a service's journal).
    EXPECT_TRUE(contains(c.run.out, "TYPE  : invalid memory access (W)\n"));
}

TEST(gasFault, StackOverflowIsReported) {
    crashT c = crash("stack");
    EXPECT_EQ(c.run.signal, SIGSEGV) << c.run.out;
    expectFrame(c.dump, "stack overflow", "000000000000000b");
    EXPECT_TRUE(contains(c.dump, "gasTestRecurse")) << c.dump;
    expectInLog(c);
}

TEST(gasFault, StackOverflowOnTheMainThread) {
    tempDirT home;
    gasRunT r = runApp({"--crash=main-stack"}, {}, home.path());
    EXPECT_EQ(r.signal, SIGSEGV) << r.out;
    const std::string dump = readFile(home.path() + "/rux/log/gas_testapp.dump");
    EXPECT_TRUE(contains(dump, "\nTYPE  : stack overflow\n")) << dump;
    EXPECT_TRUE(contains(dump, "\nTHREAD: gas_testapp [")) << dump;
}

TEST(gasFault, IntegerDivisionByZero) {
    crashT c = crash("divide");
    EXPECT_EQ(c.run.signal, SIGFPE) << c.run.out;
    expectFrame(c.dump, "integer divide by 0", "0000000000000008");
    EXPECT_TRUE(contains(c.dump, "BACKTRACE:\n" GAS_TESTAPP "(_Z13gasTestDivideii+")) << c.dump;
}

TEST(gasFault, FailedAssertionIsReported) {
    crashT c = crash("assert");
    EXPECT_EQ(c.run.signal, SIGABRT) << c.run.out;
    expectFrame(c.dump, "assert", "0000000000000001");
    EXPECT_TRUE(std::regex_search(
        c.dump, std::regex("\nTYPE  : assert\nEXPR  : value != 0\nFILE  : [^\n]*"
                           "gas/test/gas_testapp\\.cpp\nLINE  : [1-9][0-9]*\nCODE")))
        << c.dump;
    // The backtrace starts in the framework's assertion.
    EXPECT_TRUE(contains(c.dump, "BACKTRACE:\n")) << c.dump;
    EXPECT_TRUE(contains(c.dump, "(_ZN3rux4impl5faultEPKcS2_j+")) << c.dump;
    // One report, although abort() raises SIGABRT afterwards.
    EXPECT_EQ(c.dump.find("SOFTWARE FAULT", 200), std::string::npos);
    expectInLog(c);
}

TEST(gasFault, AbortIsReported) {
    crashT c = crash("abort");
    EXPECT_EQ(c.run.signal, SIGABRT) << c.run.out;
    expectFrame(c.dump, "non continuable exception", "0000000000000006");
}

TEST(gasFault, OneReportWhenThreadsFaultTogether) {
    crashT c = crash("double");
    EXPECT_EQ(c.run.signal, SIGSEGV) << c.run.out;
    expectFrame(c.dump, "invalid memory access (W)", "000000000000000b");
    EXPECT_EQ(c.dump.find("SOFTWARE FAULT", 200), std::string::npos);
    size_t first = c.run.out.find("SOFTWARE FAULT");
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(c.run.out.find("SOFTWARE FAULT", first + 1), std::string::npos);
}

} // namespace
