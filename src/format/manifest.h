#pragma once
// "manifest.txt": the archive's only index. Lines "HLG1", "TOTAL_BYTES|n", "TOTAL_FILES|n",
// "CHUNK_TARGET|268435456", then one "CHUNK|name|rawSize|recordCount" per chunk file. A
// manifest that extract wrote as it consumed the archive ends with one "CONSUMED|name": the
// chunk it retired, whose records were durable before that manifest was.

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
    std::vector<std::string> consumed{};  // chunk files named by "CONSUMED" lines
};

class ArchiveFolder;

// Reads the manifest of the open archive folder. False after one message on standard error;
// true when at least one chunk was accepted.
bool readManifest(const ArchiveFolder& folder, Manifest& manifest);
// The same, for a reader that takes a manifest without chunks as it is.
bool readManifestLines(const ArchiveFolder& folder, Manifest& manifest);
// False after "Archive contains no chunks." when the manifest lists none.
bool requireChunks(const Manifest& manifest);

// Writes the four header lines; nothing is flushed.
void writeManifestHeader(std::ostream& out, std::uint64_t totalBytes, std::uint64_t totalFiles);

// The manifest that replaces the old one once the chunk at `retired` is consumed: the header
// with these totals, the lines of the chunks after it, unchanged and in their order, then
// "CONSUMED|" and its name.
std::string replacementManifestText(std::uint64_t totalBytes, std::uint64_t totalFiles,
                                    const std::vector<ChunkEntry>& chunks, std::size_t retired);

// Refuses, in manifest order, a chunk name that would lead outside the archive folder or
// names the manifest or the marker ("Unsafe chunk name in manifest: " and the name), and a
// chunk named twice ("Chunk listed twice in manifest: " and the name); false after the
// message for the first name that fails.
bool checkChunkNames(const Manifest& manifest);
// The same rule for the names of "CONSUMED" lines, which extract deletes.
bool checkConsumedNames(const Manifest& manifest);
