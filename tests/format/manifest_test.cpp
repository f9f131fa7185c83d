// "manifest.txt": the header the packer writes and what the reader makes of every line.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "format/archive_folder.h"
#include "format/chunk_writer.h"
#include "format/manifest.h"
#include "format/record.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using testing_support::openFolder;
using testing_support::readFile;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

using CapturedCerr = testing_support::CapturedStream;

using Chunks = std::vector<ChunkEntry>;

// The entries as one comparable, readable text.
std::string describe(const Chunks& chunks) {
    std::ostringstream out;
    for (const ChunkEntry& c : chunks) out << "(\"" << c.fileName << "\", " << c.rawSize << ", " << c.recordCount << ")";
    return out.str();
}

// What the reader leaves in a manifest it was not allowed to touch.
Manifest sentinel() { return Manifest{7, 8, {{"old.zst", 9, 10}}}; }

TEST(Manifest, PackedExampleIs79BytesAndReadsBack) {
    TempDir dir;
    const fs::path archive = dir / "example.hlg";
    fs::create_directory(archive);
    {
        std::ofstream manifestStream(archive / kManifestFileName);
        writeManifestHeader(manifestStream, 15, 2);
        std::vector<unsigned char> buffer;
        appendRecordHeader(buffer, RecordType::File, "b.bin", 10);
        buffer.insert(buffer.end(), 10, 'b');
        appendRecordHeader(buffer, RecordType::Directory, "docs", 0);
        appendRecordHeader(buffer, RecordType::File, "docs/a.txt", 5);
        buffer.insert(buffer.end(), 5, 'a');
        std::uint64_t number = 1;
        std::uint64_t records = 3;
        const ArchiveFolder folder = openFolder(archive);
        ChunkWriter writer{buffer, number, folder, manifestStream, records};
        ASSERT_TRUE(flushChunk(writer));
    }
    const std::string expected =
        "HLG1\nTOTAL_BYTES|15\nTOTAL_FILES|2\nCHUNK_TARGET|268435456\nCHUNK|000001.zst|73|3\n";
    ASSERT_EQ(expected.size(), 79u);
    EXPECT_EQ(readFile(archive / kManifestFileName), expected);

    Manifest manifest;
    CapturedCerr err;
    ASSERT_TRUE(readManifest(openFolder(archive), manifest));
    EXPECT_EQ(err.text(), "");
    EXPECT_EQ(manifest.totalBytes, 15u);
    EXPECT_EQ(manifest.totalFiles, 2u);
    EXPECT_EQ(describe(manifest.chunks), "(\"000001.zst\", 73, 3)");
}

TEST(Manifest, HeaderIsFourLinesWithPlainNumbers) {
    std::ostringstream out;
    writeManifestHeader(out, 0, 18446744073709551615ULL);
    EXPECT_EQ(out.str(), "HLG1\nTOTAL_BYTES|0\nTOTAL_FILES|18446744073709551615\nCHUNK_TARGET|268435456\n");
}

