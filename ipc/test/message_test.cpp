#include "ipc/message.h"

#include <climits>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

using namespace rux;

namespace {

std::string payload(const ipcMessageT& m) {
    return std::string(m.buf(), m.currSize());
}

// A received datagram: header `h`, then `body`.
dgramT received(const impl::ipcHeaderT& h, const std::string& body) {
    ipcMessageT m(body.size(), 0);
    m._header(h);
    m.write(body.data(), long(body.size()));
    return m._dgram();
}

} // namespace

TEST(IpcMessageT, NewMessageHasCleanHeaderAndEmptyPayload) {
    ipcMessageT m(16, 3);
    EXPECT_EQ(m.currSize(), 0u);
    EXPECT_EQ(m.maxSize(), 16u);
    EXPECT_EQ(unsigned(m.priority()), 3u);
    EXPECT_FALSE(m.wantReply());
    const dgramT& raw = m._dgram();
    ASSERT_EQ(raw.length(), 21u);
    EXPECT_EQ(raw.position(), 21u);
    for (uint32_t i = 0; i < 21; ++i)
        EXPECT_EQ(raw.buf()[i], i == 4 ? 3 : 0) << i;
    EXPECT_EQ(m.buf(), raw.buf() + 21);
    m.priority(4);
    EXPECT_EQ(raw.buf()[4], 4);
}

TEST(IpcMessageT, SizeLimits) {
    auto empty = ipcMessageT::create(0, 0);
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->maxSize(), 0u);
    EXPECT_EQ(empty->currSize(), 0u);
    EXPECT_FALSE(empty->setSize(1));
    EXPECT_EQ(empty->write("x", 1), 0);

    ipcMessageT m(10, 0);
    EXPECT_TRUE(m.setSize(10));
    EXPECT_FALSE(m.setSize(11));
    EXPECT_EQ(m.currSize(), 10u);

    EXPECT_FALSE(ipcMessageT::create(ipcMessageT::maxPayload + 1, 0));
    EXPECT_FALSE(m.reply(ipcMessageT::maxPayload + 1));
    EXPECT_TRUE(ipcMessageT::create(ipcMessageT::maxPayload, 0));
}

TEST(IpcMessageT, SeekStaysWithinPayloadCapacity) {
    ipcMessageT m(10, 0);
    EXPECT_EQ(m.seek(0, enSEEK_END), 10);
    EXPECT_EQ(m.currSize(), 10u); // reaching past the length extends it
    EXPECT_EQ(m.seek(1, enSEEK_END), -1);
    EXPECT_EQ(m.seek(-1, enSEEK_SET), -1);
    EXPECT_EQ(m.seek(-1, enSEEK_END), 9);
    EXPECT_EQ(m.seek(-10, enSEEK_CUR), -1);
    EXPECT_EQ(m.seek(0, enSEEK_CUR), 9); // a failed seek leaves the position
    EXPECT_EQ(m.seek(LONG_MAX, enSEEK_CUR), -1);
    EXPECT_EQ(m.seek(LONG_MIN, enSEEK_END), -1);
    EXPECT_EQ(m.seek(3, seekT(7)), -1);
}

TEST(IpcMessageT, ReadWriteAtPosition) {
    ipcMessageT m(8, 0);
    EXPECT_EQ(m.write("hello", 5), 5);
    EXPECT_EQ(m.write("world", 5), 3); // capacity stops it
    EXPECT_EQ(payload(m), "hellowor");
    EXPECT_EQ(m.write("x", -1), -1);
    char buf[16];
    EXPECT_EQ(m.read(buf, 4), 0); // at the end
    ASSERT_EQ(m.seek(2, enSEEK_SET), 2);
    EXPECT_EQ(m.read(buf, 16), 6);
    EXPECT_EQ(std::string(buf, 6), "llowor");
    EXPECT_EQ(m.read(buf, -1), -1);
}

TEST(IpcMessageT, PayloadPlacedThroughBufSurvivesGrowth) {
    // Serialisers write straight into buf() and set the size afterwards.
    ipcMessageT m(8, 0);
    std::memcpy(m.buf(), "abcdefgh", 8);
    ASSERT_TRUE(m.setSize(4));
    EXPECT_EQ(payload(m), "abcd");
    EXPECT_EQ(m.seek(6, enSEEK_SET), 6); // growing by seek keeps the bytes too
    EXPECT_EQ(payload(m), "abcdef");
    ASSERT_TRUE(m.setSize(8));
    EXPECT_EQ(payload(m), "abcdefgh");
    ipcMessageT z(3, 0);
    ASSERT_TRUE(z.setSize(3));
    EXPECT_EQ(payload(z), std::string(3, '\0')); // never-written bytes are zero
}

TEST(IpcMessageT, ReplyTakesInvocationAndForwardFlag) {
    impl::ipcHeaderT h;
    h.prio = 4;
    h.srcId = 3;
    h.dstId = 8;
    h.ivkId = 77;
    h.syncFwd = true;
    auto req = ipcMessageT::create(received(h, "question"));
    ASSERT_TRUE(req);
    EXPECT_TRUE(req->wantReply());
    auto rep = req->reply(5);
    ASSERT_TRUE(rep);
    impl::ipcHeaderT r = rep->_header();
    EXPECT_EQ(r.kind, impl::enIPC_USER);
    EXPECT_EQ(unsigned(r.prio), 2u);
    EXPECT_TRUE(r.reply);
    EXPECT_TRUE(r.syncFwd);
    EXPECT_EQ(r.ivkId, 77u);
    EXPECT_EQ(r.srcId + r.dstId + r.fwdId, 0u); // addressing is the sender's job
    EXPECT_EQ(rep->maxSize(), 5u);
    EXPECT_EQ(rep->currSize(), 0u);

    h.syncFwd = false;
    h.ivkId = 0;
    auto oneWay = ipcMessageT::create(received(h, ""));
    ASSERT_TRUE(oneWay);
    EXPECT_FALSE(oneWay->wantReply());
    EXPECT_FALSE(oneWay->reply(0)->_header().syncFwd);
}

