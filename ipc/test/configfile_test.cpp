#include "ipc/configfile.h"

#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

namespace {

struct parsedT {
    bool ok;
    std::string diag;
};

parsedT parse(configFileT& cfg, const std::string& text, const std::string& name = "t.cfg") {
    std::istringstream in(text);
    std::ostringstream diag;
    cfg.diagStream(diag);
    bool ok = cfg.load(in, name);
    return {ok, diag.str()};
}

std::vector<std::string> items(const configFileT& cfg, const std::string& sec,
                               const std::string& key) {
    return cfg.section(sec).get(key);
}

} // namespace

TEST(ConfigFileT, ReadsSectionsKeysAndTrimmedItems) {
    configFileT cfg;
    auto r = parse(cfg, "  # leading comment\n"
                        "\n"
                        "[alpha]\n"
                        "  KEY =  one ,two,  three  \n"
                        "\tOTHER=x\n"
                        "[beta]\n"
                        "K = v\n");
    ASSERT_TRUE(r.ok) << r.diag;
    EXPECT_EQ(r.diag, "");
    ASSERT_EQ(cfg.sections().size(), 2u);
    EXPECT_EQ(items(cfg, "alpha", "KEY"), (std::vector<std::string>{"one", "two", "three"}));
    EXPECT_EQ(items(cfg, "alpha", "OTHER"), std::vector<std::string>{"x"});
    EXPECT_EQ(items(cfg, "beta", "K"), std::vector<std::string>{"v"});
    EXPECT_EQ(cfg.section("alpha").get("KEY").str(), "one, two, three");
}

TEST(ConfigFileT, KeepsEmptyItemsAndValues) {
    configFileT cfg;
    auto r = parse(cfg, "[s]\nA = , x,,\nB =\nC = a = b\n");
    ASSERT_TRUE(r.ok) << r.diag;
    EXPECT_EQ(items(cfg, "s", "A"), (std::vector<std::string>{"", "x", "", ""}));
    EXPECT_EQ(items(cfg, "s", "B"), std::vector<std::string>{""});
    // Only the first "=" separates key and value.
    EXPECT_EQ(items(cfg, "s", "C"), std::vector<std::string>{"a = b"});
    EXPECT_EQ(std::string(cfg.section("s").get("A")), ", x, , ");
}

TEST(ConfigFileT, CommentsAreWholeLinesOnly) {
    configFileT cfg;
    auto r = parse(cfg, "[s]\n   # KEY = ignored\nKEY = a # not a comment\n");
    ASSERT_TRUE(r.ok) << r.diag;
    EXPECT_EQ(cfg.section("s").size(), 1u);
    EXPECT_EQ(items(cfg, "s", "KEY"), std::vector<std::string>{"a # not a comment"});
}

TEST(ConfigFileT, SectionNameRunsToLastBracket) {
    configFileT cfg;
    auto r = parse(cfg, "[a]b] tail\nK=v\n[]\n");
    ASSERT_TRUE(r.ok) << r.diag;
    EXPECT_TRUE(cfg.hasSection("a]b"));
    EXPECT_TRUE(cfg.hasSection(""));
    EXPECT_EQ(items(cfg, "a]b", "K"), std::vector<std::string>{"v"});
}

TEST(ConfigFileT, NamesAreCaseSensitive) {
    configFileT cfg;
    auto r = parse(cfg, "[s]\nkey = 1\nKEY = 2\n[S]\n");
    ASSERT_TRUE(r.ok) << r.diag;
    EXPECT_EQ(cfg.sections().size(), 2u);
    EXPECT_EQ(cfg.section("s").size(), 2u);
}

TEST(ConfigFileT, ReportsSyntaxErrorsWithLineNumbers) {
    struct caseT {
        const char* text;
        const char* diag;
    } cases[] = {
        {"[s]\n[broken\n", "parse error at t.cfg:2, expected ']'\n"},
        {"[s]\n\n  no equals sign\n", "parse error at t.cfg:3, expected '='\n"},
        {"# c\nK = v\n", "caught exception at t.cfg:2, reason: no such section\n"},
        {"[s]\n[t]\n[s]\n",
         "caught exception at t.cfg:3, reason: specified key alredy exists in the map\n"},
        {"[s]\nK = 1\nK = 2\n",
         "caught exception at t.cfg:3, reason: specified key alredy exists in the map\n"},
    };
    for (const auto& c : cases) {
        configFileT cfg;
        auto r = parse(cfg, c.text);
        EXPECT_FALSE(r.ok) << c.text;
        EXPECT_EQ(r.diag, c.diag) << c.text;
        // A failed load leaves nothing half-read behind.
        EXPECT_TRUE(cfg.sections().empty()) << c.text;
    }
}

