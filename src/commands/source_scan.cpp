#include "commands/source_scan.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <numeric>
#include <string_view>
#include <utility>

#include "format/archive_folder.h"

namespace fs = std::filesystem;

bool checkSourceFolder(const fs::path& source) {
    if (isExistingDirectory(source)) return true;
    std::cerr << "Source folder does not exist or is not a directory.\n";
    return false;
}

std::size_t entryPathPrefixLength(const fs::path& source) {
    // The walk joins names with operator/, which puts a separator after the source only
    // when its text ends in a name ("src" gives "src/a", "src/" gives "src/a").
    return source.native().size() + (source.has_filename() ? 1 : 0);
}

namespace {

// True when `outer` is `folder` itself or one of the folders above it.
bool holds(const std::string& outer, std::string_view folder) {
    return folder.size() >= outer.size() && folder.compare(0, outer.size(), outer) == 0 &&
           (folder.size() == outer.size() || outer.back() == '/' || folder[outer.size()] == '/');
}

}  // namespace

EntryFolder::~EntryFolder() {
    for (const Folder& folder : chain_) {
        if (folder.fd >= 0) ::close(folder.fd);
    }
}

int EntryFolder::folderOf(const std::string& path, std::size_t& nameAt) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return -1;
    nameAt = slash + 1;
    const std::string_view folder(path.data(), slash == 0 ? 1 : slash);
    while (!chain_.empty() && !holds(chain_.back().path, folder)) {
        if (chain_.back().fd >= 0) ::close(chain_.back().fd);
        chain_.pop_back();
    }
    if (!chain_.empty() && chain_.back().path.size() == folder.size()) return chain_.back().fd;

    // A folder below an open one is reached from it, by the names in between.
    Folder opened{std::string(folder), -1};
    constexpr int kFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
    if (chain_.empty() || chain_.back().fd < 0) {
        opened.fd = ::open(opened.path.c_str(), kFlags);
    } else {
        std::size_t start = chain_.back().path.size();
        while (start < folder.size() && folder[start] == '/') ++start;
        opened.fd = ::openat(chain_.back().fd, opened.path.c_str() + start, kFlags);
    }
    chain_.push_back(std::move(opened));
    return chain_.back().fd;
}

std::uint64_t EntryFolder::fileSize(const fs::path& path) {
    std::size_t nameAt = 0;
    const int folder = folderOf(path.native(), nameAt);
    struct stat info {};
    if (folder >= 0 && ::fstatat(folder, path.c_str() + nameAt, &info, 0) == 0 &&
        S_ISREG(info.st_mode)) {
        return static_cast<std::uint64_t>(info.st_size);
    }
    // The standard query raises the error it gives for whatever stands at the path.
    return fs::file_size(path);
}

int EntryFolder::openForReading(const fs::path& path, int flags) {
    std::size_t nameAt = 0;
    const int folder = folderOf(path.native(), nameAt);
    if (folder < 0) return ::open(path.c_str(), O_RDONLY | flags);
    return ::openat(folder, path.c_str() + nameAt, O_RDONLY | flags);
}

SourceScan scanSourceTree(const fs::path& source) {
    SourceScan scan;
    EntryFolder folder;
    std::vector<fs::directory_entry> collected;
    for (const fs::directory_entry& entry :
         fs::recursive_directory_iterator(source, fs::directory_options::skip_permission_denied)) {
        // The type cached from the listing answers these tests without a system call;
        // the file system is asked only when the listing did not tell.
        if (entry.is_symlink()) continue;
        const bool regular = entry.is_regular_file();
        if (regular) {
            ++scan.fileCount;
            scan.totalBytes += folder.fileSize(entry.path());
        }
        if (regular || entry.is_directory()) collected.push_back(entry);
    }

    // Every entry path begins with the same source text, so ordering the text below it
    // gives packEntryLess's order without rebuilding both generic strings per comparison.
    const std::size_t prefix = entryPathPrefixLength(source);
    const auto below = [&collected, prefix](std::size_t i) {
        return std::string_view(collected[i].path().native()).substr(prefix);
    };
    std::vector<std::size_t> order(collected.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(),
              [&below](std::size_t a, std::size_t b) { return below(a) < below(b); });

    scan.entries.reserve(collected.size());
    for (std::size_t i : order) scan.entries.push_back(std::move(collected[i]));
    return scan;
}

bool packEntryLess(const fs::directory_entry& a, const fs::directory_entry& b) {
    return a.path().generic_string() < b.path().generic_string();
}
