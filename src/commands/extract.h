#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

// Running totals of one extraction; directory records count in none of them.
struct ExtractCounters {
    std::uint64_t bytesExtracted = 0;  // file data bytes written so far
    std::uint64_t filesExtracted = 0;  // file records whose data were written completely
    std::uint64_t chunksConsumed = 0;  // chunk files deleted after their records were written
};

// Told the label of each step of the walk ("Creating: docs", "Extracting: docs/a.txt");
// the bytes done so far are in the counters at that moment.
using ExtractProgress = std::function<void(const std::string& label)>;

class Destination;

// Restores the records of one decompressed chunk under `destination`. Every file is
// written and closed before the next record; false after one message on standard error.
// `archiveBelowDestination` is the archive folder's path below the destination when it
// lies there (empty otherwise): no record may write into it.
bool extractChunkRecords(const unsigned char* content, std::uint64_t size, Destination& destination,
                         ExtractCounters& counters, const ExtractProgress& progress,
                         const std::filesystem::path& archiveBelowDestination = {});

// Restores the archive under `destination`, deleting each chunk file once its records are
// written, then the manifest, the marker and the emptied archive folder.
bool extractArchive(std::filesystem::path& archive, const std::filesystem::path& destination);
