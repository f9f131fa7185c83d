// Fuzz target: extract's record walk on arbitrary decompressed chunk content, writing
// under a destination that is emptied before every input and then given links and a
// named pipe ("a" to a folder outside, "b" to a file outside, "c" a pipe, "d" a dangling
// link, "e/f" a link inside a folder). Whatever the content says, nothing may change
// beside the destination: <scratch>/root holds "dest" and "decoy" alone, "decoy" holds
// "keep" alone with its bytes, <scratch> holds "root" alone, and no write blocks.

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "commands/destination.h"
#include "commands/extract.h"
#include "fuzz_support.h"

namespace fs = std::filesystem;

namespace {

// True when `folder` holds exactly the real folders `names`.
bool holdsOnly(const fs::path& folder, std::set<std::string> names) {
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
        if (names.erase(entry.path().filename()) != 1 || entry.is_symlink() || !entry.is_directory())
            return false;
    }
    return names.empty();
}

void emptyFolder(const fs::path& folder) {
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) fs::remove_all(entry.path());
}

// What a careless walk would follow or block on.
void plantTraps(const fs::path& destination) {
    fs::create_directory_symlink("../decoy", destination / "a");
    fs::create_symlink("../decoy/keep", destination / "b");
    if (mkfifo((destination / "c").c_str(), 0644) != 0) abort();
    fs::create_symlink("../nowhere", destination / "d");
    fs::create_directory(destination / "e");
    fs::create_symlink("../../decoy/keep", destination / "e/f");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const fs::path scratch = fuzz_support::scratchFolder();
    static const fs::path root = scratch / "root";
    static const fs::path destination = root / "dest";
    static const fs::path decoy = root / "decoy";
    static const std::string kept = "decoy";
    fs::create_directories(destination);
    emptyFolder(destination);
    plantTraps(destination);
    fs::create_directories(decoy);
    emptyFolder(decoy);
    {
        std::ofstream(decoy / "keep") << kept;
    }

    const std::vector<unsigned char> content(data, data + size);
    ExtractCounters counters;
    const ExtractProgress progress = [](const std::string&) {};
    {
        const fuzz_support::QuietStreams quiet;
        try {
            Destination target(destination);
            extractChunkRecords(content.data(), content.size(), target, counters, progress);
        } catch (const fs::filesystem_error&) {
            // A folder record where a file stands, a name too long: the command line
            // reports these as "Filesystem error: ", so they are outcomes, not faults.
        }
    }
    if (!holdsOnly(scratch, {"root"}) || !holdsOnly(root, {"dest", "decoy"})) abort();
    std::size_t decoyEntries = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(decoy)) {
        if (++decoyEntries > 1 || entry.path().filename() != "keep" || !entry.is_regular_file() ||
            entry.is_symlink())
            abort();
    }
    std::ifstream keep(decoy / "keep");
    const std::string text((std::istreambuf_iterator<char>(keep)), std::istreambuf_iterator<char>());
    if (decoyEntries != 1 || text != kept) abort();
    if (counters.bytesExtracted > size) abort();
    return 0;
}
