#include "ipc/message.h"

#include <climits>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

using namespace rux;

namespace {

impl::ipcHeaderT hdrOf(const ipcMessageT& m) {
    return m._header();
}

std::string payload(const ipcMessageT& m) {
    return std::string(m.buf(), m.currSize());
}

// A received datagram: header `h`, then `body`.
dgramT received(const impl::ipcHeaderT& h, const std::string& body) {
    dgramT d(uint32_t(21 + body.size()));
    impl::ipcStoreHeader(d, h);
    d.seek(21, enSEEK_SET);
    d.write(body.data(), uint32_t(body.size()));
    d.seek(0, enSEEK_SET);
    return d;
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
    EXPECT_EQ(raw.capacity(), 37u);
    EXPECT_EQ(raw.position(), 21u);
    for (uint32_t i = 0; i < 21; ++i)
        EXPECT_EQ(raw.buf()[i], i == 4 ? 3 : 0) << i;
    EXPECT_EQ(m.buf(), raw.buf() + 21);
}

TEST(IpcMessageT, SizeLimits) {
    auto empty = ipcMessageT::create(0, 0);
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->maxSize(), 0u);
    EXPECT_EQ(empty->currSize(), 0u);
    EXPECT_FALSE(empty->setSize(1));
    EXPECT_TRUE(empty->setSize(0));
    EXPECT_EQ(empty->write("x", 1), 0);

    ipcMessageT m(10, 0);
    EXPECT_TRUE(m.setSize(10));
    EXPECT_EQ(m.currSize(), 10u);
    EXPECT_FALSE(m.setSize(11));
    EXPECT_EQ(m.currSize(), 10u);
    EXPECT_TRUE(m.setSize(4));
    EXPECT_EQ(m.currSize(), 4u);

    EXPECT_FALSE(ipcMessageT::create(ipcMessageT::maxPayload + 1, 0));
    EXPECT_TRUE(ipcMessageT::create(ipcMessageT::maxPayload, 0));
    EXPECT_FALSE(m.reply(ipcMessageT::maxPayload + 1));
}

TEST(IpcMessageT, SeekStaysWithinPayloadCapacity) {
    ipcMessageT m(10, 0);
    EXPECT_EQ(m.seek(0, enSEEK_END), 10);
    EXPECT_EQ(m.currSize(), 10u); // reaching past the length extends it
    EXPECT_EQ(m.seek(1, enSEEK_END), -1);
    EXPECT_EQ(m.seek(-1, enSEEK_SET), -1);
    EXPECT_EQ(m.seek(-1, enSEEK_END), 9);
    EXPECT_EQ(m.seek(-9, enSEEK_CUR), 0);
    EXPECT_EQ(m.seek(-1, enSEEK_CUR), -1);
    EXPECT_EQ(m.seek(0, enSEEK_CUR), 0); // a failed seek leaves the position
    EXPECT_EQ(m.seek(LONG_MAX, enSEEK_CUR), -1);
    EXPECT_EQ(m.seek(LONG_MIN, enSEEK_END), -1);
    EXPECT_EQ(m.seek(3, seekT(7)), -1);

    ipcMessageT n(10, 0);
    EXPECT_EQ(n.seek(4, enSEEK_SET), 4);
    EXPECT_EQ(n.currSize(), 4u);
    EXPECT_EQ(n.seek(2, enSEEK_CUR), 6);
    EXPECT_EQ(n.currSize(), 6u);
}

TEST(IpcMessageT, ReadWriteAtPosition) {
    ipcMessageT m(8, 0);
    EXPECT_EQ(m.write("hello", 5), 5);
    EXPECT_EQ(m.write("world", 5), 3); // capacity stops it
    EXPECT_EQ(m.currSize(), 8u);
    EXPECT_EQ(payload(m), "hellowor");
    EXPECT_EQ(m.write("x", 1), 0);
    EXPECT_EQ(m.write("x", -1), -1);

    char buf[16] = {};
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
    EXPECT_EQ(m.seek(6, enSEEK_SET), 6); // growing by seek keeps them too
    EXPECT_EQ(payload(m), "abcdef");
    ASSERT_TRUE(m.setSize(8));
    EXPECT_EQ(payload(m), "abcdefgh");
    char buf[8];
    ASSERT_EQ(m.seek(0, enSEEK_SET), 0);
    EXPECT_EQ(m.read(buf, 8), 8);
    EXPECT_EQ(std::string(buf, 8), "abcdefgh");

    // Never-written bytes read as zeros.
    ipcMessageT z(3, 0);
    ASSERT_TRUE(z.setSize(3));
    EXPECT_EQ(payload(z), std::string(3, '\0'));
}

TEST(IpcMessageT, PriorityLivesInHeader) {
    ipcMessageT m(0, 1);
    m.priority(4);
    EXPECT_EQ(unsigned(m.priority()), 4u);
    EXPECT_EQ(m._dgram().buf()[4], 4);
    m.priority(0);
    EXPECT_EQ(unsigned(m.priority()), 0u);
}

