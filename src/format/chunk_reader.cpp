#include "format/chunk_reader.h"

#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>
#include <zstd_errors.h>

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
// The largest window the stream decodes with: with the decoder's other buffers and the
// reader's own, a few MiB below the 32 MiB that verify may take. Pack's frames use 2 MiB.
constexpr int kStreamWindowLog = 24;

constexpr std::size_t kBlockHeader = 3;
// What stands at a frame boundary is judged from this many bytes: the longest frame
// header and the first block's header.
constexpr std::size_t kFrameLookAhead = ZSTD_FRAMEHEADERSIZE_MAX + kBlockHeader;

std::uint32_t littleEndian32(const unsigned char* at) {
    return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
           static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

// The magic numbers of the format's versions before 1.0; the decoder reads those it still
// knows, and takes the others for bytes that are no frame.
bool isLegacyMagic(std::uint32_t magic) {
    return magic == 0x1EB52FFDu || (magic >= 0xFD2FB522u && magic <= 0xFD2FB527u);
}

enum class FrameStartKind { End, Fault, Skippable, Legacy, Frame };

struct FrameStart {
    FrameStartKind kind = FrameStartKind::Fault;
    ZSTD_ErrorCode error = ZSTD_error_srcSize_wrong;  // for a fault
    std::uint64_t skippableSize = 0;                  // header included
};

// How the one-shot decoder takes what stands at a frame boundary, with the fault it names
// there: `left` bytes remain in the file, the first `available` of them (at least
// kFrameLookAhead, or all) at `at`. Bytes that are no frame are an unknown frame, or, after
// a whole frame or when too few to hold one, a wrong source size.
FrameStart judgeFrameStart(const unsigned char* at, std::size_t available, std::uint64_t left,
                           bool afterFrame) {
    FrameStart start;
    if (left == 0) {
        start.kind = FrameStartKind::End;
        return start;
    }
    if (left < ZSTD_FRAMEHEADERSIZE_PREFIX(ZSTD_f_zstd1)) return start;
    const std::uint32_t magic = littleEndian32(at);
    if (isLegacyMagic(magic) &&
        ZSTD_getErrorCode(ZSTD_findFrameCompressedSize(at, available)) != ZSTD_error_prefix_unknown) {
        start.kind = FrameStartKind::Legacy;
        return start;
    }
    if ((magic & ZSTD_MAGIC_SKIPPABLE_MASK) == ZSTD_MAGIC_SKIPPABLE_START) {
        if (left < ZSTD_SKIPPABLEHEADERSIZE) return start;
        const std::uint32_t length = littleEndian32(at + 4);  // after the magic number
        if (length > std::numeric_limits<std::uint32_t>::max() - ZSTD_SKIPPABLEHEADERSIZE) {
            start.error = ZSTD_error_frameParameter_unsupported;
            return start;
        }
        start.skippableSize = std::uint64_t{ZSTD_SKIPPABLEHEADERSIZE} + length;
        if (start.skippableSize <= left) start.kind = FrameStartKind::Skippable;
        return start;
    }
    if (left < ZSTD_FRAMEHEADERSIZE_MIN(ZSTD_f_zstd1) + kBlockHeader) return start;
    // The header's size is taken from its descriptor byte before the magic is looked at.
    const std::size_t headerSize = ZSTD_frameHeaderSize(at, available);
    if (ZSTD_isError(headerSize)) {
        start.error = ZSTD_getErrorCode(headerSize);
        return start;
    }
    if (left < headerSize + kBlockHeader) return start;
    ZSTD_frameHeader header;
    const std::size_t judged = ZSTD_getFrameHeader(&header, at, headerSize);
    if (ZSTD_isError(judged)) {
        const ZSTD_ErrorCode error = ZSTD_getErrorCode(judged);
        if (!(afterFrame && error == ZSTD_error_prefix_unknown)) start.error = error;
        return start;
    }
    if (judged == 0) start.kind = FrameStartKind::Frame;
    return start;
}

void reportDecompressionFault(const fs::path& chunkPath, ZSTD_ErrorCode error) {
    std::cerr << "Decompression failed for " << escapedQuoted(chunkPath.filename()) << ": "
              << ZSTD_getErrorString(error) << '\n';
}

void reportUnexpectedSize(const fs::path& chunkPath) {
    std::cerr << "Chunk decompressed to an unexpected size: " << escapedQuoted(chunkPath.filename())
              << '\n';
}

// What the frames of a chunk file can produce, found from their block headers alone: a
// frame header may claim any size, and a file that is not frames at all claims nothing.
struct FrameSizes {
    // The most content the blocks walked can produce: a raw or RLE block gives its stated
    // size, a compressed one what its stored bytes can hold, at most its frame's largest
    // block. The walk stops at a block that cannot be one, which the decompressor then
    // meets with no room left.
    unsigned long long blocks = 0;
    // The same with no frame counted beyond the content size its header states.
    unsigned long long claimed = 0;
    // Every byte of the file belongs to a frame walked; when false, the decompressor meets
    // a fault after at most `blocks` bytes of content.
    bool whole = false;
};

// The most a compressed block of `stored` bytes can produce. Its literals section and its
// sequences section take a byte each at least, so that two bytes produce nothing and three
// at most a run of 31 literals (a one-byte header, the repeated byte, no sequences); fewer
// than two are no block at all (0 here, with `valid` false).
unsigned long long compressedBlockRoom(std::size_t stored, unsigned long long blockMax, bool& valid) {
    constexpr std::size_t kShortestBlock = 2, kShortRunBlock = 3;
    constexpr unsigned long long kShortRun = 31;
    valid = stored >= kShortestBlock;
    if (stored <= kShortestBlock) return 0;
    return stored == kShortRunBlock ? std::min(kShortRun, blockMax) : blockMax;
}

FrameSizes sizeFrames(const unsigned char* file, std::size_t fileSize) {
    constexpr unsigned kRleBlock = 1, kCompressedBlock = 2;  // a raw block is 0, 3 is reserved
    constexpr std::size_t kChecksum = 4;
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
            bool valid = type <= kCompressedBlock && left - at >= stored;
            unsigned long long room = size;
            if (valid && type == kCompressedBlock) {
                room = compressedBlockRoom(size, header.blockSizeMax, valid);
            } else if (size > header.blockSizeMax) {
                valid = false;
            }
            if (!valid) {
                sizes.blocks += bound;
                return sizes;
            }
            at += stored;
            bound += room;
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
    // A file that does not start with a frame is refused from its first bytes, before it
    // is read whole.
    unsigned char head[kFrameLookAhead];
    const std::size_t headSize = std::min(frameSize, sizeof head);
    if (!readChunkBytes(file, chunkPath, head, headSize)) return false;
    const FrameStart start = judgeFrameStart(head, headSize, frameSize, false);
    if (start.kind == FrameStartKind::Fault) {
        reportDecompressionFault(chunkPath, start.error);
        return false;
    }
    ChunkMemory frame(frameSize);
    populateForWriting(frame.data(), frameSize);
    if (headSize > 0) std::memcpy(frame.data(), head, headSize);
    if (!readChunkBytes(file, chunkPath, frame.data() + headSize, frameSize - headSize)) return false;

    // A file of frames that cannot produce the stated size is refused before it is
    // allocated. Any other file is given room only for what its frames can produce before
    // their fault, so that the decompressor names the fault whatever size is stated.
    const FrameSizes sizes = sizeFrames(frame.data(), frameSize);
    if (sizes.whole && sizes.claimed < rawSize) {
        reportUnexpectedSize(chunkPath);
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
        reportDecompressionFault(chunkPath, ZSTD_getErrorCode(produced));
        return false;
    }
    if (produced != rawSize) {
        reportUnexpectedSize(chunkPath);
        return false;
    }
    return true;
}

ChunkStream::ChunkStream() : decoder_(ZSTD_createDCtx()), input_(kStreamInput) {
    if (decoder_ == nullptr) throw std::bad_alloc();
    ZSTD_DCtx_setParameter(decoder_, ZSTD_d_windowLogMax, kStreamWindowLog);
}

ChunkStream::~ChunkStream() { ZSTD_freeDCtx(decoder_); }

bool ChunkStream::open(const ArchiveFolder& archive, const std::string& name, std::uint64_t rawSize) {
    chunkPath_ = archive.path() / name;
    stated_ = rawSize;
    delivered_ = 0;
    inputEnd_ = inputPos_ = 0;
    inFrame_ = afterFrame_ = ended_ = false;
    std::size_t size = 0;
    if (!openChunk(archive, name, chunkPath_, file_, size)) return false;
    unread_ = size;
    return true;
}

// Makes at least `least` bytes buffered, or all that are left of the file.
bool ChunkStream::fill(std::size_t least) {
    if (buffered() >= least || unread_ == 0) return true;
    const std::size_t kept = buffered();
    std::memmove(input_.data(), input_.data() + inputPos_, kept);
    inputPos_ = 0;
    inputEnd_ = kept;
    const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(input_.size() - kept, unread_));
    if (!readChunkBytes(file_, chunkPath_, input_.data() + kept, count)) return false;
    unread_ -= count;
    inputEnd_ = kept + count;
    return true;
}

