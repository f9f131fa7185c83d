#include "format/chunk_memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>

ChunkMemory::ChunkMemory(std::size_t size) : size_(size) {
    if (size == 0) return;
    bytes_ = static_cast<unsigned char*>(std::malloc(size));
    if (bytes_ == nullptr) throw std::bad_alloc();
}

ChunkMemory::~ChunkMemory() { std::free(bytes_); }

ChunkMemory::ChunkMemory(ChunkMemory&& other) noexcept
    : bytes_(std::exchange(other.bytes_, nullptr)), size_(std::exchange(other.size_, 0)) {}

ChunkMemory& ChunkMemory::operator=(ChunkMemory&& other) noexcept {
    if (this != &other) {
        std::free(bytes_);
        bytes_ = std::exchange(other.bytes_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

void populateForWriting(void* memory, std::size_t size) noexcept {
#ifdef MADV_POPULATE_WRITE
    // Only the whole pages inside the range: the pages at its ends may hold other data.
    const auto pageSize = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const auto start = reinterpret_cast<std::uintptr_t>(memory);
    const std::uintptr_t first = (start + pageSize - 1) / pageSize * pageSize;
    const std::uintptr_t last = (start + size) / pageSize * pageSize;
    // Kernels before 5.14 refuse the request; the pages then come one fault at a time.
    if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
#else
    (void)memory;
    (void)size;
#endif
}
