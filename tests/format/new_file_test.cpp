// The text stream on a file created for writing alone: its bytes reach the file when
// flushed, closed, or given up on. What stands at the path is kept: the chunk writer's
// tests show it.

#include "format/new_file.h"

#include <gtest/gtest.h>

#include <ostream>

#include "support/test_support.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

TEST(NewFile, TextReachesTheFileWhenFlushedOrGivenUp) {
    TempDir dir;
    {
        NewFileBuffer buffer(testing_support::openFolder(dir.path()).fd(), "manifest.txt");
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
