// The chunk reader's memory: chunks of many MiB come back whole, refusals before the
// decompression leave the caller's content as it was, and a stated size is never
// allocated for a file that cannot fill it.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "format/chunk_reader.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using testing_support::openChunkFile;
using testing_support::readChunkFile;
using testing_support::compressFrame;
using testing_support::frameClaiming;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

using CapturedCerr = testing_support::CapturedStream;

TEST(ChunkReaderSize, LargeChunksComeBackWhole) {
    TempDir dir;
    for (const std::size_t size : {std::size_t{2097152}, std::size_t{9 * 1048576 + 17}}) {
        SCOPED_TRACE(size);
        std::string content(size, '\0');
        for (std::size_t i = 0; i < size; ++i) content[i] = static_cast<char>((i * 2654435761u) >> 13);
        writeFile(dir / "000001.zst", compressFrame(content));
        ChunkMemory read;
        CapturedCerr err;
        ASSERT_TRUE(readChunkFile(dir / "000001.zst", size, read));
        EXPECT_EQ(read.size(), size);
        EXPECT_TRUE(std::string(reinterpret_cast<const char*>(read.data()), read.size()) == content);
        EXPECT_EQ(err.text(), "");
        // Streamed through a window far smaller than the chunk, the same bytes.
        ChunkStream stream;
        ASSERT_TRUE(openChunkFile(stream, dir / "000001.zst", size));
        std::vector<unsigned char> piece(65536);
        std::size_t at = 0, count = 0;
        bool same = true;
        ChunkStream::Status status = ChunkStream::Status::More;
        while (status == ChunkStream::Status::More) {
            status = stream.decompress(piece.data(), piece.size(), count);
            same = same && at + count <= size && std::memcmp(piece.data(), content.data() + at, count) == 0;
            at += count;
        }
        EXPECT_EQ(status, ChunkStream::Status::Ended);
        EXPECT_EQ(at, size);
        EXPECT_TRUE(same);
    }
}

TEST(ChunkReaderSize, RefusalsBeforeDecompressionLeaveTheContentAlone) {
    TempDir dir;
    writeFile(dir / "short.zst", compressFrame("abc"));
    writeFile(dir / "000001.zst", compressFrame("earlier"));
    ChunkMemory content;
    ASSERT_TRUE(readChunkFile(dir / "000001.zst", 7, content));
    const unsigned char* const before = content.data();
    for (const auto& [name, stated] : {std::pair<std::string, std::uint64_t>{"missing.zst", 3},
                                       {"short.zst", 4}}) {
        SCOPED_TRACE(name);
        CapturedCerr err;
        EXPECT_FALSE(readChunkFile(dir / name, stated, content));
        EXPECT_EQ(content.data(), before);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(content.data()), content.size()), "earlier");
    }
}

// A file that is not frames the reader can size gets the decompressor's message however
// much is stated, and only as much memory as its frames can fill.
TEST(ChunkReaderSize, UnsizableFilesAreNeverGivenTheStatedSize) {
    TempDir dir;
    const std::string frame = compressFrame("abc");
    const std::vector<std::pair<std::string, std::string>> files = {
        {"not a Zstandard frame at all", "Unknown frame descriptor"},
        {frameClaiming(1ULL << 63, "x") + "trailing bytes", "Data corruption detected"},
        {frame.substr(0, frame.size() - 1), "Src size is incorrect"},
        {"\x27" + frame.substr(1), "Src size is incorrect"},  // a legacy magic number
    };
    for (const auto& [file, error] : files) {
        writeFile(dir / "000001.zst", file);
        for (const std::uint64_t stated : {std::uint64_t{1} << 40, std::uint64_t{1} << 63, ~std::uint64_t{0}}) {
            SCOPED_TRACE(error + " " + std::to_string(stated));
            ChunkMemory content;
            CapturedCerr err;
            EXPECT_FALSE(readChunkFile(dir / "000001.zst", stated, content));
            EXPECT_EQ(err.text(), "Decompression failed for \"000001.zst\": " + error + "\n");
            EXPECT_LE(content.size(), 3u);
        }
    }
}

}  // namespace
