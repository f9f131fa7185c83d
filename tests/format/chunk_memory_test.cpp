// Chunk memory: every size gets exactly its bytes, ownership moves, and a refusal is the
// standard allocation failure that the command line reports.

#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <utility>
#include <vector>

#include "format/chunk_memory.h"

namespace {

TEST(ChunkMemory, EverySizeIsWholeAndWritable) {
    // Sizes around a page and around 2 MiB, where allocators change their way.
    for (const std::size_t size : {std::size_t{1}, std::size_t{4096}, std::size_t{2097151},
                                   std::size_t{2097152}, std::size_t{5 * 1048576 + 3}}) {
        SCOPED_TRACE(size);
        ChunkMemory memory(size);
        ASSERT_NE(memory.data(), nullptr);
        EXPECT_EQ(memory.size(), size);
        for (std::size_t i = 0; i < size; i += 4093) memory.data()[i] = static_cast<unsigned char>(i);
        memory.data()[size - 1] = 0xab;
        for (std::size_t i = 0; i + 1 < size; i += 4093) EXPECT_EQ(memory.data()[i], static_cast<unsigned char>(i));
        EXPECT_EQ(memory.data()[size - 1], 0xab);
    }
    const ChunkMemory none(0);
    EXPECT_EQ(none.size(), 0u);
}

TEST(ChunkMemory, MovingHandsOverTheBytes) {
    ChunkMemory first(3000000);
    first.data()[0] = 7;
    unsigned char* const bytes = first.data();

    ChunkMemory second(std::move(first));
    EXPECT_EQ(second.data(), bytes);
    EXPECT_EQ(second.size(), 3000000u);
    EXPECT_EQ(first.size(), 0u);
    EXPECT_EQ(first.data(), nullptr);

    ChunkMemory third(10);
    third = std::move(second);
    EXPECT_EQ(third.data(), bytes);
    EXPECT_EQ(third.data()[0], 7);
    EXPECT_EQ(second.size(), 0u);

    third = ChunkMemory();
    EXPECT_EQ(third.size(), 0u);
}

TEST(ChunkMemory, RefusalIsTheStandardAllocationFailure) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer aborts on an allocation of this size instead of failing it";
#else
    EXPECT_THROW(ChunkMemory(std::size_t{1} << 62), std::bad_alloc);
#endif
}

TEST(ChunkMemory, PopulatingLeavesContentAlone) {
    // Only the whole pages inside the range are asked for, whatever its size and alignment;
    // bytes already written there stay as they are.
    for (const std::size_t size : {std::size_t{0}, std::size_t{10}, std::size_t{6 * 1048576 + 1}}) {
        std::vector<unsigned char> buffer(size, 0x5a);
        populateForWriting(buffer.data(), buffer.size());
        populateForWriting(buffer.data() + (size > 0 ? 1 : 0), size > 0 ? size - 1 : 0);
        EXPECT_EQ(buffer, std::vector<unsigned char>(size, 0x5a));
    }
}

}  // namespace
