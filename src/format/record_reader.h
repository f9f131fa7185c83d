#pragma once
// Reads the record stream of one decompressed chunk, record after record, never outside
// the bytes it is given. It judges the structure; what a fault is called, and every
// further check, is the reading command's.

#include <cstdint>
#include <string_view>

// What is wrong with a record, in the order the reader looks.
enum class RecordFault {
    None,
    DamagedHeader,  // fewer than 13 bytes remain
    DamagedPath,    // the path runs past the end
    UnsafePath,     // the path fails the safety test
    UnknownType,    // a type byte that is neither file nor directory
    DamagedData,    // a file's data run past the end
};

struct RecordView {
    RecordFault fault = RecordFault::None;
    unsigned char type = 0;             // as stored
    std::string_view path;              // as stored; set from UnsafePath on
    std::uint64_t dataLength = 0;       // as stored, for directories too
    const unsigned char* data = nullptr;  // a whole file record's data, else null
};

// The content must outlive the reader and the views it gives.
class RecordReader {
public:
    RecordReader(const unsigned char* content, std::uint64_t size) : content_(content), size_(size) {}

    // The next record, or the first fault (after which there is nothing more). False at
    // the end of the stream and after a fault.
    bool next(RecordView& record);

private:
    const unsigned char* content_;
    std::uint64_t size_;
    std::uint64_t offset_ = 0;
    bool stopped_ = false;
};
