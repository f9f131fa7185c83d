#include "format/archive_folder.h"

#include <iostream>

#include "format/escaped_text.h"

namespace fs = std::filesystem;

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
