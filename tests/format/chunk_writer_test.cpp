// Flushing the chunk buffer: file names, file content, manifest lines and the writer's
// state after success and after each kind of failure.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "format/chunk_writer.h"
#include "format/record.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using testing_support::checksummedFrame;
using testing_support::compressFrame;
using testing_support::readFile;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

using CapturedCerr = testing_support::CapturedStream;

// Bytes that compress badly, so the frame is about as long as the content.
std::vector<unsigned char> noise(std::size_t size) {
    const std::string bytes = testing_support::noise(size);
    return std::vector<unsigned char>(bytes.begin(), bytes.end());
}

std::string text(const std::vector<unsigned char>& bytes) { return std::string(bytes.begin(), bytes.end()); }

// Pack's side of a flush: the objects the writer refers to.
struct PackState {
    explicit PackState(const fs::path& folder, const fs::path& manifestPath)
        : archiveDir(testing_support::openFolder(folder)), manifest(manifestPath) {}
    std::vector<unsigned char> buffer;
    std::uint64_t nextChunkNumber = 1;
    ArchiveFolder archiveDir;
    std::ofstream manifest;
    std::uint64_t recordsInBuffer = 0;
    ChunkWriter writer{buffer, nextChunkNumber, archiveDir, manifest, recordsInBuffer};
};

TEST(ChunkWriter, FileNames) {
    const std::vector<std::pair<std::uint64_t, std::string>> cases = {
        {1, "000001.zst"},       {42, "000042.zst"},
        {999999, "999999.zst"},  {1000000, "1000000.zst"},
        {0, "000000.zst"},       {18446744073709551615ULL, "18446744073709551615.zst"},
    };
    for (const auto& c : cases) EXPECT_EQ(chunkFileName(c.first), c.second);
}

TEST(ChunkWriter, FlushWritesOneFrameThenItsLineAndEmptiesTheBuffer) {
    TempDir dir;
    const fs::path manifestPath = dir / "manifest.txt";
    PackState pack(dir.path(), manifestPath);
    pack.buffer.reserve(1 << 20);
    appendRecordHeader(pack.buffer, RecordType::Directory, "d", 0);
    appendRecordHeader(pack.buffer, RecordType::File, "d/f", 70000);
    const std::vector<unsigned char> data = noise(70000);
    pack.buffer.insert(pack.buffer.end(), data.begin(), data.end());
    pack.recordsInBuffer = 2;
    const std::string first = text(pack.buffer);

    CapturedCerr err;
    ASSERT_TRUE(flushChunk(pack.writer));
    const std::string frame = readFile(dir / "000001.zst");
    EXPECT_EQ(frame, checksummedFrame(first));
    // Otherwise the level-3 frame: the descriptor's checksum bit and 4 bytes at the end.
    std::string plain = compressFrame(first);
    plain[4] = static_cast<char>(plain[4] | 0x04);
    EXPECT_EQ(frame.substr(0, frame.size() - 4), plain);
    // Flushed: the line is in the file while the stream is still open.
    EXPECT_EQ(readFile(manifestPath), "CHUNK|000001.zst|70030|2\n");
    EXPECT_TRUE(pack.buffer.empty());
    EXPECT_EQ(pack.buffer.capacity(), std::size_t{1} << 20);
    EXPECT_EQ(pack.recordsInBuffer, 0u);
    EXPECT_EQ(pack.nextChunkNumber, 2u);

    appendRecordHeader(pack.buffer, RecordType::Directory, "e", 0);
    pack.recordsInBuffer = 1;
    const std::string second = text(pack.buffer);
    ASSERT_TRUE(flushChunk(pack.writer));
    EXPECT_EQ(readFile(dir / "000002.zst"), checksummedFrame(second));
    EXPECT_EQ(readFile(manifestPath), "CHUNK|000001.zst|70030|2\nCHUNK|000002.zst|14|1\n");
    EXPECT_EQ(pack.nextChunkNumber, 3u);
    EXPECT_EQ(err.text(), "");
}

TEST(ChunkWriter, EmptyBufferWritesNothing) {
    TempDir dir;
    fs::create_directory(dir / "a.hlg");
    PackState pack(dir / "a.hlg", dir / "a.hlg" / "manifest.txt");
    for (int i = 0; i < 2; ++i) {
        EXPECT_TRUE(flushChunk(pack.writer));
        EXPECT_EQ(pack.nextChunkNumber, 1u);
    }
    EXPECT_EQ(readFile(dir / "a.hlg" / "manifest.txt"), "");
    EXPECT_FALSE(fs::exists(dir / "a.hlg" / "000001.zst"));
}

TEST(ChunkWriter, SevenDigitNumbers) {
    TempDir dir;
    PackState pack(dir.path(), dir / "manifest.txt");
    pack.nextChunkNumber = 1000000;
    appendRecordHeader(pack.buffer, RecordType::Directory, "d", 0);
    pack.recordsInBuffer = 1;
    const std::string content = text(pack.buffer);
    ASSERT_TRUE(flushChunk(pack.writer));
    EXPECT_EQ(readFile(dir / "1000000.zst"), checksummedFrame(content));
    EXPECT_EQ(readFile(dir / "manifest.txt"), "CHUNK|1000000.zst|14|1\n");
    EXPECT_EQ(pack.nextChunkNumber, 1000001u);
}

