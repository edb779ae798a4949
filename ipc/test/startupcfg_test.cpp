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

const char* const kMinimal = "[SERVICES]\n"
                             "[DEFAULTS]\n";

struct builtT {
    bool ok;
    std::string diag;
};

builtT build(startupCfgT& cfg, const std::string& text) {
    std::istringstream in(text);
    std::ostringstream diag;
    cfg.diagStream(diag);
    bool ok = cfg.build(in, "t.cfg");
    return {ok, diag.str()};
}

// A file with one service "local" whose section holds `line`.
builtT buildLocal(startupCfgT& cfg, const std::string& line) {
    return build(cfg, "[SERVICES]\nsvc1 = local\n[DEFAULTS]\n[local]\n" + line + "\n");
}

std::string text(const infoT& info) {
    std::ostringstream os;
    os << info;
    return os.str();
}

// Private directory with files that go away with the test.
class tmpDirT {
public:
    tmpDirT() {
        char tmpl[] = "/tmp/rux_startupcfg_XXXXXX";
        _dir = mkdtemp(tmpl);
    }
    ~tmpDirT() {
        for (const auto& f : _files)
            unlink(f.c_str());
        rmdir(_dir.c_str());
    }
    std::string file(const std::string& name, const std::string& content) {
        std::string path = _dir + "/" + name;
        std::ofstream(path) << content;
        _files.push_back(path);
        return path;
    }
    std::string path(const std::string& name) const { return _dir + "/" + name; }

private:
    std::string _dir;
    std::vector<std::string> _files;
};

// Sets or clears an environment variable for one scope.
class envT {
public:
    envT(const char* name, const char* value) : _name(name) {
        const char* old = getenv(name);
        _had = old != nullptr;
        if (_had)
            _old = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~envT() {
        if (_had)
            setenv(_name.c_str(), _old.c_str(), 1);
        else
            unsetenv(_name.c_str());
    }

private:
    std::string _name, _old;
    bool _had;
};

} // namespace

TEST(StartupCfgT, BuiltInDefaults) {
    startupCfgT cfg;
    const infoT& d = cfg.getService("anything");
    EXPECT_EQ(d.name, "");
    EXPECT_EQ(d.osPrioClass, 2);
    EXPECT_EQ(d.osPrio, 0u);
    EXPECT_EQ(d.congestion, 0);
    EXPECT_EQ(d.queueDim, 120u);
    EXPECT_EQ(d.killTimeout, rux::timeT(0, 120000000));
    EXPECT_TRUE(d.holdTimes.empty());
    EXPECT_EQ(d.logLevel, 5);
    EXPECT_EQ(cfg.path(), "");
}

TEST(StartupCfgT, EveryKeyIsParsed) {
    startupCfgT cfg;
    auto r = build(cfg, "[SERVICES]\n"
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
                        "M_PRIO_HOLD_0 = 5\n");
    ASSERT_TRUE(r.ok) << r.diag;
    EXPECT_EQ(r.diag, "");
    EXPECT_EQ(cfg.path(), "t.cfg");

    const infoT& d = cfg.defaults();
    EXPECT_EQ(d.name, "DEFAULTS");
    EXPECT_EQ(d.osPrioClass, startupCfgT::enREALTIME);
    EXPECT_EQ(d.osPrio, 10u);
    EXPECT_EQ(d.queueDim, 64u);
    EXPECT_EQ(d.congestion, startupCfgT::enKILL);
    EXPECT_EQ(d.killTimeout, rux::timeT(0, 300000000));
    EXPECT_EQ(d.logLevel, 7);
    ASSERT_EQ(d.holdTimes.size(), 1u);
    EXPECT_EQ(d.holdTimes.at(0), rux::timeT(0, 50000000));

    // Services come in key order of SERVICES (a before b), not file order.
    ASSERT_EQ(cfg.services().size(), 2u);
    EXPECT_EQ(cfg.services()[0].name, "local");
    EXPECT_EQ(cfg.services()[1].name, "remote");

    const infoT& l = cfg.getService("local");
    EXPECT_EQ(l.name, "local");
    EXPECT_EQ(l.osPrioClass, startupCfgT::enNORMAL);
    EXPECT_EQ(l.osPrio, 10u); // the class alone keeps the inherited level
    EXPECT_EQ(l.queueDim, 7u);
    EXPECT_EQ(l.congestion, startupCfgT::enWAIT);
    EXPECT_EQ(l.killTimeout, rux::timeT(0, 300000000));
    EXPECT_EQ(l.logLevel, 8);
    ASSERT_EQ(l.holdTimes.size(), 5u);
    EXPECT_EQ(l.holdTimes.at(0), rux::timeT(0, 50000000)); // inherited
    EXPECT_EQ(l.holdTimes.at(1), rux::timeT(2, 0));
    EXPECT_EQ(l.holdTimes.at(2), rux::timeT(0, 1500000));
    EXPECT_EQ(l.holdTimes.at(3), rux::timeT(0, 7000));
    EXPECT_EQ(l.holdTimes.at(4), rux::timeT(0, 9000000));

    const infoT& rm = cfg.getService("remote");
    EXPECT_EQ(rm.holdTimes.at(0), rux::timeT(0, 5000000)); // replaced, not added
    EXPECT_EQ(rm.logLevel, 7);

    // Unlisted services get the DEFAULTS record.
    EXPECT_EQ(&cfg.getService("other"), &cfg.defaults());
}

