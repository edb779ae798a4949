#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "rux_logger_xface.h"

using rux::fileLogDevT;

namespace {

class FileLogDevT : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/rux_logger_test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        path = dir + "/app.log";
    }
    void TearDown() override {
        unlink(path.c_str());
        unlink((path + ".old").c_str());
        rmdir(dir.c_str());
    }

    static std::string read(const std::string& p) {
        std::ifstream in(p, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    static void write(const std::string& p, const std::string& text) {
        std::ofstream(p, std::ios::binary) << text;
    }
    static bool exists(const std::string& p) {
        struct stat st;
        return ::stat(p.c_str(), &st) == 0;
    }

    std::string dir;
    std::string path;
};

} // namespace

TEST_F(FileLogDevT, CreatesOwnerOnlyFileNamedAfterThePath) {
    fileLogDevT dev(path, 1000);
    EXPECT_EQ(dev.name(), path);
    EXPECT_EQ(dev.level(), 9);
    EXPECT_TRUE(dev.isOpen());
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    dev._doLog("one\n", 6);
    dev._doLog("two\n", 6);
    EXPECT_EQ(read(path), "one\ntwo\n");
    EXPECT_EQ(dev.size(), 8u);
}

TEST_F(FileLogDevT, RotatesBeforeALineWouldExceedTheMaximum) {
    const std::string ninety(90, 'a'), twenty(20, 'b');
    write(path, ninety);
    fileLogDevT dev(path, 100);
    EXPECT_EQ(dev.size(), 90u); // an existing file is appended to
    dev._doLog(twenty, 6);
    EXPECT_EQ(read(path + ".old"), ninety);
    EXPECT_EQ(read(path), twenty);
    EXPECT_EQ(dev.size(), 20u);

    dev._doLog(std::string(80, 'c'), 6); // reaches the maximum exactly: no rotation
    EXPECT_EQ(read(path + ".old"), ninety);
    EXPECT_EQ(dev.size(), 100u);
}

TEST_F(FileLogDevT, RotationReplacesAnOlderGeneration) {
    write(path + ".old", "oldest\n");
    fileLogDevT dev(path, 10);
    dev._doLog("12345678\n", 6);
    dev._doLog("abcdefgh\n", 6);
    EXPECT_EQ(read(path + ".old"), "12345678\n");
    EXPECT_EQ(read(path), "abcdefgh\n");
}

TEST_F(FileLogDevT, OversizedLineIntoEmptyFileKeepsThePreviousGeneration) {
    write(path + ".old", "keep me\n");
    fileLogDevT dev(path, 4);
    dev._doLog("far too long\n", 6);
    EXPECT_EQ(read(path + ".old"), "keep me\n");
    EXPECT_EQ(read(path), "far too long\n");
}

TEST_F(FileLogDevT, UnopenableFileDropsLinesQuietly) {
    fileLogDevT dev(dir + "/missing/app.log", 100);
    EXPECT_FALSE(dev.isOpen());
    dev._doLog("lost\n", 6);
    EXPECT_EQ(dev.size(), 0u);
}

TEST_F(FileLogDevT, WriteErrorAfterPartialWriteKeepsCountOfBytesWritten) {
    fileLogDevT dev(path, 1 << 20);
    // A file size limit makes the kernel accept only part of the line, then
    // refuse the rest.
    struct rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    struct rlimit lim = old;
    lim.rlim_cur = 100;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lim), 0);
    dev._doLog(std::string(150, 'x'), 6);
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, oldHandler);

    EXPECT_EQ(dev.size(), 100u);
    EXPECT_EQ(read(path), std::string(100, 'x'));
    dev._doLog("next\n", 6);
    EXPECT_EQ(read(path), std::string(100, 'x') + "next\n");
}
