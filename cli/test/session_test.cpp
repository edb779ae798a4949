// Sessions driven key by key over a small tree: what reaches the actions and
// the exact bytes on the terminal.
#include <gtest/gtest.h>

#include "cli_rig.h"

using namespace clitest;

namespace {

const std::string kRootList = "\r\n"
                              "\tshow \t\tshow state\r\n"
                              "\tset  \t\tchange settings\r\n"
                              "\tping \t\tcheck liveness\r\n"
                              "\tlogin\t\tlog in\r\n"
                              "\techo \t\trepeat a text\r\n"
                              "\tboom \t\tfails\r\n"
                              "\tdrop \t\tdrop a device\r\n";

} // namespace

TEST(cliSessionT, WritesThePromptWhenGivenAnOutput) {
    rigT r;
    EXPECT_EQ(r.out(), P("/"));
    EXPECT_FALSE(r.s->setOutput(nullptr));
    EXPECT_EQ(r.out(), "");
}

TEST(cliSessionTDeathTest, NeedsARootMenu) {
    EXPECT_DEATH(cliSessionT(nullptr), "root menu");
}

TEST(cliSessionT, GuidedTypingRefusesWhatNoChoiceCanBecome) {
    rigT r;
    r.out();
    EXPECT_FALSE(r.s->chr('x'));
    EXPECT_EQ(r.out(), ""); // not echoed
    EXPECT_TRUE(r.s->chr('s'));
    EXPECT_TRUE(r.s->chr('h'));
    EXPECT_EQ(r.out(), E("sh"));
    EXPECT_EQ(r.typed(), "sh");
    EXPECT_FALSE(r.s->chr('e'));
    EXPECT_FALSE(r.s->chr('\t')); // controls never enter the word
    EXPECT_EQ(r.typed(), "sh");
}

TEST(cliSessionT, GuidedTypingListsTheChoicesAfterTwoRefusals) {
    rigT r;
    r.out();
    r.keys("x");
    EXPECT_EQ(r.out(), "");
    r.keys("x");
    EXPECT_EQ(r.out(), kRootList + P("/"));
    // Every further refusal in the run lists again.
    r.keys("x");
    EXPECT_EQ(r.out(), kRootList + P("/"));
    // An accepted key in between starts counting again.
    r.keys("px");
    EXPECT_EQ(r.out(), E("p"));
    r.keys("x");
    EXPECT_EQ(r.out(), "\r\n\tping\t\tcheck liveness\r\n" + P("/") + "p");
}

TEST(cliSessionT, HelpListsVisibleChoicesPaddedToTheLongestName) {
    rigT r;
    r.out();
    r.keys("?");
    EXPECT_EQ(r.out(), kRootList + P("/"));
    r.keys("se?");
    EXPECT_EQ(r.out(), E("se") + "\r\n\tset\t\tchange settings\r\n" + P("/") + "se");
}

TEST(cliSessionT, HelpOffersEnterWhenTheWordNamesWhatEnterAccepts) {
    rigT r;
    r.keys("ping");
    r.out();
    r.keys("?");
    EXPECT_EQ(r.out(),
              "\r\n\tping\t\tcheck liveness\r\n\t<cr>\t\tenter menu/command\r\n" + P("/") + "ping");
    // login cannot run without its user: no <cr>.
    r.keys("\x03login");
    r.out();
    r.keys("?");
    EXPECT_EQ(r.out(), "\r\n\tlogin\t\tlog in\r\n" + P("/") + "login");
}

