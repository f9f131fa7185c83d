#pragma once
// "manifest.txt": the archive's only index. Lines "HLG1", "TOTAL_BYTES|n", "TOTAL_FILES|n",
// "CHUNK_TARGET|268435456", then one "CHUNK|name|rawSize|recordCount" per chunk file.

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

constexpr const char* kManifestFileName = "manifest.txt";
// Where extract writes the manifest that replaces "manifest.txt" as it consumes chunks.
constexpr const char* kManifestReplacementName = "manifest.new";
constexpr const char* kManifestMagic = "HLG1";
// Uncompressed bytes a chunk is filled to before it is flushed (256 MiB).
constexpr std::uint64_t kChunkTarget = 268435456;

// One "CHUNK" line.
struct ChunkEntry {
    std::string fileName;         // chunk file name inside the archive folder, as written
    std::uint64_t rawSize = 0;    // uncompressed size in bytes
    std::uint64_t recordCount = 0;  // directory and file records in the chunk
    std::string line{};           // the line as read, carried over when the manifest is rewritten
};

// What one manifest states.
struct Manifest {
    std::uint64_t totalBytes = 0;   // sum of the sizes of the packed regular files
    std::uint64_t totalFiles = 0;   // number of packed regular files
    std::vector<ChunkEntry> chunks; // in manifest order
};

// Reads the manifest of the archive folder, whose argument is already settled. False
// after one message on standard error; true when at least one chunk was accepted.
bool readManifest(const std::filesystem::path& archive, Manifest& manifest);

// Writes the four header lines; nothing is flushed.
void writeManifestHeader(std::ostream& out, std::uint64_t totalBytes, std::uint64_t totalFiles);

// A whole manifest as pack writes one: the header with these totals, then the lines of
// the chunks from `first` to the end, unchanged and in their order.
std::string manifestText(std::uint64_t totalBytes, std::uint64_t totalFiles,
                         const std::vector<ChunkEntry>& chunks, std::size_t first);

// Refuses, in manifest order, a chunk name that would lead outside the archive folder or
// names the manifest or the marker ("Unsafe chunk name in manifest: " and the name), and a
// chunk named twice ("Chunk listed twice in manifest: " and the name); false after the
// message for the first name that fails.
bool checkChunkNames(const Manifest& manifest);