bool ChunkStream::fail(std::size_t error) {
    reportDecompressionFault(chunkPath_, static_cast<ZSTD_ErrorCode>(error));
    return false;
}

// At a frame boundary: takes what follows as the one-shot decoder takes it, passing over
// skippable frames, until a frame starts or the file ends. False after a message.
bool ChunkStream::startFrame() {
    for (;;) {
        if (!fill(kFrameLookAhead)) return false;
        const FrameStart start =
            judgeFrameStart(input_.data() + inputPos_, buffered(), buffered() + unread_, afterFrame_);
        switch (start.kind) {
            case FrameStartKind::End:
                if (delivered_ != stated_) {
                    reportUnexpectedSize(chunkPath_);
                    return false;
                }
                ended_ = true;
                return true;
            case FrameStartKind::Fault:
                return fail(start.error);
            case FrameStartKind::Legacy: {
                // No stream of these is held within bounds, and the whole reading cannot
                // size one either: it is judged on what the buffer holds and, if whole,
                // given no room.
                if (!fill(input_.size())) return false;
                const std::size_t size = ZSTD_findFrameCompressedSize(input_.data() + inputPos_, buffered());
                return fail(ZSTD_isError(size) ? ZSTD_getErrorCode(size) : ZSTD_error_dstSize_tooSmall);
            }
            case FrameStartKind::Skippable: {
                const std::size_t here = static_cast<std::size_t>(std::min<std::uint64_t>(start.skippableSize, buffered()));
                inputPos_ += here;
                const std::uint64_t beyond = start.skippableSize - here;
                if (beyond > 0) {
                    if (::lseek(file_.get(), static_cast<off_t>(beyond), SEEK_CUR) < 0) {
                        std::cerr << "Could not read chunk: " << escapedQuoted(chunkPath_) << '\n';
                        return false;
                    }
                    unread_ -= beyond;
                }
                break;
            }
            case FrameStartKind::Frame:
                ZSTD_DCtx_reset(decoder_, ZSTD_reset_session_only);
                inFrame_ = true;
                return true;
        }
    }
}

