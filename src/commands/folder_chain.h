#pragma once
// The folders between a root folder and the folder of the current record path, held open
// one descriptor per level, so that every entry is reached by its own name from an open
// folder: no lookup of a whole path, whatever its length, and no way around the checks
// that the opener makes at each level. Visited in record order (a folder's content in one
// run), each folder is opened once.

#include <dirent.h>
#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "format/file_descriptor.h"

// A directory stream, closed with the descriptor under it when it goes.
struct DirectoryCloser {
    void operator()(DIR* stream) const { ::closedir(stream); }
};
using DirectoryStream = std::unique_ptr<DIR, DirectoryCloser>;

class FolderChain {
public:
    // A folder as the chain hands it out; the descriptor and stream stay their owner's.
    struct Folder {
        Folder() = default;
        Folder(int descriptor, dev_t fileSystem, ino_t node = 0, DIR* stream = nullptr)
            : fd(descriptor), device(fileSystem), inode(node), listing(stream) {}
        int fd = -1;              // -1 when it could not be opened
        dev_t device = 0;         // its file system, when the opener tells
        ino_t inode = 0;          // and its inode there
        DIR* listing = nullptr;   // the stream listing it, when the opener made one
    };
    // What an opener gives the chain to own: a descriptor, or, for a walk that lists each
    // folder it holds, a directory stream, which owns the descriptor under it.
    struct OpenedFolder {
        OpenedFolder() = default;
        OpenedFolder(FileDescriptor owned, dev_t fileSystem, ino_t node = 0)
            : descriptor(std::move(owned)), device(fileSystem), inode(node) {}
        explicit OpenedFolder(DirectoryStream stream) : listing(std::move(stream)) {}
        bool isOpen() const { return descriptor.isOpen() || listing != nullptr; }

        FileDescriptor descriptor{-1};
        dev_t device = 0;
        ino_t inode = 0;
        DirectoryStream listing;
    };
    // Opens the folder `name` inside `parent`; nothing open, with errno set, on failure.
    using OpenFolder = std::function<OpenedFolder(const Folder& parent, const std::string& name)>;

    // `root` stays the caller's; the folders below it are the chain's.
    FolderChain(Folder root, OpenFolder openFolder);
    ~FolderChain();
    FolderChain(const FolderChain&) = delete;
    FolderChain& operator=(const FolderChain&) = delete;

    // The folder that the names of `folders` lead to from the root ("a/b"; empty and "."
    // names are skipped, so "" is the root). Levels that the path does not share with the
    // previous one are closed first, so the chain never holds more than the path's depth.
    // On failure the returned fd is -1 and errno tells why.
    Folder reach(std::string_view folders);
    // reach() of the folders above the last name of `path`; `name` is set to that name.
    Folder reachFolderOf(std::string_view path, std::string_view& name);

private:
    struct Level {
        std::string name;
        OpenedFolder folder;
    };
    Folder folderAt(std::size_t depth) const;
    void closeFrom(std::size_t depth);

    Folder root_;
    OpenFolder openFolder_;
    std::vector<Level> levels_;
};
