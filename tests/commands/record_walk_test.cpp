// Verify's and extract's walks over one chunk, in process: the words each gives to what
// the record reader finds, their own checks, and what extract creates, counts and reports.
// Verify's walk also as it runs on content that arrives in pieces.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "commands/destination.h"
#include "commands/extract.h"
#include "commands/verify.h"
#include "format/escaped_text.h"
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
WalkResult walk(const std::string& content, const fs::path& destination,
               const fs::path& archiveBelowDestination = {}) {
    const std::vector<unsigned char> bytes(content.begin(), content.end());
    WalkResult result;
    const ExtractProgress progress = [&](const std::string& label) {
        result.reports.push_back(label + " @" + std::to_string(result.counters.bytesExtracted));
    };
    Destination target(destination);
    EXPECT_TRUE(target.isOpen());
    testing::internal::CaptureStderr();
    result.ok = extractChunkRecords(bytes.data(), bytes.size(), target, result.counters, progress,
                                    archiveBelowDestination);
    result.err = testing::internal::GetCapturedStderr();
    return result;
}

// Verify's walk over the content arriving in pieces of 1 to 17 bytes, through a window
// of 1 to 17 bytes (13 at least), so that most paths are judged as they pass. The message
// of an unsafe one is completed as verify completes it, from its bytes in pieces of 1 to 5.
RecordWalk walkStreamed(const std::string& content, std::mt19937& rng) {
    ChunkMemory window(1 + rng() % 17);
    StreamedRecordWalk walker(content.size(), window);
    for (std::size_t given = 0; given < content.size();) {
        const std::size_t piece = std::min({walker.room(), std::size_t{1 + rng() % 17}, content.size() - given});
        std::copy_n(content.data() + given, piece, walker.space());
        walker.add(piece);
        given += piece;
    }
    RecordWalk walk = walker.walk();
    std::ostringstream shown;
    EscapedStream text(shown);
    for (std::uint64_t at = 0; at < walk.unheldPathLength;) {
        const std::uint64_t piece = std::min<std::uint64_t>(1 + rng() % 5, walk.unheldPathLength - at);
        text.write(std::string_view(content).substr(walk.unheldPathOffset + at, piece));
        at += piece;
    }
    text.finish();
    walk.failure += shown.str();
    return walk;
}

const std::string kDocs = recordBytes(1, "docs", 0);
const std::string kHello = recordBytes(0, "docs/a.txt", 5, "hello");

TEST(RecordWalk, EachCommandNamesWhatItRefuses) {
    struct Case {
        const char* name;
        std::string content;
        std::string verifyFailure;
        std::uint64_t verifyRecords;  // records passed before the failure
        std::string extractErr;
        std::uint64_t extractFiles;   // files restored before the failure
    };
    const std::vector<Case> cases = {
        {"whole", kDocs + kHello, "", 2, "", 1},
        {"stray byte", kHello + "x", "Chunk contains a damaged record header.", 1, "Damaged record header.\n", 1},
        {"path one byte short", kHello + kDocs.substr(0, kDocs.size() - 1), "Chunk contains a damaged path.", 1,
         "Damaged path data.\n", 1},
        {"unsafe path", kHello + recordBytes(0, "a/../b", 1, "x"), "Unsafe path found in archive: a/../b", 1,
         "Unsafe path in archive: a/../b\n", 1},
        {"control bytes shown escaped", recordBytes(0, "/\x1b]2;x\x07", 0), "Unsafe path found in archive: /\\x1b]2;x\\x07", 0,
         "Unsafe path in archive: /\\x1b]2;x\\x07\n", 0},
        // UTF-8 kept and C1 controls escaped, whichever sequence a piece's end cuts.
        {"UTF-8 and C1 controls in a long path", recordBytes(1, "\xc3\xa9/\xe2\x82\xac\xc2\x85\x85\xf0\x9f\x98\x80/..", 0),
         "Unsafe path found in archive: \xc3\xa9/\xe2\x82\xac\\xc2\\x85\\x85\xf0\x9f\x98\x80/..", 0,
         "Unsafe path in archive: \xc3\xa9/\xe2\x82\xac\\xc2\\x85\\x85\xf0\x9f\x98\x80/..\n", 0},
        {"sequences cut by the path's end", recordBytes(1, "../\xe2\x82\xf0\x9f\x98", 0),
         "Unsafe path found in archive: ../\xe2\\x82\xf0\\x9f\\x98", 0,
         "Unsafe path in archive: ../\xe2\\x82\xf0\\x9f\\x98\n", 0},
        {"unknown type", kHello + recordBytes(2, "x", 0), "Unknown record type: 2", 1, "Unknown record type.\n", 1},
        {"data one byte short", recordBytes(0, "f", 6, "hello"), "File data extends beyond the chunk.", 0,
         "Damaged file data.\n", 0},
        // Verify's own check; extract ignores a directory's data length.
        {"directory with data", recordHeaderBytes(1, 4, 1) + "docs" + kHello,
         "Directory record contains file data.", 0, "", 1},
        // Paths and data longer than the pieces a streamed walk gets.
        {"long names and data", recordBytes(1, std::string(40, 'd'), 0) +
                                    recordBytes(0, std::string(40, 'd') + "/f", 100, std::string(100, 'z')) + kDocs,
         "", 3, "", 1},
        // Extract's own check comes before the type is judged.
        {"into the archive, unknown type", recordBytes(7, "arc/x", 0), "Unknown record type: 7", 0,
         "Record path leads into the archive: arc/x\n", 0},
    };
    std::mt19937 rng(7);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<unsigned char> bytes(c.content.begin(), c.content.end());
        const RecordWalk verify = walkChunkRecords(bytes.data(), bytes.size());
        EXPECT_EQ(verify.failure, c.verifyFailure);
        EXPECT_EQ(verify.records, c.verifyRecords);
        for (int split = 0; split < 20; ++split) {
            const RecordWalk streamed = walkStreamed(c.content, rng);
            EXPECT_EQ(streamed.failure, verify.failure);
            EXPECT_EQ(streamed.records, verify.records);
            EXPECT_EQ(streamed.fileRecords, verify.fileRecords);
            EXPECT_EQ(streamed.fileBytes, verify.fileBytes);
        }

        TempDir dir;
        const WalkResult extract = walk(c.content, dir.path(), "arc");
        EXPECT_EQ(extract.ok, c.extractErr.empty());
        EXPECT_EQ(extract.err, c.extractErr);
        EXPECT_EQ(extract.counters.filesExtracted, c.extractFiles);
        // Nothing is created for the refused record itself.
        for (const char* name : {"f", "x", "b", "arc"}) EXPECT_FALSE(fs::exists(dir / name)) << name;
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

TEST(ExtractWalk, FolderAtAFileTargetStopsTheWalk) {
    TempDir dir;
    fs::create_directories(dir / "taken");
    const WalkResult folder = walk(kHello + recordBytes(0, "taken", 1, "x"), dir.path());
    EXPECT_FALSE(folder.ok);
    std::ostringstream target;
    target << (dir / "taken");
    EXPECT_EQ(folder.err, "Could not create file: " + target.str() + "\n");
    EXPECT_EQ(folder.counters.filesExtracted, 1u);
}

}  // namespace
