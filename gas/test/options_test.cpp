// Command-line handling of the skeleton, through the test program in a child.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gas_rig.h"

namespace {

TEST(gasOptions, HelpListsEveryOptionAndExitsZero) {
    gasRunT r = runApp({"-h"}, {{"GAS_TESTAPP_CFG", "useConsole=1"}});
    EXPECT_EQ(r.code, 0);
    EXPECT_TRUE(contains(r.out, "\nsyntax: gas_testapp [--options] [input] [number]\n\n"
                                "-n, --count=val\n\ta count\n\n"));
    EXPECT_TRUE(contains(r.out, "-f, --flag\n\ta flag\n\n"));
    EXPECT_TRUE(contains(r.out, "--long-only\n\tan option without a letter\n\n"));
    EXPECT_TRUE(contains(
        r.out, "-L, --loglevel=val\n\tspecify initial log level among \"nodump\", \"emergency\", "
               "\"alert\",\n\t\"critical\", \"error\", \"warning\", \"notice\", \"info\", "
               "\"debug\" and \"dump\"\n\n"
               "-D, --logdev=val\n\tspecify a comma ',' separated list of standard log device "
               "among\n\t\"console\", \"file\", \"syslog\", \"deferred\", \"null\";\n\tfor each "
               "device an optional filter level (as for -L option) can be set\n\tafter a colon, "
               "such as \"-D console,file:info,syslog:warning\"\n\n"
               "-G, --logdir=val\n\tset log files directory\n\n"
               "-C, --console=val\n\tspecify a comma ',' separated list of console devices such "
               "as\n\t\"stdio\", \"telnet\", \"null\"\n\n"
               "-B, --console-bind=val\n\tip:port to bind console telnet to\n\n"
               "-h, --help\n\tshow this help\n\n"
               "-v, --version\n\tshow application version\n\n"
               "\na test program of the skeleton\n\n"));
    // Help comes before any set-up: nothing is logged.
    EXPECT_FALSE(contains(r.out, "started"));
}

TEST(gasOptions, StandardOptionsFollowTheConfiguration) {
    gasRunT r = runApp({"-h"}, {{"GAS_TESTAPP_CFG", "useConsole=0,useLogger=0"},
                                {"GAS_TESTAPP_NOVERSION", "1"}});
    EXPECT_EQ(r.code, 0);
    EXPECT_TRUE(contains(r.out, "--long-only\n\tan option without a letter\n\n"
                                "-h, --help\n\tshow this help\n\n\na test program"));
    EXPECT_FALSE(contains(r.out, "--version"));
    EXPECT_FALSE(contains(r.out, "--action"));
    // Without a version there is no "version" option at all.
    EXPECT_EQ(runApp({"-v"}, {{"GAS_TESTAPP_NOVERSION", "1"}}).code, 4);
}

TEST(gasOptions, VersionLine) {
    gasRunT r = runApp({"--version"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "gas_testapp version 2.7.1 for linux-x86_64\n");
}

TEST(gasOptions, UnknownOptionPrintsHelpAndExitsFour) {
    gasRunT r = runApp({"--bogus"});
    EXPECT_EQ(r.code, 4);
    EXPECT_TRUE(contains(r.out, "unrecognized option '--bogus'"));
    EXPECT_TRUE(contains(r.out, "\nsyntax: gas_testapp [--options]"));
    EXPECT_EQ(runApp({"-n"}).code, 4); // missing argument
}

TEST(gasOptions, ValuesAreTakenWhole) {
    struct caseT {
        std::vector<std::string> args;
        std::string values; // expected in the "values:" line; empty: refused
        std::string refusal;
    };
    const std::vector<caseT> cases = {
        {{"-n", "12"}, "count=12 ", ""},
        {{"--count=4294967295"}, "count=4294967295 ", ""},
        {{"-n", "-1"}, "", "\"count\" (-n)"},
        {{"--count", "10s"}, "", "\"count\" (-n)"},
        {{"-n", " 5"}, "", "\"count\" (-n)"},
        {{"-n", "4294967296"}, "", "\"count\" (-n)"},
        {{"-i", "-3"}, "level=-3 ", ""},
        {{"-i", "3 "}, "", "\"level\" (-i)"},
        {{"-r", "1.5"}, "ratio=1.5 ", ""},
        {{"-r", "1.5x"}, "", "\"ratio\" (-r)"},
        {{"-t", "/a"}, "text=[/a] ", ""},
        {{"-t", "/a b"}, "", "\"text\" (-t)"},
        {{"-t", " /a"}, "", "\"text\" (-t)"},
        {{"-t", ""}, "", "\"text\" (-t)"},
        {{"-f", "--long-only"}, "flag=1 opt=[] long-only=1 ", ""},
        {{"-o"}, "opt=[<>]", ""},
        {{"-oyes"}, "opt=[<yes>]", ""},
        {{"--opt=bad"}, "", "\"opt\" (-o)"},
        {{"first", "17"}, "input=[first] number=17 ", ""},
        {{"first", "x17"}, "", ""},
        {{"-L", "Info"}, "logLevel=7 ", ""},
        {{"-L", "verbose"}, "", "\"loglevel\" (-L)"},
        {{"-G", "/a/dir"}, "logDir=[/a/dir]", ""},
        {{"-G", "/a dir/with blanks"}, "", "\"logdir\" (-G)"},
    };
    for (const caseT& c : cases) {
        std::string line;
        for (const auto& a : c.args)
            line += "'" + a + "' ";
        SCOPED_TRACE(line);
        // -G naming a missing directory would fail later: run without a log file.
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), {"-D", "null"});
        gasRunT r = runApp(args);
        if (!c.values.empty()) {
            EXPECT_EQ(r.code, 0) << r.out;
            EXPECT_TRUE(contains(r.out, c.values)) << r.out;
        } else {
            EXPECT_EQ(r.code, 4) << r.out;
            EXPECT_FALSE(contains(r.out, "values:"));
            if (!c.refusal.empty()) {
                EXPECT_TRUE(contains(r.out, "error: failed to parse option argument " + c.refusal))
                    << r.out;
            }
        }
    }
}