TEST(IpcMessageT, ReplyTakesInvocationAndForwardFlag) {
    impl::ipcHeaderT h;
    h.prio = 4;
    h.srcId = 3;
    h.dstId = 8;
    h.fwdId = 2;
    h.ivkId = 77;
    h.syncFwd = true;
    auto req = ipcMessageT::create(received(h, "question"));
    ASSERT_TRUE(req);
    EXPECT_TRUE(req->wantReply());

    auto rep = req->reply(5);
    ASSERT_TRUE(rep);
    impl::ipcHeaderT r = hdrOf(*rep);
    EXPECT_EQ(r.kind, impl::enIPC_USER);
    EXPECT_EQ(unsigned(r.prio), 2u);
    EXPECT_TRUE(r.reply);
    EXPECT_TRUE(r.syncFwd);
    EXPECT_EQ(r.ivkId, 77u);
    // Addressing is the sender's job.
    EXPECT_EQ(r.srcId, 0u);
    EXPECT_EQ(r.dstId, 0u);
    EXPECT_EQ(r.fwdId, 0u);
    EXPECT_EQ(rep->maxSize(), 5u);
    EXPECT_EQ(rep->currSize(), 0u);

    h.syncFwd = false;
    h.ivkId = 0;
    auto oneWay = ipcMessageT::create(received(h, ""));
    ASSERT_TRUE(oneWay);
    EXPECT_FALSE(oneWay->wantReply());
    EXPECT_FALSE(hdrOf(*oneWay->reply(0)).syncFwd);
}

TEST(IpcMessageT, WrapsReceivedDatagrams) {
    impl::ipcHeaderT h;
    h.prio = 1;
    h.srcId = 5;
    auto m = ipcMessageT::create(received(h, "payload"));
    ASSERT_TRUE(m);
    EXPECT_EQ(m->currSize(), 7u);
    EXPECT_EQ(m->maxSize(), 7u);
    EXPECT_EQ(m->seek(0, enSEEK_CUR), 0);
    char buf[8];
    EXPECT_EQ(m->read(buf, 8), 7);
    EXPECT_EQ(std::string(buf, 7), "payload");
    EXPECT_EQ(hdrOf(*m).srcId, 5u);

    EXPECT_FALSE(ipcMessageT::create(dgramT(20)));
    dgramT badPrio = received(h, "x");
    badPrio.buf()[4] = 6;
    EXPECT_FALSE(ipcMessageT::create(std::move(badPrio)));

    // setRaw: same rules, and a refused datagram leaves the message alone.
    EXPECT_FALSE(m->setRaw(dgramT(3)));
    EXPECT_EQ(payload(*m), "payload");
    ASSERT_TRUE(m->setRaw(received(h, "other!")));
    EXPECT_EQ(payload(*m), "other!");
    EXPECT_EQ(m->seek(0, enSEEK_CUR), 0);
}

TEST(IpcMessageT, CopiesAreDeep) {
    ipcMessageT m(8, 2);
    m.write("abc", 3);
    auto c = m.clone();
    ipcMessageT copy(m);
    c->buf()[0] = 'X';
    copy.priority(0);
    EXPECT_EQ(payload(m), "abc");
    EXPECT_EQ(payload(*c), "Xbc");
    EXPECT_EQ(unsigned(m.priority()), 2u);
    EXPECT_EQ(c->seek(0, enSEEK_CUR), 3); // position travels with the copy
    EXPECT_EQ(copy.write("d", 1), 1);
    EXPECT_EQ(payload(copy), "abcd");
    EXPECT_EQ(payload(m), "abc");
}

TEST(IpcMessageT, PriorityAboveFourIsAFault) {
    EXPECT_DEATH(ipcMessageT(1, 5), "val > maxVal");
    ipcMessageT m(1, 0);
    EXPECT_DEATH(m.priority(7), "val > maxVal");
}

TEST(IpcMessageIoT, StreamsThroughThePayload) {
    ipcMessageT m(16, 0);
    {
        ipcMessageT::ioT io(m);
        io << "abc" << 42;
        io.flush();
        EXPECT_TRUE(io.good());
    }
    EXPECT_EQ(payload(m), "abc42");
    ASSERT_EQ(m.seek(0, enSEEK_SET), 0);

    ipcMessageT::ioT io(&m);
    EXPECT_EQ(io.get(), 'a');
    EXPECT_EQ(io.peek(), 'b');
    EXPECT_EQ(io.tellg(), 1); // look-ahead is not counted
    EXPECT_EQ(io.get(), 'b');
    EXPECT_TRUE(io.putback('b'));
    EXPECT_EQ(io.get(), 'b');
    // Only the character last read can be put back.
    io.putback('z');
    EXPECT_TRUE(io.bad());
    io.clear();

    io.seekg(3, std::ios::beg);
    int n = 0;
    io >> n;
    EXPECT_EQ(n, 42);
    EXPECT_TRUE(io.eof());
    io.clear();

    char buf[32];
    io.seekg(0, std::ios::beg);
    io.read(buf, sizeof buf);
    EXPECT_EQ(io.gcount(), 5);
    EXPECT_EQ(std::string(buf, 5), "abc42");
    io.clear();

    io.seekp(0, std::ios::end);
    EXPECT_EQ(io.tellp(), 16);
    io.seekg(1, std::ios::end);
    EXPECT_TRUE(io.fail());
}

TEST(IpcMessageIoT, WritesStopAtCapacity) {
    ipcMessageT m(4, 0);
    ipcMessageT::ioT io(m);
    io.write("abcdef", 6);
    EXPECT_TRUE(io.bad());
    EXPECT_EQ(payload(m), "abcd");
}