TEST(cliSessionT, HelpInACommandListsPendingValuesOrElseTheRemainingOptions) {
    rigT r;
    r.keys("show ");
    r.out();
    r.keys("?");
    EXPECT_EQ(r.out(), "\r\n"
                       "\t[what]\tall  \t\teverything\r\n"
                       "\t[what]\tbrief\t\tsummary only\r\n"
                       "\t<cr>\t\tenter menu/command\r\n" +
                           P("/") + "show ");
    // Typed values show their placeholder and range.
    r.keys("\x03set speed ");
    r.out();
    r.keys("?");
    EXPECT_EQ(r.out(), "\r\n"
                       "\t[value]\tinteger\t\t[0, 100]\r\n"
                       "\t<cr>\t\tenter menu/command\r\n" +
                           P("/") + "set speed ");
    // With the value given only a flag remains: it is listed as an option.
    r.keys("5 ");
    r.out();
    r.keys("?");
    EXPECT_EQ(r.out(), "\r\n\t-force\t\tskip checks\r\n\t<cr>\t\tenter menu/command\r\n" + P("/") +
                           "set speed 5 ");
    // Naming a parameter lists the names that are left.
    r.keys("\x03set speed -");
    r.out();
    r.keys("?");
    EXPECT_EQ(r.out(), "\r\n"
                       "\t-value\t\tnew speed\r\n"
                       "\t-force\t\tskip checks\r\n" +
                           P("/") + "set speed -");
}

TEST(cliSessionT, TwoRefusalsInACommandListOnlyThePendingValues) {
    rigT r;
    r.keys("set speed ");
    r.out();
    r.keys("xx");
    EXPECT_EQ(r.out(), "\r\n"
                       "\t[value]\tinteger\t\t[0, 100]\r\n"
                       "\t<cr>\t\tenter menu/command\r\n" +
                           P("/") + "set speed ");
}

TEST(cliSessionT, CompletionTypesSharedCharactersAndMovesPastAUniqueChoice) {
    rigT r;
    r.keys("sh");
    r.out();
    r.keys("\t");
    EXPECT_EQ(r.out(), E("ow") + " ");
    EXPECT_EQ(r.typed(), "show ");
    r.keys("b\t\r");
    ASSERT_EQ(r.calls.size(), 1u);
    EXPECT_EQ(r.calls[0]["what"], "brief");
}

TEST(cliSessionT, CompletionStopsWhereChoicesDivergeAndIsRefusedWhenNothingIsTyped) {
    rigT r;
    r.keys("s");
    // show, set and the hidden secret part after the s.
    EXPECT_FALSE(r.s->complete());
    EXPECT_EQ(r.typed(), "s");
    r.keys("\x03pi");
    EXPECT_TRUE(r.s->complete()); // ping has no parameters: no blank after it
    EXPECT_EQ(r.typed(), "ping");
    EXPECT_FALSE(r.s->complete());
}

TEST(cliSessionT, CompletionOfferesOptionNamesWithTheirDash) {
    rigT r;
    r.keys("set speed -f\t");
    EXPECT_EQ(r.typed(), "set speed -force ");
    // What is pending now is an integer: nothing to complete.
    EXPECT_FALSE(r.s->complete());
    EXPECT_EQ(r.typed(), "set speed -force ");
    r.keys("-\t7\r");
    ASSERT_EQ(r.calls.size(), 1u);
    EXPECT_EQ(r.calls[0]["value"], "7");
    EXPECT_TRUE(r.calls[0].set("force"));
}

TEST(cliSessionT, DotsLeadBackToTheParentMenu) {
    rigT r;
    r.out();
    EXPECT_FALSE(r.s->chr('.')); // not in the root
    r.keys("set\r");
    EXPECT_EQ(r.out(), E("set") + "\r\n" + P("set"));
    r.keys("...");
    EXPECT_EQ(r.out(), E("..")); // a third dot is refused
    r.keys("\r");
    EXPECT_EQ(r.out(), "\r\n" + P("/"));
    r.keys("ping\r");
    EXPECT_EQ(r.calls.size(), 1u);
}

TEST(cliSessionT, MenusNamedOnTheLineAreEnteredOrPassedThrough) {
    rigT r;
    r.keys("set speed 9\r");
    ASSERT_EQ(r.calls.size(), 1u);
    EXPECT_EQ(r.calls[0][1], "9");
    r.out();
    r.keys("set \r"); // Enter after the blank enters the menu
    EXPECT_EQ(r.out(), E("set") + " \r\n" + P("set"));
}

