// The command tree: name rules, value matching, help texts, arguments.
#include <gtest/gtest.h>

#include <climits>
#include <sstream>

#include "rux_cli_xface.h"

using namespace rux;

TEST(cliElemT, AddRefusesBadAndDuplicateNames) {
    auto m = cliMenuT::create("m", "");
    EXPECT_TRUE(m->leaf());
    EXPECT_TRUE(m->add(cliCmdT::create("show", "")));
    EXPECT_FALSE(m->add(cliCmdT::create("show", "again")));
    for (const char* bad : {"", "1st", "-x", "..", "a b", "\"q", "\\x", "tab\there", "del\x7f"})
        EXPECT_FALSE(m->add(cliCmdT::create(bad, ""))) << bad;
    EXPECT_FALSE(m->add(nullptr));
    EXPECT_TRUE(m->add(cliCmdT::create("a-1.\"x", ""))); // only the first character is limited
    ASSERT_EQ(m->children()->size(), 2u);
    EXPECT_FALSE(m->leaf());

    auto p = cliParamT::create("p", "");
    EXPECT_TRUE(p->add(cliValINT::range(0, 1)));
    EXPECT_TRUE(p->add(cliValINT::range(5, 9))); // placeholders may repeat
}

TEST(cliElemT, AddAppendsOrPutsInFront) {
    auto m = cliMenuT::create("m", "");
    m->add(cliCmdT::create("b", ""));
    m->add(cliCmdT::create("c", ""));
    m->add(cliMenuT::create("a", ""), false);
    std::string order;
    for (const auto& c : *m->children())
        order += c->name();
    EXPECT_EQ(order, "abc");
}

TEST(cliValT, KeywordMatchesByPrefix) {
    auto v = cliValT::create("on", "");
    EXPECT_EQ(v->match(""), 1);
    EXPECT_EQ(v->match("o"), 1);
    EXPECT_EQ(v->match("on"), 0);
    EXPECT_EQ(v->match("onx"), 2);
    EXPECT_EQ(v->match("x"), 2);
}

TEST(cliValINT, MatchesNumbersInItsRange) {
    auto v = cliValINT::range(0, 100);
    EXPECT_EQ(v->name(), "^integer");
    EXPECT_EQ(v->help(), "[0, 100]");
    EXPECT_TRUE(v->flags() & cliElemT::enTYPED);
    EXPECT_EQ(v->match(""), 1);
    EXPECT_EQ(v->match("-"), 2);
    EXPECT_EQ(v->match("+"), 1);
    EXPECT_EQ(v->match("42"), 0);
    EXPECT_EQ(v->match("+42"), 0);
    EXPECT_EQ(v->match("101"), 2);
    EXPECT_EQ(v->match("4a"), 2);
    EXPECT_EQ(v->match("a"), 2);
    EXPECT_EQ(v->match("4-"), 2);

    auto s = cliValINT::range(-5, 5);
    EXPECT_EQ(s->help(), "[-5, 5]");
    EXPECT_EQ(s->match("-"), 1);
    EXPECT_EQ(s->match("-5"), 0);
    EXPECT_EQ(s->match("-6"), 2);
    EXPECT_EQ(s->match("-0"), 0);
}

TEST(cliValINT, OutOfRangeNumbersThatMoreDigitsCanReachArePrefixes) {
    auto v = cliValINT::range(10, 100);
    EXPECT_EQ(v->match("5"), 1);
    EXPECT_EQ(v->match("50"), 0);
    EXPECT_EQ(v->match("500"), 2);
    auto n = cliValINT::range(-100, -10);
    EXPECT_EQ(n->match("-5"), 1);
    EXPECT_EQ(n->match("-50"), 0);
    EXPECT_EQ(n->match("-500"), 2);
    EXPECT_EQ(n->match("5"), 2);
}

TEST(cliValINT, SixtyFourBitLimits) {
    auto v = cliValINT::range(LLONG_MIN, LLONG_MAX);
    EXPECT_EQ(v->help(), "[-9223372036854775808, 9223372036854775807]");
    EXPECT_EQ(v->match("9223372036854775807"), 0);
    EXPECT_EQ(v->match("-9223372036854775808"), 0);
    // Beyond 64 bits no more digits can help.
    EXPECT_EQ(v->match("9223372036854775808"), 2);
    EXPECT_EQ(v->match("-9223372036854775809"), 2);
    EXPECT_EQ(v->match(std::string(40, '9')), 2);
    EXPECT_EQ(v->match("000000000000000000000000000000001"), 0);
}

