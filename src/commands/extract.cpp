#include "commands/extract.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <iostream>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "commands/destination.h"
#include "commands/verify.h"
#include "display/progress_display.h"
#include "format/archive_folder.h"
#include "format/chunk_reader.h"
#include "format/escaped_text.h"
#include "format/file_descriptor.h"
#include "format/manifest.h"
#include "format/manifest_replacement.h"
#include "format/record.h"
#include "format/record_reader.h"

namespace fs = std::filesystem;

namespace {

// File data go to disk in pieces of this size, with one progress report after each.
constexpr std::uint64_t kWritePieceSize = 1048576;

// Written data of a large file is handed to the disk in runs of this size as it is written,
// so that the sync before its chunk is deleted finds most of it already there.
constexpr std::uint64_t kWritebackRun = 8388608;

// A last piece shorter than this is written as the file is closed, after its progress
// report, so that a failure to write it is reported where a buffered stream reports it.
constexpr std::uint64_t kHeldPieceSize = 1024;

// Writes one file record's data and closes the file.
bool restoreFile(Destination& destination, std::string_view pathText, const unsigned char* data,
                 std::uint64_t length, ExtractCounters& counters, const ExtractProgress& progress) {
    // The destination joined with the record path, for the messages only.
    const auto target = [&destination, &pathText] {
        fs::path path = destination.path();
        path /= fs::path(pathText);
        return path;
    };
    // Created, or truncated when a file of that name exists.
    FileDescriptor file(-1);
    switch (destination.createFile(pathText, file)) {
        case Destination::FileCreation::Created:
            break;
        case Destination::FileCreation::Failed:
            std::cerr << "Could not create file: " << escapedQuoted(target()) << '\n';
            return false;
        case Destination::FileCreation::ArchiveFile:
            std::cerr << "Record path leads into the archive: " << escaped(pathText) << '\n';
            return false;
    }
    const unsigned char* held = nullptr;
    std::uint64_t heldLength = 0;
    if (length > 0) {
        const std::string label = escapedLabel("Extracting: ", pathText);
        for (std::uint64_t written = 0; written < length;) {
            const std::uint64_t piece = std::min(length - written, kWritePieceSize);
            if (piece < kHeldPieceSize) {
                held = data + written;
                heldLength = piece;
            } else if (!writeAll(file.get(), data + written, piece)) {
                std::cerr << "Failed while writing: " << escapedQuoted(target()) << '\n';
                return false;
            }
            written += piece;
            if (written % kWritebackRun == 0) {
                ::sync_file_range(file.get(), static_cast<off_t>(written - kWritebackRun),
                                  static_cast<off_t>(kWritebackRun), SYNC_FILE_RANGE_WRITE);
            }
            counters.bytesExtracted += piece;
            progress(label);
        }
    }
    // A file that fails now is incomplete.
    if (!writeAll(file.get(), held, heldLength) || !file.close()) {
        std::cerr << "Failed while writing: " << escapedQuoted(target()) << '\n';
        return false;
    }
    return true;
}

// The path of `inner` below `outer`, both as the file system resolves them: "." when they
// are the same folder, empty when `inner` does not lie within `outer`.
fs::path pathWithin(const fs::path& inner, const fs::path& outer) {
    fs::path resolvedOuter = fs::weakly_canonical(outer);
    const fs::path resolvedInner = fs::weakly_canonical(inner);
    if (!resolvedOuter.has_filename() && resolvedOuter.has_relative_path())
        resolvedOuter = resolvedOuter.parent_path();
    const auto [outerEnd, innerRest] = std::mismatch(resolvedOuter.begin(), resolvedOuter.end(),
                                                     resolvedInner.begin(), resolvedInner.end());
    if (outerEnd != resolvedOuter.end()) return {};
    fs::path below = ".";
    for (auto element = innerRest; element != resolvedInner.end(); ++element) {
        if (!element->empty()) below /= *element;
    }
    return below.lexically_normal();
}

// True when the record path names `folder` or something inside it; "." and empty
// elements of the record path do not move it.
bool leadsInto(const fs::path& recordPath, const fs::path& folder) {
    auto wanted = folder.begin();
    for (const fs::path& element : recordPath) {
        if (wanted == folder.end()) return true;
        if (element.empty() || element == ".") continue;
        if (element != *wanted) return false;
        ++wanted;
    }
    return wanted == folder.end();
}

// Extract's words for what the record reader found.
void reportFault(const RecordView& record) {
    switch (record.fault) {
        case RecordFault::None:
            break;
        case RecordFault::DamagedHeader:
            std::cerr << "Damaged record header.\n";
            break;
        case RecordFault::DamagedPath:
            std::cerr << "Damaged path data.\n";
            break;
        case RecordFault::UnsafePath:
            std::cerr << "Unsafe path in archive: " << escaped(record.path) << '\n';
            break;
        case RecordFault::UnknownType:
            std::cerr << "Unknown record type.\n";
            break;
        case RecordFault::DamagedData:
            std::cerr << "Damaged file data.\n";
            break;
    }
}

// Asks before consuming an archive without a marker; true when extraction may go on.
bool settleMarkerQuestion(const ArchiveFolder& archive) {
    if (entryExists(archive, kMarkerFileName)) {
        std::cout << "Verification marker found.\n";
        return true;
    }
    std::cout << "\nThis archive has not been verified.\n"
              << "Extraction consumes and deletes archive chunks.\n"
              << "Verify it now? [Y/n] " << std::flush;
    std::string answer;
    std::getline(std::cin, answer);
    if (!answer.empty() && std::tolower(static_cast<unsigned char>(answer[0])) == 'n') {
        std::cout << "Extraction cancelled.\n";
        return false;
    }
    std::cout << '\n';
    // Under the lock this run already holds.
    if (!verifyOpenArchive(archive)) {
        std::cerr << "\nVerification failed. " << "Extraction has been cancelled.\n";
        return false;
    }
    return true;
}

// File records and their bytes in a chunk's content: what restoring it all will add.
struct ChunkFiles {
    std::uint64_t files = 0;
    std::uint64_t bytes = 0;
};

ChunkFiles filesIn(const ChunkMemory& content) {
    ChunkFiles found;
    RecordReader reader(content.data(), content.size());
    RecordView record;
    while (reader.next(record) && record.fault == RecordFault::None) {
        if (record.type != static_cast<unsigned char>(RecordType::File)) continue;
        ++found.files;
        found.bytes += record.dataLength;
    }
    return found;
}

std::uint64_t lowered(std::uint64_t total, std::uint64_t restored) {
    return total > restored ? total - restored : 0;
}

// Device and inode of an entry of the archive folder, a link followed; all zero when it
// does not exist, which matches no file.
struct stat identityOf(const ArchiveFolder& folder, const char* name) {
    struct stat identity {};
    if (::fstatat(folder.fd(), name, &identity, 0) != 0) identity = {};
    return identity;
}

// The archive as extract consumes it, from the folder held open: after each chunk, the
// manifest that lists what is left replaces the old one, and only then does the chunk go.
class Consumption {
public:
    Consumption(const ArchiveFolder& folder, const Manifest& manifest, Destination& destination)
        : folder_(folder), manifest_(manifest), destination_(destination),
          replacement_(folder.fd()), bytesLeft_(manifest.totalBytes), filesLeft_(manifest.totalFiles),
          manifestIdentity_(identityOf(folder, kManifestFileName)) {
        // No record may be written into any of them, whatever leads there.
        destination_.addArchiveFile(manifestIdentity_);
        destination_.addArchiveFile(identityOf(folder, kMarkerFileName));
        chunkIdentities_.reserve(manifest.chunks.size());
        for (const ChunkEntry& chunk : manifest.chunks) {
            chunkIdentities_.push_back(identityOf(folder, chunk.fileName.c_str()));
            destination_.addArchiveFile(chunkIdentities_.back());
        }
    }