TEST(gasOptions, NonOptionArguments) {
    gasRunT r = runApp({"a", "1", "extra"});
    EXPECT_EQ(r.code, 4);
    EXPECT_TRUE(contains(r.out, "error: non-option argument extra\n"));
    r = runApp({"a", "one"});
    EXPECT_EQ(r.code, 4);
    EXPECT_TRUE(contains(r.out, "error: failed to parse non-option argument \"number\"\n"));
    // Options may follow the positional arguments.
    r = runApp({"a", "-n", "3"});
    EXPECT_EQ(r.code, 0);
    EXPECT_TRUE(contains(r.out, "count=3 ") && contains(r.out, "input=[a] number=0"));
}

TEST(gasOptions, ApplicationWithoutOptionsIgnoresItsArguments) {
    gasRunT r = runApp({"--bogus", "-n", "x", "word"}, {{"GAS_TESTAPP_NOOPTS", "1"}});
    EXPECT_EQ(r.code, 0);
    EXPECT_TRUE(contains(r.out, "values: count=0 "));
    EXPECT_FALSE(contains(r.out, "syntax:"));
}

TEST(gasOptions, DuplicateOptionsEndBeforeParsing) {
    gasRunT r = runApp({"--bogus"}, {{"GAS_TESTAPP_DUP", "short"}});
    EXPECT_EQ(r.code, 3);
    EXPECT_EQ(r.out, "error, duplicate option '-h', \"--hello\" and '-h', \"--help\"\n");
    r = runApp({}, {{"GAS_TESTAPP_DUP", "long"}});
    EXPECT_EQ(r.code, 3);
    EXPECT_EQ(r.out, "error, duplicate option '-g', \"--logdir\" and '-G', \"--logdir\"\n");
}

TEST(gasOptions, LogDevicesAndLevels) {
    struct caseT {
        std::string arg;
        std::string devices; // the "devices:" line
    };
    const std::vector<caseT> cases = {
        {"file", "devices: file:9 default=file"},
        {"console:debug,file", "devices: stderr:8 file:9 multilog:9 default=multilog"},
        {"FILE:Warning,deferred", "devices: file:5 deferred:9 default=deferred"},
        {"console,file,deferred",
         "devices: stderr:9 file:9 multilog:9 deferred:9 default=deferred"},
        // "null" leaves the logger as it was: lines go to standard error.
        {"null", "devices: default=stderr"},
        {"syslog", "devices: default=stderr"},
    };
    for (const caseT& c : cases) {
        SCOPED_TRACE(c.arg);
        gasRunT r = runApp({"-D", c.arg});
        EXPECT_EQ(r.code, 0);
        EXPECT_TRUE(contains(r.out, c.devices + "\n")) << r.out;
    }
    gasRunT r = runApp({"-D", "syslog"});
    EXPECT_TRUE(contains(r.out, "warning: syslog not available, check rux configuration\n"));
    for (const char* bad : {"console:loud", "printer", ":info", "file,"}) {
        SCOPED_TRACE(bad);
        r = runApp({"-D", bad});
        EXPECT_EQ(r.code, 4);
        EXPECT_TRUE(contains(r.out, "error: failed to parse option argument \"logdev\" (-D)"));
    }
}

TEST(gasOptions, ConsoleDevicesAndAddress) {
    const std::map<std::string, std::string> on = {{"GAS_TESTAPP_CFG", "useConsole=1"}};
    gasRunT r = runApp({"-C", "null", "-B", "10.1.2.3:4567"}, on);
    EXPECT_EQ(r.code, 0);
    EXPECT_TRUE(contains(r.out, "consStdio=0 consTelnet=0 consBind=10.1.2.3:4567 useConsole=0"))
        << r.out;
    for (auto args : std::vector<std::vector<std::string>>{{"-C", "stdio,fax"},
                                                           {"-B", "10.1.2.3"},
                                                           {"-B", "10.1.2.3:80 "}}) {
        SCOPED_TRACE(args[1]);
        r = runApp(args, on);
        EXPECT_EQ(r.code, 4);
        EXPECT_TRUE(contains(r.out, "error: failed to parse option argument \"console"));
    }
}

} // namespace
