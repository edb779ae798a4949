// Outputs, terminals and the VT100 input decoder.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

#include "rux_cli_xface.h"

using namespace rux;
using ::testing::InSequence;
using ::testing::Return;

namespace {

// Records raw characters; cursor operations appear as tags.
class recordT : public cliOutputT {
public:
    void flush() override { s += "<F>"; }
    void rchr(char c) override { s += c; }
    void push() override { s += "<push>"; }
    void pop() override { s += "<pop>"; }
    void erasel() override { s += "<el>"; }
    void erased() override { s += "<ed>"; }
    void erasec() override { s += "<ec>"; }
    void nl() override { s += "<nl>"; }
    void cup(unsigned n) override { s += "<up" + std::to_string(n) + ">"; }
    std::string s;
};

class sinkT : public cliInputT {
public:
    MOCK_METHOD(bool, chr, (char), (override));
    MOCK_METHOD(bool, del, (), (override));
    MOCK_METHOD(bool, ok, (), (override));
    MOCK_METHOD(bool, complete, (), (override));
    MOCK_METHOD(bool, help, (), (override));
    MOCK_METHOD(bool, sep, (), (override));
    MOCK_METHOD(bool, up, (), (override));
    MOCK_METHOD(bool, down, (), (override));
    MOCK_METHOD(bool, brk, (), (override));
};

// Spells every key operation into a string.
class spellT : public cliInputT {
public:
    bool chr(char c) override { return add(std::string(1, c)); }
    bool del() override { return add("<del>"); }
    bool ok() override { return add("<ok>"); }
    bool complete() override { return add("<tab>"); }
    bool help() override { return add("<help>"); }
    bool sep() override { return add("<sep>"); }
    bool up() override { return add("<up>"); }
    bool down() override { return add("<down>"); }
    bool brk() override { return add("<brk>"); }
    bool add(const std::string& k) {
        s += k;
        return true;
    }
    std::string s;
};

std::string decode(const std::string& bytes) {
    std::istringstream is(bytes);
    cliVT100InputDecoderT d(is);
    spellT k;
    d.run(k);
    return k.s;
}

} // namespace

TEST(cliOutputT, CookedOutputTurnsLineFeedsIntoCarriageReturnLineFeed) {
    recordT o;
    o.text("a\nb");
    EXPECT_EQ(o.s, "a\r\nb");
    o.s.clear();
    o.text("a\r\nb\n\n");
    EXPECT_EQ(o.s, "a\r\nb\r\n\r\n");
    EXPECT_TRUE(o.bol());
    o.s.clear();
    o.cooked(false);
    o.text("a\nb");
    o.chr('\n');
    EXPECT_EQ(o.s, "a\nb\n");
}

TEST(cliOutputT, PrintCutsLongResultsTo255Characters) {
    recordT o;
    EXPECT_EQ(o.print("%d-%s", 7, "x"), 3);
    EXPECT_EQ(o.s, "7-x");
    o.s.clear();
    const std::string big(300, 'z');
    EXPECT_EQ(o.print("%s", big.c_str()), 300);
    EXPECT_EQ(o.s, std::string(255, 'z'));
    o.s.clear();
    EXPECT_EQ(o.print("%s\n", "line"), 5);
    EXPECT_EQ(o.s, "line\r\n");
}

TEST(cliOutputT, StreamWritesWhatItCollectedOnFlushAndWhenDestroyed) {
    auto o = std::make_shared<recordT>();
    {
        cliOutputT::streamT st(o);
        st << "n=" << 42 << "\n";
        EXPECT_EQ(o->s, "");
        st << std::flush;
        EXPECT_EQ(o->s, "n=42\r\n<F>");
        st << std::flush; // nothing new: nothing written
        EXPECT_EQ(o->s, "n=42\r\n<F>");
        st << "tail";
    }
    EXPECT_EQ(o->s, "n=42\r\n<F>tail<F>");
}