TEST(cliSessionT, EnterRunsACommandWithoutParameters) {
    rigT r;
    r.keys("ping");
    r.out();
    EXPECT_FALSE(r.s->sep()); // nothing can follow ping
    r.keys("\r");
    ASSERT_EQ(r.calls.size(), 1u);
    EXPECT_EQ(r.calls[0].name(0), ".");
    EXPECT_EQ(r.calls[0][0], "ping");
    EXPECT_EQ(r.calls[0].argc(), 1);
    EXPECT_EQ(r.out(), "\r\n\33[Jpong\r\n\r\n" + P("/"));
    r.keys("show\r");
    EXPECT_EQ(r.out(), E("show") + "\r\n\33[J\r\n" + P("/"));
}

TEST(cliSessionT, ACommandWithoutActionSaysNotImplemented) {
    rigT r;
    r.keys("set\r");
    r.out();
    r.keys("reset\r");
    EXPECT_EQ(r.out(),
              E("reset") + "\r\n\33[Jerror: command \"reset\" not implemented!\r\n" + P("set"));
}

TEST(cliSessionT, ParametersByPositionAndByNameGiveTheSameArguments) {
    rigT r;
    r.keys("set\rspeed 50\rspeed -value 50\r");
    ASSERT_EQ(r.calls.size(), 2u);
    for (const auto& a : r.calls) {
        EXPECT_EQ(a.argc(), 2);
        EXPECT_EQ(a.name(0), ".");
        EXPECT_EQ(a[0], "speed");
        EXPECT_EQ(a.name(1), "value");
        EXPECT_EQ(a[1], "50");
    }
}

TEST(cliSessionT, FlagsAreRecordedAtTheirPositionWithAnEmptyValue) {
    rigT r;
    r.keys("set\rspeed -force 20\rspeed 30 -force\r");
    ASSERT_EQ(r.calls.size(), 2u);
    EXPECT_EQ(r.calls[0][1], "20");
    EXPECT_EQ(r.calls[0].name(2), "force");
    EXPECT_EQ(r.calls[0][2], "");
    EXPECT_EQ(r.calls[1][1], "30");
    EXPECT_EQ(r.calls[1].name(2), "force");
    // A given parameter is not offered again.
    r.keys("speed -force -");
    EXPECT_EQ(r.typed(), "speed -force -");
    EXPECT_FALSE(r.s->chr('f'));
}

TEST(cliSessionT, ValuesOutsideTheirRangeAreRefused) {
    rigT r;
    r.keys("set\rspeed 10");
    EXPECT_FALSE(r.s->chr('1'));
    EXPECT_EQ(r.typed(), "speed 10");
    r.keys("\x03speed ");
    EXPECT_FALSE(r.s->chr('x'));
    // 5 is below 10 but 50 is not: the digit is taken, Enter is not.
    r.keys("\x03level 5");
    EXPECT_EQ(r.typed(), "level 5");
    EXPECT_FALSE(r.s->ok());
    r.keys("0\r");
    ASSERT_EQ(r.calls.size(), 1u);
    EXPECT_EQ(r.calls[0]["n"], "50");
}

TEST(cliSessionT, DashBeforeADigitIsANegativeValueOtherwiseAName) {
    rigT r;
    r.keys("set\rtrim -");
    r.out();
    r.keys("5\r");
    EXPECT_EQ(r.out(), E("5") + "\r\n\33[J\r\n" + P("set"));
    r.keys("trim -v\t\r");
    r.keys("trim -verbose -3\r");
    ASSERT_EQ(r.calls.size(), 3u);
    EXPECT_EQ(r.calls[0]["delta"], "-5");
    EXPECT_FALSE(r.calls[0].set("verbose"));
    EXPECT_TRUE(r.calls[1].set("verbose"));
    EXPECT_FALSE(r.calls[1].set("delta"));
    EXPECT_EQ(r.calls[2]["delta"], "-3");
    // -11 is out of range and no parameter name starts with a digit.
    r.keys("trim -1");
    EXPECT_FALSE(r.s->chr('1'));
    // Where no value may be negative the dash is a name at once.
    r.keys("\x03speed -");
    EXPECT_FALSE(r.s->chr('5'));
}

