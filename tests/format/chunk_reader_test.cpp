// Reading a chunk file back: exact sizes, every failure message, and files that are not
// chunks at all; streamed, the same content or no claim to a clean chunk.

#include <gtest/gtest.h>

#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "format/chunk_reader.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using testing_support::openChunkFile;
using testing_support::readChunkFile;
using testing_support::compressFrame;
using testing_support::frameClaiming;
using testing_support::quoted;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

using CapturedCerr = testing_support::CapturedStream;

const std::string kContent = "chunk content, record after record, record after record";

// A frame whose header does not state its content size, as a streaming writer makes it.
std::string frameWithoutSize(const std::string& content) {
    return testing_support::levelThreeFrame(content, false, false);
}

// The content when the stream decompresses the chunk cleanly to exactly the stated size,
// in pieces of 1000 bytes, else nothing (after its message).
std::optional<std::string> streamed(const fs::path& path, std::uint64_t stated) {
    static ChunkStream stream;
    if (!openChunkFile(stream, path, stated)) return std::nullopt;
    std::string content;
    std::vector<unsigned char> piece(1000);
    ChunkStream::Status status = ChunkStream::Status::More;
    while (status == ChunkStream::Status::More) {
        std::size_t count = 0;
        status = stream.decompress(piece.data(), piece.size(), count);
        content.append(piece.begin(), piece.begin() + count);
    }
    if (status != ChunkStream::Status::Ended) return std::nullopt;
    EXPECT_EQ(content.size(), stated);
    return content;
}

TEST(ChunkReader, ReadsExactlyTheStatedSize) {
    TempDir dir;
    writeFile(dir / "000001.zst", compressFrame(kContent));
    fs::create_symlink(dir / "000001.zst", dir / "link.zst");
    writeFile(dir / "empty.zst", "");
    writeFile(dir / "two.zst", compressFrame(kContent.substr(0, 20)) + compressFrame(kContent.substr(20)));
    writeFile(dir / "skippable.zst", std::string("\x50\x2a\x4d\x18\x03\0\0\0abc", 11) + compressFrame(kContent));
    for (const fs::path& path : {dir / "000001.zst", dir / "link.zst", dir / "two.zst", dir / "skippable.zst"}) {
        // Whatever the buffer held before is replaced, longer or shorter.
        for (const std::size_t earlier : {std::size_t{0}, std::size_t{3}, std::size_t{5000}}) {
            ChunkMemory content(earlier);
            CapturedCerr err;
            ASSERT_TRUE(readChunkFile(path, kContent.size(), content));
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(content.data()), content.size()), kContent);
            EXPECT_EQ(err.text(), "");
        }
        CapturedCerr err;
        EXPECT_EQ(streamed(path, kContent.size()), std::optional(kContent));
        EXPECT_EQ(err.text(), "");
    }
    // An empty file holds no bytes, which is what a stated size of 0 asks for.
    ChunkMemory content;
    EXPECT_TRUE(readChunkFile(dir / "empty.zst", 0, content));
    EXPECT_EQ(content.size(), 0u);
    EXPECT_EQ(streamed(dir / "empty.zst", 0), std::optional(std::string()));
}