// Whatever stands at the chunk's path (a file, a link, a dangling link, a folder) is
// neither replaced nor written through.
TEST(ChunkWriter, AnythingAtTheChunkPathIsRefusedAndKept) {
    TempDir dir;
    const fs::path chunk = dir / "000001.zst";
    const std::vector<std::function<void()>> plants = {
        [&] { writeFile(chunk, "kept"); },
        [&] { fs::create_symlink(dir / "target", chunk); },
        [&] { fs::create_symlink(dir / "nowhere", chunk); },
        [&] { fs::create_directory(chunk); },
    };
    writeFile(dir / "target", "kept");
    for (const auto& plant : plants) {
        fs::remove_all(chunk);
        plant();
        const auto before = testing_support::treeSnapshot(dir.path());
        PackState pack(dir.path(), dir / "manifest.txt");
        appendRecordHeader(pack.buffer, RecordType::Directory, "d", 0);
        pack.recordsInBuffer = 1;
        CapturedCerr err;
        EXPECT_FALSE(flushChunk(pack.writer));
        EXPECT_EQ(err.text(), "Could not create chunk: \"" + chunk.string() + "\"\n");
        EXPECT_EQ(pack.nextChunkNumber, 1u);
        EXPECT_EQ(readFile(dir / "manifest.txt"), "");
        fs::remove(dir / "manifest.txt");
        EXPECT_EQ(testing_support::treeSnapshot(dir.path()), before);
    }
}

TEST(ChunkWriter, RemovedFolderIsReportedWithQuotedPath) {
    TempDir dir;
    fs::create_directory(dir / "go\"ne\\.hlg");
    PackState pack(dir / "go\"ne\\.hlg", dir / "manifest.txt");
    // Nothing is created anywhere else: not in a folder made at its path since.
    fs::remove(dir / "go\"ne\\.hlg");
    fs::create_directory(dir / "go\"ne\\.hlg");
    pack.nextChunkNumber = 5;
    appendRecordHeader(pack.buffer, RecordType::Directory, "d", 0);
    pack.recordsInBuffer = 1;
    const std::vector<unsigned char> before = pack.buffer;

    CapturedCerr err;
    EXPECT_FALSE(flushChunk(pack.writer));
    EXPECT_EQ(err.text(), "Could not create chunk: \"" + dir.path().string() + "/go\\\"ne\\\\.hlg/000005.zst\"\n");
    EXPECT_EQ(pack.buffer, before);
    EXPECT_EQ(pack.nextChunkNumber, 5u);
    EXPECT_EQ(pack.recordsInBuffer, 1u);
    EXPECT_EQ(readFile(dir / "manifest.txt"), "");
    EXPECT_TRUE(fs::is_empty(dir / "go\"ne\\.hlg"));
}

TEST(ChunkWriter, WriteOrCloseFailureIsReportedAndLeavesNoLine) {
    // A chunk a little or far past the limit. Both run in a child whose file size limit
    // is 64 bytes.
    for (const std::size_t size : {400u, 200000u}) {
        SCOPED_TRACE(size);
        TempDir dir;
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{64, 64};
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(2);
            int code = 0;
            {
                PackState pack(dir.path(), dir / "manifest.txt");
                pack.buffer = noise(size);
                pack.recordsInBuffer = 3;
                const std::vector<unsigned char> before = pack.buffer;
                CapturedCerr err;
                if (flushChunk(pack.writer)) code = 3;
                else if (err.text() != "Could not write chunk: \"" + (dir / "000001.zst").string() + "\"\n") code = 4;
                else if (pack.buffer != before || pack.recordsInBuffer != 3 || pack.nextChunkNumber != 1) code = 5;
            }
            _exit(code);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << "3: flush succeeded, 4: wrong message, 5: state changed";
        EXPECT_EQ(readFile(dir / "manifest.txt"), "");
        EXPECT_LE(fs::file_size(dir / "000001.zst"), 64u);
    }
}

TEST(ChunkWriter, FailedManifestIsReported) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    TempDir dir;
    PackState pack(dir.path(), "/dev/full");
    ASSERT_TRUE(pack.manifest.is_open());
    appendRecordHeader(pack.buffer, RecordType::Directory, "d", 0);
    pack.recordsInBuffer = 1;
    const std::vector<unsigned char> before = pack.buffer;

    CapturedCerr err;
    EXPECT_FALSE(flushChunk(pack.writer));
    EXPECT_EQ(err.text(), "Could not write manifest.\n");
    EXPECT_EQ(pack.buffer, before);
    EXPECT_EQ(pack.recordsInBuffer, 1u);
    EXPECT_EQ(pack.nextChunkNumber, 1u);
}

}  // namespace