TEST(ConfigFileT, LastLineMustEndWithNewline) {
    configFileT cfg;
    auto r = parse(cfg, "[s]\nLOG_LEV = INFO");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.diag, "parse error at t.cfg:2, expected newline at eof\n");

    r = parse(cfg, "[s]\nLOG_LEV = INFO\n");
    EXPECT_TRUE(r.ok) << r.diag;
    r = parse(cfg, "");
    EXPECT_TRUE(r.ok) << r.diag;
    EXPECT_TRUE(cfg.sections().empty());
}

TEST(ConfigFileT, LongLineEndsTheLoad) {
    std::string at = "K = " + std::string(configFileT::maxLine - 4, 'x');
    ASSERT_EQ(at.size(), 511u);
    configFileT cfg;
    auto r = parse(cfg, "[s]\n" + at + "\n");
    ASSERT_TRUE(r.ok) << r.diag;
    EXPECT_EQ(items(cfg, "s", "K")[0].size(), 507u);

    // Longer: an error, and the rest of the line is never read as a line of its
    // own (split after 511 characters it would be a comment and then a key line).
    std::string over = "#" + std::string(510, 'c') + "X=1";
    r = parse(cfg, "[s]\n" + over + "\nY = 2\n");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.diag, "parse error at t.cfg:2, line longer than 511 characters\n");
    EXPECT_TRUE(cfg.sections().empty());

    // A huge line without any newline stops at the limit as well.
    r = parse(cfg, "[s]\n" + std::string(1 << 20, 'a'));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.diag, "parse error at t.cfg:2, line longer than 511 characters\n");
}

TEST(ConfigFileT, LoadReplacesEarlierContents) {
    configFileT cfg;
    ASSERT_TRUE(parse(cfg, "[a]\n").ok);
    ASSERT_TRUE(parse(cfg, "[b]\n").ok);
    EXPECT_FALSE(cfg.hasSection("a"));
    EXPECT_TRUE(cfg.hasSection("b"));
}

TEST(ConfigFileT, UnopenableFileFailsSilently) {
    char dir[] = "/tmp/rux_cfgfile_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::ostringstream diag;
    configFileT cfg;
    cfg.diagStream(diag);
    EXPECT_FALSE(cfg.load(std::string(dir) + "/missing.cfg"));
    EXPECT_FALSE(cfg.load(dir)); // a directory is no configuration file
    EXPECT_EQ(diag.str(), "");

    std::string path = std::string(dir) + "/ok.cfg";
    std::ofstream(path) << "[s]\nK = v\n";
    EXPECT_TRUE(cfg.load(path));
    EXPECT_EQ(items(cfg, "s", "K"), std::vector<std::string>{"v"});
    std::ofstream(path) << "[s]\nK\n";
    EXPECT_FALSE(cfg.load(path));
    EXPECT_EQ(diag.str(), "parse error at " + path + ":2, expected '='\n");
    unlink(path.c_str());
    rmdir(dir);
}

TEST(CmapT, CheckedLookupAndInsertThrowCodedExceptions) {
    configFileT cfg;
    ASSERT_TRUE(parse(cfg, "[s]\nK = v\n").ok);
    try {
        cfg.section("nope");
        FAIL() << "no exception";
    } catch (const cfgp::exceptionT& e) {
        EXPECT_EQ(e.code, 4);
        EXPECT_EQ(e.text, "no such section");
        EXPECT_STREQ(e.what(), "no such section");
    }
    try {
        cfg.section("s").get("NOPE");
        FAIL() << "no exception";
    } catch (const cfgp::exceptionT& e) {
        EXPECT_EQ(e.code, 3);
        EXPECT_EQ(e.text, "no such keyword");
    }
    configFileT::sectionT sec;
    sec.add("K", configFileT::valueT());
    try {
        sec.add("K", configFileT::valueT());
        FAIL() << "no exception";
    } catch (const cfgp::exceptionT& e) {
        EXPECT_EQ(e.code, 1);
        EXPECT_EQ(e.text, "specified key alredy exists in the map");
    }
}
