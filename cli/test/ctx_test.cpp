// The parsing context's word and line handling and its history.
#include <gtest/gtest.h>

#include "rux_cli_xface.h"

using namespace rux;

TEST(cliCtxT, WordDecodingDropsQuotesAndAppliesEscapes) {
    EXPECT_EQ(cliCtxT::ctok("a\\tb"), "a\tb");
    EXPECT_EQ(cliCtxT::ctok("\"a b\""), "a b");
    EXPECT_EQ(cliCtxT::ctok("\\a\\b\\f\\n\\r\\t\\v"), "\a\b\f\n\r\t\v");
    EXPECT_EQ(cliCtxT::ctok("\\\"x\\\\"), "\"x\\");
    EXPECT_EQ(cliCtxT::ctok("\\q"), "q");
    EXPECT_EQ(cliCtxT::ctok("end\\"), "end"); // a trailing backslash escapes nothing
    EXPECT_EQ(cliCtxT::ctok("\"\""), "");
}

TEST(cliCtxT, LastWordOfTheLineKeepsQuotedAndEscapedBlanks) {
    cliCtxT c(cliMenuT::create("/", ""));
    EXPECT_EQ(c.popCmdLine(), 0u);
    c.pushCmdLine("set");
    EXPECT_EQ(c.line, "set ");
    EXPECT_EQ(c.popCmdLine(), 0u);
    c.pushCmdLine("label");
    EXPECT_EQ(c.popCmdLine(), 4u);
    c.pushCmdLine("\"a b\"");
    EXPECT_EQ(c.popCmdLine(), 10u);
    c.line = "x a\\ b ";
    EXPECT_EQ(c.popCmdLine(), 2u);
    c.line = "x \"a \\\" b\" ";
    EXPECT_EQ(c.popCmdLine(), 2u);
}

TEST(cliCtxT, HistoryDropsRepeatsAndKeepsTwentyPerMenu) {
    auto root = cliMenuT::create("/", "");
    auto other = cliMenuT::create("o", "");
    cliCtxT c(root);
    c.menu = other;
    c.pushHistory("elsewhere");
    c.menu = root;
    for (int i = 0; i < 25; ++i)
        c.pushHistory("l" + std::to_string(i));
    c.pushHistory("l24");
    c.pushHistory("");
    ASSERT_EQ(c.history.size(), 21u);
    EXPECT_EQ(c.history.front().line, "elsewhere"); // another menu's lines do not count
    EXPECT_EQ(std::next(c.history.begin())->line, "l5");
    EXPECT_EQ(c.history.back().line, "l24");
    EXPECT_TRUE(c.hcursor == c.history.end());
}