TEST(StartupCfgT, CongestionPolicyAndKillTimeout) {
    struct caseT {
        const char* line;
        int policy;
        rux::timeT kill;
    } cases[] = {
        {"CONGESTION = KILL, 2, sec", 1, rux::timeT(2, 0)},
        {"CONGESTION = KILL, 500", 1, rux::timeT(0, 500000000)},
        {"CONGESTION = KILL, 1500, us", 1, rux::timeT(0, 1500000)},
        {"CONGESTION = KILL", 1, rux::timeT(0, 250000000)},
        {"CONGESTION = WAIT", 2, rux::timeT(0, 250000000)},
        {"CONGESTION = DROP, 9, sec", 0, rux::timeT(0, 250000000)},
    };
    for (const auto& c : cases) {
        // DEFAULTS sets 250 ms; DROP and WAIT (and a bare KILL) keep it.
        startupCfgT cfg;
        auto r = build(cfg, std::string("[SERVICES]\ns = local\n[DEFAULTS]\n"
                                        "CONGESTION = KILL, 250\n[local]\n") +
                                c.line + "\n");
        ASSERT_TRUE(r.ok) << c.line << ": " << r.diag;
        EXPECT_EQ(cfg.getService("local").congestion, c.policy) << c.line;
        EXPECT_EQ(cfg.getService("local").killTimeout, c.kill) << c.line;
    }
}

TEST(StartupCfgT, PrioOsLimits) {
    startupCfgT cfg;
    auto r = buildLocal(cfg, "PRIO_OS = REALTIME, 79");
    ASSERT_TRUE(r.ok) << r.diag;
    EXPECT_EQ(cfg.getService("local").osPrioClass, 4);
    EXPECT_EQ(cfg.getService("local").osPrio, 79u);

    r = buildLocal(cfg, "PRIO_OS = REALTIME, 80");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.diag, "error parsing section local, key PRIO_OS: invalid value\n");
    r = buildLocal(cfg, "PRIO_OS = NORMAL, -1");
    EXPECT_EQ(r.diag, "error parsing section local, key PRIO_OS: invalid value\n");
    r = buildLocal(cfg, "PRIO_OS = HIGH, 1");
    EXPECT_EQ(r.diag, "error parsing section local, key PRIO_OS: invalid sched\n");
    r = buildLocal(cfg, "PRIO_OS = realtime");
    EXPECT_EQ(r.diag, "error parsing section local, key PRIO_OS: invalid sched\n");
}