    // Writes the manifest that will list the chunks after this one, so that restoring
    // cannot take its room, then restores the chunk's records; false after a message.
    bool restore(std::size_t index, const ChunkMemory& content, ExtractCounters& counters,
                 const ExtractProgress& progress, const fs::path& archiveBelowDestination) {
        const ChunkFiles files = filesIn(content);
        const std::uint64_t bytesLeft = lowered(bytesLeft_, files.bytes);
        const std::uint64_t filesLeft = lowered(filesLeft_, files.files);
        if (!replacement_.prepare(replacementManifestText(bytesLeft, filesLeft, manifest_.chunks, index)))
            return false;
        destination_.addArchiveFile(replacement_.identity());
        if (!extractChunkRecords(content.data(), content.size(), destination_, counters, progress,
                                 archiveBelowDestination))
            return false;
        bytesLeft_ = bytesLeft;
        filesLeft_ = filesLeft;
        return true;
    }

    // Once the restored data are durable: the new manifest, which names the chunk as
    // consumed, takes the old one's place, then the chunk file is deleted. A run stopped in
    // between deletes it when it starts again. False after a message.
    bool consume(std::size_t index) {
        if (!replacement_.commit()) return false;
        destination_.removeArchiveFile(manifestIdentity_);
        manifestIdentity_ = replacement_.identity();
        const std::string& name = manifest_.chunks[index].fileName;
        if (::unlinkat(folder_.fd(), name.c_str(), 0) != 0 && errno != ENOENT)
            throwFailure("cannot remove", folder_.path() / name);
        destination_.removeArchiveFile(chunkIdentities_[index]);
        return true;
    }

private:
    const ArchiveFolder& folder_;
    const Manifest& manifest_;
    Destination& destination_;
    ManifestReplacement replacement_;
    std::uint64_t bytesLeft_;
    std::uint64_t filesLeft_;
    struct stat manifestIdentity_;
    std::vector<struct stat> chunkIdentities_;
};

// The chunk loop, with the status display alive for exactly its length.
bool consumeChunks(const ArchiveFolder& archive, const Manifest& manifest, Destination& destination,
                   ExtractCounters& counters) {
    // Extracting beside the archive ("hlg extract backup.hlg .") is fine, but no record may
    // then overwrite a chunk file that is still to be read.
    const fs::path archiveBelowDestination = pathWithin(archive.path(), destination.path());
    Consumption consumption(archive, manifest, destination);
    ProgressDisplay display;
    const std::uint64_t totalBytes = manifest.totalBytes;
    display.update(0, totalBytes, "Preparing extraction...");
    const ExtractProgress progress = [&](const std::string& label) {
        display.update(counters.bytesExtracted, totalBytes, label);
    };
    for (std::size_t index = 0; index < manifest.chunks.size(); ++index) {
        const ChunkEntry& chunk = manifest.chunks[index];
        if (!entryExists(archive, chunk.fileName)) {
            std::cerr << "Missing chunk: " << escaped(chunk.fileName) << '\n';
            return false;
        }
        display.update(counters.bytesExtracted, totalBytes,
                       escapedLabel("Decompressing: ", chunk.fileName));
        {
            // Released before the chunk file goes, and before the next chunk is read.
            ChunkMemory content;
            if (!readChunk(archive, chunk.fileName, chunk.rawSize, content)) return false;
            if (!consumption.restore(index, content, counters, progress, archiveBelowDestination))
                return false;
        }
        // The chunk may be the only copy of what it restored: make that durable first, on
        // every file system it went to.
        if (!destination.syncWritten()) {
            std::cerr << "Failed while writing: " << escapedQuoted(destination.path()) << '\n';
            return false;
        }
        if (!consumption.consume(index)) return false;
        display.update(counters.bytesExtracted, totalBytes,
                       escapedLabel("Consumed: ", chunk.fileName));
        ++counters.chunksConsumed;
    }
    display.update(totalBytes, totalBytes, "Extraction complete");
    return true;
}

// The end of a run that has restored everything: the chunk files named as consumed, the
// marker, a replacement left behind, then the manifest, so that a run stopped at any point
// here finds what it needs to finish; last the emptied folder. True when the folder is gone.
bool removeWhatIsLeft(const ArchiveFolder& archive, const std::vector<std::string>& consumed) {
    for (const std::string& name : consumed) removeEntry(archive, name);
    removeEntry(archive, kMarkerFileName);
    removeEntry(archive, kManifestReplacementName);
    removeEntry(archive, kManifestFileName);
    return removeArchiveFolder(archive);
}

// Chunk files whose records a stopped run made durable and whose manifest names them as
// consumed, but which it did not get to delete.
void removeConsumedChunks(const ArchiveFolder& archive, const Manifest& manifest) {
    for (const std::string& name : manifest.consumed) {
        const bool listed = std::any_of(manifest.chunks.begin(), manifest.chunks.end(),
                                        [&name](const ChunkEntry& chunk) { return chunk.fileName == name; });
        if (!listed) removeEntry(archive, name);
    }
}

// A folder with no entry at all, as a run leaves it when stopped between the removal of
// the manifest and that of the folder. One that cannot be listed is taken as not empty.
bool isEmptyFolder(const ArchiveFolder& archive) {
    bool empty = true;
    const bool listed = listArchiveFolder(archive, [&empty](const char*) { return empty = false; });
    return listed && empty;
}

void printSummary(std::uint64_t filesExpected, const ExtractCounters& counters, bool archiveDeleted) {
    std::cout << "\nExtraction complete.\n"
              << "Files expected: " << filesExpected << '\n'
              << "Files extracted: " << counters.filesExtracted << '\n'
              << "Chunks consumed: " << counters.chunksConsumed << '\n'
              << "Bytes extracted: " << counters.bytesExtracted << '\n'
              << "Archive deleted: " << (archiveDeleted ? "yes" : "no") << '\n';
}

// The archive of a run that restored everything and was stopped before its clean-up ended.
bool finishStoppedRun(const ArchiveFolder& archive, const std::vector<std::string>& consumed) {
    const bool deleted = removeWhatIsLeft(archive, consumed);
    printSummary(0, ExtractCounters{}, deleted);
    return true;
}

}  // namespace

