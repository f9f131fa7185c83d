#include "format/manifest.h"

#include <exception>
#include <fstream>
#include <iostream>
#include <string_view>
#include <system_error>
#include <unordered_set>

#include "format/archive_folder.h"
#include "format/escaped_text.h"

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

std::uint64_t toNumber(const std::string& field) { return std::stoull(field, nullptr, 10); }

}  // namespace

bool readManifest(fs::path archive, Manifest& manifest) {
    applyArchiveExtensionRule(archive);
    if (!isExistingDirectory(archive)) {
        std::cerr << "Archive does not exist: " << escapedQuoted(archive) << '\n';
        return false;
    }
    const fs::path manifestPath = archive / kManifestFileName;
    // A named pipe would block the open and a device would feed one endless line.
    std::error_code ignored;
    const fs::file_type type = fs::status(manifestPath, ignored).type();
    const bool special = type == fs::file_type::fifo || type == fs::file_type::character ||
                         type == fs::file_type::block || type == fs::file_type::socket;
    std::ifstream in;
    if (!special) in.open(manifestPath);
    if (!in.is_open()) {
        std::cerr << "Could not open archive manifest.\n";
        return false;
    }
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
                manifest.chunks.push_back(std::move(entry));
            }
        } catch (const std::exception&) {
            std::cerr << "Invalid manifest entry: " << escaped(line) << '\n';
            return false;
        }
    }
    if (manifest.chunks.empty()) {
        std::cerr << "Archive contains no chunks.\n";
        return false;
    }
    return true;
}

void writeManifestHeader(std::ostream& out, std::uint64_t totalBytes, std::uint64_t totalFiles) {
    out << kManifestMagic << '\n'
        << "TOTAL_BYTES|" << totalBytes << '\n'
        << "TOTAL_FILES|" << totalFiles << '\n'
        << "CHUNK_TARGET|" << kChunkTarget << '\n';
}

bool checkChunkNames(const Manifest& manifest) {
    std::unordered_set<std::string_view> seen;
    seen.reserve(manifest.chunks.size());
    for (const ChunkEntry& chunk : manifest.chunks) {
        const std::string& name = chunk.fileName;
        // The manifest and the marker share the folder with the chunks, and verify writes
        // the marker after reading the chunks: neither may pass for one.
        if (!isBareChunkName(name) || name == kManifestFileName || name == kMarkerFileName) {
            std::cerr << "Unsafe chunk name in manifest: " << escaped(name) << '\n';
            return false;
        }
        // Extract deletes a chunk once it is consumed; a second line for it would find it gone.
        if (!seen.insert(name).second) {
            std::cerr << "Chunk listed twice in manifest: " << escaped(name) << '\n';
            return false;
        }
    }
    return true;
}
