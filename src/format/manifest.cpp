#include "format/manifest.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <iostream>
#include <sstream>
#include <string_view>
#include <system_error>
#include <unordered_set>

#include "format/archive_folder.h"
#include "format/escaped_text.h"
#include "format/file_descriptor.h"

namespace fs = std::filesystem;

namespace {

// Fields between "|" separators, each possibly empty; a separator at the very end of
// the line adds no empty last field, as std::getline with "|" as delimiter splits it.
void splitFields(const std::string& line, std::vector<std::string>& fields) {
    fields.clear();
    std::size_t start = 0;
    while (start < line.size()) {
        std::size_t end = line.find('|', start);
        if (end == std::string::npos) end = line.size();
        fields.emplace_back(line, start, end - start);
        start = end + 1;
    }
}

// The whole content of the regular file `name` in `folder`, a link to one followed; false
// when it cannot be opened or read, or is anything else.
bool readRegularFile(int folder, const char* name, std::string& text) {
    const FileDescriptor file(::openat(folder, name, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat info {};
    if (!file.isOpen() || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
    text.clear();
    unsigned char block[65536];
    for (;;) {
        std::size_t got = 0;
        if (!readAtLeast(file.get(), block, sizeof block, sizeof block, got)) return false;
        text.append(reinterpret_cast<const char*>(block), got);
        if (got < sizeof block) return true;
    }
}

std::uint64_t toNumber(const std::string& field) { return std::stoull(field, nullptr, 10); }

}  // namespace

bool readManifest(const ArchiveFolder& folder, Manifest& manifest) {
    return readManifestLines(folder, manifest) && requireChunks(manifest);
}

bool requireChunks(const Manifest& manifest) {
    if (!manifest.chunks.empty()) return true;
    std::cerr << "Archive contains no chunks.\n";
    return false;
}

bool readManifestLines(const ArchiveFolder& folder, Manifest& manifest) {
    // Judged on what was opened, without blocking: a named pipe put there at any moment
    // cannot stall the run, and a device cannot feed it one endless line.
    std::string text;
    if (!readRegularFile(folder.fd(), kManifestFileName, text)) {
        std::cerr << "Could not open archive manifest.\n";
        return false;
    }
    std::istringstream in(std::move(text));
    std::string line;
    if (!std::getline(in, line) || line != kManifestMagic) {
        std::cerr << "Unsupported or damaged HLG manifest.\n";
        return false;
    }
    manifest = Manifest{};
    std::vector<std::string> fields;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        splitFields(line, fields);
        if (fields.size() < 2) continue;
        try {
            const std::string& key = fields[0];
            if (key == "TOTAL_BYTES") {
                manifest.totalBytes = toNumber(fields[1]);
            } else if (key == "TOTAL_FILES") {
                manifest.totalFiles = toNumber(fields[1]);
            } else if (fields.size() >= 4 && key == "CHUNK") {
                ChunkEntry entry;
                entry.fileName = fields[1];
                entry.rawSize = toNumber(fields[2]);
                entry.recordCount = toNumber(fields[3]);
                entry.line = line;
                manifest.chunks.push_back(std::move(entry));
            } else if (key == "CONSUMED") {
                manifest.consumed.push_back(fields[1]);
            }
        } catch (const std::exception&) {
            std::cerr << "Invalid manifest entry: " << escaped(line) << '\n';
            return false;
        }
    }
    return true;
}

void writeManifestHeader(std::ostream& out, std::uint64_t totalBytes, std::uint64_t totalFiles) {
    out << kManifestMagic << '\n'
        << "TOTAL_BYTES|" << totalBytes << '\n'
        << "TOTAL_FILES|" << totalFiles << '\n'
        << "CHUNK_TARGET|" << kChunkTarget << '\n';
}

std::string replacementManifestText(std::uint64_t totalBytes, std::uint64_t totalFiles,
                                    const std::vector<ChunkEntry>& chunks, std::size_t retired) {
    std::ostringstream out;
    writeManifestHeader(out, totalBytes, totalFiles);
    for (std::size_t i = retired + 1; i < chunks.size(); ++i) out << chunks[i].line << '\n';
    out << "CONSUMED|" << chunks[retired].fileName << '\n';
    return std::move(out).str();
}

namespace {

// The manifest, its replacement and the marker share the folder with the chunks, and are
// written after chunks are read: none may pass for one.
bool checkChunkName(const std::string& name) {
    if (isBareChunkName(name) && name != kManifestFileName && name != kManifestReplacementName &&
        name != kMarkerFileName)
        return true;
    std::cerr << "Unsafe chunk name in manifest: " << escaped(name) << '\n';
    return false;
}

}  // namespace

bool checkConsumedNames(const Manifest& manifest) {
    for (const std::string& name : manifest.consumed) {
        if (!checkChunkName(name)) return false;
    }
    return true;
}

bool checkChunkNames(const Manifest& manifest) {
    std::unordered_set<std::string_view> seen;
    seen.reserve(manifest.chunks.size());
    for (const ChunkEntry& chunk : manifest.chunks) {
        const std::string& name = chunk.fileName;
        if (!checkChunkName(name)) return false;
        // Extract deletes a chunk once it is consumed; a second line for it would find it gone.
        if (!seen.insert(name).second) {
            std::cerr << "Chunk listed twice in manifest: " << escaped(name) << '\n';
            return false;
        }
    }
    return true;
}
