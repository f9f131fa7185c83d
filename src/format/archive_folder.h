#pragma once
// How an archive argument becomes the archive folder path, and the status tests
// that every command shares.

#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <string>

#include "format/file_descriptor.h"

constexpr const char* kArchiveExtension = ".hlg";
constexpr const char* kMarkerFileName = ".verified";

// Appends ".hlg" to the path's text in place, by plain concatenation.
void appendArchiveExtension(std::filesystem::path& archive);

// The ".hlg" rule: appends the extension unless the path's extension is exactly ".hlg".
void applyArchiveExtensionRule(std::filesystem::path& archive);

// Runs before the ".hlg" rule on every archive argument: drops trailing "/" after a
// name ("backup.hlg/" names backup.hlg). An argument that is empty or made of "/" only
// is refused with a message on standard error, and false is returned.
bool trimArchiveArgument(std::filesystem::path& archive);

// The archive argument as every command takes it, once: trimmed, then the ".hlg" rule.
// False after trimArchiveArgument's message.
bool settleArchiveArgument(std::filesystem::path& archive);

// Throws the std::filesystem::filesystem_error that the standard library would throw for
// `what` failing on `path`, with errno as its cause.
[[noreturn]] void throwFailure(const char* what, const std::filesystem::path& path);

// Existence test: something of any type exists at the path, symbolic links followed.
// Throws std::filesystem::filesystem_error for any failure other than "not found".
bool pathExists(const std::filesystem::path& path);

// Directory test: the path exists and, links followed, is a directory. Throws as above.
bool isExistingDirectory(const std::filesystem::path& path);

// True for a name that stays inside the archive folder when joined to it:
// not empty, not "." or "..", no "/".
bool isBareChunkName(const std::string& name);

// The archive folder of one run, opened once from the settled argument: a link given as the
// argument is followed at that moment only. Every entry inside it is reached by name through
// this descriptor, so that renaming folders or switching links at the archive's path during
// the run changes nothing that the run reads or writes. The path names it in messages only.
class ArchiveFolder {
public:
    ArchiveFolder() = default;
    // Takes `fd`, a folder opened at `path`; `searchOnly` when it was opened for search alone.
    ArchiveFolder(std::filesystem::path path, FileDescriptor fd, bool searchOnly = false);

    bool isOpen() const { return fd_.isOpen(); }
    const std::filesystem::path& path() const { return path_; }
    int fd() const { return fd_.get(); }
    // A folder its user may search but not list is held for search only: its entries can be
    // read and written by name, but it cannot be locked or synced.
    bool searchOnly() const { return searchOnly_; }
    // Its device and inode.
    const struct stat& identity() const { return identity_; }

private:
    friend bool removeArchiveFolder(const ArchiveFolder& folder);

    std::filesystem::path path_;
    FileDescriptor fd_{-1};
    bool searchOnly_ = false;
    struct stat identity_ {};
    // The folder that held it when it was opened, and its name there: the emptied folder is
    // removed from there, and only while that name still leads to it.
    FileDescriptor holder_{-1};
    std::string nameInHolder_;
};

// Opens the settled archive path as the run's archive folder. False after "Archive does not
// exist: " and the quoted path when nothing is there or it is not a folder. A failed status
// query other than "not found" throws std::filesystem::filesystem_error, as pathExists does.
bool openArchiveFolder(const std::filesystem::path& archive, ArchiveFolder& folder);

enum class ArchiveLock { Shared, Exclusive };
// Takes the lock without waiting. False after "Archive is in use: " and the quoted path
// when another run holds it; where the file system cannot lock at all, the run goes on
// without the lock.
bool lockArchiveFolder(const ArchiveFolder& folder, ArchiveLock lock);

// Existence test of an entry of the archive folder, a link followed: false when nothing is
// found. Any other failure throws std::filesystem::filesystem_error.
bool entryExists(const ArchiveFolder& folder, const std::string& name);

// Calls `visit` with the name of each entry of the archive folder ("." and ".." left out)
// until it returns false. False when the folder cannot be listed (held for search only);
// a failure part-way throws std::filesystem::filesystem_error.
bool listArchiveFolder(const ArchiveFolder& folder, const std::function<bool(const char* name)>& visit);

// Removes the entry `name` of the folder open as `folder`: a file, or an empty folder. True
// when it is gone, also when it was not there; false with errno set when it stays.
bool removeFileOrEmptyFolder(int folder, const char* name);

// Removes an entry of the archive folder as removeFileOrEmptyFolder does; one that stays
// throws std::filesystem::filesystem_error ("cannot remove").
void removeEntry(const ArchiveFolder& folder, const std::string& name);

// Removes the archive folder from the folder that held it when it was opened, when it is
// empty and that name still leads to it; a link given as the argument stays. True when it
// is gone; a failure other than "not empty" throws std::filesystem::filesystem_error.
bool removeArchiveFolder(const ArchiveFolder& folder);
