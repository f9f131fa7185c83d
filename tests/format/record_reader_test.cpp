// The record reader on hand-made streams, given whole and in small pieces: what it yields,
// the first fault it finds, and that it never reads outside the bytes it is given (the
// sanitizer build checks that).

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "format/record_reader.h"
#include "support/test_support.h"

using testing_support::recordBytes;
using testing_support::recordHeaderBytes;

namespace {

struct ReadResult {
    std::uint64_t records = 0;    // records yielded whole
    std::uint64_t fileBytes = 0;  // data bytes of the file records among them
    RecordFault fault = RecordFault::None;
    std::string faultPath;        // the path the fault's view holds
};

// Takes what the reader yields from a window [begin, end) of `content` until it stops,
// checking each view lies inside the window; false once it has yielded a fault. A path the
// reader did not hold is taken from the content.
bool collect(RecordReader& reader, const unsigned char* begin, const unsigned char* end, const std::string& content,
             ReadResult& result) {
    RecordView record;
    while (reader.next(record)) {
        const auto* path = reinterpret_cast<const unsigned char*>(record.path.data());
        EXPECT_TRUE(record.path.empty() || (path >= begin && path + record.path.size() <= end));
        if (record.fault != RecordFault::None) {
            result.fault = record.fault;
            result.faultPath = std::string(record.path);
            if (record.fault != RecordFault::DamagedHeader && record.fault != RecordFault::DamagedPath) {
                const std::string stored = content.substr(record.pathOffset, record.pathLength);
                if (record.path.size() == record.pathLength) {
                    EXPECT_EQ(record.path, stored);
                }
                result.faultPath = stored;
            }
            EXPECT_FALSE(reader.next(record)) << "a record after a fault";
            return false;
        }
        if (record.data != nullptr) {
            EXPECT_TRUE(record.data >= begin && record.dataLength <= static_cast<std::uint64_t>(end - record.data));
        }
        if (record.type == 0) result.fileBytes += record.dataLength;
        ++result.records;
    }
    return true;
}

bool operator==(const ReadResult& a, const ReadResult& b) {
    return a.records == b.records && a.fileBytes == b.fileBytes && a.fault == b.fault && a.faultPath == b.faultPath;
}

// The same content arriving in pieces of 1 to 17 bytes, paths of more than 0 to 7 bytes
// judged as they pass; each window is a fresh copy of exactly its size (the unconsumed
// bytes, then the piece), so no read past it goes unseen.
ReadResult readStreamed(const std::string& content, std::mt19937& rng) {
    const std::uint64_t longestHeldPath = rng() % 8;
    RecordReader reader(content.size(), longestHeldPath);
    std::vector<unsigned char> window;
    std::size_t given = 0;
    ReadResult result;
    while (collect(reader, window.data(), window.data() + window.size(), content, result) && reader.wanted() != 0) {
        EXPECT_LE(reader.wanted(), reader.unconsumed() + content.size() - given);
        EXPECT_LE(reader.wanted(), kRecordHeaderSize + longestHeldPath);
        const std::size_t piece = std::min<std::size_t>(1 + rng() % 17, content.size() - given);
        if (piece == 0) {
            ADD_FAILURE() << "waits at the end of the stream";
            break;
        }
        std::vector<unsigned char> next(window.end() - reader.unconsumed(), window.end());
        next.insert(next.end(), content.begin() + given, content.begin() + given + piece);
        given += piece;
        window = std::move(next);
        reader.feed(window.data(), window.size());
    }
    return result;
}

// Reads a copy of exactly the content's size, whole, and requires the same of the content
// streamed in random pieces.
ReadResult read(const std::string& content) {
    static std::mt19937 rng(20240815);
    const std::vector<unsigned char> bytes(content.begin(), content.end());
    RecordReader reader(bytes.data(), bytes.size());
    ReadResult whole;
    collect(reader, bytes.data(), bytes.data() + bytes.size(), content, whole);
    EXPECT_EQ(reader.wanted(), 0u) << "the whole stream never waits";
    EXPECT_TRUE(readStreamed(content, rng) == whole) << "streamed differs from whole";
    return whole;
}

const std::string kDocs = recordBytes(1, "docs", 0);
const std::string kHello = recordBytes(0, "docs/a.txt", 5, "hello");

TEST(RecordReader, YieldsEachRecordUntilTheFirstFault) {
    using F = RecordFault;
    struct Case {
        const char* name;
        std::string content;
        RecordFault fault;
        std::uint64_t records;
        std::uint64_t fileBytes;
        std::string faultPath;
    };
    const std::vector<Case> cases = {
        {"empty content holds no records", "", F::None, 0, 0, ""},
        {"directory and file", kDocs + kHello, F::None, 2, 5, ""},
        {"empty file", recordBytes(0, "e", 0), F::None, 1, 0, ""},
        {"directory path ends at the content's end", kHello + kDocs, F::None, 2, 5, ""},
        {"one stray byte", kHello + "x", F::DamagedHeader, 1, 5, ""},
        {"twelve stray bytes", kDocs + kHello + std::string(12, '\0'), F::DamagedHeader, 2, 5, ""},
        {"path one byte short", kHello + kDocs.substr(0, kDocs.size() - 1), F::DamagedPath, 1, 5, ""},
        {"path length 2^32-1", recordHeaderBytes(1, 0xffffffffu, 0) + "abc", F::DamagedPath, 0, 0, ""},
        {"data equal to the bytes left", recordHeaderBytes(0, 1, 4) + "f" + "abcd", F::None, 1, 4, ""},
        {"data one byte more than left", recordHeaderBytes(0, 1, 5) + "f" + "abcd", F::DamagedData, 0, 0, "f"},
        {"data length 2^64-1", recordHeaderBytes(0, 1, UINT64_MAX) + "f" + "abcd", F::DamagedData, 0, 0, "f"},
        {"data length 2^64-13 after a record", kDocs + recordHeaderBytes(0, 1, UINT64_MAX - 12) + "f", F::DamagedData, 1, 0, "f"},
        // A directory's data length does not move the reader; judging it is verify's.
        {"directory with data, records after", recordHeaderBytes(1, 4, 1) + "docs" + kHello, F::None, 2, 5, ""},
        {"absolute path", recordBytes(0, "/etc/x", 0), F::UnsafePath, 0, 0, "/etc/x"},
        {"parent element inside", kHello + recordBytes(1, "a/../b", 0), F::UnsafePath, 1, 5, "a/../b"},
        {"empty path", recordBytes(1, "", 0), F::UnsafePath, 0, 0, ""},
        {"dots that are no parent", recordBytes(1, "a/..b", 0) + recordBytes(0, "...", 1, "x"), F::None, 2, 1, ""},
        {"unsafe path before type", recordBytes(7, "../x", 0), F::UnsafePath, 0, 0, "../x"},
        {"unsafe path before data bound", recordHeaderBytes(0, 2, UINT64_MAX) + "..", F::UnsafePath, 0, 0, ".."},
        {"type 2 after a file", kHello + recordBytes(2, "x", 0), F::UnknownType, 1, 5, "x"},
        {"type 255", recordBytes(255, "x", 0), F::UnknownType, 0, 0, "x"},
        {"path bytes kept as stored", recordBytes(0, "/a\nb\xff", 0), F::UnsafePath, 0, 0, "/a\nb\xff"},
        // Long enough to be judged in passing when streamed, whatever splits them.
        {"long safe paths", recordBytes(1, "..a/.../a..", 0) + recordBytes(0, "./a/b..", 2, "xy"), F::None, 2, 2, ""},
        {"parent element last", recordBytes(0, "abcdef/..", 2, "xy"), F::UnsafePath, 0, 0, "abcdef/.."},
        {"parent element first", recordBytes(1, "../abcdef", 0), F::UnsafePath, 0, 0, "../abcdef"},
        {"NUL byte in a long path", recordBytes(1, std::string("abc\0defgh", 9), 0), F::UnsafePath, 0, 0,
         std::string("abc\0defgh", 9)},
        {"long path, unknown type", recordBytes(9, "abcdefghij", 0), F::UnknownType, 0, 0, "abcdefghij"},
        {"long path, data one byte short", recordBytes(0, "abcdefghij", 3, "xy"), F::DamagedData, 0, 0, "abcdefghij"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ReadResult r = read(c.content);
        EXPECT_EQ(r.fault, c.fault);
        EXPECT_EQ(r.records, c.records);
        EXPECT_EQ(r.fileBytes, c.fileBytes);
        EXPECT_EQ(r.faultPath, c.faultPath);
    }
}

// Cutting a valid stream anywhere but between records must fault; a reader never stops
// silently inside a record.
TEST(RecordReader, EveryCutInsideARecordFaults) {
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
        const ReadResult result = read(stream.substr(0, length));
        const bool boundary = length == boundaries[next];
        EXPECT_EQ(result.fault == RecordFault::None, boundary) << length;
        EXPECT_EQ(result.records, boundary ? next : next - 1) << length;
        if (boundary) ++next;
    }
    EXPECT_EQ(read(stream).fileBytes, 305u);
}

// Damaged bytes anywhere: the reader stays inside the content and whatever it yields fits.
TEST(RecordReader, SurvivesRandomDamage) {
    const std::string valid = kDocs + kHello + recordBytes(0, "docs/b", 40, std::string(40, 'b')) +
                              recordBytes(1, "docs/c", 0);
    std::mt19937 rng(20240601);
    for (int round = 0; round < 3000; ++round) {
        std::string damaged = valid.substr(0, rng() % (valid.size() + 1));
        const int flips = 1 + static_cast<int>(rng() % 4);
        for (int i = 0; i < flips && !damaged.empty(); ++i)
            damaged[rng() % damaged.size()] = static_cast<char>(rng() & 0xff);
        const ReadResult result = read(damaged);
        EXPECT_LE(result.fileBytes, damaged.size());
        EXPECT_LE(result.records * 13, damaged.size());
    }
}

}  // namespace
