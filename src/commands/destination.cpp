#include "commands/destination.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// Something may be put in the place being made between two steps; after this many
// rounds the error of the last one stands.
constexpr int kAttempts = 8;

FolderChain::Folder folderOf(int fd) {
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0) return {fd, 0, 0};
    return {fd, info.st_dev, info.st_ino};
}

}  // namespace

Destination::Destination(const fs::path& path)
    : path_(path),
      root_(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)),
      chain_(folderOf(root_.get()),
             [this](const FolderChain::Folder& parent, const std::string& name) {
                 return openFolder(parent, name);
             }) {}

FolderChain::OpenedFolder Destination::openFolder(const FolderChain::Folder& parent, const std::string& name) {
    const char* const at = name.c_str();
    bool made = false;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        FileDescriptor fd(::openat(parent.fd, at, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        // A folder that may be searched but not listed still leads to its content.
        if (!fd.isOpen() && errno == EACCES)
            fd = FileDescriptor(::openat(parent.fd, at, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (fd.isOpen()) {
            struct stat info {};
            if (::fstat(fd.get(), &info) != 0) return {};
            if (made) noteWritten(info.st_dev, fd.get());
            return {std::move(fd), info.st_dev, info.st_ino};
        }
        // Nothing is made or removed among the archive's own entries.
        if ((errno == ENOENT || errno == ENOTDIR || errno == ELOOP) && isArchiveFolder(parent)) {
            reachedArchive_ = true;
            return {};
        }
        if (errno == ENOENT) {
            if (::mkdirat(parent.fd, at, 0777) != 0 && errno != EEXIST) return {};
            made = true;
            continue;
        }
        if (errno != ENOTDIR && errno != ELOOP) return {};
        struct stat info {};
        if (::fstatat(parent.fd, at, &info, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) continue;
            return {};
        }
        if (!S_ISLNK(info.st_mode)) {
            errno = ENOTDIR;
            return {};
        }
        // A link where a folder belongs is replaced, never followed.
        if (::unlinkat(parent.fd, at, 0) != 0 && errno != ENOENT) return {};
    }
    return {};
}

fs::path Destination::targetOf(std::string_view recordPath) const {
    fs::path target = path_;
    target /= fs::path(recordPath);
    return target;
}

bool Destination::isArchiveFolder(const FolderChain::Folder& folder) const {
    return folder.inode != 0 && std::pair(folder.device, folder.inode) == archiveFolder_;
}

void Destination::setArchiveFolder(const struct stat& identity) {
    archiveFolder_ = {identity.st_dev, identity.st_ino};
}

bool Destination::makeFolders(std::string_view recordPath) {
    reachedArchive_ = false;
    if (chain_.reach(recordPath).fd >= 0) return true;
    if (reachedArchive_) return false;
    const std::error_code error(errno, std::generic_category());
    throw fs::filesystem_error("cannot create directories", targetOf(recordPath), error);
}

Destination::FileCreation Destination::createFile(std::string_view recordPath, FileDescriptor& file) {
    std::string_view fileName;
    reachedArchive_ = false;
    const FolderChain::Folder folder = chain_.reachFolderOf(recordPath, fileName);
    // Before the rules below, which may remove what stands there: no entry of the archive
    // folder is touched, whatever alias of it the record path leads through.
    if (reachedArchive_ || isArchiveFolder(folder)) return FileCreation::ArchiveFile;
    if (folder.fd < 0) {
        const std::error_code error(errno, std::generic_category());
        throw fs::filesystem_error("cannot create directories", targetOf(recordPath).parent_path(), error);
    }
    const std::string name(fileName);
    if (name.empty() || name == ".") {
        errno = EISDIR;
        return FileCreation::Failed;
    }
    const char* const at = name.c_str();
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        file = FileDescriptor(::openat(folder.fd, at, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
        if (file.isOpen()) {
            noteWritten(folder.device, file.get());
            return FileCreation::Created;
        }
        if (errno != EEXIST) return FileCreation::Failed;
        struct stat info {};
        if (::fstatat(folder.fd, at, &info, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) continue;
            return FileCreation::Failed;
        }
        if (S_ISDIR(info.st_mode)) {
            errno = EISDIR;
            return FileCreation::Failed;
        }
        // A link, named pipe, socket or device is removed, never followed or opened; so is
        // a file with other names, which could be a chunk still to be read.
        if (!S_ISREG(info.st_mode) || info.st_nlink > 1) {
            if (::unlinkat(folder.fd, at, 0) != 0 && errno != ENOENT) return FileCreation::Failed;
            continue;
        }
        // An existing file is overwritten, but only once what was opened has been judged:
        // something else may have been put there since the look. Non-blocking, in case it
        // is a named pipe now.
        file = FileDescriptor(::openat(folder.fd, at, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (!file.isOpen()) {
            if (errno == ENOENT || errno == ELOOP || errno == ENXIO) continue;
            return FileCreation::Failed;
        }
        if (::fstat(file.get(), &info) != 0) return FileCreation::Failed;
        if (!S_ISREG(info.st_mode) || info.st_nlink > 1) continue;  // looked at again
        if (archiveFiles_.count({info.st_dev, info.st_ino}) != 0) {
            file = FileDescriptor(-1);
            return FileCreation::ArchiveFile;
        }
        if (::ftruncate(file.get(), 0) != 0) return FileCreation::Failed;
        noteWritten(info.st_dev, file.get());
        return FileCreation::Created;
    }
    file = FileDescriptor(-1);
    return FileCreation::Failed;
}

void Destination::addArchiveFile(const struct stat& identity) {
    // Inode 0 stands for a file that does not exist.
    if (identity.st_ino != 0) archiveFiles_.insert({identity.st_dev, identity.st_ino});
}

void Destination::removeArchiveFile(const struct stat& identity) {
    archiveFiles_.erase({identity.st_dev, identity.st_ino});
}

void Destination::noteWritten(dev_t device, int fd) {
    for (FileSystem& fileSystem : fileSystems_) {
        if (fileSystem.device == device) {
            fileSystem.written = true;
            return;
        }
    }
    // A file system seen for the first time keeps a descriptor of its own until the end.
    fileSystems_.push_back(FileSystem{device, FileDescriptor(::fcntl(fd, F_DUPFD_CLOEXEC, 0)), true});
}

bool Destination::syncWritten() {
    bool synced = true;
    for (FileSystem& fileSystem : fileSystems_) {
        if (!fileSystem.written) continue;
        fileSystem.written = false;
        if (!fileSystem.fd.isOpen() || ::syncfs(fileSystem.fd.get()) != 0) synced = false;
    }
    return synced;
}
