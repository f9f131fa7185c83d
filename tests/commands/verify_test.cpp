// The verify command as a user meets it: hand-made archives, the real binary, exact
// output, status and marker; and, in process, the order of messages and status area.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "commands/verify.h"
#include "support/test_support.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

const std::string kDocs = recordBytes(1, "docs", 0);
const std::string kHello = recordBytes(0, "docs/a.txt", 5, "hello");
const std::string kTen = recordBytes(0, "b.bin", 10, "0123456789");

// The teardown of the status area with standard output on a pipe (24 rows assumed).
const std::string kTeardown = "\x1b[s\x1b[23;1H\x1b[2K\x1b[24;1H\x1b[2K\x1b[u\x1b[?25h";

std::string chunkLine(const std::string& name, const std::string& content, std::uint64_t records) {
    return "CHUNK|" + name + "|" + std::to_string(content.size()) + "|" + std::to_string(records) + "\n";
}

void writeManifest(const fs::path& archive, std::uint64_t totalBytes, std::uint64_t totalFiles,
                   const std::string& chunkLines) {
    writeFile(archive / "manifest.txt", "HLG1\nTOTAL_BYTES|" + std::to_string(totalBytes) +
                                            "\nTOTAL_FILES|" + std::to_string(totalFiles) +
                                            "\nCHUNK_TARGET|268435456\n" + chunkLines);
}

// One chunk file per content, named 000001.zst on, each with its true record count.
fs::path makeArchive(const fs::path& archive, const std::vector<std::pair<std::string, std::uint64_t>>& chunks,
                     std::uint64_t totalBytes, std::uint64_t totalFiles) {
    std::string lines;
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        const std::string number = std::to_string(i + 1);
        const std::string name = std::string(6 - number.size(), '0') + number + ".zst";
        writeFile(archive / name, compressFrame(chunks[i].first));
        lines += chunkLine(name, chunks[i].first, chunks[i].second);
    }
    writeManifest(archive, totalBytes, totalFiles, lines);
    return archive;
}

// Two chunks: docs and docs/a.txt, then b.bin; 2 files of 15 bytes.
fs::path makeGoodArchive(const fs::path& archive) {
    return makeArchive(archive, {{kDocs + kHello, 2}, {kTen, 1}}, 15, 2);
}

std::string progress(int cells, const std::string& percentLabel) {
    return "[" + std::string(cells, '#') + std::string(30 - cells, '-') + "] " + percentLabel;
}

const std::string kSummary =
    "\nVerification successful.\n"
    "Chunks verified: 2\n"
    "Files verified: 2\n"
    "Bytes verified: 15\n"
    "Archive is safe to extract.\n";
const std::string kMarker = "HLG1\nFILES|2\nBYTES|15\nCHUNKS|2\n";
const std::string kMarkerFailure =
    "Archive passed verification, but the verification marker could not be written.\n";

TEST(VerifyCommand, PassesWritesMarkerAndSummary) {
    TempDir dir;
    const fs::path archive = makeGoodArchive(dir / "backup.hlg");
    const RunResult run = runHlg({"verify", archive.string()});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(withoutStatusArea(run.out), kSummary);
    EXPECT_EQ(run.out.rfind(kTeardown + kSummary), run.out.size() - kTeardown.size() - kSummary.size());
    EXPECT_EQ(run.out.find("\x1b[?25l"), 0u);
    EXPECT_EQ(progressLines(run.out),
              (std::vector<std::string>{progress(0, "0%  Preparing verification..."),
                                        progress(0, "0%  Verifying: 000001.zst"),
                                        progress(15, "50%  Verified: 000001.zst"),
                                        progress(15, "50%  Verifying: 000002.zst"),
                                        progress(30, "100%  Verified: 000002.zst")}));
    EXPECT_EQ(readFile(archive / ".verified"), kMarker);

    // A second run empties and rewrites the marker.
    writeFile(archive / ".verified", "stale content that is longer than the marker itself\n");
    const RunResult again = runHlg({"verify", archive.string()});
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(readFile(archive / ".verified"), kMarker);
}

