#include "format/manifest_replacement.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <iostream>

#include "format/archive_folder.h"
#include "format/manifest.h"

ManifestReplacement::~ManifestReplacement() { discard(); }

void ManifestReplacement::discard() {
    if (!file_.isOpen()) return;
    file_ = FileDescriptor(-1);
    ::unlinkat(folder_, kManifestReplacementName, 0);
}

bool ManifestReplacement::fail() {
    discard();
    std::cerr << "Could not write manifest.\n";
    return false;
}

bool ManifestReplacement::prepare(const std::string& text) {
    discard();
    removeFileOrEmptyFolder(folder_, kManifestReplacementName);
    file_ = FileDescriptor(::openat(folder_, kManifestReplacementName,
                                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!file_.isOpen()) {
        std::cerr << "Could not write manifest.\n";
        return false;
    }
    if (!writeAll(file_.get(), text.data(), text.size()) ||
        ::fstat(file_.get(), &identity_) != 0)
        return fail();
    return true;
}

bool ManifestReplacement::commit() {
    if (!file_.isOpen() || ::fsync(file_.get()) != 0) return fail();
    if (::renameat(folder_, kManifestReplacementName, folder_, kManifestFileName) != 0) return fail();
    // Renamed: it is the manifest now, no longer ours to remove.
    file_ = FileDescriptor(-1);
    if (::fsync(folder_) != 0) {
        std::cerr << "Could not write manifest.\n";
        return false;
    }
    return true;
}