TEST(Manifest, ReaderLines) {
    const std::string noChunks = "Archive contains no chunks.\n";
    const std::string damaged = "Unsupported or damaged HLG manifest.\n";
    const Manifest untouched = sentinel();
    struct Case {
        std::string content;
        bool ok;
        std::string err;
        Manifest expected;
    };
    const std::vector<Case> cases = {
        {"HLG1\nTOTAL_BYTES|15\nTOTAL_FILES|2\nCHUNK_TARGET|268435456\n", false, noChunks, {15, 2, {}}},
        {"HLG1\n", false, noChunks, {0, 0, {}}},
        {"HLG1", false, noChunks, {0, 0, {}}},
        {"HLG1\nCHUNK|a|1|2", true, "", {0, 0, {{"a", 1, 2}}}},
        {"HLG1\r\nCHUNK|a|1|2\n", false, damaged, untouched},
        {" HLG1\nCHUNK|a|1|2\n", false, damaged, untouched},
        {"HLG1 \nCHUNK|a|1|2\n", false, damaged, untouched},
        {"hlg1\nCHUNK|a|1|2\n", false, damaged, untouched},
        {"\xef\xbb\xbfHLG1\nCHUNK|a|1|2\n", false, damaged, untouched},
        {"\nHLG1\nCHUNK|a|1|2\n", false, damaged, untouched},
        {"", false, damaged, untouched},
        {"HLG1\nTOTAL_BYTES|\nTOTAL_BYTES\nCHUNK|a|1|2\n", true, "", {0, 0, {{"a", 1, 2}}}},
        {"HLG1\nTOTAL_BYTES||7\nCHUNK|a|1|2\n", false, "Invalid manifest entry: TOTAL_BYTES||7\n", {}},
        {"HLG1\nTOTAL_BYTES| 42abc\nTOTAL_FILES|-1\nCHUNK|a|1|2\n", true, "",
         {42, 18446744073709551615ULL, {{"a", 1, 2}}}},
        {"HLG1\nTOTAL_BYTES|0x10\nTOTAL_FILES|+3\nCHUNK|a|1|2\n", true, "", {0, 3, {{"a", 1, 2}}}},
        {"HLG1\nTOTAL_BYTES|18446744073709551616\nCHUNK|a|1|2\n", false,
         "Invalid manifest entry: TOTAL_BYTES|18446744073709551616\n", {}},
        {"HLG1\nTOTAL_FILES|-18446744073709551616\nCHUNK|a|1|2\n", false,
         "Invalid manifest entry: TOTAL_FILES|-18446744073709551616\n", {}},
        {"HLG1\nTOTAL_FILES|5|x\nCHUNK|a|1|2\n", true, "", {0, 5, {{"a", 1, 2}}}},
        {"HLG1\nCHUNK|a|1\nCHUNK|a|1|\n", false, noChunks, {0, 0, {}}},
        {"HLG1\nCHUNK|a|x|1\n", false, "Invalid manifest entry: CHUNK|a|x|1\n", {}},
        {"HLG1\nCHUNK|\x1b[2J|x\r|1\n", false, "Invalid manifest entry: CHUNK|\\x1b[2J|x\\x0d|1\n", {}},
        {"HLG1\nCHUNK|a|1||\n", false, "Invalid manifest entry: CHUNK|a|1||\n", {}},
        {"HLG1\nCHUNK|a|18446744073709551616|1\n", false,
         "Invalid manifest entry: CHUNK|a|18446744073709551616|1\n", {}},
        {"HLG1\nCHUNK|a|1|2|extra\nCHUNK||1|2\nCHUNK| a b |1|2\nCHUNK|a|1|2\r\n", true, "",
         {0, 0, {{"a", 1, 2}, {"", 1, 2}, {" a b ", 1, 2}, {"a", 1, 2}}}},
        {"HLG1\nCHUNK_TARGET|abc\ntotal_bytes|5\nTOTAL_BYTES |5\nChunk|a|1|2\nCHUNK|a|1|2\n", true, "",
         {0, 0, {{"a", 1, 2}}}},
        // What extract retired: read for it, no chunk to the other readers.
        {"HLG1\nCONSUMED|000001.zst\nCONSUMED|\nCHUNK|a|1|2\nCONSUMED|b|x\n", true, "",
         {0, 0, {{"a", 1, 2}}, {"000001.zst", "b"}}},
        {"HLG1\nTOTAL_FILES|0\nCONSUMED|000003.zst\n", false, noChunks, {0, 0, {}, {"000003.zst"}}},
        {"HLG1\n\n|\n\nTOTAL_FILES\nCHUNK|a|1|2\n\nTOTAL_BYTES|3", true, "", {3, 0, {{"a", 1, 2}}}},
        // An invalid line ends the reading even after a chunk was accepted.
        {"HLG1\nCHUNK|000001.zst|73|3\nTOTAL_BYTES|x\nCHUNK|b|1|1\n", false,
         "Invalid manifest entry: TOTAL_BYTES|x\n", {0, 0, {{"000001.zst", 73, 3}}}},
        {"HLG1\nTOTAL_BYTES|1\nCHUNK|a|1|2\nTOTAL_BYTES|4\nTOTAL_FILES|9\nCHUNK|a|1|2\n", true, "",
         {4, 9, {{"a", 1, 2}, {"a", 1, 2}}}},
    };
    TempDir dir;
    const fs::path archive = dir / "case.hlg";
    fs::create_directory(archive);
    for (const Case& c : cases) {
        SCOPED_TRACE("manifest \"" + c.content + "\"");
        writeFile(archive / kManifestFileName, c.content);
        Manifest manifest = sentinel();
        CapturedCerr err;
        EXPECT_EQ(readManifest(openFolder(archive), manifest), c.ok);
        EXPECT_EQ(err.text(), c.err);
        EXPECT_EQ(manifest.consumed, c.expected.consumed);
        EXPECT_EQ(manifest.totalBytes, c.expected.totalBytes);
        EXPECT_EQ(manifest.totalFiles, c.expected.totalFiles);
        EXPECT_EQ(describe(manifest.chunks), describe(c.expected.chunks));
    }
}

