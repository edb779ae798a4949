#include "rux_proto_xface.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using bytesT = std::vector<unsigned char>;
using rux::telnetSrvSessionT;

constexpr unsigned char IAC = 255, SB = 250, SE = 240, WILL = 251, WONT = 252, DO = 253, DONT = 254;

// Records what the session delivers and sends; each hook can be told to fail.
class recorderT : public telnetSrvSessionT {
public:
    bool feed(const bytesT& b) { return tn_feed(b.data(), static_cast<int>(b.size())); }
    bool feed(const std::string& s) {
        return tn_feed(reinterpret_cast<const unsigned char*>(s.data()),
                       static_cast<int>(s.size()));
    }
    // Feeds one byte at a time, the way the console terminal does.
    bool feedEach(const bytesT& b) {
        for (unsigned char c : b)
            if (!tn_feed(&c, 1))
                return false;
        return true;
    }
    bytesT takeOut() {
        bytesT r;
        r.swap(out);
        return r;
    }

    std::vector<std::string> texts;
    bytesT out;
    int readyCalls = 0;
    bool inOk = true, outOk = true, readyOk = true;

protected:
    bool _tn_ready() override {
        ++readyCalls;
        return readyOk;
    }
    bool _tn_in(const std::string& text) override {
        texts.push_back(text);
        return inOk;
    }
    bool _tn_out(const unsigned char* data, int len) override {
        out.insert(out.end(), data, data + len);
        return outOk;
    }
};

bytesT sbTermType(const std::string& name) {
    bytesT b{IAC, SB, 24, 0};
    for (char c : name)
        b.push_back(static_cast<unsigned char>(c));
    b.push_back(IAC);
    b.push_back(SE);
    return b;
}

const bytesT ttypeSend{IAC, SB, 24, 1, IAC, SE};

TEST(telnetSrvSessionT, OpensWithSuppressGoAheadTerminalTypeAndEcho) {
    recorderT s;
    EXPECT_TRUE(s.tn_init());
    EXPECT_EQ(s.out, (bytesT{IAC, WILL, 3, IAC, DO, 24, IAC, DO, 1}));
    s.out.clear();
    s.outOk = false;
    EXPECT_FALSE(s.tn_init());
}

TEST(telnetSrvSessionT, PlainTextArrivesInOneCallWithNulAsLineFeed) {
    recorderT s;
    EXPECT_TRUE(s.feed(bytesT{'a', 'b', 0, 'c'}));
    ASSERT_EQ(s.texts.size(), 1u);
    EXPECT_EQ(s.texts[0], "ab\nc");
    EXPECT_TRUE(s.out.empty());

    // Text on both sides of a command is delivered together, once.
    EXPECT_TRUE(s.feed(bytesT{'x', IAC, WILL, 3, 'y', '\r', 0}));
    ASSERT_EQ(s.texts.size(), 2u);
    EXPECT_EQ(s.texts[1], "xy\r\n");
    EXPECT_EQ(s.out, (bytesT{IAC, DO, 3}));
}

TEST(telnetSrvSessionT, DoubledIacIsOneDataByte) {
    recorderT s;
    EXPECT_TRUE(s.feed(bytesT{'a', IAC, IAC, 'b'}));
    ASSERT_EQ(s.texts.size(), 1u);
    EXPECT_EQ(s.texts[0], std::string("a\xff"
                                      "b"));

    // Split across feeds, and followed at once by a real command.
    EXPECT_TRUE(s.feed(bytesT{IAC}));
    EXPECT_EQ(s.texts.size(), 1u);
    EXPECT_TRUE(s.feed(bytesT{IAC, IAC, WILL, 31}));
    ASSERT_EQ(s.texts.size(), 2u);
    EXPECT_EQ(s.texts[1], "\xff");
    EXPECT_EQ(s.out, (bytesT{IAC, DONT, 31}));
}

TEST(telnetSrvSessionT, FeedOfCommandsOnlyDeliversNoText) {
    recorderT s;
    EXPECT_TRUE(s.feed(bytesT{IAC, WILL, 3, IAC, DO, 3, IAC, WONT, 7}));
    EXPECT_TRUE(s.texts.empty());
    EXPECT_TRUE(s.feed(bytesT{}));
    EXPECT_TRUE(s.tn_feed(nullptr, 5));
    EXPECT_TRUE(s.feed(bytesT{'q'}) && s.tn_feed(reinterpret_cast<const unsigned char*>("z"), -1));
    ASSERT_EQ(s.texts.size(), 1u);
    EXPECT_EQ(s.texts[0], "q");
}

