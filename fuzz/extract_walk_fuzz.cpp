// Fuzz target: extract's record walk on arbitrary decompressed chunk content, writing
// under a destination that is emptied before every input. Whatever the content says,
// nothing may appear beside the destination: <scratch>/root holds "dest" alone, and
// <scratch> holds "root" alone.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "commands/extract.h"
#include "fuzz_support.h"

namespace fs = std::filesystem;

namespace {

// True when `folder` holds exactly one entry, a real folder named `name`.
bool holdsOnly(const fs::path& folder, const char* name) {
    std::size_t count = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
        if (++count > 1 || entry.path().filename() != name || entry.is_symlink() ||
            !entry.is_directory())
            return false;
    }
    return count == 1;
}

void emptyFolder(const fs::path& folder) {
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) fs::remove_all(entry.path());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const fs::path scratch = fuzz_support::scratchFolder();
    static const fs::path root = scratch / "root";
    static const fs::path destination = root / "dest";
    fs::create_directories(destination);
    emptyFolder(destination);

    const std::vector<unsigned char> content(data, data + size);
    ExtractCounters counters;
    const ExtractProgress progress = [](const std::string&) {};
    {
        const fuzz_support::QuietStreams quiet;
        try {
            extractChunkRecords(content.data(), content.size(), destination, counters, progress);
        } catch (const fs::filesystem_error&) {
            // A folder record where a file stands, a name too long: the command line
            // reports these as "Filesystem error: ", so they are outcomes, not faults.
        }
    }
    if (!holdsOnly(scratch, "root") || !holdsOnly(root, "dest")) abort();
    if (counters.bytesExtracted > size) abort();
    return 0;
}
