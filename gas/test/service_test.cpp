// The program as a systemd service: unit file install, check and uninstall in
// a private unit directory, with and without a systemctl.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <string>
#include <vector>

#include "gas_rig.h"

using rux::test::readFile;
using rux::test::tempDirT;

namespace {

// A unit directory, a PATH with (or without) a systemctl that records its
// arguments, and a program of appKind `kind`.
class serviceRigT {
public:
    explicit serviceRigT(bool withSystemctl, int kind = 1, const std::string& descr = "Test Unit")
        : _kind(kind), _descr(descr) {
        _units = _tmp.sub("units", true);
        _bin = _tmp.sub("bin", true);
        if (withSystemctl) {
            const std::string script = _bin + "/systemctl";
            // Records its arguments, and the signals it would find blocked.
            std::ofstream(script) << "#!/bin/sh\necho \"$@\" >> " << calls()
                                  << "\nwhile read l; do case $l in SigBlk*) echo \"$l\";; esac; done"
                                  << " < /proc/$$/status >> " << calls() << ".mask\n";
            chmod(script.c_str(), 0755);
        }
    }

    gasRunT run(const std::vector<std::string>& args) {
        return runApp(args,
                      {{"RUX_SYSTEMD_UNIT_DIR", _units},
                       {"PATH", _bin},
                       {"GAS_TESTAPP_CFG",
                        "useConsole=0,appKind=" + std::to_string(_kind) + ",descr=" + _descr}},
                      _tmp.path());
    }