ChunkStream::Status ChunkStream::decompress(unsigned char* into, std::size_t capacity, std::size_t& produced) {
    // Once the stated size has come, content goes to one spare byte: any that comes is
    // content longer than stated, which the one-shot decoder finds its destination too
    // small for.
    unsigned char spare = 0;
    const std::uint64_t room = stated_ - delivered_;
    ZSTD_outBuffer out{into, static_cast<std::size_t>(std::min<std::uint64_t>(capacity, room)), 0};
    if (room == 0) out = ZSTD_outBuffer{&spare, 1, 0};
    Status status = ended_ ? Status::Ended : Status::More;
    while (status == Status::More && out.pos < out.size) {
        if (!inFrame_) {
            if (!startFrame()) status = Status::Failed;
            else if (ended_) status = Status::Ended;
            continue;
        }
        if (buffered() == 0 && !fill(1)) {
            status = Status::Failed;
            break;
        }
        ZSTD_inBuffer in{input_.data(), inputEnd_, inputPos_};
        const std::size_t outBefore = out.pos;
        const std::size_t result = ZSTD_decompressStream(decoder_, &out, &in);
        const bool progressed = out.pos != outBefore || in.pos != inputPos_;
        inputPos_ = in.pos;
        if (out.dst == into) delivered_ += out.pos - outBefore;
        if (ZSTD_isError(result) || (out.dst == &spare && out.pos != 0)) {
            fail(ZSTD_isError(result) ? ZSTD_getErrorCode(result) : ZSTD_error_dstSize_tooSmall);
            status = Status::Failed;
        } else if (result == 0) {
            inFrame_ = false;
            afterFrame_ = true;
        } else if (!progressed) {
            // Room for content and nothing more to give: the frame is cut short, in its
            // blocks or in the checksum after them.
            fail(ZSTD_nextInputType(decoder_) == ZSTDnit_checksum ? ZSTD_error_checksum_wrong
                                                                  : ZSTD_error_srcSize_wrong);
            status = Status::Failed;
        }
    }
    produced = out.dst == into ? out.pos : 0;
    return status;
}
