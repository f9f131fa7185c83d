#include "commands/verify.h"

#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <iostream>

#include "display/progress_display.h"
#include "format/archive_folder.h"
#include "format/chunk_reader.h"
#include "format/escaped_text.h"
#include "format/manifest.h"
#include "format/record.h"
#include "format/record_reader.h"

namespace fs = std::filesystem;

RecordWalk walkChunkRecords(const unsigned char* content, std::uint64_t size) {
    RecordWalk walk;
    RecordReader reader(content, size);
    RecordView record;
    while (reader.next(record)) {
        switch (record.fault) {
            case RecordFault::None:
                break;
            case RecordFault::DamagedHeader:
                walk.failure = "Chunk contains a damaged record header.";
                return walk;
            case RecordFault::DamagedPath:
                walk.failure = "Chunk contains a damaged path.";
                return walk;
            case RecordFault::UnsafePath:
                walk.failure = "Unsafe path found in archive: ";
                appendEscaped(walk.failure, record.path);
                return walk;
            case RecordFault::UnknownType:
                walk.failure = "Unknown record type: " + std::to_string(static_cast<unsigned>(record.type));
                return walk;
            case RecordFault::DamagedData:
                walk.failure = "File data extends beyond the chunk.";
                return walk;
        }
        if (record.type == static_cast<unsigned char>(RecordType::File)) {
            ++walk.fileRecords;
            walk.fileBytes += record.dataLength;
        } else if (record.dataLength != 0) {
            walk.failure = "Directory record contains file data.";
            return walk;
        }
        ++walk.records;
    }
    return walk;
}

namespace {

struct VerifiedCounts {
    std::uint64_t chunks = 0;
    std::uint64_t fileRecords = 0;
    std::uint64_t fileBytes = 0;
};

void reportChunkFailure(const std::string& message, const ChunkEntry& entry) {
    std::cerr << message << '\n'
              << "Verification failed in chunk: " << escaped(entry.fileName) << '\n';
}

// One chunk: existence, decompression, record walk, record count. The content is
// released as this returns, before the caller's display goes.
bool verifyChunk(const fs::path& archive, const ChunkEntry& entry, std::uint64_t chunkCount,
                 ProgressDisplay& display, VerifiedCounts& counts) {
    const fs::path chunkPath = archive / entry.fileName;
    if (!pathExists(chunkPath)) {
        std::cerr << "Missing chunk: " << escaped(entry.fileName) << '\n';
        return false;
    }
    display.update(counts.chunks, chunkCount, escapedLabel("Verifying: ", entry.fileName));

    ChunkMemory content;
    if (!readChunk(chunkPath, entry.rawSize, content)) return false;

    const RecordWalk walk = walkChunkRecords(content.data(), content.size());
    if (!walk.failure.empty()) {
        reportChunkFailure(walk.failure, entry);
        return false;
    }
    if (walk.records != entry.recordCount) {
        reportChunkFailure("Record count mismatch. Expected " + std::to_string(entry.recordCount) +
                               ", found " + std::to_string(walk.records) + ".",
                           entry);
        return false;
    }
    counts.fileRecords += walk.fileRecords;
    counts.fileBytes += walk.fileBytes;
    ++counts.chunks;
    display.update(counts.chunks, chunkCount, escapedLabel("Verified: ", entry.fileName));
    return true;
}

// The status area lives exactly as long as this loop, on every way out.
bool verifyChunks(const fs::path& archive, const Manifest& manifest, VerifiedCounts& counts) {
    const std::uint64_t chunkCount = manifest.chunks.size();
    ProgressDisplay display;
    display.update(0, chunkCount, "Preparing verification...");
    for (const ChunkEntry& entry : manifest.chunks) {
        if (!verifyChunk(archive, entry, chunkCount, display, counts)) return false;
    }
    return true;
}

bool totalsAgree(const Manifest& manifest, const VerifiedCounts& counts) {
    if (counts.fileRecords != manifest.totalFiles) {
        std::cerr << "\nVerification failed.\n"
                  << "Expected files: " << manifest.totalFiles << '\n'
                  << "Verified files: " << counts.fileRecords << '\n';
        return false;
    }
    if (counts.fileBytes != manifest.totalBytes) {
        std::cerr << "\nVerification failed.\n"
                  << "Expected bytes: " << manifest.totalBytes << '\n'
                  << "Verified bytes: " << counts.fileBytes << '\n';
        return false;
    }
    return true;
}

bool writeMarker(const fs::path& archive, const VerifiedCounts& counts) {
    const fs::path markerPath = archive / kMarkerFileName;
    // The archive folder may come from anyone: writing through a link, a device or a
    // fifo planted under the marker's name could truncate or block on something outside.
    const fs::file_status existing = fs::symlink_status(markerPath);
    bool opened = !fs::exists(existing) || fs::is_regular_file(existing);
    std::ofstream marker;
    if (opened) {
        marker.open(markerPath, std::ios::out | std::ios::trunc);
        opened = static_cast<bool>(marker);
    }
    if (!opened) {
        std::cerr << "Archive passed verification, but the verification marker could not be written.\n";
        return false;
    }
    marker << kManifestMagic << '\n'
           << "FILES|" << counts.fileRecords << '\n'
           << "BYTES|" << counts.fileBytes << '\n'
           << "CHUNKS|" << counts.chunks << '\n';
    return true;
}

// A marker left by an earlier run must not outlive a verification that fails: extract
// would take it as leave to consume a damaged archive. What cannot go stays.
void removeStaleMarker(const fs::path& archive) {
    const fs::path marker = archive / kMarkerFileName;
    if (::unlink(marker.c_str()) != 0 && errno == EISDIR) ::rmdir(marker.c_str());
}

}  // namespace

bool verifyArchive(fs::path archive) {
    if (!trimArchiveArgument(archive)) return false;
    applyArchiveExtensionRule(archive);
    removeStaleMarker(archive);

    Manifest manifest;
    if (!readManifest(archive, manifest)) return false;
    // Chunk names are joined to the archive folder; refuse any that would lead outside it
    // before anything is read.
    if (!checkChunkNames(manifest)) return false;

    VerifiedCounts counts;
    if (!verifyChunks(archive, manifest, counts)) return false;
    if (!totalsAgree(manifest, counts)) return false;
    if (!writeMarker(archive, counts)) return false;

    std::cout << "\nVerification successful.\n"
              << "Chunks verified: " << counts.chunks << '\n'
              << "Files verified: " << counts.fileRecords << '\n'
              << "Bytes verified: " << counts.fileBytes << '\n'
              << "Archive is safe to extract.\n";
    return true;
}
