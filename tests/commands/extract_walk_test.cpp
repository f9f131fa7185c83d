// The record walk of one chunk, in process: its checks and messages, what it creates,
// the counters and the progress labels.

#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "commands/extract.h"
#include "support/test_support.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

struct WalkResult {
    bool ok = false;
    std::string err;
    ExtractCounters counters;
    std::vector<std::string> reports;  // label and bytes done at each report
};

// The walk gets a buffer of exactly the content's size, so that the sanitizers catch
// any read past its end.
WalkResult walk(const std::string& content, const fs::path& destination) {
    const std::vector<unsigned char> bytes(content.begin(), content.end());
    WalkResult result;
    const ExtractProgress progress = [&](const std::string& label) {
        result.reports.push_back(label + " @" + std::to_string(result.counters.bytesExtracted));
    };
    testing::internal::CaptureStderr();
    result.ok = extractChunkRecords(bytes.data(), bytes.size(), destination, result.counters,
                                    progress);
    result.err = testing::internal::GetCapturedStderr();
    return result;
}

const std::string kDocs = recordBytes(1, "docs", 0);
const std::string kHello = recordBytes(0, "docs/a.txt", 5, "hello");

TEST(ExtractWalk, DamagedRecordsStopTheWalkWithTheirMessage) {
    struct Case {
        const char* name;
        std::string content;
        std::string err;
        std::uint64_t files;  // files restored before the damaged record
    };
    const std::vector<Case> cases = {
        {"one byte left", kHello + "x", "Damaged record header.\n", 1},
        {"twelve bytes left", kHello + recordHeaderBytes(1, 0, 0).substr(0, 12), "Damaged record header.\n", 1},
        {"path one byte short", kHello + recordBytes(1, "abc", 0).substr(0, 15),
         "Damaged path data.\n", 1},
        {"huge path length", recordHeaderBytes(1, 0xffffffffu, 0) + "abc", "Damaged path data.\n", 0},
        {"empty path", recordBytes(0, "", 0), "Unsafe path in archive: \n", 0},
        {"parent element", kHello + recordBytes(0, "a/../b", 1, "x"),
         "Unsafe path in archive: a/../b\n", 1},
        {"only parent", recordBytes(1, "..", 0), "Unsafe path in archive: ..\n", 0},
        {"absolute", recordBytes(0, "/x", 1, "x"), "Unsafe path in archive: /x\n", 0},
        {"unsafe before type", recordBytes(7, "../x", 0), "Unsafe path in archive: ../x\n", 0},
        {"control bytes shown escaped", recordBytes(0, "/\x1b]2;x\x07", 0),
         "Unsafe path in archive: /\\x1b]2;x\\x07\n", 0},
        {"unknown type", kHello + recordBytes(2, "x", 0), "Unknown record type.\n", 1},
        {"type 255", recordBytes(255, "x", 0), "Unknown record type.\n", 0},
        {"data one byte short", recordBytes(0, "f", 6, "hello"), "Damaged file data.\n", 0},
        {"huge data length", recordBytes(0, "f", UINT64_MAX, "hello"), "Damaged file data.\n", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const WalkResult r = walk(c.content, dir.path());
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.counters.filesExtracted, c.files);
        // Nothing is created for the damaged record itself.
        EXPECT_FALSE(fs::exists(dir / "f"));
        EXPECT_FALSE(fs::exists(dir / "x"));
        EXPECT_FALSE(fs::exists(dir / "b"));
    }
}

TEST(ExtractWalk, RestoresRecordsAndReportsEachStep) {
    TempDir dir;
    const std::string content = kDocs + kHello + recordBytes(0, "empty.txt", 0) +
                                recordBytes(0, "no/folder/record.txt", 3, "abc") +
                                recordBytes(1, "a/b", 5) + recordBytes(0, "a/b/f", 2, "ok");
    const WalkResult r = walk(content, dir.path());
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.counters.filesExtracted, 4u);
    EXPECT_EQ(r.counters.bytesExtracted, 10u);
    EXPECT_EQ(r.counters.chunksConsumed, 0u);
    // An empty file is created and counted, but reports nothing; a directory's data
    // length is ignored and the bytes after its path are the next record.
    const std::vector<std::string> expected = {
        "Creating: docs @0", "Extracting: docs/a.txt @5", "Extracting: no/folder/record.txt @8",
        "Creating: a/b @8", "Extracting: a/b/f @10"};
    EXPECT_EQ(r.reports, expected);
    EXPECT_EQ(readFile(dir / "docs/a.txt"), "hello");
    EXPECT_EQ(readFile(dir / "empty.txt"), "");
    EXPECT_EQ(readFile(dir / "no/folder/record.txt"), "abc");
    EXPECT_EQ(readFile(dir / "a/b/f"), "ok");

    // Empty content holds no records.
    const WalkResult none = walk("", dir.path());
    EXPECT_TRUE(none.ok);
    EXPECT_TRUE(none.reports.empty());
}

TEST(ExtractWalk, TargetsThatCannotBeWritten) {
    TempDir dir;
    fs::create_directories(dir / "taken");
    const WalkResult folder = walk(kHello + recordBytes(0, "taken", 1, "x"), dir.path());
    EXPECT_FALSE(folder.ok);
    std::ostringstream target;
    target << (dir / "taken");
    EXPECT_EQ(folder.err, "Could not create file: " + target.str() + "\n");
    EXPECT_EQ(folder.counters.filesExtracted, 1u);

    // A device that refuses every byte: a small file fails only when it is closed, a
    // large one at its first piece. Neither counts as extracted.
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full on this system";
    fs::create_symlink("/dev/full", dir / "full");
    std::ostringstream full;
    full << (dir / "full");
    for (const std::size_t size : {std::size_t{10}, std::size_t{2000000}}) {
        SCOPED_TRACE(size);
        const WalkResult r =
            walk(recordBytes(0, "full", size, std::string(size, 'z')), dir.path());
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.err, "Failed while writing: " + full.str() + "\n");
        EXPECT_EQ(r.counters.filesExtracted, 0u);
    }
}

}  // namespace
