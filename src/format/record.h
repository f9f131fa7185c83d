#pragma once
// The record stream inside a chunk. A record is a 13-byte header, type (1 byte),
// path length (4 bytes), data length (8 bytes), both lengths little-endian, then the
// path bytes and, for a file record only, the data bytes.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

enum class RecordType : unsigned char {
    File = 0,
    Directory = 1,
};

constexpr std::uint64_t kRecordHeaderSize = 13;
constexpr std::uint64_t kMaxRecordPathLength = 4294967295ULL;

// The three header fields as stored; `type` may hold any byte, readers judge it.
struct RecordHeader {
    unsigned char type = 0;
    std::uint32_t pathLength = 0;
    std::uint64_t dataLength = 0;
};

// Decodes the header that starts at `at`. The caller guarantees 13 readable bytes.
RecordHeader decodeRecordHeader(const unsigned char* at);

// Appends header and path (never data) to `buffer`. Throws std::runtime_error
// "Archive path is too long." and appends nothing when the path exceeds 32 bits.
void appendRecordHeader(std::vector<unsigned char>& buffer, RecordType type,
                        const std::string& path, std::uint64_t dataSize);

// True when a record path may be used under a destination folder: not empty, no root
// directory, no ".." element, no NUL byte. It takes the text as stored, without building a
// path: on Linux a path has a root directory exactly when its text begins with "/".
bool isSafeArchivePath(std::string_view text);

// False when one of the path's elements is exactly "..".
bool pathHasNoParentRef(std::string_view text);

// The same test on a path whose bytes arrive in pieces, holding none of them: add() each
// piece in order, then safe() gives what isSafeArchivePath gives on the whole text.
class ArchivePathScan {
public:
    void add(std::string_view piece);
    // True once the bytes so far make the path unsafe, whatever follows.
    bool failed() const { return failed_; }
    // The verdict on the whole path, once all of it has been added.
    bool safe() const { return !failed_ && started_ && dots_ != 2; }

private:
    bool started_ = false;
    bool failed_ = false;
    unsigned char dots_ = 0;  // the current element's length while it is all dots; 3 once not
};
