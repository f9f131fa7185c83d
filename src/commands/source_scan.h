#pragma once
// The first half of pack: check the source folder, walk it, and put its entries in
// record order.

#include <cstdint>
#include <filesystem>
#include <vector>

struct SourceScan {
    std::vector<std::filesystem::directory_entry> entries;  // directories and regular files, sorted
    std::uint64_t fileCount = 0;   // regular files among the entries
    std::uint64_t totalBytes = 0;  // their sizes at walk time
};

// True when the source is an existing directory (links followed); otherwise prints
// the source message and returns false.
bool checkSourceFolder(const std::filesystem::path& source);

// Walks the tree below `source`; symbolic links and special files are skipped,
// unreadable directories are kept as empty directories.
SourceScan scanSourceTree(const std::filesystem::path& source);

// Byte order of the entries' generic paths.
bool packEntryLess(const std::filesystem::directory_entry& a,
                   const std::filesystem::directory_entry& b);
