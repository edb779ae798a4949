#include "sal/files.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using listT = std::vector<std::string>;

class TreeT : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/rux-files-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        root = tmpl;
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    void file(const std::string& rel, const std::string& text = "x") {
        std::ofstream(root + "/" + rel) << text;
    }
    std::string root;
};

void split(const std::string& p, std::string& d, std::string& n) {
    rux::splitPathName(p, d, n);
}

TEST(SplitPathNameT, SplitsAtTheLastSeparatorRun) {
    std::string d, n;
    split("a/b/c", d, n);
    EXPECT_EQ(d, "a/b");
    EXPECT_EQ(n, "c");
    split("a//b///c", d, n);
    EXPECT_EQ(d, "a//b");
    EXPECT_EQ(n, "c");
    split("name", d, n);
    EXPECT_EQ(d, "");
    EXPECT_EQ(n, "name");
    split("a/b/", d, n);
    EXPECT_EQ(d, "a/b");
    EXPECT_EQ(n, "");
    split("/top", d, n);
    EXPECT_EQ(d, "/"); // stays absolute
    EXPECT_EQ(n, "top");
}

TEST(ParsePathT, ComponentsWithAndWithoutEmptyOnes) {
    listT l{"stale"};
    std::string n;
    rux::parsePath("/x//y/z", l, n);
    EXPECT_EQ(l, (listT{"x", "y"}));
    EXPECT_EQ(n, "z");
    rux::parsePath2("/x//y/z", l, n);
    EXPECT_EQ(l, (listT{"", "x", "", "y"}));
    rux::parsePath2("/z", l, n);
    EXPECT_EQ(l, (listT{""}));
    rux::parsePath2("z", l, n);
    EXPECT_TRUE(l.empty());
    EXPECT_EQ(n, "z");
}

TEST_F(TreeT, MakeDirRecCreatesWhatIsMissing) {
    ASSERT_TRUE(rux::makeDirRec(root + "/a"));
    ASSERT_TRUE(rux::makeDirRec(root + "/a/b"));
    EXPECT_TRUE(fs::is_directory(root + "/a/b"));
    EXPECT_TRUE(rux::makeDirRec(root + "/a/b")); // exists: fine
    EXPECT_TRUE(rux::makeDirRec((root + "/p/q/r/").c_str()));
    EXPECT_TRUE(fs::is_directory(root + "/p/q/r"));
    ASSERT_EQ(root[0], '/');
    EXPECT_TRUE(rux::makeDirRec(root + "//s")); // from the root, doubled separators too
    EXPECT_TRUE(fs::is_directory(root + "/s"));
    file("f");
    EXPECT_FALSE(rux::makeDirRec(root + "/f/g")); // a file is in the way
    EXPECT_FALSE(rux::makeDirRec(""));
    EXPECT_FALSE(rux::makeDirRec(static_cast<const char*>(nullptr)));
}

TEST_F(TreeT, MakeDirRecOfARelativePath) {
    std::string cwd = fs::current_path();
    fs::current_path(root);
    bool ok = rux::makeDirRec("rel/sub");
    fs::current_path(cwd);
    EXPECT_TRUE(ok);
    EXPECT_TRUE(fs::is_directory(root + "/rel/sub"));
}

TEST_F(TreeT, ListDirGivesSortedNames) {
    listT l;
    EXPECT_TRUE(rux::listDir(root, l));
    EXPECT_TRUE(l.empty());
    EXPECT_FALSE(rux::listDir(root + "/missing", l));
    EXPECT_FALSE(rux::listDir("", l));
    file("b");
    file("a");
    fs::create_directory(root + "/c");
    EXPECT_TRUE(rux::listDir(root + "//", l));
    EXPECT_EQ(l, (listT{"a", "b", "c"}));
}

TEST_F(TreeT, ListDirRecPutsDirectoriesBeforeTheirContents) {
    fs::create_directories(root + "/b/d");
    file("b/c");
    file("b/d/e");
    file("a");
    listT l;
    ASSERT_TRUE(rux::listDirRec(root, l));
    EXPECT_EQ(l, (listT{"a", "b", "b/c", "b/d", "b/d/e"}));
}

TEST_F(TreeT, RemoveDirRecRemovesTheTree) {
    fs::create_directories(root + "/t/b/d");
    file("t/b/c");
    file("t/x");
    EXPECT_TRUE(rux::removeDirRec(root + "/t"));
    EXPECT_FALSE(fs::exists(root + "/t"));
    EXPECT_FALSE(rux::removeDirRec(root + "/t")); // nothing there to remove
}

TEST_F(TreeT, RemoveDirRecDoesNotFollowLinks) {
    fs::create_directories(root + "/outside");
    file("outside/keep");
    fs::create_directories(root + "/t");
    fs::create_directory_symlink(root + "/outside", root + "/t/link");
    EXPECT_TRUE(rux::removeDirRec(root + "/t"));
    EXPECT_TRUE(fs::exists(root + "/outside/keep"));
}

TEST(GetRealPathT, NormalisesWithoutNeedingThePath) {
    std::string out;
    ASSERT_TRUE(rux::getRealPath("/no/such//dir/./x/../y/", out));
    EXPECT_EQ(out, "/no/such/dir/y/");
    ASSERT_TRUE(rux::getRealPath("/../..", out));
    EXPECT_EQ(out, "/");
    ASSERT_TRUE(rux::getRealPath("rel/file", out));
    EXPECT_EQ(out, fs::current_path().string() + "/rel/file");
    out = "junk";
    EXPECT_FALSE(rux::getRealPath("", out));
    EXPECT_EQ(out, "");
}

TEST_F(TreeT, GetFileSize) {
    file("five", "12345");
    EXPECT_EQ(rux::getFileSize(root + "/five"), 5);
    EXPECT_EQ(rux::getFileSize(root + "/none"), -1);
    EXPECT_EQ(rux::getFileSize(root), 0);
}

} // namespace
