#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

// What one walk over a chunk's record stream found. The counts cover the records that
// passed before the walk stopped.
struct RecordWalk {
    std::uint64_t records = 0;      // directory and file records walked
    std::uint64_t fileRecords = 0;  // file records among them
    std::uint64_t fileBytes = 0;    // sum of the data lengths of the file records
    std::string failure;            // the message of the first damaged record; empty when all passed
};

// Walks the records of `size` bytes of decompressed chunk content with every structural
// check, in record order. Prints nothing and never reads outside the content.
RecordWalk walkChunkRecords(const unsigned char* content, std::uint64_t size);

// Checks every chunk and record of the archive, writes the ".verified" marker and prints
// the summary. False after a reported failure.
bool verifyArchive(std::filesystem::path archive);
