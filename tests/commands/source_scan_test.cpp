// The source check, the walk's filter and totals, and the record order.

#include "commands/source_scan.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

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

std::vector<std::string> recordPaths(const SourceScan& scan) {
    std::vector<std::string> paths;
    for (const auto& entry : scan.entries) paths.push_back(entry.recordPath + (entry.isDirectory ? "/" : ""));
    return paths;
}

SourceScan scanned(const fs::path& source) {
    SourceScan scan;
    CapturedCerr err;
    EXPECT_TRUE(scanSourceTree(source, scan));
    EXPECT_EQ(err.text(), "");
    return scan;
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

    const SourceScan scan = scanned(src);
    const std::vector<std::string> expected = {"B", "a/", "a b", "a-b", "a.txt", "a/x", "a/y",
                                               "a0", "b", "z", "\xc3\xa9"};
    EXPECT_EQ(recordPaths(scan), expected);
    EXPECT_TRUE(std::is_sorted(scan.entries.begin(), scan.entries.end(), packEntryLess));
}

TEST(SourceScan, PackEntryLessComparesRecordPathsByUnsignedBytes) {
    const auto less = [](const char* a, const char* b) {
        return packEntryLess(SourceEntry{a, false}, SourceEntry{b, true});
    };
    EXPECT_TRUE(less("B", "a"));
    EXPECT_TRUE(less("a", "a-b"));
    EXPECT_TRUE(less("a-b", "a/x"));
    EXPECT_TRUE(less("a/x", "a0"));
    EXPECT_TRUE(less("z", "\xc3\xa9"));
    EXPECT_FALSE(less("a", "a"));
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

    const SourceScan scan = scanned(src);
    const std::vector<std::string> expected = {"data.bin", "empty-folder/", "empty.txt", "hard.bin"};
    EXPECT_EQ(recordPaths(scan), expected);
    EXPECT_EQ(scan.fileCount, 3u);
    EXPECT_EQ(scan.totalBytes, 2000u);  // a hard link counts again
}

TEST(SourceScan, RecordPathsDoNotDependOnHowTheSourceIsWritten) {
    TempDir dir;
    writeFile(dir / "src" / "a" / "b.txt", "abc");
    writeFile(dir / "src" / "c", "");
    const std::vector<std::string> expected = {"a/", "a/b.txt", "c"};
    const std::string base = dir.path().native();
    for (const std::string& source :
         {base + "/src", base + "/src/", base + "//src//", base + "/./src", base + "/src/.",
          base + "/src/../src"}) {
        SCOPED_TRACE(source);
        const SourceScan scan = scanned(source);
        EXPECT_EQ(recordPaths(scan), expected);
        EXPECT_EQ(scan.fileCount, 2u);
        EXPECT_EQ(scan.totalBytes, 3u);
    }
}

TEST(SourceScan, LinkToAFolderServesAsSource) {
    TempDir dir;
    writeFile(dir / "real" / "f", "12");
    fs::create_symlink("real", dir / "link");
    const SourceScan scan = scanned(dir / "link");
    EXPECT_EQ(recordPaths(scan), std::vector<std::string>{"f"});
    EXPECT_EQ(scan.totalBytes, 2u);
}

}  // namespace
