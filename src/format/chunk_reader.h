#pragma once
// Reads one chunk file and decompresses it to exactly the size the manifest states.

#include <cstdint>
#include <filesystem>
#include <vector>

// True when `content` holds exactly `rawSize` decompressed bytes; false after one
// message on standard error.
bool readChunk(const std::filesystem::path& chunkPath, std::uint64_t rawSize,
               std::vector<unsigned char>& content);