TEST(VerifyCommand, ArchiveArgumentForms) {
    TempDir dir;
    makeGoodArchive(dir / "backup.hlg");
    for (const std::string argument : {"backup", "backup.hlg", "backup.hlg/", "backup.hlg//"}) {
        fs::remove(dir / "backup.hlg" / ".verified");
        const RunResult r = runHlg({"verify", argument}, {std::nullopt, dir.path()});
        EXPECT_EQ(r.status, 0) << argument << r.err;
        EXPECT_EQ(withoutStatusArea(r.out), kSummary) << argument;
        EXPECT_TRUE(fs::exists(dir / "backup.hlg" / ".verified")) << argument;
    }
    const RunResult empty = runHlg({"verify", ""}, {std::nullopt, dir.path()});
    EXPECT_EQ(empty.status, 1);
    EXPECT_EQ(empty.out, "");
    EXPECT_NE(empty.err, "");
}

TEST(VerifyCommand, UnreadableManifestDrawsNothing) {
    TempDir dir;
    const RunResult missing = runHlg({"verify", (dir / "nothing").string()});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, "");
    EXPECT_EQ(missing.err, "Archive does not exist: \"" + (dir / "nothing.hlg").string() + "\"\n");

    writeFile(dir / "empty.hlg" / "manifest.txt", "HLG1\nTOTAL_BYTES|0\nTOTAL_FILES|0\n");
    const RunResult noChunks = runHlg({"verify", (dir / "empty.hlg").string()});
    EXPECT_EQ(noChunks.status, 1);
    EXPECT_EQ(noChunks.out, "");
    EXPECT_EQ(noChunks.err, "Archive contains no chunks.\n");
    EXPECT_FALSE(fs::exists(dir / "empty.hlg" / ".verified"));
}

TEST(VerifyCommand, EmptyOrUnusualChunkPassesAChunkListedTwiceIsRefused) {
    TempDir dir;
    const fs::path empty = makeArchive(dir / "empty.hlg", {{"", 0}}, 0, 0);
    const RunResult r = runHlg({"verify", empty.string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readFile(empty / ".verified"), "HLG1\nFILES|0\nBYTES|0\nCHUNKS|1\n");

    // A skippable frame first: no chunk pack writes, so it is read whole, with the same checks.
    for (const std::uint64_t records : {2, 3}) {
        const fs::path unusual = dir / ("unusual" + std::to_string(records) + ".hlg");
        writeFile(unusual / "000001.zst", std::string("\x50\x2a\x4d\x18\x01\0\0\0x", 9) + compressFrame(kDocs + kHello));
        writeManifest(unusual, 5, 1, chunkLine("000001.zst", kDocs + kHello, records));
        const RunResult u = runHlg({"verify", unusual.string()});
        EXPECT_EQ(u.status, records == 2 ? 0 : 1);
        EXPECT_EQ(u.err, records == 2 ? "" : "Record count mismatch. Expected 3, found 2.\nVerification failed in chunk: 000001.zst\n");
        EXPECT_EQ(fs::exists(unusual / ".verified"), records == 2);
    }

    // Extract would consume it at its first line and miss it at its second.
    const fs::path twice = dir / "twice.hlg";
    writeFile(twice / "000001.zst", compressFrame(kDocs + kHello));
    const std::string line = chunkLine("000001.zst", kDocs + kHello, 2);
    writeManifest(twice, 10, 2, line + line);
    const RunResult t = runHlg({"verify", twice.string()});
    EXPECT_EQ(t.status, 1);
    EXPECT_EQ(t.err, "Chunk listed twice in manifest: 000001.zst\n");
    EXPECT_EQ(t.out, "");
    EXPECT_FALSE(fs::exists(twice / ".verified"));
}

// Every failure found in a chunk is its message, then the chunk line; the later chunk
// is never read, nothing is written, and an earlier marker is gone.
TEST(VerifyCommand, DamagedChunksNameTheChunk) {
    struct Case {
        std::string content;
        std::uint64_t records;
        std::string message;
    };
    const std::vector<Case> cases = {
        {kDocs + std::string(5, '\0'), 1, "Chunk contains a damaged record header."},
        {kDocs.substr(0, kDocs.size() - 1), 1, "Chunk contains a damaged path."},
        {recordBytes(0, "a/../b", 0), 1, "Unsafe path found in archive: a/../b"},
        {recordBytes(7, "../x", 0), 1, "Unsafe path found in archive: ../x"},
        {recordBytes(1, "", 0), 1, "Unsafe path found in archive: "},
        {recordBytes(1, "d", 1) + kHello, 2, "Directory record contains file data."},
        {recordBytes(7, "x", 0), 1, "Unknown record type: 7"},
        {kHello.substr(0, kHello.size() - 1), 1, "File data extends beyond the chunk."},
        {kDocs + kHello, 3, "Record count mismatch. Expected 3, found 2."},
    };
    for (const Case& c : cases) {
        TempDir dir;
        const fs::path archive = makeArchive(dir / "a.hlg", {{kTen, 1}, {c.content, c.records}, {kTen, 1}}, 30, 3);
        writeFile(archive / ".verified", "earlier");
        const RunResult r = runHlg({"verify", archive.string()});
        SCOPED_TRACE(c.message);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.message + "\nVerification failed in chunk: 000002.zst\n");
        EXPECT_EQ(withoutStatusArea(r.out), "");
        EXPECT_EQ(r.out.substr(r.out.size() - kTeardown.size()), kTeardown);
        const std::vector<std::string> lines = progressLines(r.out);
        ASSERT_EQ(lines.size(), 4u);
        EXPECT_EQ(lines.back(), progress(10, "33%  Verifying: 000002.zst"));
        EXPECT_FALSE(fs::exists(fs::symlink_status(archive / ".verified")));
    }
}

