// The telnet console terminal: protocol bytes out of the key stream, replies
// and output on the same connection.
#include <gtest/gtest.h>

#include <iostream>
#include <streambuf>
#include <string>

#include "cli/input.h"
#include "gas/console/cli_telnet.h"

namespace rux {
namespace {

// A connection: reads the peer's bytes, records what is sent; sending fails
// once `failSend` is set.
class connT : public std::streambuf {
public:
    explicit connT(std::string in) : _in(std::move(in)) {
        setg(&_in[0], &_in[0], &_in[0] + _in.size());
    }
    std::string sent;
    bool failSend = false;

protected:
    int_type overflow(int_type c) override {
        if (failSend)
            return traits_type::eof();
        if (!traits_type::eq_int_type(c, traits_type::eof()))
            sent.push_back(traits_type::to_char_type(c));
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        if (failSend)
            return 0;
        sent.append(s, size_t(n));
        return n;
    }

private:
    std::string _in;
};

// Records the keys as text: characters as themselves, Enter as '|'.
class keysT : public cliInputT {
public:
    std::string keys;
    bool chr(char c) override {
        keys += c;
        return true;
    }
    bool del() override {
        keys += '<';
        return true;
    }
    bool ok() override {
        keys += '|';
        return true;
    }
    bool complete() override {
        keys += '>';
        return true;
    }
    bool help() override {
        keys += '?';
        return true;
    }
    bool sep() override {
        keys += '_';
        return true;
    }
    bool up() override {
        keys += '^';
        return true;
    }
    bool down() override {
        keys += 'v';
        return true;
    }
    bool brk() override {
        keys += '!';
        return true;
    }
};

const std::string IAC = "\xff";
const std::string WILL = "\xfb", DO = "\xfd";
const std::string SGA = "\x03";

TEST(cliTelnetT, ProtocolBytesAreAnsweredAndNeverTyped) {
    // WILL SGA between two keys, an escaped 255, Enter sent as CR NUL.
    connT conn("a" + IAC + WILL + SGA + "b" + IAC + IAC + "c\r" + std::string(1, '\0') + "d");
    std::iostream io(&conn);
    cliTelnetT term(io);
    keysT keys;
    term.run(keys);
    EXPECT_EQ(keys.keys, "abc|d");
    EXPECT_EQ(conn.sent, IAC + DO + SGA);
}

TEST(cliTelnetT, OutputDoublesTheEscapeByte) {
    connT conn("");
    std::iostream io(&conn);
    cliTelnetT term(io);
    auto out = term.output();
    out->text("x\xffy\n");
    out->rchr('\xff');
    out->flush();
    EXPECT_EQ(conn.sent, "x\xff\xffy\r\n\xff\xff");
}

TEST(cliTelnetT, FailedReplyEndsTheInput) {
    connT conn("a" + IAC + WILL + SGA + "bcd");
    conn.failSend = true;
    std::iostream io(&conn);
    cliTelnetT term(io);
    keysT keys;
    term.run(keys);
    EXPECT_EQ(keys.keys, "a");
}

} // namespace
} // namespace rux
