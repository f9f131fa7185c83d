#pragma once
// The first half of pack: check the source folder, walk it, and put its entries in
// record order.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// One folder or regular file found below the source.
struct SourceEntry {
    std::string recordPath;    // the names below the source joined by "/": the record's path
    bool isDirectory = false;  // a folder; otherwise a regular file
};

struct SourceScan {
    std::vector<SourceEntry> entries;  // directories and regular files, sorted
    std::uint64_t fileCount = 0;       // regular files among the entries
    std::uint64_t totalBytes = 0;      // their sizes at walk time
};

// True when the source is an existing directory (links followed); otherwise prints
// the source message and returns false.
bool checkSourceFolder(const std::filesystem::path& source);

// Walks the tree below `source` (a link named as the source is followed) with one open
// folder per level, reaching each entry by its name alone, so that neither depth nor path
// length is bounded by the system's lookup of whole paths. Symbolic links and special
// files are skipped and never opened. A folder that cannot be opened or listed, the source
// included, is refused: "Could not read folder: " and its quoted path on standard error,
// and false.
bool scanSourceTree(const std::filesystem::path& source, SourceScan& scan);

// Byte order of the record paths, which is the byte order of the entries' generic paths.
bool packEntryLess(const SourceEntry& a, const SourceEntry& b);
