// cmake --install into a private prefix: the tree it leaves, programs that run
// from there, units that systemd accepts.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "rux_testsupport.h"

using rux::test::msT;
using rux::test::processT;
using rux::test::readFile;

namespace {

bool executable(const std::string& path) { return access(path.c_str(), X_OK) == 0; }

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::string findProgram(const std::string& name) {
    for (const char* dir : {"/usr/bin", "/bin", "/usr/sbin", "/sbin"})
        if (executable(std::string(dir) + "/" + name))
            return std::string(dir) + "/" + name;
    return "";
}

class kivsvcInstall : public ::testing::Test {
protected:
    void SetUp() override {
        prefix = dir.sub("prefix");
        // Only the system's own component: other rules may name programs this
        // test does not wait for.
        processT install(
            {CMAKE_COMMAND, "--install", RUX_BINARY_DIR, "--component", "rux", "--prefix", prefix});
        ASSERT_TRUE(install.start());
        ASSERT_TRUE(install.wait(msT(120000)));
        ASSERT_EQ(install.exitCode(), 0) << install.output();
    }

    rux::test::tempDirT dir;
    std::string prefix;
};

} // namespace

TEST_F(kivsvcInstall, treeHoldsProgramsLibrariesHeadersAndSystemFiles) {
    for (const char* p : {"bin/rux_ipcd", "bin/kivsvc-drv"})
        EXPECT_TRUE(executable(prefix + "/" + p)) << p;
    for (const char* lib : {"sal", "logger", "cli", "proto", "gas", "ipc"})
        EXPECT_TRUE(exists(prefix + "/lib/librux_" + lib + "-1.so")) << lib;
    EXPECT_TRUE(exists(prefix + "/lib/libkivsvc-common-1.so"));
    for (const char* h : {"rux_sal_xface.h", "rux_gas_xface.h", "ipc/service.h", "msgconv.h",
                          "messages.pb.h"})
        EXPECT_TRUE(exists(prefix + "/include/rux/" + h)) << h;
    EXPECT_FALSE(readFile(prefix + "/etc/rux_ipc.cfg").empty());
    EXPECT_TRUE(exists(prefix + "/lib/sysusers.d/rux.conf"));
    // The device service's own test and static libraries stay behind.
    EXPECT_FALSE(exists(prefix + "/lib/libkivsvc_core.a"));
}

TEST_F(kivsvcInstall, installedProgramsFindTheInstalledLibraries) {
    processT v({prefix + "/bin/kivsvc-drv", "-v"});
    ASSERT_TRUE(v.start());
    ASSERT_TRUE(v.wait());
    EXPECT_EQ(v.exitCode(), 0) << v.output();
    EXPECT_NE(v.output().find("1.4.3.14"), std::string::npos);
}

TEST_F(kivsvcInstall, unitsRunTheInstalledProgramsAsNotifyingServicesOfOneRuntimeDirectory) {
    for (const char* unit : {"rux_ipcd", "kivsvc-drv"}) {
        SCOPED_TRACE(unit);
        const std::string text = readFile(prefix + "/lib/systemd/system/" + unit + ".service");
        ASSERT_FALSE(text.empty());
        EXPECT_NE(text.find("Type=notify\n"), std::string::npos);
        EXPECT_NE(text.find("Restart=on-failure\n"), std::string::npos);
        EXPECT_NE(text.find("Environment=RUX_RUNTIME_DIR=/run/rux\n"), std::string::npos);
        EXPECT_NE(text.find("ExecStart=" + prefix + "/bin/" + unit + " "), std::string::npos);
        EXPECT_NE(text.find("Group=rux\n"), std::string::npos);
        EXPECT_NE(text.find("-G /var/log/rux"), std::string::npos);
        EXPECT_NE(text.find("LogsDirectory=rux\n"), std::string::npos);
    }
    EXPECT_NE(readFile(prefix + "/lib/systemd/system/rux_ipcd.service")
                  .find("-c " + prefix + "/etc/rux_ipc.cfg"),
              std::string::npos);
}

TEST_F(kivsvcInstall, systemdAcceptsTheUnits) {
    const std::string analyze = findProgram("systemd-analyze");
    if (analyze.empty())
        GTEST_SKIP() << "no systemd-analyze here";
    processT verify({analyze, "verify", prefix + "/lib/systemd/system/rux_ipcd.service",
                     prefix + "/lib/systemd/system/kivsvc-drv.service"});
    ASSERT_TRUE(verify.start());
    ASSERT_TRUE(verify.wait(msT(60000)));
    EXPECT_EQ(verify.exitCode(), 0) << verify.output();
    // Unknown keys and bad values are only warned about, naming the file.
    EXPECT_EQ(verify.output().find(prefix), std::string::npos) << verify.output();
}

TEST_F(kivsvcInstall, udevRuleGivesTheGroupTheFourMeterAndBootloaderIds) {
    const std::string rule = readFile(prefix + "/lib/udev/rules.d/60-kivsvc.rules");
    for (const char* id : {"\"a7b3\", ATTRS{idProduct}==\"0001\"", "\"0483\", ATTRS{idProduct}==\"0001\"",
                           "\"a7b3\", ATTRS{idProduct}==\"0002\"", "\"0483\", ATTRS{idProduct}==\"0002\""})
        EXPECT_NE(rule.find(std::string("SUBSYSTEM==\"hidraw\", ATTRS{idVendor}==") + id +
                            ", GROUP=\"rux\", MODE=\"0660\""),
                  std::string::npos)
            << id;
}
