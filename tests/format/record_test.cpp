// Record headers byte for byte, and the path safety test every reader applies.

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "format/record.h"

namespace {

std::vector<unsigned char> bytes(const std::string& text) {
    return std::vector<unsigned char>(text.begin(), text.end());
}

TEST(Record, DirectoryAndFileExampleIs45Bytes) {
    std::vector<unsigned char> buffer;
    appendRecordHeader(buffer, RecordType::Directory, "docs", 0);
    appendRecordHeader(buffer, RecordType::File, "docs/a.txt", 5);
    const std::string data = "hello";
    buffer.insert(buffer.end(), data.begin(), data.end());

    const std::vector<unsigned char> expected = {
        0x01, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x64, 0x6f, 0x63, 0x73,
        0x00, 0x0a, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x64, 0x6f, 0x63, 0x73, 0x2f, 0x61, 0x2e, 0x74, 0x78, 0x74,
        0x68, 0x65, 0x6c, 0x6c, 0x6f};
    ASSERT_EQ(expected.size(), 45u);
    EXPECT_EQ(buffer, expected);
}

TEST(Record, HeaderAppendsAfterExistingContentAndKeepsDataLengthAsGiven) {
    std::vector<unsigned char> buffer = bytes("xyz");
    // A directory's data length is written unchanged, whatever it says.
    appendRecordHeader(buffer, RecordType::Directory, "", 0x0102030405060708ULL);
    const std::vector<unsigned char> expected = {
        'x', 'y', 'z', 0x01, 0x00, 0x00, 0x00, 0x00,
        0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01};
    EXPECT_EQ(buffer, expected);

    appendRecordHeader(buffer, RecordType::File, "a", ~0ULL);
    ASSERT_EQ(buffer.size(), 16u + 14u);
    EXPECT_EQ(buffer[16], 0x00);
    EXPECT_EQ(buffer[17], 0x01);
    for (std::size_t i = 21; i < 29; ++i) EXPECT_EQ(buffer[i], 0xff) << i;
    EXPECT_EQ(buffer[29], 'a');
}

TEST(Record, DecodeReadsLittleEndianFieldsAtAnyOffset) {
    std::vector<unsigned char> buffer = {0xaa};  // the header starts unaligned
    appendRecordHeader(buffer, RecordType::File, std::string(0x0302, 'p'), 0x8877665544332211ULL);
    const RecordHeader header = decodeRecordHeader(buffer.data() + 1);
    EXPECT_EQ(header.type, 0);
    EXPECT_EQ(header.pathLength, 0x0302u);
    EXPECT_EQ(header.dataLength, 0x8877665544332211ULL);

    const std::vector<unsigned char> allOnes(kRecordHeaderSize, 0xff);
    const RecordHeader high = decodeRecordHeader(allOnes.data());
    EXPECT_EQ(high.type, 0xff);
    EXPECT_EQ(high.pathLength, 4294967295u);
    EXPECT_EQ(high.dataLength, ~0ULL);
}

// A path of more than 4294967295 bytes would need 4 GiB of memory to build, so the
// "Archive path is too long." refusal is not exercised here.

TEST(Record, PathTests) {
    struct Case {
        std::string text;
        bool noParentRef;
        bool safe;
    };
    const std::vector<Case> cases = {
        {"", true, false},
        {"docs/a.txt", true, true},
        {".", true, true},
        {"a/./b", true, true},
        {"a/", true, true},
        {"..foo", true, true},
        {"...", true, true},
        {"a..b/..c", true, true},
        {"..", false, false},
        {"a/../b", false, false},
        {"a//../b", false, false},
        {"a/..", false, false},
        {"../", false, false},
        {"/a", true, false},
        {"//a", true, false},
        {"/", true, false},
        {"/../a", false, false},
        {"a\\..\\b", true, true},  // a backslash is part of the name
        {"a/../", false, false},
        {".../..", false, false},
        // The system cuts a name at a NUL byte, so "..\0x" would reach "..".
        {std::string("..\0x", 4), true, false},
        {std::string("a\0", 2), true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("path \"" + c.text + "\"");
        EXPECT_EQ(pathHasNoParentRef(c.text), c.noParentRef);
        EXPECT_EQ(isSafeArchivePath(c.text), c.safe);
    }
}

}  // namespace
