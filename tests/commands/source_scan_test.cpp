// The source check, the walk's filter and totals, and the record order.

#include "commands/source_scan.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <sstream>

#include "support/test_support.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

class CapturedCerr {
public:
    CapturedCerr() : previous_(std::cerr.rdbuf(text_.rdbuf())) {}
    ~CapturedCerr() { std::cerr.rdbuf(previous_); }
    std::string text() const { return text_.str(); }

private:
    std::ostringstream text_;
    std::streambuf* previous_;
};

std::vector<std::string> recordPaths(const SourceScan& scan, const fs::path& source) {
    const std::size_t prefix = entryPathPrefixLength(source);
    std::vector<std::string> paths;
    for (const auto& entry : scan.entries) paths.push_back(entry.path().native().substr(prefix));
    return paths;
}

TEST(SourceScan, CheckSourceFolderAcceptsOnlyDirectories) {
    TempDir dir;
    writeFile(dir / "file", "x");
    fs::create_directory(dir / "folder");
    fs::create_symlink("folder", dir / "link-to-folder");
    fs::create_symlink("file", dir / "link-to-file");
    fs::create_symlink("nowhere", dir / "dangling");
    ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);

    const struct {
        const char* name;
        bool accepted;
    } cases[] = {
        {"folder", true},  {"link-to-folder", true}, {"missing", false}, {"file", false},
        {"link-to-file", false}, {"dangling", false}, {"pipe", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CapturedCerr err;
        EXPECT_EQ(checkSourceFolder(dir / c.name), c.accepted);
        EXPECT_EQ(err.text(), c.accepted ? "" : "Source folder does not exist or is not a directory.\n");
    }
}

TEST(SourceScan, OrdersByBytesOfThePathBelowTheSource) {
    TempDir dir;
    const fs::path src = dir / "src";
    for (const char* name : {"b", "a.txt", "a-b", "B", "a b", "a0", "\xc3\xa9", "z"})
        writeFile(src / name, "");
    writeFile(src / "a" / "x", "");
    writeFile(src / "a" / "y", "");

    const SourceScan scan = scanSourceTree(src);
    const std::vector<std::string> expected = {"B", "a", "a b", "a-b", "a.txt", "a/x", "a/y",
                                               "a0", "b", "z", "\xc3\xa9"};
    EXPECT_EQ(recordPaths(scan, src), expected);
    EXPECT_TRUE(std::is_sorted(scan.entries.begin(), scan.entries.end(), packEntryLess));
}

TEST(SourceScan, PackEntryLessComparesGenericPaths) {
    const auto less = [](const char* a, const char* b) {
        return packEntryLess(fs::directory_entry(a), fs::directory_entry(b));
    };
    EXPECT_TRUE(less("s/B", "s/a"));
    EXPECT_TRUE(less("s/a", "s/a-b"));
    EXPECT_TRUE(less("s/a-b", "s/a/x"));
    EXPECT_TRUE(less("s/a/x", "s/a0"));
    EXPECT_TRUE(less("s/z", "s/\xc3\xa9"));
    // Doubled separators are one "/" in generic form.
    EXPECT_FALSE(less("s//a/x", "s/a/x"));
    EXPECT_FALSE(less("s/a/x", "s//a/x"));
    EXPECT_FALSE(less("s/a", "s/a"));
}

TEST(SourceScan, KeepsDirectoriesAndRegularFilesOnly) {
    TempDir dir;
    const fs::path src = dir / "src";
    writeFile(src / "data.bin", std::string(1000, 'd'));
    writeFile(src / "empty.txt", "");
    fs::create_directories(src / "empty-folder");
    writeFile(dir / "outside" / "hidden.txt", "never walked");
    fs::create_symlink("data.bin", src / "link-to-file");
    fs::create_symlink(dir / "outside", src / "link-to-folder");
    fs::create_symlink("nowhere", src / "dangling");
    ASSERT_EQ(mkfifo((src / "pipe").c_str(), 0600), 0);
    fs::create_hard_link(src / "data.bin", src / "hard.bin");

    const SourceScan scan = scanSourceTree(src);
    const std::vector<std::string> expected = {"data.bin", "empty-folder", "empty.txt", "hard.bin"};
    EXPECT_EQ(recordPaths(scan, src), expected);
    EXPECT_EQ(scan.fileCount, 3u);
    EXPECT_EQ(scan.totalBytes, 2000u);  // a hard link counts again
}