TEST(cliValSTR, MatchesByLength) {
    auto v = cliValSTR::create(2, 4);
    EXPECT_EQ(v->name(), "^string");
    EXPECT_EQ(v->help(), "[2, 4]");
    EXPECT_EQ(v->match("a"), 1);
    EXPECT_EQ(v->match("abc"), 0);
    EXPECT_EQ(v->match("abcd"), 0);
    EXPECT_EQ(v->match("abcde"), 2);
    EXPECT_EQ(cliValSTR::create(0, 4294967295u)->help(), "[*]");
    EXPECT_EQ(cliValSTR::create(0, 10)->help(), "[0, 10]");
}

TEST(cliParamT, MatchIsTheBestOverItsValues) {
    auto p = cliParamT::create("p", "");
    EXPECT_EQ(p->match("x"), 2); // a flag takes no value
    p->add(cliValT::create("auto", ""));
    p->add(cliValINT::range(0, 9));
    EXPECT_EQ(p->match("au"), 1);
    EXPECT_EQ(p->match("7"), 0);
    EXPECT_EQ(p->match("auto"), 0);
    EXPECT_EQ(p->match("x"), 2);
}

TEST(cliCmdT, DefaultActionSaysNotImplemented) {
    auto c = cliCmdT::create("reset", "");
    std::ostringstream os;
    auto t = cliVT100TermT::create(os);
    cliArgsT a;
    a.set(0, ".", "reset");
    c->action()->exec(a, t);
    EXPECT_EQ(os.str(), "error: command \"reset\" not implemented!");
    c->action(nullptr);
    EXPECT_FALSE(c->action());
}

TEST(cliActionT, RunsItsCallableAndOwnsIt) {
    auto token = std::make_shared<int>(0);
    std::weak_ptr<int> watch = token;
    {
        auto a = cliActionT::create(
            [token](const cliArgsT& args, std::shared_ptr<cliOutputT>) { *token = args.argc(); });
        token.reset();
        cliArgsT args;
        args.set(0, ".", "x");
        args.set(1, "y", "1");
        a->exec(args, nullptr);
        EXPECT_EQ(*watch.lock(), 2);
    }
    EXPECT_TRUE(watch.expired());
}

TEST(cliArgsT, PositionsGrowAndStayUnsetUntilGiven) {
    cliArgsT a;
    a.set(2, "speed", "10");
    EXPECT_EQ(a.argc(), 1);
    EXPECT_FALSE(a.set(0));
    EXPECT_FALSE(a.set(1));
    EXPECT_TRUE(a.set(2));
    EXPECT_FALSE(a.set(3));
    EXPECT_FALSE(a.set(-1));
    EXPECT_TRUE(a.set("speed"));
    EXPECT_EQ(a[2], "10");
    EXPECT_EQ(a["speed"], "10");
    EXPECT_EQ(a.name(2), "speed");
    EXPECT_EQ(a.name(1), "");
    try {
        (void)a[1];
        FAIL() << "no error";
    } catch (const cliArgsT::errorT& e) {
        EXPECT_EQ(e.code(), cliArgsT::enMISSING);
    }
    EXPECT_THROW((void)a["other"], cliArgsT::errorT);
    std::string v = "keep";
    EXPECT_FALSE(a.get(1, v));
    EXPECT_FALSE(a.get("other", v));
    EXPECT_EQ(v, "keep");
    EXPECT_TRUE(a.get("speed", v));
    EXPECT_EQ(v, "10");
}

TEST(cliArgsT, ConflictingAssignmentsThrow) {
    cliArgsT a;
    a.set(1, "speed", "10");
    a.set(1, "speed", "20"); // same name: replaced
    EXPECT_EQ(a[1], "20");
    try {
        a.set(2, "speed", "30");
        FAIL() << "no error";
    } catch (const cliArgsT::errorT& e) {
        EXPECT_EQ(e.code(), cliArgsT::enCONFLICT);
    }
    EXPECT_THROW(a.set(1, "mode", "x"), cliArgsT::errorT);
    EXPECT_EQ(a[1], "20");
    EXPECT_THROW(a.set(-1, "x", ""), std::invalid_argument);
}

TEST(cliArgsT, RemoveKeepsTheOthersAtTheirPositions) {
    cliArgsT a;
    a.set(0, ".", "cmd");
    a.set(1, "speed", "10");
    a.set(2, "mode", "on");
    a.remove("speed");
    EXPECT_FALSE(a.set("speed"));
    EXPECT_FALSE(a.set(1));
    EXPECT_EQ(a[2], "on");
    EXPECT_EQ(a.argc(), 2);
    a.remove(2);
    EXPECT_FALSE(a.set(2));
    a.set(1, "speed", "5"); // a removed position can be given again
    EXPECT_EQ(a[1], "5");
    a.clear();
    EXPECT_EQ(a.argc(), 0);
}
