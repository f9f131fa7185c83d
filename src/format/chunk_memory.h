#pragma once
// Memory for whole chunks: a chunk's content, its compressed frame, a compression
// destination. Hundreds of MiB are taken per chunk and every byte is written before it
// is read, so the memory is never zero-filled here.

#include <cstddef>

class ChunkMemory {
public:
    ChunkMemory() noexcept = default;
    // `size` bytes whose content is undefined. Throws std::bad_alloc when refused.
    explicit ChunkMemory(std::size_t size);
    ~ChunkMemory();
    ChunkMemory(ChunkMemory&& other) noexcept;
    ChunkMemory& operator=(ChunkMemory&& other) noexcept;
    ChunkMemory(const ChunkMemory&) = delete;
    ChunkMemory& operator=(const ChunkMemory&) = delete;

    unsigned char* data() noexcept { return bytes_; }
    const unsigned char* data() const noexcept { return bytes_; }
    std::size_t size() const noexcept { return size_; }

private:
    unsigned char* bytes_ = nullptr;
    std::size_t size_ = 0;
};

// Asks the system for every page of `size` bytes at `memory` in one request, for memory
// that is about to be written whole: one call instead of a page fault for each 4 KiB.
// Only a request: pages that are not given now are faulted in as they are written.
void populateForWriting(void* memory, std::size_t size) noexcept;