TEST(telnetSrvSessionT, CommandSplitAcrossFeedsIsAnsweredWhenComplete) {
    recorderT s;
    EXPECT_TRUE(s.feed(bytesT{IAC}));
    EXPECT_TRUE(s.out.empty());
    EXPECT_TRUE(s.feed(bytesT{WILL, 3}));
    EXPECT_EQ(s.takeOut(), (bytesT{IAC, DO, 3}));

    EXPECT_TRUE(s.feed(bytesT{'a', IAC, DO}));
    EXPECT_TRUE(s.out.empty());
    EXPECT_TRUE(s.feed(bytesT{5, 'b'}));
    EXPECT_EQ(s.takeOut(), (bytesT{IAC, WONT, 5}));
    EXPECT_EQ(s.texts, (std::vector<std::string>{"a", "b"}));

    // A subnegotiation fed byte by byte.
    EXPECT_TRUE(s.feedEach(sbTermType("xterm")));
    EXPECT_EQ(s.takeOut(), ttypeSend);
    EXPECT_EQ(s.tn_termtype(), "XTERM");
    EXPECT_EQ(s.texts.size(), 2u);
}

TEST(telnetSrvSessionT, AnswersEachOfferAndRequestOnce) {
    const bytesT dontAnswer;
    const struct {
        bytesT in, out;
    } cases[] = {
        {{IAC, WILL, 3}, {IAC, DO, 3}},
        {{IAC, DO, 3}, {IAC, WILL, 3}},
        {{IAC, WILL, 24}, ttypeSend},
        {{IAC, WONT, 1}, {IAC, WILL, 1}},
        {{IAC, WILL, 31}, {IAC, DONT, 31}},
        {{IAC, DO, 5}, {IAC, WONT, 5}},
        {{IAC, WILL, 0}, {IAC, DONT, 0}},
        {{IAC, DO, 255}, {IAC, WONT, 255}},
        // Refusals, and the client's echo of our own requests, are not answered.
        {{IAC, WONT, 3}, dontAnswer},
        {{IAC, DONT, 3}, dontAnswer},
        {{IAC, WONT, 24}, dontAnswer},
        {{IAC, DO, 24}, dontAnswer},
        {{IAC, DONT, 24}, dontAnswer},
        {{IAC, WILL, 1}, dontAnswer},
        {{IAC, DO, 1}, dontAnswer},
        {{IAC, DONT, 1}, dontAnswer},
        {{IAC, WONT, 31}, dontAnswer},
        {{IAC, DONT, 5}, dontAnswer},
    };
    for (const auto& c : cases) {
        recorderT s;
        EXPECT_TRUE(s.feed(c.in));
        EXPECT_EQ(s.out, c.out) << int(c.in[1]) << " " << int(c.in[2]);
        EXPECT_TRUE(s.texts.empty());
        // Only the reply to WONT ECHO tells the owner the terminal is set up.
        EXPECT_EQ(s.readyCalls, c.in[1] == WONT && c.in[2] == 1 ? 1 : 0);
        EXPECT_TRUE(s.tn_termtype().empty());
    }
}

TEST(telnetSrvSessionT, TerminalTypeEnquiryStopsWhenClientRepeatsItself) {
    recorderT s;
    s.feed(sbTermType("XTERM"));
    EXPECT_EQ(s.takeOut(), ttypeSend);
    EXPECT_EQ(s.tn_termtype(), "XTERM");
    s.feed(sbTermType("VT100"));
    EXPECT_EQ(s.takeOut(), ttypeSend);
    s.feed(sbTermType("VT100"));
    EXPECT_TRUE(s.out.empty());
    EXPECT_EQ(s.tn_termtype(), "VT100");
    EXPECT_TRUE(s.texts.empty());
}

TEST(telnetSrvSessionT, TerminalTypeIsUpperCasedAndKnownFinalTypesEndEnquiry) {
    recorderT s;
    s.feed(sbTermType("dec-vt100"));
    EXPECT_EQ(s.tn_termtype(), "DEC-VT100");
    EXPECT_TRUE(s.out.empty());

    recorderT u;
    u.feed(sbTermType("Unknown"));
    EXPECT_EQ(u.tn_termtype(), "UNKNOWN");
    EXPECT_TRUE(u.out.empty());

    // A name closed by a bare SE does not carry the SE.
    recorderT b;
    b.feed(bytesT{IAC, SB, 24, 0, 'a', 'n', 's', 'i', SE, 'k'});
    EXPECT_EQ(b.tn_termtype(), "ANSI");
    EXPECT_EQ(b.takeOut(), ttypeSend);
    EXPECT_EQ(b.texts, (std::vector<std::string>{"k"}));

    // An empty name equals the initial empty type: nothing is asked.
    recorderT e;
    e.feed(bytesT{IAC, SB, 24, 0, IAC, SE});
    EXPECT_TRUE(e.tn_termtype().empty());
    EXPECT_TRUE(e.out.empty());
}

