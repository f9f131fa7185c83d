#pragma once
// The first half of pack: check the source folder, walk it, and put its entries in
// record order.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
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

// Length of the text that every entry path of a walk over `source` begins with: the
// source's own text and the separator the walk puts after it. The rest of an entry
// path is its record path, names joined by "/" (what std::filesystem::relative would
// give, without its system calls).
std::size_t entryPathPrefixLength(const std::filesystem::path& source);

// The folders above the entries being visited, kept open so that each entry is reached
// by its name alone instead of by a lookup of its whole path. Visited in walk or record
// order (a folder's content in one run), each folder is opened once.
class EntryFolder {
public:
    EntryFolder() = default;
    ~EntryFolder();
    EntryFolder(const EntryFolder&) = delete;
    EntryFolder& operator=(const EntryFolder&) = delete;

    // std::filesystem::file_size of an entry path (source / names), errors included.
    std::uint64_t fileSize(const std::filesystem::path& path);
    // open(2) of an entry path for reading, with extra `flags`: a descriptor, or -1.
    int openForReading(const std::filesystem::path& path, int flags);

private:
    struct Folder {
        std::string path;
        int fd;  // -1 when it could not be opened
    };
    // The open folder holding `path`, and where its name starts; -1 when not open.
    int folderOf(const std::string& path, std::size_t& nameAt);

    std::vector<Folder> chain_;  // from an outer folder down to the last one used
};
