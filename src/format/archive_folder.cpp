#include "format/archive_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <memory>
#include <string_view>
#include <system_error>

#include "format/escaped_text.h"

namespace fs = std::filesystem;

namespace {

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

void throwFailure(const char* what, const fs::path& path) {
    throw fs::filesystem_error(what, path, std::error_code(errno, std::generic_category()));
}

namespace {

// The folder that holds `identity` under the last name of `path`, found by that name
// without following it; a closed descriptor when that name leads elsewhere.
FileDescriptor holderOf(const fs::path& path, const struct stat& identity) {
    const fs::path parent = path.has_parent_path() ? path.parent_path() : fs::path(".");
    FileDescriptor holder(::open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat entry {};
    if (!holder.isOpen() || ::fstatat(holder.get(), path.filename().c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISDIR(entry.st_mode) || !sameFile(entry, identity))
        return FileDescriptor(-1);
    return holder;
}

// Where the folder open as `fd` stands now, as the kernel tells: for an archive argument
// that is a link, the folder it led to.
fs::path whereOpen(int fd) {
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    std::string target(4096, '\0');
    const ssize_t n = ::readlink(link.c_str(), target.data(), target.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= target.size()) return {};
    target.resize(static_cast<std::size_t>(n));
    return target;
}

}  // namespace

void appendArchiveExtension(fs::path& archive) { archive += kArchiveExtension; }

void applyArchiveExtensionRule(fs::path& archive) {
    if (archive.extension() != fs::path(kArchiveExtension)) appendArchiveExtension(archive);
}

bool trimArchiveArgument(fs::path& archive) {
    const std::string& text = archive.native();
    const std::size_t last = text.find_last_not_of('/');
    if (last == std::string::npos) {
        std::cerr << "Archive path must name a folder: " << escapedQuoted(archive) << '\n';
        return false;
    }
    if (last + 1 < text.size()) archive = fs::path(text.substr(0, last + 1));
    return true;
}

bool settleArchiveArgument(fs::path& archive) {
    if (!trimArchiveArgument(archive)) return false;
    applyArchiveExtensionRule(archive);
    return true;
}

bool pathExists(const fs::path& path) { return fs::exists(path); }

bool isExistingDirectory(const fs::path& path) {
    return fs::exists(path) && fs::is_directory(path);
}

bool isBareChunkName(const std::string& name) {
    // A NUL byte would cut the name short where the system opens or removes it.
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string("/\0", 2)) == std::string::npos;
}

ArchiveFolder::ArchiveFolder(fs::path path, FileDescriptor fd, bool searchOnly)
    : path_(std::move(path)), fd_(std::move(fd)), searchOnly_(searchOnly) {
    if (::fstat(fd_.get(), &identity_) != 0) throwFailure("status", path_);
    holder_ = holderOf(path_, identity_);
    if (holder_.isOpen()) {
        nameInHolder_ = path_.filename().native();
        return;
    }
    // The argument is a link: the folder it led to is held where it stands.
    const fs::path actual = whereOpen(fd_.get());
    if (actual.is_absolute() && actual.has_filename()) {
        holder_ = holderOf(actual, identity_);
        if (holder_.isOpen()) nameInHolder_ = actual.filename().native();
    }
}

bool openArchiveFolder(const fs::path& archive, ArchiveFolder& folder) {
    bool searchOnly = false;
    FileDescriptor fd(::open(archive.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.isOpen() && errno == EACCES) {
        fd = FileDescriptor(::open(archive.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        searchOnly = true;
    }
    if (!fd.isOpen()) {
        const int openError = errno;
        if (!isExistingDirectory(archive)) {
            std::cerr << "Archive does not exist: " << escapedQuoted(archive) << '\n';
            return false;
        }
        errno = openError;
        throwFailure("cannot open", archive);
    }
    folder = ArchiveFolder(archive, std::move(fd), searchOnly);
    return true;
}

bool lockArchiveFolder(const ArchiveFolder& folder, ArchiveLock lock) {
    const int operation = (lock == ArchiveLock::Exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
    int result;
    do {
        result = ::flock(folder.fd(), operation);
    } while (result != 0 && errno == EINTR);
    if (result == 0 || errno != EWOULDBLOCK) return true;
    std::cerr << "Archive is in use: " << escapedQuoted(folder.path()) << '\n';
    return false;
}

bool entryExists(const ArchiveFolder& folder, const std::string& name) {
    struct stat info {};
    if (::fstatat(folder.fd(), name.c_str(), &info, 0) == 0) return true;
    if (errno == ENOENT || errno == ENOTDIR) return false;
    throwFailure("status", folder.path() / name);
}

bool listArchiveFolder(const ArchiveFolder& folder, const std::function<bool(const char* name)>& visit) {
    if (folder.searchOnly()) return false;
    struct CloseListing {
        void operator()(DIR* listing) const { ::closedir(listing); }
    };
    // Its own descriptor, which shares the held one's position: listed from the start.
    const std::unique_ptr<DIR, CloseListing> listing(::fdopendir(::fcntl(folder.fd(), F_DUPFD_CLOEXEC, 0)));
    if (!listing) return false;
    ::rewinddir(listing.get());
    for (errno = 0; const dirent* entry = ::readdir(listing.get()); errno = 0) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != ".." && !visit(entry->d_name)) return true;
    }
    if (errno != 0) throwFailure("directory iterator cannot advance", folder.path());
    return true;
}

bool removeFileOrEmptyFolder(int folder, const char* name) {
    if (::unlinkat(folder, name, 0) == 0 || errno == ENOENT) return true;
    return errno == EISDIR && (::unlinkat(folder, name, AT_REMOVEDIR) == 0 || errno == ENOENT);
}

void removeEntry(const ArchiveFolder& folder, const std::string& name) {
    if (!removeFileOrEmptyFolder(folder.fd(), name.c_str())) throwFailure("cannot remove", folder.path() / name);
}

bool removeArchiveFolder(const ArchiveFolder& folder) {
    const int holder = folder.holder_.get();
    if (holder < 0) return false;
    const char* const name = folder.nameInHolder_.c_str();
    struct stat entry {};
    // Moved or replaced since it was opened: whatever stands there now is not ours.
    if (::fstatat(holder, name, &entry, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(entry.st_mode) ||
        !sameFile(entry, folder.identity()))
        return false;
    if (::unlinkat(holder, name, AT_REMOVEDIR) == 0) return true;
    if (errno == ENOTEMPTY || errno == EEXIST) return false;
    throwFailure("cannot remove", folder.path());
}
