#pragma once
// Turns the filled chunk buffer into the next numbered Zstandard chunk file and
// appends its "CHUNK" line to the manifest.

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "format/archive_folder.h"

// What pack hands to every flush: references to objects that pack owns and that
// must outlive the writer. A failed flush leaves all of them unchanged.
struct ChunkWriter {
    std::vector<unsigned char>& buffer;     // whole records appended since the last flush
    std::uint64_t& nextChunkNumber;         // number of the next chunk file, from 1
    const ArchiveFolder& archive;           // the archive folder, created and held open
    std::ostream& manifest;                 // the open "manifest.txt"
    std::uint64_t& recordsInBuffer;         // records in the buffer
};

// "000001.zst": the number padded with zeros to at least six digits.
std::string chunkFileName(std::uint64_t number);

// Writes the buffer as the next chunk file, which it creates and which must not exist
// (nothing for an empty buffer), appends and flushes its manifest line, then empties the
// buffer keeping its capacity.
bool flushChunk(ChunkWriter& writer);
