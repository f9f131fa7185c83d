#include "format/chunk_memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>

namespace {

// The size of a transparent huge page on x86-64 and arm64 with 4 KiB pages.
constexpr std::size_t kHugePageSize = 2097152;

}  // namespace

ChunkMemory::ChunkMemory(std::size_t size) : size_(size) {
    if (size == 0) return;
    void* memory = nullptr;
    if (size < kHugePageSize) {
        memory = std::malloc(size);
    } else if (::posix_memalign(&memory, kHugePageSize, size) != 0) {
        memory = nullptr;
    }
    if (memory == nullptr) throw std::bad_alloc();
    bytes_ = static_cast<unsigned char*>(memory);
    if (size >= kHugePageSize) adviseHugePages(bytes_, size);
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

void adviseHugePages(void* memory, std::size_t size) noexcept {
    const auto pageSize = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const auto start = reinterpret_cast<std::uintptr_t>(memory);
    const std::uintptr_t first = (start + pageSize - 1) / pageSize * pageSize;
    const std::uintptr_t last = (start + size) / pageSize * pageSize;
    if (last > first && last - first >= kHugePageSize) {
        ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
    }
}
