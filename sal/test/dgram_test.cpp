#include "sal/dgram.h"

#include <cstring>
#include <string>
#include <utility>

#include <gtest/gtest.h>

namespace {

rux::dgramT filled(uint32_t cap, const std::string& text) {
    rux::dgramT d(cap);
    d.write(text.data(), uint32_t(text.size()));
    return d;
}

std::string content(const rux::dgramT& d) {
    return std::string(d.buf(), d.length());
}

TEST(DgramT, WriteStopsAtCapacity) {
    rux::dgramT d(8);
    d.trunc(3);
    ASSERT_EQ(d.seek(6, rux::enSEEK_SET), 6);
    EXPECT_EQ(d.write("0123456789", 10), 2u);
    EXPECT_EQ(d.position(), 8u);
    EXPECT_EQ(d.length(), 8u);
    EXPECT_EQ(d.write("x", 1), 0u);
}

TEST(DgramT, ReadStopsAtLength) {
    rux::dgramT d = filled(16, "hello");
    char out[16] = {};
    EXPECT_EQ(d.read(out, 4), 0u); // position is at the end of what was written
    d.seek(1, rux::enSEEK_SET);
    EXPECT_EQ(d.read(out, 16), 4u);
    EXPECT_EQ(std::string(out, 4), "ello");
    EXPECT_EQ(d.read(out, 16), 0u);
}

TEST(DgramT, SeekOriginsAndLimits) {
    rux::dgramT d(8);
    d.trunc(3);
    EXPECT_EQ(d.seek(5, rux::enSEEK_SET), 5);
    EXPECT_EQ(d.length(), 5u);
    EXPECT_EQ(d.seek(9, rux::enSEEK_SET), -1);
    EXPECT_EQ(d.position(), 5u);
    EXPECT_EQ(d.seek(-1, rux::enSEEK_END), 7);
    EXPECT_EQ(d.length(), 7u);
    EXPECT_EQ(d.seek(-2, rux::enSEEK_CUR), 5);
    EXPECT_EQ(d.length(), 7u); // seeking back never shortens
    EXPECT_EQ(d.seek(-6, rux::enSEEK_CUR), -1);
    EXPECT_EQ(d.seek(1, rux::enSEEK_END), -1);
    EXPECT_EQ(d.seek(0, rux::enSEEK_END), 8);
    EXPECT_EQ(d.seek(0, rux::seekT(3)), -1);
    EXPECT_EQ(d.seek(-0x7fffffffffffffffL, rux::enSEEK_END), -1);
    EXPECT_EQ(d.seek(0x7fffffffffffffffL, rux::enSEEK_END), -1);
}

TEST(DgramT, GrowingTheLengthExposesZerosOrWhatBufHolds) {
    rux::dgramT d(8);
    d.seek(4, rux::enSEEK_SET);
    EXPECT_EQ(content(d), std::string(4, '\0')); // fresh storage is zeroed
    std::memcpy(d.buf(), "received", 8);         // a transport fills the storage...
    EXPECT_EQ(d.trunc(8), 8u);                   // ...then sets the length
    EXPECT_EQ(content(d), "received");
}

TEST(DgramT, WriteAfterTruncBelowPositionKeepsTheBytesBetween) {
    rux::dgramT d = filled(8, "abcdef");
    d.trunc(2);
    EXPECT_EQ(d.position(), 6u); // trunc leaves the position alone
    d.write("Z", 1);
    EXPECT_EQ(content(d), "abcdefZ");
}

TEST(DgramT, TruncClampsToCapacity) {
    rux::dgramT d(8);
    EXPECT_EQ(d.trunc(20), 8u);
    EXPECT_EQ(d.trunc(2), 2u);
    rux::dgramT empty(0);
    EXPECT_EQ(empty.trunc(5), 0u);
    EXPECT_EQ(empty.buf(), nullptr);
}

TEST(DgramT, CopyOwnsFreshStorage) {
    char outside[8] = {'a', 'b', 'c'};
    rux::dgramT ext(outside, 8, 3);
    EXPECT_TRUE(ext.external());
    ext.seek(1, rux::enSEEK_SET);
    rux::dgramT copy(ext);
    EXPECT_FALSE(copy.external());
    EXPECT_NE(copy.buf(), outside);
    EXPECT_EQ(copy.capacity(), 8u);
    EXPECT_EQ(copy.length(), 3u);
    EXPECT_EQ(copy.position(), 1u);
    EXPECT_EQ(content(copy), "abc");
    outside[0] = 'X';
    EXPECT_EQ(content(copy), "abc");
    // Only the valid bytes travel; growing the copy shows zeros, not the rest.
    outside[5] = 'Z';
    rux::dgramT grown(ext);
    grown.trunc(8);
    EXPECT_EQ(std::string(grown.buf(), 8), std::string("Xbc\0\0\0\0\0", 8));

    rux::dgramT bare(8);
    rux::dgramT bareCopy(bare);
    EXPECT_FALSE(bareCopy.hasStorage()); // nothing to copy, nothing allocated

    rux::dgramT assigned(2);
    assigned = ext;
    EXPECT_EQ(content(assigned), "Xbc");
    EXPECT_FALSE(assigned.external());
}

TEST(DgramT, MoveTakesStorageAndFlag) {
    char outside[4] = {'q'};
    rux::dgramT ext(outside, 4, 1);
    rux::dgramT moved(std::move(ext));
    EXPECT_TRUE(moved.external());
    EXPECT_EQ(moved.buf(), outside);
    EXPECT_FALSE(ext.hasStorage());
    EXPECT_EQ(ext.capacity(), 0u);
    EXPECT_EQ(ext.length(), 0u);

    rux::dgramT owned = filled(8, "abc");
    const char* storage = owned.buf();
    rux::dgramT target(3);
    target = std::move(owned);
    EXPECT_EQ(target.buf(), storage);
    EXPECT_EQ(content(target), "abc");
    EXPECT_FALSE(owned.hasStorage());
}

TEST(DgramT, ExternalStorageIsClampedAndNotFreed) {
    char outside[4];
    {
        rux::dgramT d(outside, 4, 10);
        EXPECT_EQ(d.length(), 4u);
        EXPECT_EQ(d.write("abcdef", 6), 4u);
    } // must not free `outside` (ASan would report it)
    EXPECT_EQ(std::string(outside, 4), "abcd");
    rux::dgramT none(nullptr, 4, 2);
    EXPECT_EQ(none.capacity(), 0u);
    EXPECT_EQ(none.length(), 0u);
}

} // namespace
