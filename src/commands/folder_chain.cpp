#include "commands/folder_chain.h"

#include <unistd.h>

#include <cerrno>
#include <utility>

FolderChain::FolderChain(Folder root, OpenFolder openFolder)
    : root_(root), openFolder_(std::move(openFolder)) {}

FolderChain::~FolderChain() { closeFrom(0); }

void FolderChain::closeFrom(std::size_t depth) {
    while (levels_.size() > depth) {
        if (levels_.back().folder.fd >= 0) ::close(levels_.back().folder.fd);
        levels_.pop_back();
    }
}

const FolderChain::Folder& FolderChain::reachFolderOf(std::string_view path, std::string_view& name) {
    const std::size_t slash = path.rfind('/');
    name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    return reach(slash == std::string_view::npos ? std::string_view() : path.substr(0, slash));
}

const FolderChain::Folder& FolderChain::reach(std::string_view folders) {
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
        // The level exists before its descriptor does, so that nothing can leak it.
        levels_.push_back(Level{std::string(name), Folder{}});
        Level& level = levels_.back();
        level.folder = openFolder_(depth == 0 ? root_ : levels_[depth - 1].folder, level.name);
        if (level.folder.fd < 0) {
            const int error = errno;
            closeFrom(depth);
            errno = error;
            return failed_;
        }
        ++depth;
    }
    closeFrom(depth);
    return depth == 0 ? root_ : levels_[depth - 1].folder;
}