    std::string unitPath() const { return _units + "/gas_testapp.service"; }
    std::string unit() const { return readFile(unitPath()); }
    std::string calls() const { return _tmp.path() + "/calls"; }
    const std::string& units() const { return _units; }
    std::string logText() const { return readFile(_tmp.path() + "/rux/log/gas_testapp.log"); }

private:
    tempDirT _tmp;
    int _kind;
    std::string _descr;
    std::string _units;
    std::string _bin;
};

TEST(gasService, ActionOptionsOnlyForServices) {
    serviceRigT rig(false, 0);
    gasRunT r = rig.run({"-A", "check"});
    EXPECT_EQ(r.code, 4);
    serviceRigT svc(false, 1);
    r = svc.run({"-h"});
    EXPECT_TRUE(contains(
        r.out, "-A, --action=val\n\tselect whether to run (default), install[=cmdline], "
               "uninstall or \n\tcheck the win32 service\n\n-F, --foreground\n\tstart the "
               "service in foreground as a normal application\n\n-L, --loglevel=val"));
    r = svc.run({"-A", "reinstall"});
    EXPECT_EQ(r.code, 4);
    EXPECT_TRUE(contains(r.out, "error: failed to parse option argument \"action\" (-A)"));
}

TEST(gasService, InstallCheckUninstallWithoutSystemctl) {
    serviceRigT rig(false);
    gasRunT r = rig.run({"-A", "check"});
    EXPECT_EQ(r.code, 50);
    EXPECT_EQ(r.out, "service \"gas_testapp\" is not installed\n");

    r = rig.run({"--action=install=-D file"});
    EXPECT_EQ(r.code, 0);
    EXPECT_TRUE(contains(r.out, "installing service... done\nsystemctl not found: systemd must "
                                "reload its units (\"systemctl daemon-reload\")\n"))
        << r.out;
    EXPECT_EQ(rig.unit(), "[Unit]\n"
                          "Description=Test Unit\n"
                          "\n"
                          "[Service]\n"
                          "Type=notify\n"
                          "ExecStart=\"" GAS_TESTAPP "\" -D file\n"
                          "Restart=on-failure\n"
                          "User=rux\n"
                          "\n"
                          "[Install]\n"
                          "WantedBy=multi-user.target\n");
    struct stat st;
    ASSERT_EQ(stat(rig.unitPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);

    r = rig.run({"-A", "check"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "service \"gas_testapp\" is installed\n");

    r = rig.run({"-A", "install"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "service is alredy installed\n");

    r = rig.run({"-A", "uninstall"});
    EXPECT_EQ(r.code, 0);
    EXPECT_TRUE(contains(r.out, "uninstalling service... done\n"));
    EXPECT_EQ(rig.unit(), "");

    r = rig.run({"-A", "uninstall"});
    EXPECT_EQ(r.code, 255);
    EXPECT_EQ(r.out, "uninstalling service... error\nservice not found\n");
    // Service actions end the program before it runs.
    EXPECT_FALSE(contains(r.out, "values:"));
}

TEST(gasService, SystemctlIsToldWhenPresent) {
    serviceRigT rig(true);
    EXPECT_EQ(rig.run({"-A", "install"}).code, 0);
    EXPECT_TRUE(contains(rig.unit(), "ExecStart=\"" GAS_TESTAPP "\"\n"));
    EXPECT_EQ(readFile(rig.calls()), "daemon-reload\nenable gas_testapp.service\n");
    EXPECT_EQ(rig.run({"-A", "uninstall"}).code, 0);
    EXPECT_EQ(readFile(rig.calls()), "daemon-reload\nenable gas_testapp.service\n"
                                     "stop gas_testapp.service\ndisable gas_testapp.service\n"
                                     "daemon-reload\n");
    // The skeleton's own signal mask stays with the skeleton.
    std::string unblocked;
    for (int i = 0; i < 5; ++i)
        unblocked += "SigBlk:\t0000000000000000\n";
    EXPECT_EQ(readFile(rig.calls() + ".mask"), unblocked);
}

TEST(gasService, UnitTextCannotBeBrokenByItsValues) {
    // '%' would be a systemd specifier; a line break would start a directive.
    serviceRigT rig(false, 2, "50% meter\nExecStartPre=/bin/evil");
    EXPECT_EQ(rig.run({"-A", "install=--text 100%\nUser=root"}).code, 0);
    const std::string unit = rig.unit();
    EXPECT_TRUE(contains(unit, "Description=50%% meter ExecStartPre=/bin/evil\n")) << unit;
    EXPECT_TRUE(contains(unit, "\" --text 100%% User=root\n")) << unit;
    EXPECT_TRUE(contains(unit, "\nUser=root\n"));
    EXPECT_FALSE(contains(unit, "\nExecStartPre"));
}

TEST(gasService, InstallFailureIsReported) {
    serviceRigT rig(false);
    rmdir(rig.units().c_str());
    gasRunT r = rig.run({"-A", "install"});
    EXPECT_EQ(r.code, 255);
    EXPECT_EQ(r.out, "installing service... error!\nfailed to add service to database\n");
}

TEST(gasService, CheckThatCannotLookFailsThePhase) {
    // A unit path beyond the system's limit: the check cannot tell.
    gasRunT r = runApp({"-A", "check"},
                       {{"RUX_SYSTEMD_UNIT_DIR", "/" + std::string(5000, 'u')},
                        {"GAS_TESTAPP_CFG", "useConsole=0,appKind=1"}});
    EXPECT_EQ(r.code, 10);
    EXPECT_TRUE(contains(r.out, "error: failed to enumerate services\nerror: failed to perform "
                                "OS post initialization\n"))
        << r.out;
}

TEST(gasService, RunsInTheForegroundEitherWay) {
    serviceRigT rig(false);
    gasRunT r = rig.run({"-F"});
    EXPECT_EQ(r.code, 0);
    EXPECT_TRUE(contains(r.out, "values:"));
    EXPECT_TRUE(contains(rig.logText(), "WRN rux_gas -> starting service in foreground\n"));
    r = rig.run({"-A", "run"});
    EXPECT_EQ(r.code, 0);
    EXPECT_TRUE(contains(r.out, "values:"));
}

} // namespace