TEST(ChunkReader, SizeAndFrameFaults) {
    TempDir dir;
    const std::string frame = compressFrame(kContent);
    const std::string sizeless = frameWithoutSize(kContent);
    std::string flipped = testing_support::checksummedFrame(kContent);
    flipped.back() ^= 1;
    const std::string unexpected = "Chunk decompressed to an unexpected size: \"000001.zst\"\n";
    const std::string tooSmall = "Decompression failed for \"000001.zst\": Destination buffer is too small\n";
    const std::string srcSize = "Decompression failed for \"000001.zst\": Src size is incorrect\n";
    const std::uint64_t n = kContent.size();
    struct Case {
        std::string name;
        std::string file;
        std::uint64_t stated;
        std::string err;
    };
    const std::vector<Case> cases = {
        {"one byte short", frame, n + 1, unexpected},
        {"one byte long", frame, n - 1, tooSmall},
        {"truncated frame", frame.substr(0, frame.size() - 1), n, srcSize},
        {"half a frame", frame.substr(0, frame.size() / 2), n, srcSize},
        {"not a frame", "not a Zstandard frame at all", n, "Decompression failed for \"000001.zst\": Unknown frame descriptor\n"},
        {"empty file", "", n, unexpected},
        {"frame and trailing byte", frame + "x", n, srcSize},
        // Refused from the frame's declared size, before the stated size is allocated.
        {"implausible size", frame, 1ULL << 63, unexpected},
        {"largest size", frame, ~0ULL, unexpected},
        {"no declared size, beyond bound", sizeless, 1ULL << 63, unexpected},
        {"no declared size, one byte short", sizeless, n + 1, unexpected},
        {"no declared size, one byte long", sizeless, n - 1, tooSmall},
        {"checksum flipped", flipped, n, "Decompression failed for \"000001.zst\": Restored data doesn't match checksum\n"},
        {"header claims one byte more", frameClaiming(n + 1, kContent), n, "Decompression failed for \"000001.zst\": Data corruption detected\n"},
        {"legacy magic", "\x27" + frame.substr(1), n, srcSize},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(dir / "000001.zst", c.file);
        ChunkMemory content;
        CapturedCerr err;
        EXPECT_FALSE(readChunkFile(dir / "000001.zst", c.stated, content));
        EXPECT_EQ(err.text(), c.err);
        // The stream names the same fault.
        CapturedCerr streamErr;
        EXPECT_EQ(streamed(dir / "000001.zst", c.stated), std::nullopt);
        EXPECT_EQ(streamErr.text(), c.err);
    }
    ChunkMemory content;
    writeFile(dir / "000001.zst", sizeless);
    EXPECT_TRUE(readChunkFile(dir / "000001.zst", n, content));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(content.data()), content.size()), kContent);
}

TEST(ChunkReader, ThingsThatAreNotChunkFilesAreRefusedWithoutBlocking) {
    TempDir dir;
    const fs::path odd = dir / "we\"ird\\.hlg";
    fs::create_directory(odd);
    ASSERT_EQ(mkfifo((odd / "fifo.zst").c_str(), 0644), 0);
    fs::create_directory(odd / "folder.zst");
    fs::create_symlink(odd / "fifo.zst", odd / "link-to-fifo.zst");
    std::vector<fs::path> paths = {odd / "missing.zst", odd / "fifo.zst", odd / "folder.zst",
                                   odd / "link-to-fifo.zst"};
    if (fs::exists("/dev/zero")) paths.push_back("/dev/zero");
    for (const fs::path& path : paths) {
        SCOPED_TRACE(path.string());
        ChunkMemory content;
        CapturedCerr err;
        EXPECT_FALSE(readChunkFile(path, 10, content));
        EXPECT_EQ(err.text(), "Could not open chunk: " + quoted(path) + "\n");
        EXPECT_EQ(content.size(), 0u);
    }
    EXPECT_EQ(quoted(odd / "x"), "\"" + dir.path().string() + "/we\\\"ird\\\\.hlg/x\"");
}

TEST(ChunkReader, UnreadableChunkAsOrdinaryUser) {
    TempDir dir;
    const fs::path path = dir / "000001.zst";
    writeFile(path, compressFrame(kContent));
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
    // Root reads any file, so the reader runs as an ordinary user in a child.
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
        ChunkMemory content;
        CapturedCerr err;
        const bool ok = readChunkFile(path, kContent.size(), content);
        _exit(ok ? 3 : err.text() == "Could not open chunk: " + quoted(path) + "\n" ? 0 : 4);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "cannot switch to uid 65534 (not running as root)";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "3: read succeeded, 4: wrong message";
}

}  // namespace
