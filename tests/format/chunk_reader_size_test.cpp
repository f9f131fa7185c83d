// The chunk reader's memory: chunks of many MiB come back whole, refusals before the
// decompression leave the caller's content as it was, and a size no byte vector can
// have fails with the standard length error.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "format/chunk_reader.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
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
        ASSERT_TRUE(readChunk(dir / "000001.zst", size, read));
        EXPECT_EQ(read.size(), size);
        EXPECT_TRUE(std::string(reinterpret_cast<const char*>(read.data()), read.size()) == content);
        EXPECT_EQ(err.text(), "");
        // Streamed through a window far smaller than the chunk, the same bytes.
        ChunkStream stream;
        ASSERT_TRUE(stream.open(dir / "000001.zst"));
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
    ASSERT_TRUE(readChunk(dir / "000001.zst", 7, content));
    const unsigned char* const before = content.data();
    for (const auto& [name, stated] : {std::pair<std::string, std::uint64_t>{"missing.zst", 3},
                                       {"short.zst", 4}}) {
        SCOPED_TRACE(name);
        CapturedCerr err;
        EXPECT_FALSE(readChunk(dir / name, stated, content));
        EXPECT_EQ(content.data(), before);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(content.data()), content.size()), "earlier");
    }
}

TEST(ChunkReaderSize, SizeNoVectorCanHoldIsTheStandardLengthError) {
    TempDir dir;
    const std::uint64_t claim = 1ULL << 63;
    // Bytes after the frame keep it from being sized, so the claim reaches the allocation.
    writeFile(dir / "000001.zst", frameClaiming(claim, "x") + "trailing bytes");
    ChunkMemory content;
    try {
        readChunk(dir / "000001.zst", claim, content);
        ADD_FAILURE() << "no exception";
    } catch (const std::length_error& error) {
        EXPECT_STREQ(error.what(), "vector::_M_default_append");
    }
    EXPECT_EQ(content.size(), 0u);
}

}  // namespace
