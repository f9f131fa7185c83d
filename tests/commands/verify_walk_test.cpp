#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "commands/verify.h"
#include "support/test_support.h"

using testing_support::recordBytes;
using testing_support::recordHeaderBytes;

namespace {

// The walk gets a buffer of exactly the content's size, so that the sanitizers
// catch any read past its end.
RecordWalk walk(const std::string& content) {
    const std::vector<unsigned char> bytes(content.begin(), content.end());
    return walkChunkRecords(bytes.data(), bytes.size());
}

const std::string kDocs = recordBytes(1, "docs", 0);
const std::string kHello = recordBytes(0, "docs/a.txt", 5, "hello");

struct WalkCase {
    const char* name;
    std::string content;
    std::string failure;
    std::uint64_t records;
    std::uint64_t fileRecords;
    std::uint64_t fileBytes;
};

TEST(WalkChunkRecords, ChecksEveryRecordInOrder) {
    const std::string damagedPath = "Chunk contains a damaged path.";
    const std::string beyond = "File data extends beyond the chunk.";
    const std::string unsafe = "Unsafe path found in archive: ";
    const std::vector<WalkCase> cases = {
        {"empty content holds no records", "", "", 0, 0, 0},
        {"directory and file", kDocs + kHello, "", 2, 1, 5},
        {"empty file", recordBytes(0, "e", 0), "", 1, 1, 0},
        {"directory path ends at the content's end", kHello + kDocs, "", 2, 1, 5},
        {"path one byte short", kHello + kDocs.substr(0, kDocs.size() - 1), damagedPath, 1, 1, 5},
        {"path length 2^32-1", recordHeaderBytes(1, 0xffffffffu, 0) + "abc", damagedPath, 0, 0, 0},
        {"path length 2^32-1, file", recordHeaderBytes(0, 0xffffffffu, 0), damagedPath, 0, 0, 0},
        {"data equal to the bytes left", recordHeaderBytes(0, 1, 4) + "f" + "abcd", "", 1, 1, 4},
        {"data one byte more than left", recordHeaderBytes(0, 1, 5) + "f" + "abcd", beyond, 0, 0, 0},
        {"data length 2^64-1", recordHeaderBytes(0, 1, UINT64_MAX) + "f" + "abcd", beyond, 0, 0, 0},
        {"data length 2^64-13 after a record", kDocs + recordHeaderBytes(0, 1, UINT64_MAX - 12) + "f", beyond, 1, 0, 0},
        {"directory with data, valid records after", recordHeaderBytes(1, 4, 1) + "docs" + kHello, "Directory record contains file data.", 0, 0, 0},
        {"directory with data 2^64-1", recordHeaderBytes(1, 1, UINT64_MAX) + "d", "Directory record contains file data.", 0, 0, 0},
        {"absolute path", recordBytes(0, "/etc/x", 0), unsafe + "/etc/x", 0, 0, 0},
        {"parent element inside", recordBytes(1, "a/../b", 0), unsafe + "a/../b", 0, 0, 0},
        {"parent alone", kDocs + recordBytes(1, "..", 0), unsafe + "..", 1, 0, 0},
        {"empty path", recordBytes(1, "", 0), unsafe, 0, 0, 0},
        {"dots that are no parent", recordBytes(1, "a/..b", 0) + recordBytes(0, "...", 1, "x"), "", 2, 1, 1},
        {"unsafe path before type", recordBytes(7, "../x", 0), unsafe + "../x", 0, 0, 0},
        {"unsafe path before directory data", recordBytes(1, "/d", 9), unsafe + "/d", 0, 0, 0},
        {"unsafe path before data bound", recordHeaderBytes(0, 2, UINT64_MAX) + "..", unsafe + "..", 0, 0, 0},
        {"type 7 with safe path", recordBytes(7, "x", 0), "Unknown record type: 7", 0, 0, 0},
        {"type 2", kHello + recordBytes(2, "x", 0), "Unknown record type: 2", 1, 1, 5},
        {"type 255", recordBytes(255, "x", 0), "Unknown record type: 255", 0, 0, 0},
        {"control bytes escaped, other bytes kept", recordBytes(0, "/a\nb\xff", 0), unsafe + "/a\\x0ab\xff", 0, 0, 0},
    };
    for (const WalkCase& c : cases) {
        const RecordWalk result = walk(c.content);
        EXPECT_EQ(result.failure, c.failure) << c.name;
        EXPECT_EQ(result.records, c.records) << c.name;
        EXPECT_EQ(result.fileRecords, c.fileRecords) << c.name;
        EXPECT_EQ(result.fileBytes, c.fileBytes) << c.name;
    }
}

TEST(WalkChunkRecords, StrayBytesAfterTheLastRecordAreADamagedHeader) {
    for (std::size_t stray = 1; stray <= 12; ++stray) {
        const RecordWalk result = walk(kDocs + kHello + std::string(stray, '\0'));
        EXPECT_EQ(result.failure, "Chunk contains a damaged record header.") << stray;
        EXPECT_EQ(result.records, 2u) << stray;
    }
}

// Cutting a valid stream anywhere but between records must fail; a walk never stops
// silently inside a record.
TEST(WalkChunkRecords, EveryCutInsideARecordFails) {
    const std::vector<std::string> records = {kDocs, kHello, recordBytes(0, "docs/e", 0),
                                              recordBytes(1, "docs/sub", 0),
                                              recordBytes(0, "docs/sub/z", 300, std::string(300, 'z'))};
    std::string stream;
    std::vector<std::size_t> boundaries = {0};
    for (const std::string& r : records) {
        stream += r;
        boundaries.push_back(stream.size());
    }
    std::size_t next = 0;
    for (std::size_t length = 0; length <= stream.size(); ++length) {
        const RecordWalk result = walk(stream.substr(0, length));
        if (length == boundaries[next]) {
            EXPECT_EQ(result.failure, "") << length;
            EXPECT_EQ(result.records, next) << length;
            ++next;
        } else {
            EXPECT_NE(result.failure, "") << length;
            EXPECT_EQ(result.records, next - 1) << length;
        }
    }
    EXPECT_EQ(walk(stream).fileBytes, 305u);
}

// Damaged bytes anywhere: the walk must stay inside the content (the sanitizer build
// checks that) and whatever it accepts must fit in what it was given.
TEST(WalkChunkRecords, SurvivesRandomDamage) {
    const std::string valid = kDocs + kHello + recordBytes(0, "docs/b", 40, std::string(40, 'b')) +
                              recordBytes(1, "docs/c", 0);
    std::mt19937 rng(20240601);
    for (int round = 0; round < 3000; ++round) {
        std::string damaged = valid.substr(0, rng() % (valid.size() + 1));
        const int flips = 1 + static_cast<int>(rng() % 4);
        for (int i = 0; i < flips && !damaged.empty(); ++i)
            damaged[rng() % damaged.size()] = static_cast<char>(rng() & 0xff);
        const RecordWalk result = walk(damaged);
        EXPECT_LE(result.fileBytes, damaged.size());
        EXPECT_LE(result.records * 13, damaged.size());
    }
}

}  // namespace
