#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "format/archive_folder.h"
#include "format/chunk_memory.h"
#include "format/record_reader.h"

// What one walk over a chunk's record stream found. The counts cover the records that
// passed before the walk stopped.
struct RecordWalk {
    std::uint64_t records = 0;      // directory and file records walked
    std::uint64_t fileRecords = 0;  // file records among them
    std::uint64_t fileBytes = 0;    // sum of the data lengths of the file records
    std::string failure;            // the message of the first damaged record; empty when all passed
    // An unsafe path too long to hold: the message is `failure` followed by these bytes of
    // the content, escaped. 0 when `failure` is whole.
    std::uint64_t unheldPathOffset = 0;
    std::uint64_t unheldPathLength = 0;
};

// Walks the records of `size` bytes of decompressed chunk content with every structural
// check, in record order. Prints nothing and never reads outside the content.
RecordWalk walkChunkRecords(const unsigned char* content, std::uint64_t size);

// The same walk over `size` bytes of content that arrive piece by piece, as they are
// decompressed: it keeps only the header and path of the record at hand, in `window`,
// which is reused from chunk to chunk and never grows past a header. A path longer than
// the window can hold with its header is judged as it passes. Once all the content has
// arrived, walk() is what walkChunkRecords gives on it whole, but for the text of such a
// path when it is unsafe (see RecordWalk).
class StreamedRecordWalk {
public:
    StreamedRecordWalk(std::uint64_t size, ChunkMemory& window);

    // Where the next bytes of the content go, and how many may go there (never 0).
    unsigned char* space();
    std::size_t room() const;
    // Walks the next `count` bytes of the content, just written at space(). Bytes after
    // the end of the walk are not looked at.
    void add(std::size_t count);

    const RecordWalk& walk() const { return walk_; }

private:
    void advance();

    ChunkMemory& window_;
    std::size_t filled_ = 0;  // bytes at the window's front: the reader's unconsumed ones
    RecordReader reader_;
    RecordWalk walk_;
    bool done_ = false;  // the walk ended, passed or failed
};

// Checks every chunk and record of the archive, writes the ".verified" marker and prints
// the summary. False after a reported failure.
bool verifyArchive(std::filesystem::path archive);
// The same for an archive folder already open, and locked as its caller needs.
bool verifyOpenArchive(const ArchiveFolder& archive);
