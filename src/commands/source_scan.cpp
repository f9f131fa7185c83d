#include "commands/source_scan.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iostream>

#include "format/archive_folder.h"
#include "format/escaped_text.h"

namespace fs = std::filesystem;

bool checkSourceFolder(const fs::path& source) {
    if (isExistingDirectory(source)) return true;
    std::cerr << "Source folder does not exist or is not a directory.\n";
    return false;
}

namespace {

// The folders being listed, from the source down to the current one: one open
// directory stream per level, and nothing else, so the walk holds its depth in
// descriptors.
class OpenFolders {
public:
    OpenFolders() = default;
    ~OpenFolders() {
        while (!levels_.empty()) pop();
    }
    OpenFolders(const OpenFolders&) = delete;
    OpenFolders& operator=(const OpenFolders&) = delete;

    // Lists the folder open at `fd` (taken over) next, below the current one; false when
    // it cannot be listed. `pathLength` is the length of its record path.
    bool push(int fd, std::size_t pathLength) {
        if (fd < 0) return false;
        try {
            levels_.push_back(Level{nullptr, pathLength});
        } catch (...) {
            ::close(fd);
            throw;
        }
        levels_.back().stream = ::fdopendir(fd);
        if (levels_.back().stream != nullptr) return true;
        ::close(fd);
        levels_.pop_back();
        return false;
    }
    void pop() {
        if (levels_.back().stream != nullptr) ::closedir(levels_.back().stream);
        levels_.pop_back();
    }
    bool empty() const { return levels_.empty(); }
    DIR* current() const { return levels_.back().stream; }
    std::size_t currentPathLength() const { return levels_.back().pathLength; }

private:
    struct Level {
        DIR* stream;
        std::size_t pathLength;
    };
    std::vector<Level> levels_;
};

bool cannotRead(const fs::path& folder) {
    std::cerr << "Could not read folder: " << escapedQuoted(folder) << '\n';
    return false;
}

}  // namespace

bool scanSourceTree(const fs::path& source, SourceScan& scan) {
    scan = SourceScan{};
    // The folder's path as the messages name it: the source joined with its record path.
    const auto folderPath = [&source](const std::string& recordPath) {
        return recordPath.empty() ? source : source / recordPath;
    };
    OpenFolders folders;
    if (!folders.push(::open(source.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC), 0))
        return cannotRead(source);
    std::string path;  // record path of the current folder, then of the entry in hand
    while (!folders.empty()) {
        DIR* const stream = folders.current();
        errno = 0;
        const dirent* const entry = ::readdir(stream);
        if (entry == nullptr) {
            if (errno != 0) return cannotRead(folderPath(path));
            folders.pop();
            if (!folders.empty()) path.resize(folders.currentPathLength());
            continue;
        }
        const char* const name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;

        const std::size_t folderLength = path.size();
        if (folderLength != 0) path += '/';
        path += name;
        // The listing's type answers for folders, links and special files; a regular file
        // is asked for its size, and an entry of unknown type for its type, without
        // following a link.
        unsigned char type = entry->d_type;
        struct stat info {};
        if (type == DT_REG || type == DT_UNKNOWN) {
            if (::fstatat(::dirfd(stream), name, &info, AT_SYMLINK_NOFOLLOW) == 0) {
                type = S_ISREG(info.st_mode) ? DT_REG : S_ISDIR(info.st_mode) ? DT_DIR : DT_UNKNOWN;
            } else if (errno == ENOENT) {
                type = DT_UNKNOWN;  // gone since the listing
            } else {
                path.resize(folderLength);
                return cannotRead(folderPath(path));
            }
        }
        if (type == DT_REG) {
            ++scan.fileCount;
            scan.totalBytes += static_cast<std::uint64_t>(info.st_size);
            scan.entries.push_back(SourceEntry{path, false});
        } else if (type == DT_DIR) {
            scan.entries.push_back(SourceEntry{path, true});
            const int fd = ::openat(::dirfd(stream), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (!folders.push(fd, path.size())) return cannotRead(folderPath(path));
            continue;  // its content is listed next, under its path
        }
        path.resize(folderLength);
    }
    std::sort(scan.entries.begin(), scan.entries.end(), packEntryLess);
    return true;
}

bool packEntryLess(const SourceEntry& a, const SourceEntry& b) { return a.recordPath < b.recordPath; }
