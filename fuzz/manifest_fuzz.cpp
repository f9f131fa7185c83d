// Fuzz target: the manifest reader on arbitrary "manifest.txt" bytes.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>

#include "format/archive_folder.h"
#include "format/manifest.h"
#include "fuzz_support.h"

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const fs::path archive = [] {
        const fs::path folder = fuzz_support::scratchFolder() / "a.hlg";
        fs::create_directories(folder);
        return folder;
    }();
    {
        std::ofstream out(archive / kManifestFileName, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        if (!out) abort();
    }
    const fuzz_support::QuietStreams quiet;
    static const ArchiveFolder folder = [] {
        ArchiveFolder opened;
        if (!openArchiveFolder(archive, opened)) abort();
        return opened;
    }();
    Manifest manifest;
    if (readManifest(folder, manifest)) {
        // Callers rely on at least one chunk after a true result.
        if (manifest.chunks.empty()) abort();
        checkChunkNames(manifest);
        checkConsumedNames(manifest);
    }
    return 0;
}