TEST(IpcMessageT, WrapsOnlyValidDatagrams) {
    impl::ipcHeaderT h;
    h.srcId = 5;
    auto m = ipcMessageT::create(received(h, "payload"));
    ASSERT_TRUE(m);
    EXPECT_EQ(payload(*m), "payload");
    EXPECT_EQ(m->maxSize(), 7u);
    EXPECT_EQ(m->seek(0, enSEEK_CUR), 0);
    EXPECT_EQ(m->_header().srcId, 5u);

    EXPECT_FALSE(ipcMessageT::create(dgramT(20)));
    dgramT badPrio = received(h, "x");
    badPrio.buf()[4] = 6;
    EXPECT_FALSE(ipcMessageT::create(std::move(badPrio)));
    // setRaw follows the same rules; a refused datagram leaves the message alone.
    EXPECT_FALSE(m->setRaw(dgramT(3)));
    EXPECT_EQ(payload(*m), "payload");
    ASSERT_TRUE(m->setRaw(received(h, "other!")));
    EXPECT_EQ(payload(*m), "other!");
}

TEST(IpcMessageT, CopiesAreDeep) {
    ipcMessageT m(8, 2);
    m.write("abc", 3);
    auto c = m.clone();
    c->buf()[0] = 'X';
    c->priority(0);
    EXPECT_EQ(payload(m), "abc");
    EXPECT_EQ(unsigned(m.priority()), 2u);
    EXPECT_EQ(c->write("d", 1), 1); // the position travels with the copy
    EXPECT_EQ(payload(*c), "Xbcd");
}

TEST(IpcMessageT, PriorityAboveFourIsAFault) {
    EXPECT_DEATH(ipcMessageT(1, 5), "val > maxVal");
    ipcMessageT m(1, 0);
    EXPECT_DEATH(m.priority(7), "val > maxVal");
}

TEST(IpcMessageIoT, StreamsThroughThePayload) {
    ipcMessageT m(16, 0);
    ipcMessageT::ioT io(m);
    io << "abc" << 42 << std::flush;
    EXPECT_EQ(payload(m), "abc42");
    io.seekg(0, std::ios::beg);
    EXPECT_EQ(io.get(), 'a');
    EXPECT_EQ(io.peek(), 'b');
    EXPECT_EQ(io.tellg(), 1); // the look-ahead is not counted
    EXPECT_EQ(io.get(), 'b');
    EXPECT_TRUE(io.putback('b'));
    EXPECT_EQ(io.get(), 'b');
    io.putback('z'); // only the character last read goes back
    EXPECT_TRUE(io.bad());
    io.clear();

    char buf[32];
    io.seekg(0, std::ios::beg);
    io.read(buf, sizeof buf);
    EXPECT_EQ(io.gcount(), 5);
    EXPECT_TRUE(io.eof());
    io.clear();
    EXPECT_EQ(io.seekp(0, std::ios::end).tellp(), 16);
    io.seekg(1, std::ios::end);
    EXPECT_TRUE(io.fail());

    ipcMessageT small(4, 0);
    ipcMessageT::ioT out(&small);
    out.write("abcdef", 6); // writes stop at the capacity
    EXPECT_TRUE(out.bad());
    EXPECT_EQ(payload(small), "abcd");
}

TEST(IpcMessageIoT, PutsBackOnlyTheLastByteRead) {
    ipcMessageT m(8, 0);
    m.write("abcd", 4);
    ASSERT_EQ(m.seek(0, enSEEK_SET), 0);
    ipcMessageT::ioT io(m);
    EXPECT_EQ(io.get(), 'a');
    EXPECT_EQ(io.get(), 'b');
    EXPECT_TRUE(io.unget());
    EXPECT_FALSE(io.unget()); // 'a' is no longer the byte last read
    io.clear();
    EXPECT_EQ(io.get(), 'b');

    // With a look-ahead pending, the byte last read still goes back first.
    EXPECT_EQ(io.peek(), 'c');
    EXPECT_TRUE(io.putback('b'));
    EXPECT_EQ(io.tellg(), 1);
    char buf[4];
    io.read(buf, 3);
    EXPECT_EQ(std::string(buf, 3), "bcd");
    EXPECT_TRUE(io.unget()); // after a block read, its final byte
    EXPECT_EQ(io.get(), 'd');

    // A write or a seek forgets the byte read.
    io.seekg(1, std::ios::beg);
    EXPECT_FALSE(io.unget());
    io.clear();
    EXPECT_EQ(io.get(), 'b');
    EXPECT_EQ(io.peek(), 'c');
    io.write("XY", 2).flush(); // lands where the stream stands, not past the look-ahead
    EXPECT_FALSE(io.unget());
    EXPECT_EQ(payload(m), "abXY");
}
