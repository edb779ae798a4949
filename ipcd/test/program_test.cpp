// rux_ipcd as a user runs it: options, the configuration dump, start-up
// messages about the configuration file, and ending on SIGTERM.
#include <csignal>
#include <fstream>

#include "harness.h"

using namespace ipcdtest;

namespace {

struct runT {
    int code;
    std::string out;
};

runT runIpcd(const std::vector<std::string>& args, const tempDirT& dir,
             const std::map<std::string, std::string>& env = {}) {
    processT::optionsT o;
    o.argv = {RUX_IPCD};
    o.argv.insert(o.argv.end(), args.begin(), args.end());
    o.env = env;
    o.env["HOME"] = dir.path();
    o.env["RUX_RUNTIME_DIR"] = dir.path();
    if (!env.count("rux_ipc_config"))
        o.unsetEnv = {"rux_ipc_config"};
    processT p(o);
    if (!p.start() || !p.wait())
        return {-1, p.output()};
    return {p.exitCode(), p.output()};
}

const char* const kCfg = "[SERVICES]\n"
                         "a = local\n"
                         "b = remote\n"
                         "[DEFAULTS]\n"
                         "CONGESTION = KILL, 2, sec\n"
                         "[local]\n"
                         "M_PRIO_HOLD_1 = 1500, us\n"
                         "PRIO_OS = NORMAL, 5\n"
                         "LOG_LEV = INFO\n"
                         "[remote]\n"
                         "CONGESTION = DROP\n"
                         "QUEUE_DIM = 7\n";

} // namespace

TEST(IpcdProgram, DumpPrintsTheConfigurationInItsLayout) {
    tempDirT dir;
    std::string path = dir.sub("ipc.cfg");
    std::ofstream(path) << kCfg;
    runT r = runIpcd({"-d", "-c", path}, dir);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "using config file \"" + path +
                         "\"\n"
                         "GENERAL INFORMATIONS\n"
                         "CFG file          : " +
                         path +
                         "\n"
                         "\n"
                         "[DEFAULTS]\n"
                         "os priority type    : 2\n"
                         "os priority         : 0\n"
                         "queue dimension     : 120\n"
                         "congestion policy   : 1\n"
                         "kill policy timeout : 2000 ms\n"
                         "log level           : WARNING\n"
                         "\n"
                         "SERVICES INFORMATIONS\n"
                         "\n"
                         "[local]\n"
                         "os priority type    : 2\n"
                         "os priority         : 5\n"
                         "msg prio 1 hold     : 1.500 ms\n"
                         "queue dimension     : 120\n"
                         "congestion policy   : 1\n"
                         "kill policy timeout : 2000 ms\n"
                         "log level           : INFO\n"
                         "\n"
                         "[remote]\n"
                         "os priority type    : 2\n"
                         "os priority         : 0\n"
                         "queue dimension     : 7\n"
                         "congestion policy   : 0\n"
                         "kill policy timeout : 2000 ms\n"
                         "log level           : WARNING\n"
                         "\n");
}

TEST(IpcdProgram, DumpWithoutAFileSaysSo) {
    tempDirT dir;
    std::string missing = dir.sub("none.cfg");
    runT r = runIpcd({"--dump", "--config", missing}, dir);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "can't find config file at \"" + missing +
                         "\", ipcd uses default configuration\n"
                         "object has not been initialized\n");
    // The variable names the file when the option does not.
    std::string path = dir.sub("env.cfg");
    std::ofstream(path) << kCfg;
    r = runIpcd({"-d"}, dir, {{"rux_ipc_config", path}});
    EXPECT_NE(r.out.find("CFG file          : " + path + "\n"), std::string::npos) << r.out;
}

TEST(IpcdProgram, AnInvalidFileFailsTheStart) {
    tempDirT dir;
    std::string path = dir.sub("bad.cfg");
    std::ofstream(path) << "[DEFAULTS]\nLOG_LEV = debug\n";
    runT r = runIpcd({"-c", path, "-D", "null"}, dir);
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("error: invalid config file \"" + path + "\""), std::string::npos)
        << r.out;
}

TEST(IpcdProgram, HelpAndVersion) {
    tempDirT dir;
    runT r = runIpcd({"-v"}, dir);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out.rfind("rux_ipcd version 1.0.0 for ", 0), 0u) << r.out;
    r = runIpcd({"-h"}, dir);
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("-c, --config=val\n\tspecify the IPC configuration file\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("-d, --dump\n\tdump the configuration file (to be used with -c)\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("--console"), std::string::npos) << r.out;
}

TEST(IpcdProgram, StartsWithDefaultsWhenTheFileIsMissingAndEndsOnTerm) {
    daemonT dmn;
    processT::optionsT o;
    std::string missing = dmn.dir().sub("none.cfg");
    o.argv = {RUX_IPCD, "-c", missing, "-D", "console", "-L", "info"};
    o.env["RUX_RUNTIME_DIR"] = dmn.dir().path();
    o.env["HOME"] = dmn.dir().path();
    o.notify = true;
    processT p(o);
    ASSERT_TRUE(p.start());
    ASSERT_TRUE(p.waitForNotify("READY=1"));
    EXPECT_TRUE(p.waitForOutput("can't find config file at \"" + missing +
                                "\", using default configuration\n"));
    EXPECT_TRUE(p.waitForOutput("icpd server bound to \"rux_ipcd\""));
    nodeT n;
    EXPECT_EQ(n.attach("local", "n"), 0);
    ASSERT_TRUE(p.signal(SIGTERM));
    ASSERT_TRUE(p.wait());
    EXPECT_EQ(p.exitCode(), 0);
    EXPECT_TRUE(p.waitForOutput("received QUIT signal, leaving main loop"));
}

TEST(IpcdProgram, ASecondDaemonCannotTakeTheAddress) {
    daemonT dmn;
    ASSERT_TRUE(dmn.start());
    runT r = runIpcd({"-D", "console"}, dmn.dir());
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("failed to bind local socket \"rux_ipcd\""), std::string::npos) << r.out;
}
