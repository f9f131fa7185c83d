#pragma once
// The manifest that replaces "manifest.txt" each time extract consumes a chunk, so that
// the manifest always tells what is left. It is written whole to "manifest.new" before the
// chunk's records are restored, so that restoring cannot use up the room it needs, and
// renamed over "manifest.txt" only once the restored data and it are durable.

#include <sys/stat.h>

#include <string>

#include "format/file_descriptor.h"

class ManifestReplacement {
public:
    // `archiveFolder` is a descriptor of the archive folder, which must outlive this.
    explicit ManifestReplacement(int archiveFolder) : folder_(archiveFolder) {}
    // A replacement prepared and not committed is removed: a run that stops leaves none.
    ~ManifestReplacement();
    ManifestReplacement(const ManifestReplacement&) = delete;
    ManifestReplacement& operator=(const ManifestReplacement&) = delete;

    // Writes `text` in full to a new "manifest.new", after removing whatever stood there
    // (a file left by a killed run, a link: nothing is written through it). False after
    // "Could not write manifest." on standard error.
    bool prepare(const std::string& text);
    // The prepared file's device and inode, from prepare on.
    const struct stat& identity() const { return identity_; }
    // Syncs the prepared file, renames it over "manifest.txt" and syncs the archive
    // folder. False after "Could not write manifest."; the old manifest then stays.
    bool commit();

private:
    bool fail();
    void discard();

    int folder_;
    FileDescriptor file_{-1};
    struct stat identity_ {};
};