TEST(SourceScan, RecordPathsDoNotDependOnHowTheSourceIsWritten) {
    TempDir dir;
    writeFile(dir / "src" / "a" / "b.txt", "abc");
    writeFile(dir / "src" / "c", "");
    const std::vector<std::string> expected = {"a", "a/b.txt", "c"};
    const std::string base = dir.path().native();
    for (const std::string& source :
         {base + "/src", base + "/src/", base + "//src//", base + "/./src", base + "/src/.",
          base + "/src/../src"}) {
        SCOPED_TRACE(source);
        const SourceScan scan = scanSourceTree(source);
        EXPECT_EQ(recordPaths(scan, source), expected);
        EXPECT_EQ(scan.fileCount, 2u);
        EXPECT_EQ(scan.totalBytes, 3u);
    }
}

TEST(SourceScan, EntryFolderReachesEntriesByNameInAnyOrder) {
    TempDir dir;
    const std::string base = dir.path().native();
    writeFile(dir / "s" / "a" / "one", "1");
    writeFile(dir / "s" / "a" / "b" / "c" / "three", "333");
    writeFile(dir / "s" / "a" / "two", "22");
    writeFile(dir / "s" / "d" / "four", "4444");
    writeFile(dir / "s2" / "five", "55555");
    // Down, back up, across to a sibling folder and to one whose name extends another's.
    const struct {
        std::string path;
        std::uint64_t size;
    } visits[] = {
        {base + "/s/a/one", 1},          {base + "/s/a/b/c/three", 3}, {base + "/s/a/two", 2},
        {base + "/s//a//b/c/three", 3},  {base + "/s/d/four", 4},      {base + "/s2/five", 5},
        {base + "/s/a/./two", 2},        {base + "/s/../s/d/four", 4},
    };
    EntryFolder folder;
    for (const auto& v : visits) {
        SCOPED_TRACE(v.path);
        EXPECT_EQ(folder.fileSize(v.path), v.size);
        const int fd = folder.openForReading(v.path, O_CLOEXEC);
        ASSERT_GE(fd, 0);
        char bytes[8] = {};
        EXPECT_EQ(read(fd, bytes, sizeof bytes), static_cast<ssize_t>(v.size));
        close(fd);
    }
    // Whatever is not a readable regular file fails as the standard query does.
    for (const std::string& path : {base + "/s/a/missing", base + "/s/a/b", base + "/nowhere/x"}) {
        SCOPED_TRACE(path);
        std::string expected;
        try {
            static_cast<void>(fs::file_size(path));
        } catch (const fs::filesystem_error& e) {
            expected = e.what();
        }
        ASSERT_NE(expected, "");
        try {
            folder.fileSize(path);
            ADD_FAILURE() << "no error";
        } catch (const fs::filesystem_error& e) {
            EXPECT_EQ(std::string(e.what()), expected);
        }
    }
    EXPECT_LT(folder.openForReading(base + "/s/a/missing", O_CLOEXEC), 0);
}

TEST(SourceScan, LinkToAFolderServesAsSource) {
    TempDir dir;
    writeFile(dir / "real" / "f", "12");
    fs::create_symlink("real", dir / "link");
    const SourceScan scan = scanSourceTree(dir / "link");
    ASSERT_EQ(scan.entries.size(), 1u);
    EXPECT_EQ(scan.entries[0].path(), dir / "link" / "f");
    EXPECT_EQ(scan.totalBytes, 2u);
}

}  // namespace
