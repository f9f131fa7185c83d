#include "format/chunk_reader.h"

#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <limits>
#include <stdexcept>

#include "format/escaped_text.h"
#include "format/file_descriptor.h"

namespace fs = std::filesystem;

namespace {

// Content bytes per frame byte that are populated before decompression; the rest of a
// chunk that compresses better is faulted in as it is written.
constexpr std::size_t kPopulatedPerFrameByte = 32;

bool readAll(int fd, unsigned char* into, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd, into + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// The most content the blocks of a whole, single frame can produce, whatever its header
// claims: a raw or RLE block gives its stated size, a compressed one at most the frame's
// largest block. False when the file is not one complete frame (left to the decompressor).
bool blockBound(const unsigned char* frame, std::size_t frameSize, unsigned long long& bound) {
    ZSTD_frameHeader header;
    if (ZSTD_getFrameHeader(&header, frame, frameSize) != 0 || header.frameType != ZSTD_frame ||
        ZSTD_findFrameCompressedSize(frame, frameSize) != frameSize)
        return false;
    constexpr unsigned kRawBlock = 0, kRleBlock = 1, kCompressedBlock = 2;
    bound = 0;
    for (std::size_t at = header.headerSize; frameSize - at >= 3;) {
        const std::uint32_t block = static_cast<std::uint32_t>(frame[at]) |
                                    static_cast<std::uint32_t>(frame[at + 1]) << 8 |
                                    static_cast<std::uint32_t>(frame[at + 2]) << 16;
        const std::uint32_t size = block >> 3;
        const unsigned type = (block >> 1) & 3;
        at += 3;
        if (type != kRawBlock && type != kRleBlock && type != kCompressedBlock) return false;
        const std::size_t stored = type == kRleBlock ? 1 : size;
        if (frameSize - at < stored) return false;
        at += stored;
        bound += type == kCompressedBlock ? header.blockSizeMax : size;
        if (block & 1) return true;
    }
    return false;
}

// A frame that cannot produce what the manifest states is refused before the stated size
// is allocated: a header may claim any size. Frames that cannot be sized here are left
// to the decompressor, which names their fault.
bool declaresLessThan(const unsigned char* frame, std::size_t frameSize, std::uint64_t rawSize) {
    const unsigned long long declared = ZSTD_findDecompressedSize(frame, frameSize);
    if (declared == ZSTD_CONTENTSIZE_ERROR) return false;
    if (declared != ZSTD_CONTENTSIZE_UNKNOWN) {
        if (declared < rawSize) return true;
        unsigned long long bound = 0;
        return blockBound(frame, frameSize, bound) && bound < rawSize;
    }
    const unsigned long long bound = ZSTD_decompressBound(frame, frameSize);
    return bound != ZSTD_CONTENTSIZE_ERROR && bound < rawSize;
}

}  // namespace

bool readChunk(const fs::path& chunkPath, std::uint64_t rawSize, ChunkMemory& content) {
    // Non-blocking so that a named pipe cannot stall the open; it is refused below.
    FileDescriptor file(::open(chunkPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!file.isOpen()) {
        std::cerr << "Could not open chunk: " << escapedQuoted(chunkPath) << '\n';
        return false;
    }
    struct stat info;
    if (::fstat(file.get(), &info) != 0) {
        std::cerr << "Could not determine chunk size: " << escapedQuoted(chunkPath) << '\n';
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        std::cerr << "Could not open chunk: " << escapedQuoted(chunkPath) << '\n';
        return false;
    }
    const std::size_t frameSize = static_cast<std::size_t>(info.st_size);
    ChunkMemory frame(frameSize);
    populateForWriting(frame.data(), frameSize);
    if (!readAll(file.get(), frame.data(), frameSize)) {
        std::cerr << "Could not read chunk: " << escapedQuoted(chunkPath) << '\n';
        return false;
    }

    if (declaresLessThan(frame.data(), frameSize, rawSize)) {
        std::cerr << "Chunk decompressed to an unexpected size: "
                  << escapedQuoted(chunkPath.filename()) << '\n';
        return false;
    }
    // A size no byte vector can have fails with the standard length error, worded as the
    // standard library words it for a byte vector's resize.
    if (rawSize > static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max())) {
        throw std::length_error("vector::_M_default_append");
    }
    // Not zero-filled: the decompressor writes every byte of a chunk that passes.
    content = ChunkMemory(static_cast<std::size_t>(rawSize));
    // The stated size is only a claim until the decompressor has produced it: pages are
    // asked for in advance only for what a frame of this size plausibly yields, so that a
    // small hostile frame cannot make the system provide memory that is never filled.
    const std::size_t plausible = frameSize > content.size() / kPopulatedPerFrameByte
                                      ? content.size()
                                      : frameSize * kPopulatedPerFrameByte;
    populateForWriting(content.data(), plausible);
    const std::size_t produced = ZSTD_decompress(content.data(), rawSize, frame.data(), frameSize);
    if (ZSTD_isError(produced)) {
        std::cerr << "Decompression failed for " << escapedQuoted(chunkPath.filename()) << ": "
                  << ZSTD_getErrorName(produced) << '\n';
        return false;
    }
    if (produced != rawSize) {
        std::cerr << "Chunk decompressed to an unexpected size: "
                  << escapedQuoted(chunkPath.filename()) << '\n';
        return false;
    }
    return true;
}
