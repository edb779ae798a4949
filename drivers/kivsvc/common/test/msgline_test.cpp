#include "msgline.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace {

using rux::ipcMessageT;

std::unique_ptr<ipcMessageT> message(const std::string& bytes, unsigned prio = 0) {
    auto msg = ipcMessageT::create(bytes.size(), prio);
    if (!bytes.empty())
        std::memcpy(msg->buf(), bytes.data(), bytes.size());
    msg->setSize(bytes.size());
    return msg;
}

std::string be32(uint32_t v) {
    return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}

std::string frame(uint32_t word, const std::string& payload) {
    return "KIVM" + be32(word) + be32(uint32_t(payload.size())) + payload;
}

std::string encode(const std::string& service, const std::string& node, const std::string& data) {
    std::ostringstream os;
    EXPECT_EQ(msg_toLine(os, message(data), service, node), 0);
    return os.str();
}

struct decodedT {
    int rc;
    std::unique_ptr<ipcMessageT> msg;
    std::string service = "untouched";
    std::string node = "untouched";
};

decodedT decode(const std::string& bytes) {
    std::istringstream is(bytes);
    decodedT d;
    d.rc = msg_fromLine(is, d.msg, d.service, d.node);
    return d;
}

TEST(MsgLine, HeaderWordsOfTheKnownNames) {
    EXPECT_EQ(encode("", "", "x"), frame(0x00030000, "x"));
    EXPECT_EQ(encode("local", "kivsvc-drv", "x"), frame(0x00010001, "x"));
    EXPECT_EQ(encode("remote", "kivsvc-rass", "x"), frame(0x00020002, "x"));
    EXPECT_EQ(encode("local", "kivsvc-ui", ""), frame(0x00010100, ""));
    EXPECT_EQ(encode("local", "kivsvc-cli", ""), frame(0x00010101, ""));
    EXPECT_EQ(encode("remote", "rass-srv", ""), frame(0x00020102, ""));
}

TEST(MsgLine, EveryNamePairRoundTrips) {
    const std::vector<std::string> services = {"local", "remote", ""};
    const std::vector<std::string> nodes = {"",          "kivsvc-drv", "kivsvc-rass",
                                            "kivsvc-ui", "kivsvc-cli", "rass-srv"};
    std::ostringstream os;
    int n = 0;
    for (auto& s : services) {
        for (auto& nd : nodes) {
            std::string data(size_t(n * 37), char(n));
            ASSERT_EQ(msg_toLine(os, message(data, 4), s, nd), 0);
            ++n;
        }
    }
    // The frames follow each other on one stream.
    std::istringstream is(os.str());
    n = 0;
    for (auto& s : services) {
        for (auto& nd : nodes) {
            std::unique_ptr<ipcMessageT> msg;
            std::string service, node;
            ASSERT_EQ(msg_fromLine(is, msg, service, node), 0);
            EXPECT_EQ(service, s);
            EXPECT_EQ(node, nd);
            EXPECT_EQ(std::string(msg->buf(), msg->currSize()),
                      std::string(size_t(n * 37), char(n)));
            EXPECT_EQ(unsigned(msg->priority()), 2u);
            ++n;
        }
    }
    std::unique_ptr<ipcMessageT> msg;
    std::string service, node;
    EXPECT_EQ(msg_fromLine(is, msg, service, node), 1); // end of stream
}

TEST(MsgLine, EmptyNamesAndEmptyPayloadDecode) {
    decodedT d = decode(frame(0x00030000, ""));
    EXPECT_EQ(d.rc, 0);
    ASSERT_TRUE(d.msg);
    EXPECT_EQ(d.msg->currSize(), 0u);
    EXPECT_EQ(d.service, "");
    EXPECT_EQ(d.node, "");
}

