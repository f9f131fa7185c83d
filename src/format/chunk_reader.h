#pragma once
// Reads one chunk file and decompresses it to exactly the size the manifest states: whole,
// or piece by piece for a reader that looks at each content byte once.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "format/archive_folder.h"
#include "format/chunk_memory.h"
#include "format/file_descriptor.h"

// Both readers open the chunk file `name` inside the open archive folder, and name it in
// messages as the archive path joined with it.

// True when `content` holds exactly `rawSize` decompressed bytes; false after one
// message on standard error. `content` is replaced only once the frame has been read and
// judged plausible; after a failed decompression it holds at most `rawSize` undefined
// bytes, never more than the file's frames can produce.
bool readChunk(const ArchiveFolder& archive, const std::string& name, std::uint64_t rawSize,
               ChunkMemory& content);

// Decompresses chunk files piece by piece through buffers of a few MiB, one after the
// other with the same decoder, holding nothing of a chunk's size. It names every fault
// itself, with readChunk's messages; where the two decoders disagree (a block above the
// format's maximum, a window too large to hold), the stream's verdict stands.
class ChunkStream {
public:
    enum class Status {
        More,    // the piece is full; more content may follow
        Ended,   // the file was taken whole: exactly the stated size, every frame complete
        Failed,  // the message has been written
    };

    ChunkStream();
    ~ChunkStream();
    ChunkStream(const ChunkStream&) = delete;
    ChunkStream& operator=(const ChunkStream&) = delete;

    // Opens the chunk file as readChunk opens it, for `rawSize` bytes of content; false
    // after readChunk's message.
    bool open(const ArchiveFolder& archive, const std::string& name, std::uint64_t rawSize);

    // Decompresses the next at most `capacity` content bytes into `into`; `produced` is set
    // to how many came, for every status.
    Status decompress(unsigned char* into, std::size_t capacity, std::size_t& produced);

private:
    bool fill(std::size_t least);
    bool fail(std::size_t error);
    bool startFrame();
    std::size_t buffered() const { return inputEnd_ - inputPos_; }

    struct ZSTD_DCtx_s* decoder_;
    ChunkMemory input_;
    std::size_t inputEnd_ = 0;  // bytes read into input_
    std::size_t inputPos_ = 0;  // bytes of them taken
    FileDescriptor file_{-1};
    std::filesystem::path chunkPath_;
    std::uint64_t unread_ = 0;     // bytes of the file not yet read
    std::uint64_t stated_ = 0;     // the content size the manifest states
    std::uint64_t delivered_ = 0;  // content bytes given so far
    bool inFrame_ = false;
    bool afterFrame_ = false;  // a Zstandard frame has been read whole
    bool ended_ = false;
};
