#pragma once
// The destination folder of an extraction, held open. Everything below it is reached one
// name at a time from that handle, never through a symbolic link and never by a lookup of
// a whole path: nothing that stands in the destination can redirect a write, and a record
// path of any length restores. For each file system that restored data went to, it keeps
// one descriptor, to make that data durable before the chunk that held it is deleted.
// The archive's own files and its folder are known to it by identity, so that no record is
// written into one or among them, whatever name or mount leads there.

#include <sys/stat.h>
#include <sys/types.h>

#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "commands/folder_chain.h"
#include "format/file_descriptor.h"

class Destination {
public:
    // Opens the folder at `path`; a link named as the destination is followed: the user
    // chose it.
    explicit Destination(const std::filesystem::path& path);
    Destination(const Destination&) = delete;
    Destination& operator=(const Destination&) = delete;

    bool isOpen() const { return root_.isOpen(); }
    const std::filesystem::path& path() const { return path_; }

    // Makes every folder of the record path exist as a real folder; a symbolic link that
    // stands where one belongs is replaced by a folder. False, with nothing made or removed
    // there, when that would change an entry of the archive folder. Anything else in the
    // way throws the std::filesystem::filesystem_error that std::filesystem::create_directories
    // throws for the same target path.
    bool makeFolders(std::string_view recordPath);

    enum class FileCreation {
        Created,      // `file` is open for writing, empty
        Failed,       // no file can be made there (a folder stands there); errno tells why
        ArchiveFile,  // it would be one of the archive's own files, or an entry of its
                      // folder; nothing written or removed
    };
    // Makes the folders above the record path's file as makeFolders does, then creates the
    // file, or truncates the regular file of that name once it is open and judged. A
    // symbolic link, named pipe, socket or device that stands there is removed, never
    // opened; so is a file with other names.
    FileCreation createFile(std::string_view recordPath, FileDescriptor& file);

    // The archive folder, by device and inode: no entry of it is made, replaced or removed.
    void setArchiveFolder(const struct stat& identity);
    // The archive's own files (manifest, marker, chunks still to be read), by device and
    // inode: createFile refuses to write into one.
    void addArchiveFile(const struct stat& identity);
    void removeArchiveFile(const struct stat& identity);

    // Syncs each file system written to since the last call, once; false when one fails.
    bool syncWritten();

private:
    struct FileSystem {
        dev_t device;
        FileDescriptor fd;  // any descriptor of something on it
        bool written;
    };
    FolderChain::OpenedFolder openFolder(const FolderChain::Folder& parent, const std::string& name);
    // The destination joined with the record path, as messages name it.
    std::filesystem::path targetOf(std::string_view recordPath) const;
    void noteWritten(dev_t device, int fd);
    bool isArchiveFolder(const FolderChain::Folder& folder) const;

    std::filesystem::path path_;
    FileDescriptor root_;
    FolderChain chain_;
    std::vector<FileSystem> fileSystems_;
    std::set<std::pair<dev_t, ino_t>> archiveFiles_;
    std::pair<dev_t, ino_t> archiveFolder_{0, 0};
    // Set when the last reach stopped at the archive folder rather than change it.
    bool reachedArchive_ = false;
};
