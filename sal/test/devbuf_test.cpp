#include "sal/devbuf.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sal/dgram.h"

namespace {

// A device that hands out its input in slices of at most `slice` bytes and
// accepts at most `wslice` bytes per write, recording every call.
struct fakeDevT {
    std::string in;
    size_t at = 0;
    long slice = 1000;
    std::string out;
    long wslice = 1000;
    bool failWrites = false;
    std::vector<long> reads;  // requested counts
    std::vector<long> writes; // offered counts

    long read(char* b, long n) {
        reads.push_back(n);
        long k = std::min<long>({n, slice, long(in.size() - at)});
        in.copy(b, size_t(k), at);
        at += size_t(k);
        return k;
    }
    long write(const char* b, long n) {
        writes.push_back(n);
        if (failWrites)
            return -1;
        long k = std::min(n, wslice);
        out.append(b, size_t(k));
        return k;
    }
};

// A device that also has sync(), counting calls.
struct syncDevT : fakeDevT {
    int syncs = 0;
    int sync() {
        ++syncs;
        return 0;
    }
};

using buf8T = rux::devbufT<fakeDevT, 8>;

TEST(DevbufT, GetAreaRefillsWithOneReadOfN) {
    fakeDevT dev;
    dev.in = "abcdefghijklmnop";
    buf8T::devstreamT s(&dev);
    std::string got;
    char c;
    while (s.get(c))
        got += c;
    EXPECT_EQ(got, dev.in);
    ASSERT_GE(dev.reads.size(), 3u);
    EXPECT_EQ(dev.reads[0], 8);
    EXPECT_EQ(dev.reads[1], 8);
}

TEST(DevbufT, PutBackKeepsFourBytesAcrossRefill) {
    fakeDevT dev;
    dev.in = "0123456789ABCDEF";
    buf8T b(&dev);
    for (int i = 0; i < 9; ++i)
        b.sbumpc(); // "01234567" from the first read, '8' from the refill
    EXPECT_EQ(b.sungetc(), '8');
    EXPECT_EQ(b.sungetc(), '7');
    EXPECT_EQ(b.sungetc(), '6');
    EXPECT_EQ(b.sungetc(), '5');
    EXPECT_EQ(b.sungetc(), '4');
    EXPECT_EQ(b.sungetc(), EOF); // '3' was not kept
    EXPECT_EQ(b.sbumpc(), '4');
    EXPECT_EQ(b.sputbackc('x'), EOF); // only the byte that was read goes back
    EXPECT_EQ(b.sputbackc('4'), '4');
}

TEST(DevbufT, UnbufferedReadsOneByteAndPutsBackUpToFour) {
    rux::dgramT msg(16);
    msg.write("hello!", 6);
    msg.seek(0, rux::enSEEK_SET);
    rux::devbufT<rux::dgramT, 0> b(&msg);
    EXPECT_EQ(b.sgetc(), 'h');
    EXPECT_EQ(msg.position(), 1u); // one byte of look-ahead
    EXPECT_EQ(b.sbumpc(), 'h');
    EXPECT_EQ(b.sgetc(), 'e');
    EXPECT_EQ(b.sputbackc('e'), EOF); // 'e' has not been read yet
    EXPECT_EQ(b.sungetc(), 'h');
    EXPECT_EQ(b.sungetc(), EOF);
    for (int i = 0; i < 6; ++i)
        b.sbumpc(); // "hello!", one byte per device read
    EXPECT_EQ(b.sungetc(), '!');
    EXPECT_EQ(b.sungetc(), 'o');
    EXPECT_EQ(b.sungetc(), 'l');
    EXPECT_EQ(b.sungetc(), 'l');
    EXPECT_EQ(b.sungetc(), 'e');
    EXPECT_EQ(b.sungetc(), EOF); // 'h' was not kept
    char rest[8];
    EXPECT_EQ(b.sgetn(rest, 8), 5);
    EXPECT_EQ(std::string(rest, 5), "ello!");
}

TEST(DevbufT, UnbufferedWritesGoStraightToTheDevice) {
    fakeDevT dev;
    dev.wslice = 3;
    rux::devbufT<fakeDevT, 0> b(&dev);
    EXPECT_EQ(b.sputn("abcdefg", 7), 7);
    EXPECT_EQ(dev.out, "abcdefg");
    EXPECT_EQ(b.sputc('h'), 'h');
    EXPECT_EQ(dev.out, "abcdefgh");
    dev.failWrites = true;
    EXPECT_EQ(b.sputn("ij", 2), 0);
    EXPECT_EQ(b.sputc('k'), EOF);
}

TEST(DevbufT, LargeReadsBypassTheGetAreaButKeepPutBack) {
    fakeDevT dev;
    dev.in = std::string("ab") + std::string(30, 'x') + "yz";
    buf8T b(&dev);
    EXPECT_EQ(b.sbumpc(), 'a');
    char big[32];
    EXPECT_EQ(b.sgetn(big, 32), 32);
    EXPECT_EQ(big[0], 'b');
    EXPECT_EQ(big[31], 'y');
    EXPECT_EQ(b.sungetc(), 'y');
    EXPECT_EQ(b.sbumpc(), 'y');
    EXPECT_EQ(b.sbumpc(), 'z');
    EXPECT_EQ(b.sbumpc(), EOF);
}

TEST(DevbufT, PutAreaFlushesWhenFullAndOnSync) {
    fakeDevT dev;
    dev.wslice = 3; // partial writes are repeated
    {
        buf8T::devstreamT s(&dev);
        s << "12345678";
        EXPECT_EQ(dev.out, ""); // exactly full, nothing sent yet
        s << "9";
        EXPECT_EQ(dev.out, "12345678");
        s.flush();
        EXPECT_TRUE(s.good());
        EXPECT_EQ(dev.out, "123456789");
        s << "tail";
    }
    EXPECT_EQ(dev.out, "123456789tail"); // destruction flushes
}

TEST(DevbufT, FailedFlushFailsSyncAndKeepsData) {
    fakeDevT dev;
    dev.failWrites = true;
    buf8T::devstreamT s(&dev);
    s << "abc";
    s.flush();
    EXPECT_TRUE(s.bad());
    dev.failWrites = false;
    EXPECT_EQ(s.rdbuf()->pubsync(), 0);
    EXPECT_EQ(dev.out, "abc");
}

TEST(DevbufT, SyncReachesTheDevice) {
    syncDevT dev;
    rux::devbufT<syncDevT, 0> b(&dev);
    EXPECT_EQ(b.pubsync(), 0);
    EXPECT_EQ(dev.syncs, 1);
}

TEST(DevbufT, SeekMapsToTheDeviceAndAccountsForLookAhead) {
    rux::dgramT msg(10);
    msg.write("0123456789", 10);
    msg.seek(0, rux::enSEEK_SET);
    rux::devbufT<rux::dgramT, 4>::devstreamT s(&msg);
    char c;
    s.get(c);
    EXPECT_EQ(c, '0');
    EXPECT_EQ(msg.position(), 4u); // the get area ran ahead
    EXPECT_EQ(s.tellg(), 1);
    s.seekg(2, std::ios_base::cur);
    s.get(c);
    EXPECT_EQ(c, '3');
    s.seekg(-1, std::ios_base::end);
    s.get(c);
    EXPECT_EQ(c, '9');
    s.seekg(20, std::ios_base::beg);
    EXPECT_TRUE(s.fail());
    s.clear();
    s.seekg(5);
    s.get(c);
    EXPECT_EQ(c, '5');
}

TEST(DevbufT, StreamsFormattedValuesOverAMessage) {
    rux::dgramT msg(64);
    {
        rux::devbufT<rux::dgramT, 0>::devstreamT s(&msg);
        s << 42 << ' ' << "word" << ' ' << 3.5;
        s.seekg(0);
        int i = 0;
        std::string w;
        double d = 0;
        s >> i >> w >> d;
        EXPECT_EQ(i, 42);
        EXPECT_EQ(w, "word");
        EXPECT_EQ(d, 3.5);
    }
}

} // namespace
