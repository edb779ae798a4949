#include "ipc/startupcfg.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

namespace {

using infoT = startupCfgT::serviceInfoT;
using rux::timeT;

const std::string kMinimal = "[SERVICES]\n[DEFAULTS]\n";

// Builds from `text`; returns the diagnostics, with `ok` set to the result.
std::string build(startupCfgT& cfg, const std::string& text, bool& ok) {
    std::istringstream in(text);
    std::ostringstream diag;
    cfg.diagStream(diag);
    ok = cfg.build(in, "t.cfg");
    return diag.str();
}

// A file with DEFAULTS holding `defaults` and one service "local" holding `line`.
std::string buildLocal(startupCfgT& cfg, const std::string& line, bool& ok,
                       const std::string& defaults = "") {
    return build(cfg, "[SERVICES]\ns = local\n[DEFAULTS]\n" + defaults + "[local]\n" + line + "\n",
                 ok);
}

std::string text(const infoT& info) {
    std::ostringstream os;
    os << info;
    return os.str();
}

} // namespace

TEST(StartupCfgT, ServicesInheritDefaults) {
    startupCfgT cfg;
    bool ok;
    std::string diag = build(cfg,
                             "[SERVICES]\n"
                             "b = remote\n"
                             "a = local\n"
                             "[DEFAULTS]\n"
                             "PRIO_OS = REALTIME, 10\n"
                             "M_PRIO_HOLD_0 = 50\n"
                             "QUEUE_DIM = 64\n"
                             "CONGESTION = KILL, 300\n"
                             "LOG_LEV = INFO\n"
                             "[local]\n"
                             "PRIO_OS = NORMAL\n"
                             "M_PRIO_HOLD_1 = 2, sec\n"
                             "M_PRIO_HOLD_2 = 1500, us\n"
                             "M_PRIO_HOLD_3 = 7000, ns\n"
                             "M_PRIO_HOLD_4 = 9, ms\n"
                             "QUEUE_DIM = 7\n"
                             "CONGESTION = WAIT\n"
                             "LOG_LEV = DEBUG\n"
                             "[remote]\n"
                             "M_PRIO_HOLD_0 = 5\n",
                             ok);
    ASSERT_TRUE(ok) << diag;
    EXPECT_EQ(diag, "");
    EXPECT_EQ(cfg.path(), "t.cfg");
    EXPECT_EQ(cfg.defaults().name, "DEFAULTS");
    // Services come in key order of SERVICES, not file order.
    ASSERT_EQ(cfg.services().size(), 2u);
    EXPECT_EQ(cfg.services()[0].name, "local");

    const infoT& l = cfg.getService("local");
    EXPECT_EQ(l.osPrioClass, startupCfgT::enNORMAL);
    EXPECT_EQ(l.osPrio, 10u); // the class alone keeps the inherited level
    EXPECT_EQ(l.queueDim, 7u);
    EXPECT_EQ(l.congestion, startupCfgT::enWAIT);
    EXPECT_EQ(l.killTimeout, timeT(0, 300000000));
    EXPECT_EQ(l.logLevel, 8);
    std::map<rux::impl::ipcPrioT, timeT> holds = {{0, timeT(0, 50000000)},
                                                  {1, timeT(2, 0)},
                                                  {2, timeT(0, 1500000)},
                                                  {3, timeT(0, 7000)},
                                                  {4, timeT(0, 9000000)}};
    EXPECT_EQ(l.holdTimes, holds);

    const infoT& r = cfg.getService("remote");
    EXPECT_EQ(r.holdTimes.size(), 1u);
    EXPECT_EQ(r.holdTimes.at(0), timeT(0, 5000000)); // replaced, not added
    EXPECT_EQ(r.osPrioClass, startupCfgT::enREALTIME);
    EXPECT_EQ(r.logLevel, 7);
    // A service not listed under SERVICES gets the DEFAULTS record.
    EXPECT_EQ(&cfg.getService("other"), &cfg.defaults());
}

TEST(StartupCfgT, CongestionKeepsKillTimeoutUnlessKillSetsIt) {
    struct caseT {
        const char* line;
        int policy;
        timeT kill;
    } cases[] = {
        {"CONGESTION = KILL, 2, sec", 1, timeT(2, 0)},
        {"CONGESTION = KILL, 500", 1, timeT(0, 500000000)},
        {"CONGESTION = KILL", 1, timeT(0, 250000000)},
        {"CONGESTION = WAIT", 2, timeT(0, 250000000)},
        {"CONGESTION = DROP, 9, sec", 0, timeT(0, 250000000)},
    };
    for (const auto& c : cases) {
        startupCfgT cfg;
        bool ok;
        std::string diag = buildLocal(cfg, c.line, ok, "CONGESTION = KILL, 250\n");
        ASSERT_TRUE(ok) << c.line << ": " << diag;
        EXPECT_EQ(cfg.getService("local").congestion, c.policy) << c.line;
        EXPECT_EQ(cfg.getService("local").killTimeout, c.kill) << c.line;
    }
}

