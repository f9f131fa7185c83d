#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <vector>

#include "commands/source_scan.h"
#include "format/chunk_writer.h"

// Packs the folder `source` into the archive folder `archive` (extended in place by the
// ".hlg" rule). Prints its summary and returns true, or reports the failure and returns false.
bool packFolder(const std::filesystem::path& source, std::filesystem::path& archive);

// The part of pack that the status area is shown for: creates the display, appends the
// record of every scanned entry, flushing as the chunk target requires, then flushes the
// rest. False after a reported failure, also when the bytes packed differ from the walk's
// total. The display is torn down before this returns or an exception leaves it.
bool packRecords(const std::filesystem::path& source, const SourceScan& scan, ChunkWriter& writer);

// Whether the buffer must be flushed before a file record, so that the record starts the
// next chunk instead of taking this one past the chunk target. Never for an empty buffer.
bool needsFlushBeforeFile(std::uint64_t buffered, std::uint64_t pathLength, std::uint64_t fileSize);

// Whether the buffer must be flushed after a file record: it reached the chunk target.
bool needsFlushAfterFile(std::uint64_t buffered);

// Appends exactly `size` bytes read from the open descriptor `fd` to `buffer`, in reads of
// at most 1 MiB, calling `afterRead` with the length of each read. When the file ends
// early, a read fails, or bytes follow the stated size, prints "File changed while
// packing: " and the quoted `path` on standard error, restores the buffer's size on entry
// and returns false.
bool appendFileData(int fd, std::uint64_t size, const std::filesystem::path& path,
                    std::vector<unsigned char>& buffer,
                    const std::function<void(std::uint64_t)>& afterRead);