TEST(StartupCfgT, ValueErrorsNameSectionAndKey) {
    struct caseT {
        const char* line;
        const char* diag;
    } cases[] = {
        {"M_PRIO_HOLD_2 = soon", "error parsing section local, key M_PRIO_HOLD_2: invalid number"},
        {"M_PRIO_HOLD_0 = 10x", "error parsing section local, key M_PRIO_HOLD_0: invalid number"},
        {"M_PRIO_HOLD_0 = -5", "error parsing section local, key M_PRIO_HOLD_0: invalid number"},
        {"M_PRIO_HOLD_0 = 99999999999",
         "error parsing section local, key M_PRIO_HOLD_0: invalid number"},
        {"QUEUE_DIM = -1", "error parsing section local, key QUEUE_DIM: invalid number"},
        {"QUEUE_DIM = 0", "error parsing section local, key QUEUE_DIM: invalid number"},
        {"QUEUE_DIM = ", "error parsing section local, key QUEUE_DIM: invalid number"},
        {"CONGESTION = kill", "error parsing section local, key CONGESTION: invalid policy"},
        {"CONGESTION = KILL, a", "error parsing section local, key CONGESTION: invalid number"},
        {"CONGESTION = KILL, -3", "error parsing section local, key CONGESTION: invalid number"},
        {"LOG_LEV = debug", "error parsing section local, key LOG_LEV: unknown label 'debug'"},
        {"LOG_LEV = DUMP", "error parsing section local, key LOG_LEV: unknown label 'DUMP'"},
        {"LOG_LEV = INFO, DEBUG",
         "error parsing section local, key LOG_LEV: unknown label 'INFO, DEBUG'"},
    };
    for (const auto& c : cases) {
        startupCfgT cfg;
        auto r = buildLocal(cfg, c.line);
        EXPECT_FALSE(r.ok) << c.line;
        EXPECT_EQ(r.diag, std::string(c.diag) + "\n") << c.line;
        EXPECT_TRUE(cfg.services().empty());
        EXPECT_EQ(cfg.path(), "");
    }
}

TEST(StartupCfgT, EveryLogLabel) {
    const char* labels[] = {"NODUMP",  "EMERGENCY", "ALERT", "CRITICAL", "ERROR",
                            "WARNING", "NOTICE",    "INFO",  "DEBUG"};
    for (int level = 0; level <= 8; ++level) {
        startupCfgT cfg;
        auto r = buildLocal(cfg, std::string("LOG_LEV = ") + labels[level]);
        ASSERT_TRUE(r.ok) << r.diag;
        EXPECT_EQ(cfg.getService("local").logLevel, level);
        EXPECT_STREQ(startupCfgT::levelLabel(level), labels[level]);
    }
}

TEST(StartupCfgT, MissingSectionsFailTheBuild) {
    struct caseT {
        const char* text;
        const char* diag;
    } cases[] = {
        {"[DEFAULTS]\n", "error: missing SERVICES section!\n"},
        {"[SERVICES]\n", "error: missing DEFAULTS section!\n"},
        {"", "error: missing SERVICES section!\n"},
        {"[SERVICES]\ns1 = local\ns2 = ghost\n[DEFAULTS]\n[local]\n",
         "error: missing ghost section!\n"},
    };
    for (const auto& c : cases) {
        startupCfgT cfg;
        auto r = build(cfg, c.text);
        EXPECT_FALSE(r.ok) << c.text;
        EXPECT_EQ(r.diag, c.diag) << c.text;
        EXPECT_TRUE(cfg.services().empty());
    }
}

TEST(StartupCfgT, FileErrorsAreReported) {
    startupCfgT cfg;
    auto r = build(cfg, "[SERVICES]\n[DEFAULTS]\nLOG_LEV = INFO");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.diag, "parse error at t.cfg:3, expected newline at eof\n");
    r = build(cfg, std::string(kMinimal) + "\n");
    EXPECT_TRUE(r.ok) << r.diag;
}

TEST(StartupCfgT, FailedBuildKeepsEarlierDefaults) {
    startupCfgT cfg;
    // DEFAULTS parses, the service section then fails: nothing of it may stick.
    auto r = build(cfg, "[SERVICES]\ns = local\n[DEFAULTS]\nQUEUE_DIM = 5\n"
                        "[local]\nLOG_LEV = loud\n");
    ASSERT_FALSE(r.ok);
    EXPECT_EQ(cfg.getService("local").queueDim, 120u);
    EXPECT_EQ(cfg.defaults().name, "");

    r = build(cfg, "[SERVICES]\ns = local\n[DEFAULTS]\nQUEUE_DIM = 5\n[local]\n");
    ASSERT_TRUE(r.ok) << r.diag;
    EXPECT_EQ(cfg.getService("local").queueDim, 5u);
    // A later failed build drops the services and the path.
    r = build(cfg, "[SERVICES]\n");
    ASSERT_FALSE(r.ok);
    EXPECT_TRUE(cfg.services().empty());
    EXPECT_EQ(cfg.path(), "");
}

TEST(StartupCfgT, UnknownKeysAreWarnedButAccepted) {
    startupCfgT cfg;
    auto r = buildLocal(cfg, "QUEUE_DIMM = 3");
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.diag, "warning: section local, unknown key 'QUEUE_DIMM' ignored\n");
    EXPECT_EQ(cfg.getService("local").queueDim, 120u);
}