TEST(StartupCfgT, BadValuesFailTheBuild) {
    struct caseT {
        const char* line;
        const char* tail; // after "error parsing section local, key "
    } cases[] = {
        {"PRIO_OS = REALTIME, 80", "PRIO_OS: invalid value"},
        {"PRIO_OS = NORMAL, -1", "PRIO_OS: invalid value"},
        {"PRIO_OS = realtime", "PRIO_OS: invalid sched"},
        {"M_PRIO_HOLD_2 = soon", "M_PRIO_HOLD_2: invalid number"},
        {"M_PRIO_HOLD_0 = -5", "M_PRIO_HOLD_0: invalid number"},
        {"M_PRIO_HOLD_0 = 99999999999", "M_PRIO_HOLD_0: invalid number"},
        {"QUEUE_DIM = 0", "QUEUE_DIM: invalid number"},
        {"QUEUE_DIM = 5x", "QUEUE_DIM: invalid number"},
        {"CONGESTION = kill", "CONGESTION: invalid policy"},
        {"CONGESTION = KILL, -3", "CONGESTION: invalid number"},
        {"LOG_LEV = debug", "LOG_LEV: unknown label 'debug'"},
        {"LOG_LEV = DUMP", "LOG_LEV: unknown label 'DUMP'"},
        {"LOG_LEV = INFO, DEBUG", "LOG_LEV: unknown label 'INFO, DEBUG'"},
    };
    for (const auto& c : cases) {
        startupCfgT cfg;
        bool ok;
        EXPECT_EQ(buildLocal(cfg, c.line, ok),
                  std::string("error parsing section local, key ") + c.tail + "\n");
        EXPECT_FALSE(ok) << c.line;
        EXPECT_TRUE(cfg.services().empty());
        EXPECT_EQ(cfg.path(), "");
    }
    startupCfgT cfg;
    bool ok;
    buildLocal(cfg, "PRIO_OS = REALTIME, 79", ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(cfg.getService("local").osPrio, 79u);
}

TEST(StartupCfgT, MissingSectionsFailTheBuild) {
    struct caseT {
        const char* text;
        const char* diag;
    } cases[] = {
        {"[DEFAULTS]\n", "error: missing SERVICES section!\n"},
        {"[SERVICES]\n", "error: missing DEFAULTS section!\n"},
        {"[SERVICES]\ns1 = local\ns2 = ghost\n[DEFAULTS]\n[local]\n",
         "error: missing ghost section!\n"},
        {"[SERVICES]\n[DEFAULTS]\nLOG_LEV = INFO",
         "parse error at t.cfg:3, expected newline at eof\n"},
    };
    for (const auto& c : cases) {
        startupCfgT cfg;
        bool ok;
        EXPECT_EQ(build(cfg, c.text, ok), c.diag);
        EXPECT_FALSE(ok) << c.text;
        EXPECT_TRUE(cfg.services().empty());
    }
}

TEST(StartupCfgT, FailedBuildLeavesDefaultsAlone) {
    startupCfgT cfg;
    bool ok;
    // DEFAULTS parses, then the service section fails: none of it may stick.
    buildLocal(cfg, "LOG_LEV = loud", ok, "QUEUE_DIM = 5\n");
    ASSERT_FALSE(ok);
    EXPECT_EQ(cfg.getService("local").queueDim, 120u);
    EXPECT_EQ(cfg.defaults().name, "");
}

TEST(StartupCfgT, UnknownKeysAreIgnoredSilently) {
    // The daemon's output must stay clean for keys that other tools may add.
    startupCfgT cfg;
    bool ok;
    EXPECT_EQ(buildLocal(cfg, "QUEUE_DIMM = 3", ok, "M_PRIO_HOLD_5 = 1\n"), "");
    EXPECT_TRUE(ok);
    EXPECT_EQ(cfg.getService("local").queueDim, 120u);
    EXPECT_TRUE(cfg.getService("local").holdTimes.empty());
}

TEST(StartupCfgT, TimeConversion) {
    EXPECT_EQ(startupCfgT::timeT_convert(2000000123, "ns"), timeT(2, 123));
    EXPECT_EQ(startupCfgT::timeT_convert(3000001, "us"), timeT(3, 1000));
    EXPECT_EQ(startupCfgT::timeT_convert(7, "sec"), timeT(7, 0));
    EXPECT_EQ(startupCfgT::timeT_convert(1234, "ms"), timeT(1, 234000000));
    EXPECT_EQ(startupCfgT::timeT_convert(1234, "minutes"), timeT(1, 234000000));
    EXPECT_EQ(startupCfgT::timeT_convert(-1500, "ms"), timeT(-2, 500000000)); // normalised
}

TEST(StartupCfgT, TextForm) {
    startupCfgT cfg;
    bool ok;
    buildLocal(cfg,
               "M_PRIO_HOLD_1 = 1500, us\nM_PRIO_HOLD_0 = 2, sec\nM_PRIO_HOLD_3 = 1005, us\n"
               "PRIO_OS = REALTIME, 12\nCONGESTION = KILL, 3, sec\nQUEUE_DIM = 40\n"
               "LOG_LEV = NOTICE",
               ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(text(cfg.getService("local")), "[local]\n"
                                             "os priority type    : 4\n"
                                             "os priority         : 12\n"
                                             "msg prio 0 hold     : 2000.000 ms\n"
                                             "msg prio 1 hold     : 1.500 ms\n"
                                             "msg prio 3 hold     : 1.005 ms\n"
                                             "queue dimension     : 40\n"
                                             "congestion policy   : 1\n"
                                             "kill policy timeout : 3000 ms\n"
                                             "log level           : NOTICE\n");
    // The built-in defaults.
    EXPECT_EQ(text(startupCfgT().getService("any")), "[]\n"
                                                     "os priority type    : 2\n"
                                                     "os priority         : 0\n"
                                                     "queue dimension     : 120\n"
                                                     "congestion policy   : 0\n"
                                                     "kill policy timeout : 120 ms\n"
                                                     "log level           : WARNING\n");
}

TEST(StartupCfgT, ShippedExampleBuilds) {
    startupCfgT cfg;
    std::ostringstream diag;
    cfg.diagStream(diag);
    EXPECT_TRUE(cfg.build(RUX_IPC_ETC_DIR "/rux_ipc.cfg")) << diag.str();
    EXPECT_EQ(diag.str(), "");
    EXPECT_EQ(cfg.services().size(), 2u);
}

TEST(BuildIpcConfig, TriesProgramPathThenSystemFileThenEnvironment) {
    char tmpl[] = "/tmp/rux_startupcfg_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string dir = tmpl;
    auto file = [&dir](const std::string& name, const std::string& content) {
        std::ofstream(dir + "/" + name) << content;
        return dir + "/" + name;
    };
    std::string one = file("1.cfg", kMinimal + "QUEUE_DIM = 1\n");
    std::string two = file("2.cfg", kMinimal + "QUEUE_DIM = 2\n");
    std::string three = file("3.cfg", kMinimal + "QUEUE_DIM = 3\n");
    std::string bad = file("bad.cfg", "[SERVICES]\n");
    std::string none = dir + "/none.cfg";
    std::ostringstream diag;
    // The system file is a parameter so that the test need not write into /etc.
    auto lookup = [&](const std::string& first, const std::string& system, const char* env,
                      unsigned& queueDim) {
        if (env)
            setenv(rux::impl::g_ipc_cfg_env, env, 1);
        else
            unsetenv(rux::impl::g_ipc_cfg_env);
        startupCfgT cfg;
        cfg.diagStream(diag);
        std::string used = rux::impl::buildIpcConfig(cfg, first, system);
        queueDim = cfg.getService("x").queueDim;
        EXPECT_EQ(cfg.path(), used);
        return used;
    };
    unsigned dim;
    EXPECT_EQ(lookup(one, two, three.c_str(), dim), one);
    EXPECT_EQ(dim, 1u);
    EXPECT_EQ(lookup("", two, three.c_str(), dim), two);
    EXPECT_EQ(dim, 2u);
    EXPECT_EQ(lookup(bad, none, three.c_str(), dim), three);
    EXPECT_EQ(dim, 3u);
    EXPECT_EQ(lookup(bad, bad, bad.c_str(), dim), "");
    EXPECT_EQ(dim, 120u); // nothing built: the built-in defaults
    EXPECT_EQ(lookup(none, none, nullptr, dim), "");
    unsetenv(rux::impl::g_ipc_cfg_env);
    EXPECT_STREQ(rux::impl::g_ipc_cfg_file, "/etc/rux_ipc.cfg");
    for (const char* f : {"1.cfg", "2.cfg", "3.cfg", "bad.cfg"})
        unlink((dir + "/" + f).c_str());
    rmdir(tmpl);
}
