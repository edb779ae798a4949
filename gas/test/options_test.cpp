// Command-line handling of the skeleton, through the test program in a child.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gas_rig.h"

using rux::test::processT;

namespace {

TEST(gasOptions, HelpListsEveryOptionAndExitsZero) {
    gasRunT r = runApp({"-h"});
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("\nsyntax: gas_testapp [--options] [input] [number]\n\n"
                         "-n, --count=val\n\ta count\n\n"),
              std::string::npos);
    EXPECT_NE(r.out.find("-f, --flag\n\ta flag\n\n"), std::string::npos);
    EXPECT_NE(r.out.find("--long-only\n\tan option without a letter\n\n"), std::string::npos);
    EXPECT_NE(r.out.find("-h, --help\n\tshow this help\n\n-v, --version\n\tshow application "
                         "version\n\n\na test program of the skeleton\n\n"),
              std::string::npos);
    // Help comes before any set-up: no log file is made.
    EXPECT_EQ(r.out.find("started"), std::string::npos);
}

TEST(gasOptions, VersionLine) {
    gasRunT r = runApp({"--version"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "gas_testapp version 2.7.1 for linux-x86_64\n");
}

} // namespace