TEST(telnetSrvSessionT, OtherSubnegotiationsAreSwallowed) {
    recorderT s;
    // Window size, a SEND in the wrong direction, and a truncated TERMINAL-TYPE.
    s.feed(bytesT{IAC, SB, 31, 0, 80, 0, 24, IAC, SE, 'a'});
    s.feed(bytesT{IAC, SB, 24, 1, IAC, SE, 'b'});
    s.feed(bytesT{IAC, SB, 24, SE, 'c'});
    s.feed(bytesT{IAC, SB, SE, 'd'});
    EXPECT_TRUE(s.out.empty());
    EXPECT_TRUE(s.tn_termtype().empty());
    EXPECT_EQ(s.texts, (std::vector<std::string>{"a", "b", "c", "d"}));
}

TEST(telnetSrvSessionT, OverlongSubnegotiationIsDroppedUpToItsEnd) {
    recorderT s;
    bytesT b{IAC, SB, 24, 0};
    b.insert(b.end(), 100000, 'A');
    EXPECT_TRUE(s.feed(b));
    // The tail arrives later, byte by byte: still part of the dropped command.
    EXPECT_TRUE(s.feedEach(bytesT{'B', 'C', IAC, SE, 'o', 'k'}));
    EXPECT_TRUE(s.tn_termtype().empty());
    EXPECT_TRUE(s.out.empty());
    EXPECT_EQ(s.texts, (std::vector<std::string>{"o", "k"}));

    // The longest name that fits is still honoured.
    const std::size_t room = telnetSrvSessionT::maxCommand - 6;
    s.feed(sbTermType(std::string(room, 'v')));
    EXPECT_EQ(s.tn_termtype(), std::string(room, 'V'));
    EXPECT_EQ(s.takeOut(), ttypeSend);
    s.feed(sbTermType(std::string(room + 1, 'w')));
    EXPECT_EQ(s.tn_termtype(), std::string(room, 'V'));
    EXPECT_TRUE(s.out.empty());
}

TEST(telnetSrvSessionT, TwoByteCommandsDoNotSwallowTheNextByte) {
    recorderT s;
    // NOP, then GA directly followed by an option offer, then AYT and DM.
    EXPECT_TRUE(s.feed(bytesT{IAC, 241, 'a', IAC, 249, IAC, WILL, 31, IAC, 246, IAC, 242, 'b'}));
    EXPECT_EQ(s.texts, (std::vector<std::string>{"ab"}));
    EXPECT_EQ(s.out, (bytesT{IAC, DONT, 31}));
}

TEST(telnetSrvSessionT, FailedReplyEndsFeedWithoutDeliveringText) {
    recorderT s;
    s.outOk = false;
    EXPECT_FALSE(s.feed(bytesT{'a', IAC, WILL, 31, 'b'}));
    EXPECT_TRUE(s.texts.empty());
    EXPECT_FALSE(s.feed(sbTermType("XTERM")));
    EXPECT_EQ(s.tn_termtype(), "XTERM");
    EXPECT_FALSE(s.feed(bytesT{IAC, WONT, 1}));
    EXPECT_EQ(s.readyCalls, 0);

    // The session is usable again once the transport recovers.
    s.outOk = true;
    EXPECT_TRUE(s.feed(bytesT{'c'}));
    EXPECT_EQ(s.texts, (std::vector<std::string>{"c"}));
}

TEST(telnetSrvSessionT, RefusalsOfDerivedClassEndTheSession) {
    recorderT s;
    s.readyOk = false;
    EXPECT_FALSE(s.feed(bytesT{'a', IAC, WONT, 1, 'b'}));
    EXPECT_EQ(s.out, (bytesT{IAC, WILL, 1}));
    EXPECT_EQ(s.readyCalls, 1);
    EXPECT_TRUE(s.texts.empty());

    recorderT t;
    t.inOk = false;
    EXPECT_FALSE(t.feed(std::string("quit")));
    EXPECT_EQ(t.texts, (std::vector<std::string>{"quit"}));
    EXPECT_TRUE(t.feed(bytesT{IAC, WILL, 3}));
}

TEST(telnetSrvSessionT, RepliesAreSentUnchanged) {
    recorderT s;
    const std::string text("a\xff\0b\r\n", 6);
    EXPECT_TRUE(s.tn_reply(text));
    EXPECT_TRUE(s.tn_reply('\xff'));
    EXPECT_TRUE(s.tn_reply(std::string()));
    EXPECT_EQ(s.out, (bytesT{'a', 255, 0, 'b', '\r', '\n', 255}));
    s.outOk = false;
    EXPECT_FALSE(s.tn_reply('x'));
}

} // namespace
