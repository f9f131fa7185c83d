#include "commands/source_scan.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iostream>

#include "commands/folder_chain.h"
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

// A stream that lists the folder and owns its descriptor from then on; none when the
// folder is not open or cannot be listed.
DirectoryStream listingOf(FileDescriptor folder) {
    if (!folder.isOpen()) return nullptr;
    DirectoryStream stream(::fdopendir(folder.get()));
    if (stream) folder.release();
    return stream;
}

// Each folder below the source is opened by its name in the folder above, never through a
// link, and listed through its own stream.
FolderChain::OpenedFolder openToList(const FolderChain::Folder& parent, const std::string& name) {
    return FolderChain::OpenedFolder(listingOf(
        FileDescriptor(::openat(parent.fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC))));
}

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
    const DirectoryStream root =
        listingOf(FileDescriptor(::open(source.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)));
    if (!root) return cannotRead(source);
    // The folders being listed, from the source down to the current one: one open stream
    // per level and nothing else, so the walk holds its depth in descriptors.
    FolderChain folders({::dirfd(root.get()), 0, 0, root.get()}, openToList);
    std::string path;  // record path of the current folder, then of the entry in hand
    DIR* stream = root.get();
    for (;;) {
        errno = 0;
        const dirent* const entry = ::readdir(stream);
        if (entry == nullptr) {
            if (errno != 0) return cannotRead(folderPath(path));
            if (path.empty()) break;
            // Back to the folder above, whose listing goes on where it stopped; the chain
            // closes the one just listed.
            const std::size_t slash = path.rfind('/');
            path.resize(slash == std::string::npos ? 0 : slash);
            stream = folders.reach(path).listing;
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
            // The chain opens it as one level below the current folder.
            stream = folders.reach(path).listing;
            if (stream == nullptr) return cannotRead(folderPath(path));
            continue;  // its content is listed next, under its path
        }
        path.resize(folderLength);
    }
    std::sort(scan.entries.begin(), scan.entries.end(), packEntryLess);
    return true;
}

bool packEntryLess(const SourceEntry& a, const SourceEntry& b) { return a.recordPath < b.recordPath; }
