#include "commands/verify.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <sstream>

#include "display/progress_display.h"
#include "format/archive_folder.h"
#include "format/chunk_reader.h"
#include "format/escaped_text.h"
#include "format/file_descriptor.h"
#include "format/manifest.h"
#include "format/record.h"
#include "format/record_reader.h"

namespace fs = std::filesystem;

namespace {

// Content bytes decompressed at a time while streaming, and the window's size: it holds a
// header and a path of up to 1 MiB less 13 bytes; longer paths pass through it.
constexpr std::size_t kWindowPiece = std::size_t{1} << 20;
// Path bytes escaped and written at a time when an unheld path is shown.
constexpr std::size_t kShownPiece = std::size_t{64} << 10;

// Walks what the reader yields until it ends, waits for more or a record fails.
void walkRecords(RecordReader& reader, RecordWalk& walk) {
    RecordView record;
    while (reader.next(record)) {
        switch (record.fault) {
            case RecordFault::None:
                break;
            case RecordFault::DamagedHeader:
                walk.failure = "Chunk contains a damaged record header.";
                return;
            case RecordFault::DamagedPath:
                walk.failure = "Chunk contains a damaged path.";
                return;
            case RecordFault::UnsafePath:
                walk.failure = "Unsafe path found in archive: ";
                if (record.path.size() == record.pathLength) {
                    appendEscaped(walk.failure, record.path);
                } else {
                    walk.unheldPathOffset = record.pathOffset;
                    walk.unheldPathLength = record.pathLength;
                }
                return;
            case RecordFault::UnknownType:
                walk.failure = "Unknown record type: " + std::to_string(static_cast<unsigned>(record.type));
                return;
            case RecordFault::DamagedData:
                walk.failure = "File data extends beyond the chunk.";
                return;
        }
        if (record.type == static_cast<unsigned char>(RecordType::File)) {
            ++walk.fileRecords;
            walk.fileBytes += record.dataLength;
        } else if (record.dataLength != 0) {
            walk.failure = "Directory record contains file data.";
            return;
        }
        ++walk.records;
    }
}

}  // namespace

RecordWalk walkChunkRecords(const unsigned char* content, std::uint64_t size) {
    RecordWalk walk;
    RecordReader reader(content, size);
    walkRecords(reader, walk);
    return walk;
}

namespace {

// A window holds at least a header.
ChunkMemory& headerWide(ChunkMemory& window) {
    if (window.size() < kRecordHeaderSize) window = ChunkMemory(kRecordHeaderSize);
    return window;
}

}  // namespace

StreamedRecordWalk::StreamedRecordWalk(std::uint64_t size, ChunkMemory& window)
    : window_(headerWide(window)), reader_(size, window_.size() - kRecordHeaderSize) {
    advance();
}

unsigned char* StreamedRecordWalk::space() { return window_.data() + filled_; }

std::size_t StreamedRecordWalk::room() const {
    return std::min(window_.size() - filled_, kWindowPiece);
}

void StreamedRecordWalk::add(std::size_t count) {
    if (done_) return;
    filled_ += count;
    advance();
}