TEST(cliSessionT, QuotesKeepBlanksAndBackslashesEscape) {
    rigT r;
    r.keys("set\rlabel \"a b\"\r");
    r.keys("label a\\tb\r");
    r.keys("label a\\ b\r");
    r.keys("label \"x\\\"y\" \r");
    ASSERT_EQ(r.calls.size(), 4u);
    EXPECT_EQ(r.calls[0]["text"], "a b");
    EXPECT_EQ(r.calls[1]["text"], "a\tb");
    EXPECT_EQ(r.calls[2]["text"], "a b");
    EXPECT_EQ(r.calls[3]["text"], "x\"y");
    // The length counts decoded characters: eight, then no more.
    r.keys("label \"abcd efg\"");
    EXPECT_FALSE(r.s->chr('h'));
    r.keys("\x03label abcdefgh");
    EXPECT_FALSE(r.s->chr('i'));
}

TEST(cliSessionT, EmptyValuesAreTypedAsEmptyQuotes) {
    rigT r;
    r.keys("echo ");
    EXPECT_FALSE(r.s->sep());
    r.keys("\"\"\r");
    ASSERT_EQ(r.calls.size(), 1u);
    EXPECT_TRUE(r.calls[0].set("text"));
    EXPECT_EQ(r.calls[0]["text"], "");
}

TEST(cliSessionT, RequiredParameterMustBeGivenBeforeTheCommandRuns) {
    rigT r;
    r.keys("login");
    r.out();
    EXPECT_FALSE(r.s->ok());
    EXPECT_EQ(r.out(), "");
    EXPECT_EQ(r.typed(), "login");
    r.keys(" bob\r");
    ASSERT_EQ(r.calls.size(), 1u);
    EXPECT_EQ(r.calls[0]["user"], "bob");
}

TEST(cliSessionT, HistoryRecallsTheNewestTwentyLinesOfTheMenu) {
    rigT r;
    r.keys("set\r");
    for (int i = 0; i <= 20; ++i)
        r.keys("speed " + std::to_string(i) + "\r");
    r.out();
    r.keys("\33[A");
    EXPECT_EQ(r.typed(), "speed 20");
    EXPECT_EQ(r.out(), P("set") + E("speed") + " " + E("20"));
    for (int i = 0; i < 19; ++i)
        r.keys("\33[A");
    EXPECT_EQ(r.typed(), "speed 1");
    r.keys("\33[A"); // speed 0 was dropped
    EXPECT_EQ(r.typed(), "speed 1");
    r.keys("\33[B");
    EXPECT_EQ(r.typed(), "speed 2");
    r.keys("\r");
    EXPECT_EQ(r.calls.back()["value"], "2");
}

TEST(cliSessionT, HistorySkipsLinesTypedInOtherMenus) {
    rigT r;
    r.keys("ping\rset\rspeed 5\r..\r");
    r.keys("\33[A");
    EXPECT_EQ(r.typed(), "ping");
    r.keys("\33[A");
    EXPECT_EQ(r.typed(), "ping");
    // A repeated line moves to the newest place instead of doubling.
    r.keys("\x03show\rping\rshow\r\33[A\33[A");
    EXPECT_EQ(r.typed(), "ping");
    r.keys("\33[A");
    EXPECT_EQ(r.typed(), "ping");
}

TEST(cliSessionT, DownPastTheNewestLineLeavesAnEmptyLine) {
    rigT r;
    r.keys("ping\rshow\r");
    r.keys("\33[B"); // not browsing: the arrow changes nothing
    EXPECT_EQ(r.typed(), "");
    r.keys("sh\33[B");
    EXPECT_EQ(r.typed(), "sh");
    r.keys("\33[A\33[A");
    EXPECT_EQ(r.typed(), "ping");
    r.keys("\33[B");
    EXPECT_EQ(r.typed(), "show");
    r.out();
    r.keys("\33[B");
    EXPECT_EQ(r.typed(), "");
    EXPECT_EQ(r.out(), P("/"));
}