TEST(MsgLine, StreamFailuresAnywhereInTheFrame) {
    std::string whole = frame(0x00010001, "payload");
    for (size_t cut = 0; cut < whole.size(); ++cut) {
        decodedT d = decode(whole.substr(0, cut));
        EXPECT_EQ(d.rc, 1) << "cut at " << cut;
        EXPECT_EQ(d.service, "untouched");
    }
    // A stream already failed reads nothing.
    std::istringstream is(whole);
    is.setstate(std::ios::failbit);
    std::unique_ptr<ipcMessageT> msg;
    std::string service, node;
    EXPECT_EQ(msg_fromLine(is, msg, service, node), 1);
}

TEST(MsgLine, WrongMagic) {
    EXPECT_EQ(decode("KIVX" + be32(0x00010001) + be32(0)).rc, 2);
    EXPECT_EQ(decode("kivm" + be32(0x00010001) + be32(0)).rc, 2);
}

TEST(MsgLine, UnknownServiceCodeAfterTheMessageIsStored) {
    for (uint32_t svc : {0u, 4u, 0xffffu}) {
        decodedT d = decode(frame(svc << 16 | 1, "ab"));
        EXPECT_EQ(d.rc, 3) << svc;
        ASSERT_TRUE(d.msg);
        EXPECT_EQ(std::string(d.msg->buf(), d.msg->currSize()), "ab");
        EXPECT_EQ(d.service, "untouched");
        EXPECT_EQ(d.node, "untouched");
    }
}

TEST(MsgLine, UnknownNodeCodeAfterTheServiceIsStored) {
    for (uint32_t node : {3u, 255u, 259u, 0xffffu}) {
        decodedT d = decode(frame(0x00020000 | node, "ab"));
        EXPECT_EQ(d.rc, 4) << node;
        ASSERT_TRUE(d.msg);
        EXPECT_EQ(d.service, "remote");
        EXPECT_EQ(d.node, "untouched");
    }
}

TEST(MsgLine, LengthAboveTheBoundIsRefusedBeforeAllocating) {
    // At the bound the frame passes.
    std::string atBound(msg_lineMaxPayload, 'p');
    decodedT ok = decode(frame(0x00010001, atBound));
    ASSERT_EQ(ok.rc, 0);
    EXPECT_EQ(ok.msg->currSize(), msg_lineMaxPayload);

    // One byte more fails even with every byte present, and the caller's message
    // is not replaced: nothing was made for it.
    for (uint32_t len : {uint32_t(msg_lineMaxPayload + 1), 0xffffffffu}) {
        std::string bytes =
            "KIVM" + be32(0x00010001) + be32(len) + std::string(msg_lineMaxPayload + 1, 'p');
        std::istringstream is(bytes);
        auto msg = message("previous");
        ipcMessageT* before = msg.get();
        std::string service, node;
        EXPECT_EQ(msg_fromLine(is, msg, service, node), 1) << len;
        EXPECT_EQ(msg.get(), before);
    }
}

TEST(MsgLine, NameWithoutACodeWritesNothing) {
    std::ostringstream os;
    EXPECT_EQ(msg_toLine(os, message("x"), "elsewhere", "kivsvc-drv"), 2);
    EXPECT_EQ(msg_toLine(os, message("x"), "local", "kivsvc-drvX"), 2);
    EXPECT_EQ(msg_toLine(os, message("x"), "Local", ""), 2);
    EXPECT_TRUE(os.str().empty());
    EXPECT_TRUE(os.good());
}

// Accepts `room` bytes, then fails every write, like a connection that breaks.
class brokenBufT : public std::streambuf {
public:
    explicit brokenBufT(size_t room) : _room(room) {}

protected:
    int_type overflow(int_type c) override {
        if (_room == 0)
            return traits_type::eof();
        --_room;
        return traits_type::not_eof(c);
    }

private:
    size_t _room;
};

TEST(MsgLine, BrokenStreamReportsFailure) {
    for (size_t room : {0, 5, 13}) {
        brokenBufT buf(room);
        std::ostream os(&buf);
        EXPECT_EQ(msg_toLine(os, message("xyz"), "local", "kivsvc-ui"), 1) << room;
    }
    brokenBufT buf(15);
    std::ostream os(&buf);
    EXPECT_EQ(msg_toLine(os, message("xyz"), "local", "kivsvc-ui"), 0);
}

} // namespace