void StreamedRecordWalk::advance() {
    reader_.feed(window_.data(), filled_);
    walkRecords(reader_, walk_);
    const std::uint64_t wanted = reader_.wanted();
    if (wanted == 0 || !walk_.failure.empty()) {
        // Whatever still comes is only decompressed, to see that it is whole.
        done_ = true;
        filled_ = 0;
        return;
    }
    // The reader waits for no more than the window holds, so room is left after what it
    // keeps.
    const std::size_t kept = reader_.unconsumed();
    if (kept != filled_) std::memmove(window_.data(), window_.data() + filled_ - kept, kept);
    filled_ = kept;
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

// What streaming keeps from chunk to chunk: one decoder and one window.
struct ChunkStreaming {
    ChunkStream stream;
    ChunkMemory window{kWindowPiece};
};

// Walks the chunk's records as its content is decompressed, holding nothing of its size.
// False after a message when the chunk does not decompress cleanly to exactly the stated
// size: a fault of its frames is named before any fault of its records.
bool walkStreamedChunk(ChunkStreaming& streaming, const ArchiveFolder& archive, const ChunkEntry& entry,
                       RecordWalk& walk) {
    const std::uint64_t rawSize = entry.rawSize;
    if (!streaming.stream.open(archive, entry.fileName, rawSize)) return false;
    StreamedRecordWalk walker(rawSize, streaming.window);
    ChunkStream::Status status = ChunkStream::Status::More;
    while (status == ChunkStream::Status::More) {
        std::size_t count = 0;
        status = streaming.stream.decompress(walker.space(), walker.room(), count);
        walker.add(count);
    }
    if (status == ChunkStream::Status::Failed) return false;
    walk = walker.walk();
    return true;
}

// The message of an unsafe path too long to have been held: its bytes are decompressed
// again and written as they come. Should the chunk no longer read as it did, the stream's
// message cuts it short.
void reportUnheldPath(ChunkStreaming& streaming, const ArchiveFolder& archive, const ChunkEntry& entry,
                      const RecordWalk& walk) {
    std::cerr << walk.failure;
    if (!streaming.stream.open(archive, entry.fileName, entry.rawSize)) return;
    std::uint64_t before = walk.unheldPathOffset;
    std::uint64_t left = walk.unheldPathLength;
    EscapedStream shown(std::cerr);
    while (left > 0) {
        const std::uint64_t wanted = before > 0 ? before : std::min<std::uint64_t>(left, kShownPiece);
        const std::size_t room = static_cast<std::size_t>(std::min<std::uint64_t>(wanted, streaming.window.size()));
        std::size_t count = 0;
        const ChunkStream::Status status = streaming.stream.decompress(streaming.window.data(), room, count);
        if (before > 0) {
            before -= count;
        } else {
            shown.write(std::string_view(reinterpret_cast<const char*>(streaming.window.data()), count));
            left -= count;
        }
        if (status == ChunkStream::Status::Failed) return;
        if (status == ChunkStream::Status::Ended) break;
    }
    shown.finish();
    std::cerr << '\n' << "Verification failed in chunk: " << escaped(entry.fileName) << '\n';
}

// One chunk: existence, decompression, record walk, record count. Whatever content is
// held is released as this returns, before the caller's display goes.
bool verifyChunk(const ArchiveFolder& archive, const ChunkEntry& entry, std::uint64_t chunkCount,
                 ProgressDisplay& display, ChunkStreaming& streaming, VerifiedCounts& counts) {
    if (!entryExists(archive, entry.fileName)) {
        std::cerr << "Missing chunk: " << escaped(entry.fileName) << '\n';
        return false;
    }
    display.update(counts.chunks, chunkCount, escapedLabel("Verifying: ", entry.fileName));

    RecordWalk walk;
    if (!walkStreamedChunk(streaming, archive, entry, walk)) return false;
    if (walk.unheldPathLength != 0) {
        reportUnheldPath(streaming, archive, entry, walk);
        return false;
    }
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
bool verifyChunks(const ArchiveFolder& archive, const Manifest& manifest, VerifiedCounts& counts) {
    const std::uint64_t chunkCount = manifest.chunks.size();
    ProgressDisplay display;
    display.update(0, chunkCount, "Preparing verification...");
    ChunkStreaming streaming;
    for (const ChunkEntry& entry : manifest.chunks) {
        if (!verifyChunk(archive, entry, chunkCount, display, streaming, counts)) return false;
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

// A marker left by an earlier run must not outlive a verification that fails: extract
// would take it as leave to consume a damaged archive. What cannot go stays.
void removeStaleMarker(const ArchiveFolder& archive) {
    removeFileOrEmptyFolder(archive.fd(), kMarkerFileName);
}

bool writeMarker(const ArchiveFolder& archive, const VerifiedCounts& counts) {
    // The archive folder may come from anyone: writing through a link, a device, a fifo or
    // another name of a file planted under the marker's name could truncate or block on
    // something outside. The marker is always a file of its own, made anew.
    removeStaleMarker(archive);
    const FileDescriptor marker(
        ::openat(archive.fd(), kMarkerFileName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!marker.isOpen()) {
        std::cerr << "Archive passed verification, but the verification marker could not be written.\n";
        return false;
    }
    std::ostringstream text;
    text << kManifestMagic << '\n'
         << "FILES|" << counts.fileRecords << '\n'
         << "BYTES|" << counts.fileBytes << '\n'
         << "CHUNKS|" << counts.chunks << '\n';
    const std::string bytes = std::move(text).str();
    writeAll(marker.get(), bytes.data(), bytes.size());
    return true;
}

}  // namespace

bool verifyArchive(fs::path archive) {
    ArchiveFolder folder;
    return settleArchiveArgument(archive) && openArchiveFolder(archive, folder) &&
           lockArchiveFolder(folder, ArchiveLock::Shared) && verifyOpenArchive(folder);
}

bool verifyOpenArchive(const ArchiveFolder& archive) {
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
