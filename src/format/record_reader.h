#pragma once
// Reads the record stream of one decompressed chunk, record after record, never outside
// the bytes it is given. It judges the structure; what a fault is called, and every
// further check, is the reading command's. The stream is given whole, or in windows as it
// is decompressed; every bound is judged against what remains of the whole stream, so both
// ways yield the same records and the same first fault. Given in windows, it waits for no
// more than a bounded path: a longer one is judged as its bytes pass.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>

#include "format/record.h"

// What is wrong with a record, in the order the reader looks.
enum class RecordFault {
    None,
    DamagedHeader,  // fewer than 13 bytes remain
    DamagedPath,    // the path runs past the end
    UnsafePath,     // the path fails the safety test
    UnknownType,    // a type byte that is neither file nor directory
    DamagedData,    // a file's data run past the end
};

// True for the faults found before a record's path is known to be whole and safe
// (header, path, safety): a reader reports them before it looks at where the path leads.
inline bool isPathFault(RecordFault fault) {
    return fault == RecordFault::DamagedHeader || fault == RecordFault::DamagedPath ||
           fault == RecordFault::UnsafePath;
}

struct RecordView {
    RecordFault fault = RecordFault::None;
    unsigned char type = 0;             // as stored
    std::string_view path;              // as stored; set from UnsafePath on, unless the
                                        // path was too long to hold (then empty)
    std::uint64_t pathOffset = 0;       // in the stream, of the path's first byte
    std::uint32_t pathLength = 0;       // as stored; set from DamagedPath on
    std::uint64_t dataLength = 0;       // as stored, for directories too
    const unsigned char* data = nullptr;  // a file record's data when the window holds it
                                          // whole (always, given the whole stream), else null
};

// The bytes given must outlive the reader and the views it gives; a window's, until the
// next window is given.
class RecordReader {
public:
    // The whole stream: `content` holds all of its `size` bytes.
    RecordReader(const unsigned char* content, std::uint64_t size);
    // A stream of `size` bytes that arrives in windows through feed(). A path longer than
    // `longestHeldPath` bytes is never waited for whole: it is judged as it passes.
    RecordReader(std::uint64_t size, std::uint64_t longestHeldPath)
        : size_(size), longestHeldPath_(longestHeldPath) {}

    // The next window, `size` bytes: the unconsumed() bytes of the last one, then the
    // stream's next bytes.
    void feed(const unsigned char* window, std::size_t size);

    // The next record, or the first fault (after which there is nothing more). False at
    // the end of the stream, after a fault, and while the window holds too little of the
    // record at hand (wanted() then says how much). A file's data need not be in the
    // window: what is not is passed over as it arrives.
    bool next(RecordView& record);

    // How many bytes, from the first unconsumed one, a window must hold for the reader to
    // go on; 0 when it is not waiting. Never more than what remains of the stream, nor
    // more than a header and the longest path held.
    std::uint64_t wanted() const { return wanted_; }
    // The bytes at the end of the window that the reader has not consumed.
    std::size_t unconsumed() const { return static_cast<std::size_t>(windowEnd_ - offset_); }

private:
    bool passPath(RecordView& record);
    void judgeData(RecordView& found);
    bool yield(const RecordView& found, RecordView& record);
    const unsigned char* at(std::uint64_t offset) const { return window_ + (offset - windowStart_); }

    std::uint64_t size_;                      // of the whole stream
    std::uint64_t longestHeldPath_ = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t offset_ = 0;                // in the stream, of the first byte not consumed
    const unsigned char* window_ = nullptr;
    std::uint64_t windowStart_ = 0;           // in the stream, of the window's first byte
    std::uint64_t windowEnd_ = 0;             // in the stream, just past the window
    std::uint64_t dataToPass_ = 0;            // of the last file record, not yet arrived
    std::uint64_t pathToPass_ = 0;            // of a path judged in passing, not yet arrived
    RecordView passing_;                      // the record whose path is passing
    ArchivePathScan pathScan_;
    std::uint64_t wanted_ = 0;
    bool stopped_ = false;
};