TEST(cliVT100TermT, WritesTheVT100Sequences) {
    std::ostringstream os;
    auto t = cliVT100TermT::create(os);
    t->push();
    t->pop();
    t->erasel();
    t->erased();
    t->erasec();
    t->nl();
    t->cup(3);
    t->cup(0);
    t->text("a\nb");
    t->rtext("x\ny");
    t->flush();
    EXPECT_EQ(os.str(), "\33[s\33[u\33[2K\r\33[J\33[D\33[K\r\n\33[3Aa\r\nbx\ny");
}

TEST(cliNullTermT, AcceptsEverythingAndShowsNothing) {
    auto t = cliNullTermT::create();
    t->text("hello\n");
    EXPECT_EQ(t->print("%s", "x"), 1);
    t->push();
    t->pop();
    t->erasel();
    t->erased();
    t->erasec();
    t->nl();
    t->cup(2);
    t->flush();
    cliSessionT s(cliMenuT::create("/", ""));
    EXPECT_TRUE(s.setOutput(t));
    EXPECT_FALSE(s.chr('x'));
    EXPECT_FALSE(s.chr('x')); // the listing goes nowhere
}

TEST(cliVT100InputDecoderT, MapsKeysToOperations) {
    EXPECT_EQ(decode("ab \r\t?\x7f\x03"), "ab<sep><ok><tab><help><del><brk>");
    // Line feed, backspace and other controls mean nothing.
    EXPECT_EQ(decode(std::string("a\nb\x08\x01\x00\x1f~", 8)), "ab~");
    EXPECT_EQ(decode(std::string("\x80\xff\xc3\xa9", 4)), "");
}

TEST(cliVT100InputDecoderT, ArrowsUpAndDownOtherSequencesAreDropped) {
    EXPECT_EQ(decode("\33[A\33[B\33[C\33[D"), "<up><down>");
    EXPECT_EQ(decode("\33OA\33OB"), "<up><down>");
    EXPECT_EQ(decode("\33[3~x\33[1;5Ay"), "xy");
    EXPECT_EQ(decode("\33xq"), "q"); // a lone escape eats the next final byte
}

TEST(cliVT100InputDecoderT, EscapeSequencesAreBounded) {
    // Sixteen bytes without a final one: the sequence is given up and what
    // follows is read as keys again.
    EXPECT_EQ(decode("\33" + std::string(16, '1') + "ab"), "ab");
    EXPECT_EQ(decode("\33" + std::string(15, '1') + "ab"), "b");
    // Control bytes before the final byte belong to the sequence.
    EXPECT_EQ(decode("\33[1\r~x"), "x");
    EXPECT_EQ(decode("\33\33[Ax"), "x");
    EXPECT_EQ(decode("\33\x03\r\tAb"), "b");
    // The stream may end inside a sequence.
    EXPECT_EQ(decode("a\33[1"), "a");
}

TEST(cliVT100InputDecoderT, FilterCanReplaceSkipOrStop) {
    class upperT : public cliVT100InputDecoderT {
    public:
        using cliVT100InputDecoderT::cliVT100InputDecoderT;
        int _filter(char& c) override {
            ++seen;
            if (c == '#')
                return enSKIP;
            if (c == '!')
                return enSTOP;
            if (c >= 'a' && c <= 'z')
                c = static_cast<char>(c - 'a' + 'A');
            return enUSE;
        }
        int seen = 0;
    };
    std::istringstream is("a#b\33#[#A!c");
    upperT d(is);
    sinkT sink;
    {
        InSequence order;
        EXPECT_CALL(sink, chr('A')).WillOnce(Return(true));
        EXPECT_CALL(sink, chr('B')).WillOnce(Return(true));
        EXPECT_CALL(sink, up()).WillOnce(Return(true)); // filtered bytes inside the sequence
    }
    d.run(sink);
    EXPECT_EQ(d.seen, 9);
    EXPECT_EQ(is.get(), 'c'); // stopped right after the '!'
}
