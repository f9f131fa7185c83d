#include "commands/folder_chain.h"

#include <unistd.h>

#include <cerrno>
#include <utility>

FolderChain::FolderChain(Folder root, OpenFolder openFolder)
    : root_(root), openFolder_(std::move(openFolder)) {}

FolderChain::~FolderChain() { closeFrom(0); }

void FolderChain::closeFrom(std::size_t depth) {
    // Innermost first, as the folders were opened.
    while (levels_.size() > depth) levels_.pop_back();
}

FolderChain::Folder FolderChain::folderAt(std::size_t depth) const {
    if (depth == 0) return root_;
    const OpenedFolder& folder = levels_[depth - 1].folder;
    if (folder.listing) return {::dirfd(folder.listing.get()), folder.device, folder.inode, folder.listing.get()};
    return {folder.descriptor.get(), folder.device, folder.inode};
}

FolderChain::Folder FolderChain::reachFolderOf(std::string_view path, std::string_view& name) {
    const std::size_t slash = path.rfind('/');
    name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    return reach(slash == std::string_view::npos ? std::string_view() : path.substr(0, slash));
}

FolderChain::Folder FolderChain::reach(std::string_view folders) {
    std::size_t depth = 0;
    std::size_t start = 0;
    while (start < folders.size()) {
        std::size_t end = folders.find('/', start);
        if (end == std::string_view::npos) end = folders.size();
        const std::string_view name = folders.substr(start, end - start);
        start = end + 1;
        if (name.empty() || name == ".") continue;
        if (depth < levels_.size()) {
            if (levels_[depth].name == name) {
                ++depth;
                continue;
            }
            closeFrom(depth);
        }
        std::string ownName(name);
        OpenedFolder opened = openFolder_(folderAt(depth), ownName);
        if (!opened.isOpen()) {
            const int error = errno;
            closeFrom(depth);
            errno = error;
            return {};
        }
        levels_.push_back(Level{std::move(ownName), std::move(opened)});
        ++depth;
    }
    closeFrom(depth);
    return folderAt(depth);
}
