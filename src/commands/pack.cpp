#include "commands/pack.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iomanip>
#include <iostream>
#include <ostream>
#include <system_error>
#include <string>
#include <string_view>

#include "commands/folder_chain.h"
#include "commands/source_scan.h"
#include "display/progress_display.h"
#include "format/archive_folder.h"
#include "format/chunk_memory.h"
#include "format/chunk_writer.h"
#include "format/escaped_text.h"
#include "format/file_descriptor.h"
#include "format/manifest.h"
#include "format/new_file.h"
#include "format/record.h"

namespace fs = std::filesystem;

namespace {

// The chunk target plus 16 MiB, so that a full chunk rarely makes the buffer grow.
constexpr std::size_t kChunkBufferReservation = 285212672;
constexpr std::size_t kReadBlockSize = 1048576;

// The folders on the way to a file are only searched, never listed, and a link standing
// where one belongs fails to open: nothing put in their place since the walk is followed.
FolderChain::OpenedFolder openFolderOnTheWay(const FolderChain::Folder& parent, const std::string& name) {
    return {FileDescriptor(::openat(parent.fd, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)), 0};
}

// A file record beyond the buffer's capacity gets room for exactly itself and the byte
// that the last read may find beyond it, at once: growing as the data arrive would copy
// the buffer at each doubling and hold up to twice the record.
void reserveForRecord(std::vector<unsigned char>& buffer, std::uint64_t pathLength,
                      std::uint64_t fileSize) {
    const std::uint64_t needed = buffer.size() + kRecordHeaderSize + pathLength + fileSize + 1;
    if (needed <= buffer.capacity()) return;
    buffer.reserve(static_cast<std::size_t>(needed));
}

// One file record: the flush its size calls for, the header, then exactly the bytes the
// header states.
bool packFile(const fs::path& source, const std::string& recordPath, FolderChain& folders,
              ChunkWriter& writer, const std::function<void(std::uint64_t)>& afterRead) {
    // Reached from the source folder one name at a time, the file itself without following
    // a link: an entry that became a link or anything but a regular file since the walk is
    // refused. Non-blocking, so that a named pipe cannot stall the run; reads of regular
    // files are not affected.
    std::string_view fileName;
    const int folder = folders.reachFolderOf(recordPath, fileName).fd;
    // The name ends where the record path ends, so it is terminated as the system wants.
    const char* const name = fileName.data();
    const FileDescriptor file(
        folder < 0 ? -1 : ::openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat info {};
    if (!file.isOpen() || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        std::cerr << "Could not open file: " << escapedQuoted(source / recordPath) << '\n';
        return false;
    }
    const std::uint64_t size = static_cast<std::uint64_t>(info.st_size);
    if (needsFlushBeforeFile(writer.buffer.size(), recordPath.size(), size) && !flushChunk(writer)) {
        return false;
    }
    reserveForRecord(writer.buffer, recordPath.size(), size);
    appendRecordHeader(writer.buffer, RecordType::File, recordPath, size);
    return appendFileData(file.get(), size, source / recordPath, writer.buffer, afterRead);
}

// The regular files directly inside the archive folder, the manifest included.
std::uint64_t archiveFolderSize(const ArchiveFolder& archive) {
    std::uint64_t size = 0;
    listArchiveFolder(archive, [&archive, &size](const char* name) {
        struct stat info {};
        if (::fstatat(archive.fd(), name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode))
            size += static_cast<std::uint64_t>(info.st_size);
        return true;
    });
    return size;
}

bool refuseExistingArchive(const fs::path& archive) {
    std::cerr << "Archive already exists: " << escapedQuoted(archive) << '\n';
    return false;
}

// Missing parents are made as needed; the archive folder itself by one mkdir that fails
// when anything is there, so that an archive that appeared since the check is never
// packed into. The folder made is opened at once, never through a link put in its place,
// and every file of the archive is created through it.
bool createArchiveFolder(const fs::path& archive, ArchiveFolder& folder) {
    const fs::path parent = archive.parent_path();
    std::error_code error;
    if (!parent.empty()) fs::create_directories(parent, error);
    if (!error && ::mkdir(archive.c_str(), 0777) != 0) {
        if (errno == EEXIST) return refuseExistingArchive(archive);
        error.assign(errno, std::generic_category());
    }
    if (error) throw fs::filesystem_error("cannot create directories", archive, error);
    FileDescriptor fd(::open(archive.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.isOpen()) throwFailure("cannot open", archive);
    folder = ArchiveFolder(archive, std::move(fd));
    return true;
}

void printSummary(const fs::path& archive, const SourceScan& scan, std::uint64_t chunkCount,
                  std::uint64_t archiveSize) {
    std::cout << "\nArchive created: " << escapedQuoted(archive) << '\n'
              << "Files packed: " << scan.fileCount << '\n'
              << "Chunks created: " << chunkCount << '\n'
              << "Original size: " << scan.totalBytes << " bytes\n"
              << "Archive size: " << archiveSize << " bytes\n";
    if (scan.totalBytes != 0) {
        const double ratio =
            static_cast<double>(archiveSize) / static_cast<double>(scan.totalBytes) * 100.0;
        std::cout << "Size ratio: " << std::fixed << std::setprecision(2) << ratio << "%\n";
    }
    // The command is meant to be copied as typed, so quotes and backslashes are not
    // escaped here; control characters are, as everywhere.
    std::cout << "\nRecommended next step:\n"
              << "  ./build/hlg verify \"" << escaped(archive.native()) << "\"\n";
}

}  // namespace

bool packRecords(const fs::path& source, const SourceScan& scan, ChunkWriter& writer) {
    ProgressDisplay display;
    display.update(0, scan.totalBytes, "Preparing archive...");
    // Files are reached from the source folder itself; a link named as the source is
    // followed, as the walk followed it.
    const FileDescriptor sourceFolder(::open(source.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    FolderChain folders({sourceFolder.get(), 0}, openFolderOnTheWay);
    std::uint64_t packedBytes = 0;
    // Reused for every entry, so that its capacity is allocated once.
    std::string label;
    const std::function<void(std::uint64_t)> report = [&](std::uint64_t n) {
        packedBytes += n;
        display.update(packedBytes, scan.totalBytes, label);
    };
    for (const SourceEntry& entry : scan.entries) {
        if (entry.isDirectory) {
            appendRecordHeader(writer.buffer, RecordType::Directory, entry.recordPath, 0);
            ++writer.recordsInBuffer;
            continue;
        }
        label.assign("Packing: ");
        appendEscaped(label, entry.recordPath);
        if (!packFile(source, entry.recordPath, folders, writer, report)) return false;
        ++writer.recordsInBuffer;
        if (needsFlushAfterFile(writer.buffer.size()) && !flushChunk(writer)) return false;
    }
    if (!flushChunk(writer)) return false;
    // The header's totals come from the walk; an archive that contradicts them would
    // only fail at verify.
    if (packedBytes != scan.totalBytes) {
        std::cerr << "Files changed while packing: expected " << scan.totalBytes
                  << " bytes, packed " << packedBytes << ".\n";
        return false;
    }
    display.update(scan.totalBytes, scan.totalBytes, "Archive complete");
    return true;
}

bool needsFlushBeforeFile(std::uint64_t buffered, std::uint64_t pathLength, std::uint64_t fileSize) {
    return buffered != 0 && buffered + kRecordHeaderSize + pathLength + fileSize > kChunkTarget;
}

bool needsFlushAfterFile(std::uint64_t buffered) { return buffered >= kChunkTarget; }

bool appendFileData(int fd, std::uint64_t size, const fs::path& path,
                    std::vector<unsigned char>& buffer,
                    const std::function<void(std::uint64_t)>& afterRead) {
    const std::size_t sizeOnEntry = buffer.size();
    bool exact = true;
    for (std::uint64_t remaining = size; exact;) {
        // The last read asks for one byte more than the file should still hold: getting
        // it means the file grew after it was measured.
        const bool last = remaining <= kReadBlockSize;
        const std::size_t want = last ? static_cast<std::size_t>(remaining) : kReadBlockSize;
        const std::size_t room = last ? want + 1 : want;
        // Read straight into the buffer's tail: no scratch block, no second copy.
        const std::size_t at = buffer.size();
        // The block's pages in one request rather than one fault for each.
        if (at + room <= buffer.capacity()) populateForWriting(buffer.data() + at, room);
        buffer.resize(at + room);
        std::size_t got = 0;
        exact = readAtLeast(fd, buffer.data() + at, want, room, got) && got == want;
        if (!exact) break;
        buffer.resize(at + want);
        remaining -= want;
        if (want > 0) afterRead(want);
        if (last) break;
    }
    if (exact) return true;
    buffer.resize(sizeOnEntry);
    std::cerr << "File changed while packing: " << escapedQuoted(path) << '\n';
    return false;
}

bool packFolder(const fs::path& source, fs::path& archive) {
    if (!checkSourceFolder(source)) return false;
    if (!settleArchiveArgument(archive)) return false;
    if (pathExists(archive)) return refuseExistingArchive(archive);
    // The walk ends before the archive folder exists, so an archive placed inside the
    // source never packs itself.
    SourceScan scan;
    if (!scanSourceTree(source, scan)) return false;

    ArchiveFolder folder;
    if (!createArchiveFolder(archive, folder)) return false;
    NewFileBuffer manifestFile(folder.fd(), kManifestFileName);
    if (!manifestFile.isOpen()) {
        std::cerr << "Could not create manifest.\n";
        return false;
    }
    std::ostream manifest(&manifestFile);
    writeManifestHeader(manifest, scan.totalBytes, scan.fileCount);

    std::uint64_t nextChunkNumber = 1;
    {
        std::vector<unsigned char> buffer;
        buffer.reserve(kChunkBufferReservation);
        std::uint64_t recordsInBuffer = 0;
        ChunkWriter writer{buffer, nextChunkNumber, folder, manifest, recordsInBuffer};
        if (!packRecords(source, scan, writer)) return false;
    }

    // The header of an archive without chunks, and any bytes not yet flushed, reach the
    // file only here.
    const bool closed = manifest.flush() && manifestFile.close();
    if (!closed) {
        std::cerr << "Could not write manifest.\n";
        return false;
    }
    printSummary(archive, scan, nextChunkNumber - 1, archiveFolderSize(folder));
    return true;
}
