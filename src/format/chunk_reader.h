#pragma once
// Reads one chunk file and decompresses it to exactly the size the manifest states.

#include <cstdint>
#include <filesystem>

#include "format/chunk_memory.h"

// True when `content` holds exactly `rawSize` decompressed bytes; false after one
// message on standard error. `content` is replaced only once the frame has been read and
// judged plausible; after a failed decompression it holds `rawSize` undefined bytes.
bool readChunk(const std::filesystem::path& chunkPath, std::uint64_t rawSize,
               ChunkMemory& content);