TEST(StartupCfgT, TimeConversion) {
    EXPECT_EQ(startupCfgT::timeT_convert(2000000123, "ns"), rux::timeT(2, 123));
    EXPECT_EQ(startupCfgT::timeT_convert(1500, "us"), rux::timeT(0, 1500000));
    EXPECT_EQ(startupCfgT::timeT_convert(3000001, "us"), rux::timeT(3, 1000));
    EXPECT_EQ(startupCfgT::timeT_convert(7, "sec"), rux::timeT(7, 0));
    EXPECT_EQ(startupCfgT::timeT_convert(1234, "ms"), rux::timeT(1, 234000000));
    EXPECT_EQ(startupCfgT::timeT_convert(1234, "minutes"), rux::timeT(1, 234000000));
    EXPECT_EQ(startupCfgT::timeT_convert(1234, ""), rux::timeT(1, 234000000));
    // Negative durations come out normalised (0 <= nsec < 1e9).
    EXPECT_EQ(startupCfgT::timeT_convert(-1500, "ms"), rux::timeT(-2, 500000000));
}

TEST(StartupCfgT, TextForm) {
    startupCfgT cfg;
    auto r = buildLocal(cfg, "M_PRIO_HOLD_1 = 1500, us\n"
                             "M_PRIO_HOLD_0 = 2, sec\n"
                             "M_PRIO_HOLD_3 = 1005, us\n"
                             "PRIO_OS = REALTIME, 12\n"
                             "CONGESTION = KILL, 3, sec\n"
                             "QUEUE_DIM = 40\n"
                             "LOG_LEV = NOTICE");
    ASSERT_TRUE(r.ok) << r.diag;
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
    EXPECT_EQ(text(startupCfgT().defaults()), "[]\n"
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
    ASSERT_TRUE(cfg.build(RUX_IPC_ETC_DIR "/rux_ipc.cfg")) << diag.str();
    EXPECT_EQ(diag.str(), "");
    EXPECT_FALSE(cfg.services().empty());
    EXPECT_EQ(cfg.path(), RUX_IPC_ETC_DIR "/rux_ipc.cfg");
}

TEST(BuildIpcConfig, TriesProgramPathThenSystemFileThenEnvironment) {
    tmpDirT dir;
    std::string good1 = dir.file("first.cfg", std::string(kMinimal) + "QUEUE_DIM = 1\n");
    std::string good2 = dir.file("system.cfg", std::string(kMinimal) + "QUEUE_DIM = 2\n");
    std::string good3 = dir.file("env.cfg", std::string(kMinimal) + "QUEUE_DIM = 3\n");
    std::string bad = dir.file("bad.cfg", "[SERVICES]\n");
    std::string none = dir.path("none.cfg");
    std::ostringstream diag;

    {
        envT env(rux::impl::g_ipc_cfg_env, good3.c_str());
        startupCfgT cfg;
        cfg.diagStream(diag);
        EXPECT_EQ(rux::impl::buildIpcConfig(cfg, good1, good2), good1);
        EXPECT_EQ(cfg.getService("x").queueDim, 1u);

        startupCfgT cfg2;
        cfg2.diagStream(diag);
        EXPECT_EQ(rux::impl::buildIpcConfig(cfg2, "", good2), good2);
        EXPECT_EQ(cfg2.getService("x").queueDim, 2u);

        startupCfgT cfg3;
        cfg3.diagStream(diag);
        EXPECT_EQ(rux::impl::buildIpcConfig(cfg3, bad, none), good3);
        EXPECT_EQ(cfg3.getService("x").queueDim, 3u);
        EXPECT_EQ(cfg3.path(), good3);
    }
    {
        envT env(rux::impl::g_ipc_cfg_env, nullptr);
        startupCfgT cfg;
        cfg.diagStream(diag);
        EXPECT_EQ(rux::impl::buildIpcConfig(cfg, bad, bad), "");
        EXPECT_EQ(cfg.getService("x").queueDim, 120u);
    }
    {
        envT env(rux::impl::g_ipc_cfg_env, bad.c_str());
        startupCfgT cfg;
        cfg.diagStream(diag);
        EXPECT_EQ(rux::impl::buildIpcConfig(cfg, none, none), "");
        EXPECT_EQ(cfg.getService("x").queueDim, 120u);
    }
    EXPECT_STREQ(rux::impl::g_ipc_cfg_file, "/etc/rux_ipc.cfg");
}