TEST(VerifyCommand, MissingOrUnreadableChunkHasNoChunkLine) {
    TempDir dir;
    const fs::path archive = makeGoodArchive(dir / "a.hlg");
    fs::remove(archive / "000002.zst");
    const RunResult missing = runHlg({"verify", archive.string()});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "Missing chunk: 000002.zst\n");
    EXPECT_EQ(progressLines(missing.out),
              (std::vector<std::string>{progress(0, "0%  Preparing verification..."),
                                        progress(0, "0%  Verifying: 000001.zst"),
                                        progress(15, "50%  Verified: 000001.zst")}));
    EXPECT_EQ(missing.out.substr(missing.out.size() - kTeardown.size()), kTeardown);
    EXPECT_EQ(withoutStatusArea(missing.out), "");

    // A dangling link counts as missing.
    fs::create_symlink(dir / "gone", archive / "000002.zst");
    const RunResult dangling = runHlg({"verify", archive.string()});
    EXPECT_EQ(dangling.err, "Missing chunk: 000002.zst\n");

    // The chunk reader's own message stands alone.
    fs::remove(archive / "000002.zst");
    writeFile(archive / "000002.zst", compressFrame(kTen.substr(0, kTen.size() - 1)));
    const RunResult shortChunk = runHlg({"verify", archive.string()});
    EXPECT_EQ(shortChunk.status, 1);
    EXPECT_EQ(shortChunk.err, "Chunk decompressed to an unexpected size: \"000002.zst\"\n");
    EXPECT_FALSE(fs::exists(archive / ".verified"));
}