bool extractChunkRecords(const unsigned char* content, std::uint64_t size, Destination& destination,
                         ExtractCounters& counters, const ExtractProgress& progress,
                         const fs::path& archiveBelowDestination) {
    RecordReader reader(content, size);
    RecordView record;
    while (reader.next(record)) {
        // What is wrong with the header or the path is told before where the path leads;
        // what is wrong with the type or the data only after.
        if (isPathFault(record.fault)) {
            reportFault(record);
            return false;
        }
        if (!archiveBelowDestination.empty() && leadsInto(fs::path(record.path), archiveBelowDestination)) {
            std::cerr << "Record path leads into the archive: " << escaped(record.path) << '\n';
            return false;
        }
        if (record.fault != RecordFault::None) {
            reportFault(record);
            return false;
        }
        if (record.type == static_cast<unsigned char>(RecordType::Directory)) {
            if (!destination.makeFolders(record.path)) {
                std::cerr << "Record path leads into the archive: " << escaped(record.path) << '\n';
                return false;
            }
            progress(escapedLabel("Creating: ", record.path));
            continue;
        }
        if (!restoreFile(destination, record.path, record.data, record.dataLength, counters, progress))
            return false;
        ++counters.filesExtracted;
    }
    return true;
}

bool extractArchive(fs::path& archive, const fs::path& destination) {
    if (!settleArchiveArgument(archive)) return false;
    ArchiveFolder folder;
    if (!openArchiveFolder(archive, folder)) return false;
    if (!lockArchiveFolder(folder, ArchiveLock::Exclusive)) return false;
    if (isEmptyFolder(folder)) return finishStoppedRun(folder, {});

    Manifest manifest;
    if (!readManifestLines(folder, manifest)) return false;
    // Chunk names decide what gets deleted: refuse any that leads outside the archive.
    if (!checkChunkNames(manifest) || !checkConsumedNames(manifest)) return false;
    // A manifest that names a consumed chunk and lists none is that of a run that has
    // restored everything: only its clean-up is left.
    if (manifest.chunks.empty() && !manifest.consumed.empty()) return finishStoppedRun(folder, manifest.consumed);
    if (!requireChunks(manifest)) return false;
    // Restored files there could overwrite chunk files not yet read.
    if (!pathWithin(destination, archive).empty()) {
        std::cerr << "Destination lies inside the archive: " << escapedQuoted(destination) << '\n';
        return false;
    }

    if (!settleMarkerQuestion(folder)) return false;
    // The manifest is replaced, and the folder synced, through the folder held open.
    if (folder.searchOnly()) {
        std::cerr << "Could not write manifest.\n";
        return false;
    }
    removeConsumedChunks(folder, manifest);

    fs::create_directories(destination);
    // Everything restored is reached from this handle, and made durable through it.
    Destination target(destination);
    if (!target.isOpen()) {
        std::cerr << "Failed while writing: " << escapedQuoted(destination) << '\n';
        return false;
    }
    target.setArchiveFolder(folder.identity());

    ExtractCounters counters;
    if (!consumeChunks(folder, manifest, target, counters)) return false;

    printSummary(manifest.totalFiles, counters, removeWhatIsLeft(folder, {}));
    return counters.filesExtracted == manifest.totalFiles &&
           counters.bytesExtracted == manifest.totalBytes;
}
