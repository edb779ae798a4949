// The bridge's frame reader: frames cut out of arbitrary reads, early refusal
// of what can never become a frame.
#include "framereader.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "msgline.h"

namespace {

std::string frame(const std::string& service, const std::string& node, const std::string& payload) {
    auto msg = rux::ipcMessageT::create(payload.size(), 2);
    msg->write(payload.data(), long(payload.size()));
    std::ostringstream os;
    EXPECT_EQ(0, msg_toLine(os, msg, service, node));
    return os.str();
}

std::string header(unsigned long len) {
    std::string h = "KIVM";
    h += std::string("\x00\x01\x00\x01", 4);
    for (int s = 24; s >= 0; s -= 8)
        h += char((len >> s) & 0xff);
    return h;
}

struct nextT {
    int rc;
    std::string service, node, payload;
};

nextT take(uiFrameReaderT& r) {
    std::unique_ptr<rux::ipcMessageT> msg;
    nextT n;
    n.rc = r.next(msg, n.service, n.node);
    if (n.rc == 0 && msg)
        n.payload.assign(msg->buf(), msg->currSize());
    return n;
}

TEST(UiFrameReader, FramesFedByteByByteComeOutWhole) {
    const std::string bytes = frame("local", "kivsvc-drv", "hello") + frame("", "", "ping");
    uiFrameReaderT r;
    std::vector<nextT> got;
    for (char c : bytes) {
        r.feed(&c, 1);
        for (nextT n = take(r); n.rc != uiFrameReaderT::enINCOMPLETE; n = take(r))
            got.push_back(n);
    }
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ(0, got[0].rc);
    EXPECT_EQ("local", got[0].service);
    EXPECT_EQ("kivsvc-drv", got[0].node);
    EXPECT_EQ("hello", got[0].payload);
    EXPECT_EQ("", got[1].service);
    EXPECT_EQ("ping", got[1].payload);
    EXPECT_EQ(0u, r.buffered());
}

TEST(UiFrameReader, SeveralFramesInOneReadAreAllAvailable) {
    const std::string bytes = frame("local", "kivsvc-drv", "a") +
                              frame("remote", "kivsvc-rass", "bb") + frame("local", "kivsvc-drv", "");
    uiFrameReaderT r;
    r.feed(bytes.data(), bytes.size());
    EXPECT_EQ("a", take(r).payload);
    nextT second = take(r);
    EXPECT_EQ("remote", second.service);
    EXPECT_EQ("bb", second.payload);
    nextT third = take(r);
    EXPECT_EQ(0, third.rc);
    EXPECT_EQ("", third.payload);
    EXPECT_EQ(uiFrameReaderT::enINCOMPLETE, take(r).rc);
}

TEST(UiFrameReader, WrongMagicIsRefusedFromTheFirstWrongByte) {
    uiFrameReaderT r;
    r.feed("GE", 2);
    EXPECT_EQ(2, take(r).rc);

    uiFrameReaderT k;
    k.feed("KI", 2);
    EXPECT_EQ(uiFrameReaderT::enINCOMPLETE, take(k).rc);
    k.feed("VX", 2);
    EXPECT_EQ(2, take(k).rc);
}

TEST(UiFrameReader, OverLongLengthIsRefusedOnTheHeaderAlone) {
    uiFrameReaderT r;
    const std::string h = header(msg_lineMaxPayload + 1);
    r.feed(h.data(), h.size());
    EXPECT_EQ(uiFrameReaderT::enTOO_LONG, take(r).rc);
    EXPECT_EQ(msg_lineMaxPayload + 1, r.announced());

    uiFrameReaderT huge;
    const std::string hh = header(0xffffffffu);
    huge.feed(hh.data(), hh.size());
    EXPECT_EQ(uiFrameReaderT::enTOO_LONG, take(huge).rc);
}

TEST(UiFrameReader, LargestFrameIsAccepted) {
    const std::string payload(msg_lineMaxPayload, 'x');
    const std::string bytes = frame("local", "kivsvc-drv", payload);
    uiFrameReaderT r;
    r.feed(bytes.data(), bytes.size() - 1);
    EXPECT_EQ(uiFrameReaderT::enINCOMPLETE, take(r).rc);
    r.feed(bytes.data() + bytes.size() - 1, 1);
    EXPECT_EQ(payload, take(r).payload);
}

TEST(UiFrameReader, UnknownCodesAreReportedAsTheFrameFunctionsDo) {
    std::string bad = frame("local", "kivsvc-drv", "x");
    bad[5] = 9; // service code 0x0109
    uiFrameReaderT r;
    r.feed(bad.data(), bad.size());
    EXPECT_EQ(3, take(r).rc);

    std::string badNode = frame("local", "kivsvc-drv", "x");
    badNode[7] = 7; // node code 7
    uiFrameReaderT n;
    n.feed(badNode.data(), badNode.size());
    EXPECT_EQ(4, take(n).rc);
}

} // namespace