TEST(cliSessionT, BackspaceReplaysTheLineWithoutItsLastCharacter) {
    rigT r;
    r.keys("pin");
    r.out();
    r.keys("\x7f");
    EXPECT_EQ(r.out(), "\33[D\33[K"); // the replay is silent
    EXPECT_EQ(r.typed(), "pi");
    r.keys("ng\r");
    ASSERT_EQ(r.calls.size(), 1u);
    // Rebuilt arguments: a value typed and taken back is gone.
    r.keys("set\rspeed 5 -force\x7f\x7f\x7f\x7f\x7f\x7f\x7f\x7f");
    EXPECT_EQ(r.typed(), "speed ");
    r.keys("-force 6\r");
    EXPECT_EQ(r.calls.back()["value"], "6");
}

TEST(cliSessionT, BackspaceAfterTheBlankThatEnteredACommandReturnsToItsName) {
    rigT r;
    r.keys("show ");
    r.out();
    r.keys("\x7f");
    EXPECT_EQ(r.out(), "\33[D\33[K");
    EXPECT_EQ(r.typed(), "show");
    r.keys("\r");
    ASSERT_EQ(r.calls.size(), 1u);
    EXPECT_FALSE(r.calls[0].set("what"));
}

TEST(cliSessionT, EnterOnAnEmptyLineIsRefusedAndASecondOneLists) {
    rigT r;
    r.keys("set\r");
    r.out();
    EXPECT_FALSE(r.s->ok());
    EXPECT_EQ(r.out(), "");
    EXPECT_FALSE(r.s->ok());
    EXPECT_NE(r.out().find("\tspeed"), std::string::npos);
    EXPECT_TRUE(r.calls.empty());
}

TEST(cliSessionT, BackspaceOnAnEmptyLineIsRefused) {
    rigT r;
    r.keys("set\r");
    r.out();
    EXPECT_FALSE(r.s->del()); // the menu's name is not typed text
    EXPECT_EQ(r.out(), "");
}

TEST(cliSessionT, CtrlCAbandonsTheLine) {
    rigT r;
    r.keys("set speed 5");
    r.out();
    r.keys("\x03");
    EXPECT_EQ(r.out(), "\r\n" + P("/"));
    EXPECT_EQ(r.typed(), "");
    r.keys("set\rspeed\r");
    ASSERT_EQ(r.calls.size(), 1u);
    EXPECT_FALSE(r.calls[0].set(1)); // nothing left from the abandoned line
}

TEST(cliSessionT, AnActionThatThrowsIsReportedAndTheSessionGoesOn) {
    rigT r;
    r.keys("boom");
    r.out();
    r.keys("\r");
    EXPECT_EQ(r.out(), "\r\n\33[Jerror: boom\r\n\r\n" + P("/"));
    r.keys("ping\r");
    EXPECT_EQ(r.calls.size(), 1u);
}

TEST(cliSessionT, TheLineIsBounded) {
    rigT r;
    r.keys("echo " + std::string(2 * cliCtxT::maxText, 'a'));
    EXPECT_EQ(r.typed().size(), cliCtxT::maxText);
    r.keys("\r");
    ASSERT_EQ(r.calls.size(), 1u);
    EXPECT_EQ(r.calls[0]["text"].size(), cliCtxT::maxText - 5);
}

TEST(cliSessionT, ValueListsBuiltOnDemandAreAskedAfresh) {
    rigT r;
    r.serials->names = {"A100", "A200"};
    r.keys("drop A\t");
    EXPECT_EQ(r.typed(), "drop A");
    r.out();
    r.keys("?");
    EXPECT_EQ(r.out(), "\r\n\t[snum]\tA100\t\t\r\n\t[snum]\tA200\t\t\r\n" + P("/") + "drop A");
    r.keys("\x03");
    r.serials->names = {"B7"};
    r.keys("drop \t\r");
    ASSERT_EQ(r.calls.size(), 1u);
    EXPECT_EQ(r.calls[0]["snum"], "B7");
}