TEST(VerifyCommand, TotalsAreComparedAfterEveryChunkPassed) {
    struct Case {
        std::uint64_t totalBytes;
        std::uint64_t totalFiles;
        std::string err;
    };
    const std::vector<Case> cases = {
        // TOTAL_FILES counting the directory as well.
        {15, 3, "\nVerification failed.\nExpected files: 3\nVerified files: 2\n"},
        {16, 2, "\nVerification failed.\nExpected bytes: 16\nVerified bytes: 15\n"},
        // Files are compared first; the bytes are then not looked at.
        {0, 0, "\nVerification failed.\nExpected files: 0\nVerified files: 2\n"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        const fs::path archive = makeArchive(dir / "a.hlg", {{kDocs + kHello, 2}, {kTen, 1}}, c.totalBytes, c.totalFiles);
        const RunResult r = runHlg({"verify", archive.string()});
        SCOPED_TRACE(c.err);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(withoutStatusArea(r.out), "");
        EXPECT_EQ(progressLines(r.out).back(), progress(30, "100%  Verified: 000002.zst"));
        EXPECT_FALSE(fs::exists(archive / ".verified"));
    }
}

// Whatever stands at the marker's name goes before the manifest is read, so a failing run
// never leaves one behind; only a folder with content stays, and then no marker is written.
// Nothing is ever written through a link.
TEST(VerifyCommand, WhatStandsAtTheMarker) {
    struct Case {
        const char* planted;
        bool passes;
    };
    const std::vector<Case> cases = {
        {"empty folder", true}, {"folder with content", false}, {"link", true},
        {"dangling link", true}, {"fifo", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.planted);
        TempDir dir;
        const fs::path archive = makeGoodArchive(dir / "a.hlg");
        const fs::path marker = archive / ".verified";
        const std::string planted = c.planted;
        writeFile(dir / "precious", "precious bytes");
        if (planted == "empty folder") fs::create_directory(marker);
        if (planted == "folder with content") writeFile(marker / "x", "x");
        if (planted == "link") fs::create_symlink(dir / "precious", marker);
        if (planted == "dangling link") fs::create_symlink(dir / "created-elsewhere", marker);
        if (planted == "fifo") {
            ASSERT_EQ(mkfifo(marker.c_str(), 0644), 0);
        }
        const RunResult r = runHlg({"verify", archive.string()}, {std::nullopt, {}, false, 0, 20});
        EXPECT_EQ(r.status, c.passes ? 0 : 1);
        EXPECT_EQ(r.err, c.passes ? "" : kMarkerFailure);
        if (c.passes) EXPECT_EQ(readFile(marker), kMarker);
        else EXPECT_EQ(readFile(marker / "x"), "x");
        EXPECT_EQ(readFile(dir / "precious"), "precious bytes");
        EXPECT_FALSE(fs::exists(dir / "created-elsewhere"));
    }
}

TEST(VerifyCommand, UnsafeChunkNamesAreRefusedBeforeAnythingIsRead) {
    for (const std::string name : {"../x", "/etc/passwd", "a/b", "", ".", "..", ".verified", "manifest.txt"}) {
        TempDir dir;
        const fs::path archive = dir / "a.hlg";
        writeFile(archive / "000001.zst", compressFrame(kTen));
        writeManifest(archive, 10, 1, chunkLine("000001.zst", kTen, 1) + chunkLine(name, kTen, 1));
        const RunResult r = runHlg({"verify", archive.string()});
        SCOPED_TRACE(name);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "Unsafe chunk name in manifest: " + name + "\n");
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(fs::exists(archive / ".verified"));
    }
}

// Every failure's message comes after the area is erased, chunk failures included, and
// nothing erases after it: on a full screen the message lands where the rows were.
TEST(VerifyOrder, TheAreaIsErasedOnceBeforeAnyFailureMessage) {
    TempDir dir;
    const struct {
        const char* name;
        fs::path archive;
        std::string message;
    } cases[] = {
        {"damaged", makeArchive(dir / "damaged.hlg", {{kDocs + kHello, 3}}, 5, 1),
         "Record count mismatch. Expected 3, found 2.\nVerification failed in chunk: 000001.zst\n"},
        {"missing", makeArchive(dir / "missing.hlg", {{kDocs + kHello, 2}}, 5, 1), "Missing chunk: 000001.zst\n"},
        {"totals", makeArchive(dir / "totals.hlg", {{kDocs + kHello, 2}}, 5, 2),
         "\nVerification failed.\nExpected files: 2\nVerified files: 1\n"},
    };
    fs::remove(dir / "missing.hlg/000001.zst");
    for (const auto& c : cases) {
        CapturedOutput captured(true);  // both streams in one, to see their order
        EXPECT_FALSE(verifyArchive(c.archive));
        const std::string text = captured.text();
        const std::size_t teardown = text.find(kTeardown);
        ASSERT_NE(teardown, std::string::npos) << c.name;
        EXPECT_EQ(text.substr(teardown + kTeardown.size()), c.message) << c.name;
    }
}

}  // namespace
