#include "ipc/configfile.h"

#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

namespace {

using itemsT = std::vector<std::string>;

// Loads `text`; returns the diagnostics, with `ok` set to the load's result.
std::string parse(configFileT& cfg, const std::string& text, bool& ok) {
    std::istringstream in(text);
    std::ostringstream diag;
    cfg.diagStream(diag);
    ok = cfg.load(in, "t.cfg");
    return diag.str();
}

itemsT items(const configFileT& cfg, const std::string& sec, const std::string& key) {
    return cfg.section(sec).get(key);
}

} // namespace

TEST(ConfigFileT, Grammar) {
    configFileT cfg;
    bool ok;
    std::string diag = parse(cfg,
                             "  # leading comment\n"
                             "\n"
                             "[alpha]\n"
                             "  KEY =  one ,two,  three  \n"
                             "   # KEY = a comment, not a duplicate\n"
                             "\tNOTE = a # not a comment\n"
                             "EMPTY = , x,,\n"
                             "NONE =\n"
                             "EQ = a = b\n"
                             "key = lower case is another key\n"
                             "[a]b] tail\n"
                             "[]\n",
                             ok);
    ASSERT_TRUE(ok) << diag;
    EXPECT_EQ(diag, "");
    EXPECT_EQ(items(cfg, "alpha", "KEY"), (itemsT{"one", "two", "three"}));
    EXPECT_EQ(items(cfg, "alpha", "NOTE"), itemsT{"a # not a comment"});
    EXPECT_EQ(items(cfg, "alpha", "EMPTY"), (itemsT{"", "x", "", ""}));
    EXPECT_EQ(items(cfg, "alpha", "NONE"), itemsT{""});
    EXPECT_EQ(items(cfg, "alpha", "EQ"), itemsT{"a = b"});
    EXPECT_EQ(cfg.section("alpha").size(), 6u);
    EXPECT_EQ(std::string(cfg.section("alpha").get("EMPTY")), ", x, , ");
    // A section name runs to the last "]".
    EXPECT_TRUE(cfg.hasSection("a]b"));
    EXPECT_TRUE(cfg.hasSection(""));
    EXPECT_EQ(cfg.sections().size(), 3u);
}

TEST(ConfigFileT, ErrorsNameFileAndLine) {
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
        {"[s]\nLOG_LEV = INFO", "parse error at t.cfg:2, expected newline at eof\n"},
        // Over 511 characters: an error, never split (split, this would be a
        // comment and then a valid key line).
        {"[s]\n#", "parse error at t.cfg:2, line longer than 511 characters\n"},
    };
    for (const auto& c : cases) {
        std::string text = c.text;
        if (text.back() == '#')
            text += std::string(510, 'c') + "X=1\n";
        configFileT cfg;
        bool ok;
        EXPECT_EQ(parse(cfg, text, ok), c.diag) << c.text;
        EXPECT_FALSE(ok) << c.text;
        EXPECT_TRUE(cfg.sections().empty()) << c.text; // nothing half-read is kept
    }
}

TEST(ConfigFileT, LineLimitsAndFileEnd) {
    configFileT cfg;
    bool ok;
    std::string longest = "K = " + std::string(507, 'x');
    EXPECT_EQ(parse(cfg, "[s]\n" + longest + "\n", ok), "");
    EXPECT_TRUE(ok);
    EXPECT_EQ(items(cfg, "s", "K")[0].size(), 507u);
    // A huge unterminated line stops at the limit, without reading it all in.
    parse(cfg, "[s]\n" + std::string(1 << 20, 'a'), ok);
    EXPECT_FALSE(ok);
    // An empty file and one ending in an empty unterminated line are fine.
    EXPECT_EQ(parse(cfg, "", ok), "");
    EXPECT_TRUE(ok);
    EXPECT_EQ(parse(cfg, "[b]\n", ok), "");
    EXPECT_TRUE(ok);
    EXPECT_EQ(cfg.sections().size(), 1u); // a load replaces the earlier contents
}

TEST(ConfigFileT, FilesThatCannotBeOpenedFailSilently) {
    char dir[] = "/tmp/rux_cfgfile_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::ostringstream diag;
    configFileT cfg;
    cfg.diagStream(diag);
    EXPECT_FALSE(cfg.load(std::string(dir) + "/missing.cfg"));
    EXPECT_FALSE(cfg.load(dir)); // a directory is no configuration file
    EXPECT_EQ(diag.str(), "");

    std::string path = std::string(dir) + "/bad.cfg";
    std::ofstream(path) << "[s]\nK\n";
    EXPECT_FALSE(cfg.load(path));
    EXPECT_EQ(diag.str(), "parse error at " + path + ":2, expected '='\n");
    unlink(path.c_str());
    rmdir(dir);
}

TEST(CmapT, CheckedOperationsThrowCodedExceptions) {
    configFileT::sectionMapT sections;
    configFileT::sectionT& sec = sections.add("s", configFileT::sectionT());
    sec.add("K", configFileT::valueT());
    auto expectThrow = [](auto op, int code, const char* text) {
        try {
            op();
            ADD_FAILURE() << "no exception for " << text;
        } catch (const cfgp::exceptionT& e) {
            EXPECT_EQ(e.code, code);
            EXPECT_EQ(e.text, text);
            EXPECT_STREQ(e.what(), text);
        }
    };
    expectThrow([&] { sections.get("nope"); }, 4, "no such section");
    expectThrow([&] { sec.get("NOPE"); }, 3, "no such keyword");
    expectThrow([&] { sec.add("K", configFileT::valueT()); }, 1,
                "specified key alredy exists in the map");
}
