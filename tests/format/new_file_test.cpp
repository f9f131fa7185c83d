// Files created for writing alone: what stands at the path is kept, and the text stream's
// bytes reach the file when flushed, closed, or given up on.

#include "format/new_file.h"

#include <gtest/gtest.h>

#include <ostream>

#include "support/test_support.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

TEST(NewFile, AnythingAtThePathIsKept) {
    TempDir dir;
    writeFile(dir / "file", "kept");
    fs::create_symlink("file", dir / "link");
    fs::create_symlink("nowhere", dir / "dangling");
    fs::create_directory(dir / "folder");
    for (const char* name : {"file", "link", "dangling", "folder"}) {
        SCOPED_TRACE(name);
        NewFileBuffer buffer(dir / name);
        EXPECT_FALSE(buffer.isOpen());
        std::ostream out(&buffer);
        out << "lost" << std::flush;
        EXPECT_FALSE(out);
        EXPECT_FALSE(buffer.close());
    }
    EXPECT_EQ(readFile(dir / "file"), "kept");
    EXPECT_FALSE(fs::exists(dir / "nowhere"));
}

TEST(NewFile, TextReachesTheFileWhenFlushedOrGivenUp) {
    TempDir dir;
    {
        NewFileBuffer buffer(dir / "manifest.txt");
        std::ostream out(&buffer);
        out << "HLG1\n";
        EXPECT_EQ(readFile(dir / "manifest.txt"), "");
        out << std::flush;
        EXPECT_EQ(readFile(dir / "manifest.txt"), "HLG1\n");
        out << std::string(20000, 'x');  // past the buffer: written as it fills
    }
    EXPECT_EQ(readFile(dir / "manifest.txt"), "HLG1\n" + std::string(20000, 'x'));
}

}  // namespace
