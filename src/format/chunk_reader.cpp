#include "format/chunk_reader.h"

#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <limits>
#include <new>
#include <stdexcept>

#include "format/escaped_text.h"
#include "format/file_descriptor.h"

namespace fs = std::filesystem;

namespace {

// Content bytes per frame byte that are populated before decompression; the rest of a
// chunk that compresses better is faulted in as it is written.
constexpr std::size_t kPopulatedPerFrameByte = 32;

// File bytes read at a time when streaming.
constexpr std::size_t kStreamInput = std::size_t{1} << 20;
// A frame's first four bytes name its kind.
constexpr std::size_t kMagicSize = 4;

std::uint32_t littleEndian32(const unsigned char* at) {
    return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
           static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

// What the frames of a chunk file can produce, found from their block headers alone: a
// frame header may claim any size, and a file that is not frames at all claims nothing.
struct FrameSizes {
    // The most content the blocks walked can produce: a raw or RLE block gives its stated
    // size, a compressed one at most its frame's largest block.
    unsigned long long blocks = 0;
    // The same with no frame counted beyond the content size its header states.
    unsigned long long claimed = 0;
    // Every byte of the file belongs to a frame walked; when false, the decompressor meets
    // a fault after at most `blocks` bytes of content.
    bool whole = false;
};

FrameSizes sizeFrames(const unsigned char* file, std::size_t fileSize) {
    constexpr unsigned kRleBlock = 1, kCompressedBlock = 2;  // a raw block is 0, 3 is reserved
    constexpr std::size_t kBlockHeader = 3, kChecksum = 4;
    FrameSizes sizes;
    for (std::size_t start = 0; start < fileSize;) {
        const unsigned char* frame = file + start;
        const std::size_t left = fileSize - start;
        ZSTD_frameHeader header;
        if (ZSTD_getFrameHeader(&header, frame, left) != 0) return sizes;
        if (header.frameType == ZSTD_skippableFrame) {
            // Its header size is not reported: the magic number and a 4-byte length.
            if (left - ZSTD_SKIPPABLEHEADERSIZE < header.frameContentSize) return sizes;
            start += ZSTD_SKIPPABLEHEADERSIZE + static_cast<std::size_t>(header.frameContentSize);
            continue;
        }
        unsigned long long bound = 0;
        std::size_t at = header.headerSize;
        for (bool last = false; !last;) {
            if (left - at < kBlockHeader) {
                sizes.blocks += bound;
                return sizes;
            }
            const std::uint32_t block = static_cast<std::uint32_t>(frame[at]) |
                                        static_cast<std::uint32_t>(frame[at + 1]) << 8 |
                                        static_cast<std::uint32_t>(frame[at + 2]) << 16;
            const std::uint32_t size = block >> 3;
            const unsigned type = (block >> 1) & 3;
            const std::size_t stored = type == kRleBlock ? 1 : size;
            at += kBlockHeader;
            if (type > kCompressedBlock || left - at < stored) {
                sizes.blocks += bound;
                return sizes;
            }
            at += stored;
            bound += type == kCompressedBlock ? header.blockSizeMax : size;
            last = block & 1;
        }
        sizes.blocks += bound;
        if (header.checksumFlag && left - at < kChecksum) return sizes;
        at += header.checksumFlag ? kChecksum : 0;
        sizes.claimed += header.frameContentSize == ZSTD_CONTENTSIZE_UNKNOWN
                             ? bound
                             : std::min<unsigned long long>(bound, header.frameContentSize);
        start += at;
    }
    sizes.whole = true;
    return sizes;
}

// Both readers open a chunk alike. Non-blocking so that a named pipe cannot stall the
// open; it is refused below, like anything that is not a regular file.
bool openChunk(const ArchiveFolder& archive, const std::string& name, const fs::path& chunkPath,
               FileDescriptor& file, std::size_t& size) {
    file = FileDescriptor(::openat(archive.fd(), name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
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
    size = static_cast<std::size_t>(info.st_size);
    return true;
}

bool readChunkBytes(const FileDescriptor& file, const fs::path& chunkPath, unsigned char* into,
                    std::size_t size) {
    std::size_t got = 0;
    if (readAtLeast(file.get(), into, size, size, got) && got == size) return true;
    std::cerr << "Could not read chunk: " << escapedQuoted(chunkPath) << '\n';
    return false;
}

}  // namespace

bool readChunk(const ArchiveFolder& archive, const std::string& name, std::uint64_t rawSize,
               ChunkMemory& content) {
    const fs::path chunkPath = archive.path() / name;
    FileDescriptor file(-1);
    std::size_t frameSize = 0;
    if (!openChunk(archive, name, chunkPath, file, frameSize)) return false;
    ChunkMemory frame(frameSize);
    populateForWriting(frame.data(), frameSize);
    if (!readChunkBytes(file, chunkPath, frame.data(), frameSize)) return false;

    // A file of frames that cannot produce the stated size is refused before it is
    // allocated. Any other file is given room only for what its frames can produce before
    // their fault, so that the decompressor names the fault whatever size is stated.
    const FrameSizes sizes = sizeFrames(frame.data(), frameSize);
    if (sizes.whole && sizes.claimed < rawSize) {
        std::cerr << "Chunk decompressed to an unexpected size: "
                  << escapedQuoted(chunkPath.filename()) << '\n';
        return false;
    }
    const std::uint64_t capacity = sizes.whole ? rawSize : std::min<std::uint64_t>(rawSize, sizes.blocks);
    // A size no byte vector can have fails with the standard length error, worded as the
    // standard library words it for a byte vector's resize.
    if (capacity > static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max())) {
        throw std::length_error("vector::_M_default_append");
    }
    // Not zero-filled: the decompressor writes every byte of a chunk that passes.
    content = ChunkMemory(static_cast<std::size_t>(capacity));
    // The stated size is only a claim until the decompressor has produced it: pages are
    // asked for in advance only for what a frame of this size plausibly yields, so that a
    // small hostile frame cannot make the system provide memory that is never filled.
    const std::size_t plausible = frameSize > content.size() / kPopulatedPerFrameByte
                                      ? content.size()
                                      : frameSize * kPopulatedPerFrameByte;
    populateForWriting(content.data(), plausible);
    const std::size_t produced = ZSTD_decompress(content.data(), content.size(), frame.data(), frameSize);
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

ChunkStream::ChunkStream() : decoder_(ZSTD_createDCtx()), input_(kStreamInput) {
    if (decoder_ == nullptr) throw std::bad_alloc();
}

ChunkStream::~ChunkStream() { ZSTD_freeDCtx(decoder_); }

bool ChunkStream::open(const ArchiveFolder& archive, const std::string& name) {
    ZSTD_DCtx_reset(decoder_, ZSTD_reset_session_only);
    chunkPath_ = archive.path() / name;
    inputEnd_ = inputPos_ = 0;
    lastResult_ = 1;
    atFrameStart_ = true;
    std::size_t size = 0;
    if (!openChunk(archive, name, chunkPath_, file_, size)) return false;
    unread_ = size;
    return true;
}

// Reads the next bytes of the file behind those the decoder has not taken yet.
bool ChunkStream::refill() {
    const std::size_t kept = inputEnd_ - inputPos_;
    std::memmove(input_.data(), input_.data() + inputPos_, kept);
    const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(input_.size() - kept, unread_));
    if (!readChunkBytes(file_, chunkPath_, input_.data() + kept, count)) return false;
    unread_ -= count;
    inputEnd_ = kept + count;
    inputPos_ = 0;
    return true;
}

ChunkStream::Status ChunkStream::decompress(unsigned char* into, std::size_t capacity, std::size_t& produced) {
    ZSTD_outBuffer out{into, capacity, 0};
    Status status = Status::More;
    while (out.pos < out.size) {
        std::size_t buffered = inputEnd_ - inputPos_;
        // A frame's magic number is looked at whole, before the decoder sees the frame.
        if (unread_ > 0 && (buffered == 0 || (atFrameStart_ && buffered < kMagicSize))) {
            if (!refill()) {
                status = Status::Failed;
                break;
            }
            buffered = inputEnd_ - inputPos_;
        }
        if (buffered == 0 && lastResult_ == 0) {
            status = Status::Ended;
            break;
        }
        if (atFrameStart_ && buffered > 0) {
            // Only the frames pack writes: a skippable or legacy frame is for readChunk to
            // judge, with its own decoder.
            if (buffered < kMagicSize || littleEndian32(input_.data() + inputPos_) != ZSTD_MAGICNUMBER) {
                status = Status::Unusual;
                break;
            }
            atFrameStart_ = false;
        }
        ZSTD_inBuffer in{input_.data(), inputEnd_, inputPos_};
        const std::size_t outBefore = out.pos;
        const std::size_t result = ZSTD_decompressStream(decoder_, &out, &in);
        const bool progressed = out.pos != outBefore || in.pos != inputPos_;
        inputPos_ = in.pos;
        // No progress with room for output: the last frame is cut short.
        if (ZSTD_isError(result) || !progressed) {
            status = Status::Unusual;
            break;
        }
        lastResult_ = result;
        if (result == 0) atFrameStart_ = true;
    }
    produced = out.pos;
    return status;
}
