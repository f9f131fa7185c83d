#include "commands/source_scan.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iostream>
#include <memory>
#include <utility>
#include <vector>

#include "format/archive_folder.h"
#include "format/escaped_text.h"
#include "format/file_descriptor.h"

namespace fs = std::filesystem;

bool checkSourceFolder(const fs::path& source) {
    if (isExistingDirectory(source)) return true;
    std::cerr << "Source folder does not exist or is not a directory.\n";
    return false;
}

namespace {

// A directory stream and the descriptor under it, closed together when it goes.
struct DirectoryCloser {
    void operator()(DIR* stream) const { ::closedir(stream); }
};
using DirectoryStream = std::unique_ptr<DIR, DirectoryCloser>;

// The folders being listed, from the source down to the current one: one open
// directory stream per level, and nothing else, so the walk holds its depth in
// descriptors.
class OpenFolders {
public:
    // Lists `folder` next, below the current one; false when it is not open or cannot be
    // listed. `pathLength` is the length of its record path.
    bool push(FileDescriptor folder, std::size_t pathLength) {
        if (!folder.isOpen()) return false;
        DirectoryStream stream(::fdopendir(folder.get()));
        if (!stream) return false;
        folder.release();  // the stream closes it now
        levels_.push_back(Level{std::move(stream), pathLength});
        return true;
    }
    void pop() { levels_.pop_back(); }
    bool empty() const { return levels_.empty(); }
    DIR* current() const { return levels_.back().stream.get(); }
    std::size_t currentPathLength() const { return levels_.back().pathLength; }

private:
    struct Level {
        DirectoryStream stream;
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
    if (!folders.push(FileDescriptor(::open(source.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)), 0))
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
            FileDescriptor folder(
                ::openat(::dirfd(stream), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!folders.push(std::move(folder), path.size())) return cannotRead(folderPath(path));
            continue;  // its content is listed next, under its path
        }
        path.resize(folderLength);
    }
    std::sort(scan.entries.begin(), scan.entries.end(), packEntryLess);
    return true;
}

bool packEntryLess(const SourceEntry& a, const SourceEntry& b) { return a.recordPath < b.recordPath; }