TEST(Manifest, RewrittenAsPackWritesItWithTheChunkLinesLeftAsRead) {
    TempDir dir;
    const fs::path archive = dir / "a.hlg";
    fs::create_directory(archive);
    writeFile(archive / kManifestFileName,
              "HLG1\nNOTE|x\nCHUNK|a|1|2\nTOTAL_FILES|+3\nCHUNK|b| 5|6|extra\nCHUNK|c|7|8\r\n");
    Manifest manifest;
    ASSERT_TRUE(readManifest(openFolder(archive), manifest));
    EXPECT_EQ(replacementManifestText(10, 0, manifest.chunks, 0),
              "HLG1\nTOTAL_BYTES|10\nTOTAL_FILES|0\nCHUNK_TARGET|268435456\nCHUNK|b| 5|6|extra\nCHUNK|c|7|8\r\n"
              "CONSUMED|a\n");
    EXPECT_EQ(replacementManifestText(0, 0, manifest.chunks, 2),
              "HLG1\nTOTAL_BYTES|0\nTOTAL_FILES|0\nCHUNK_TARGET|268435456\nCONSUMED|c\n");
}

TEST(Manifest, ReaderFindsTheArchiveFolder) {
    TempDir dir;
    const std::string good = "HLG1\nCHUNK|a|1|2\n";
    fs::create_directory(dir / "backup.hlg");
    writeFile(dir / "backup.hlg" / kManifestFileName, good);
    writeFile(dir / "plain" / kManifestFileName, good);  // not looked at: no extension
    writeFile(dir / "file.hlg", good);
    fs::create_directory(dir / "empty.hlg");
    fs::create_directory(dir / "odd\"na\\me.hlg");
    fs::create_directory_symlink(dir / "backup.hlg", dir / "link.hlg");
    // Neither may block or read without end.
    fs::create_directory(dir / "fifo.hlg");
    ASSERT_EQ(mkfifo((dir / "fifo.hlg" / kManifestFileName).c_str(), 0644), 0);
    fs::create_directory(dir / "device.hlg");
    fs::create_symlink("/dev/zero", dir / "device.hlg" / kManifestFileName);
    fs::create_directories(dir / "folder.hlg" / kManifestFileName);

    struct Case {
        fs::path argument;
        bool ok;
        std::string err;
    };
    auto missing = [](const fs::path& p) {
        std::ostringstream text;
        text << "Archive does not exist: " << p << '\n';
        return text.str();
    };
    const std::vector<Case> cases = {
        {dir / "backup", true, ""},
        {dir / "backup.hlg", true, ""},
        {dir / "link", true, ""},
        {dir / "plain", false, missing(dir / "plain.hlg")},
        {dir / "file.hlg", false, missing(dir / "file.hlg")},
        {dir / "nothing", false, missing(dir / "nothing.hlg")},
        {dir / "q\"u\\ote", false,
         "Archive does not exist: \"" + dir.path().string() + "/q\\\"u\\\\ote.hlg\"\n"},
        {dir / "odd\"na\\me", false, "Could not open archive manifest.\n"},
        {dir / "empty.hlg", false, "Could not open archive manifest.\n"},
        {dir / "fifo.hlg", false, "Could not open archive manifest.\n"},
        {dir / "device.hlg", false, "Could not open archive manifest.\n"},
        {dir / "folder.hlg", false, "Could not open archive manifest.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.argument.string());
        Manifest manifest = sentinel();
        CapturedCerr err;
        fs::path archive = c.argument;
        ASSERT_TRUE(settleArchiveArgument(archive));
        const ArchiveFolder folder = openFolder(archive);
        EXPECT_EQ(folder.isOpen() && readManifest(folder, manifest), c.ok);
        EXPECT_EQ(err.text(), c.err);
        if (!c.ok) {
            EXPECT_EQ(describe(manifest.chunks), describe(sentinel().chunks));
        }
    }
}

TEST(Manifest, ChunkNamesMustStayInsideTheArchiveFolder) {
    struct Case {
        Chunks chunks;
        bool ok;
        std::string err;
        std::vector<std::string> consumed{};
    };
    const std::vector<Case> cases = {
        {{{"000001.zst", 1, 1}, {"1000000.zst", 1, 1}}, true, ""},
        {{{"000001.zst", 1, 1}, {"../x", 1, 1}, {"/etc/passwd", 1, 1}}, false,
         "Unsafe chunk name in manifest: ../x\n"},
        {{{"", 1, 1}}, false, "Unsafe chunk name in manifest: \n"},
        {{{"..", 1, 1}}, false, "Unsafe chunk name in manifest: ..\n"},
        // The manifest and the marker are no chunks, and no chunk is listed twice; the first
        // name that fails, in manifest order, is the one reported.
        {{{"000001.zst", 1, 1}, {".verified", 1, 1}}, false, "Unsafe chunk name in manifest: .verified\n"},
        {{{"manifest.txt", 1, 1}}, false, "Unsafe chunk name in manifest: manifest.txt\n"},
        {{{"manifest.new", 1, 1}}, false, "Unsafe chunk name in manifest: manifest.new\n"},
        {{{"a", 1, 1}, {"b", 1, 1}, {"a", 2, 2}, {"../x", 1, 1}}, false,
         "Chunk listed twice in manifest: a\n"},
        {{{"a", 1, 1}, {"../x", 1, 1}, {"a", 1, 1}}, false, "Unsafe chunk name in manifest: ../x\n"},
        {{{".verified.zst", 1, 1}, {"manifest.txt.1", 1, 1}, {"A", 1, 1}, {"a", 1, 1}}, true, ""},
        {{}, true, ""},
        // Consumed names are deleted by extract: the same rule, after the chunks'.
        {{{"a", 1, 1}}, true, "", {"a", "000001.zst"}},
        {{{"../x", 1, 1}}, false, "Unsafe chunk name in manifest: ../x\n", {"/y"}},
        {{{"a", 1, 1}}, false, "Unsafe chunk name in manifest: /y\n", {"b", "/y", ".."}},
        {{}, false, "Unsafe chunk name in manifest: manifest.txt\n", {"manifest.txt"}},
    };
    for (const Case& c : cases) {
        Manifest manifest;
        manifest.chunks = c.chunks;
        manifest.consumed = c.consumed;
        CapturedCerr err;
        EXPECT_EQ(checkChunkNames(manifest) && checkConsumedNames(manifest), c.ok);
        EXPECT_EQ(err.text(), c.err);
    }
}

}  // namespace
