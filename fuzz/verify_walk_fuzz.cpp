// Fuzz target: the record reader, and verify's walk over it, on arbitrary decompressed
// chunk content, given whole and streamed in pieces.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <sstream>
#include <string_view>
#include <vector>

#include "commands/verify.h"
#include "format/escaped_text.h"
#include "format/record_reader.h"

namespace {

bool inside(const void* at, std::uint64_t length, const std::vector<unsigned char>& content) {
    const auto* begin = content.data();
    const auto* p = static_cast<const unsigned char*>(at);
    return p >= begin && p <= begin + content.size() &&
           length <= static_cast<std::uint64_t>(begin + content.size() - p);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A copy of exactly the input's size, so that any read past the content is caught.
    const std::vector<unsigned char> content(data, data + size);

    // Every view the reader gives lies inside the content, and nothing follows a fault.
    RecordReader reader(content.data(), content.size());
    RecordView record;
    bool faulted = false;
    while (reader.next(record)) {
        if (faulted) abort();
        faulted = record.fault != RecordFault::None;
        if (!record.path.empty() && !inside(record.path.data(), record.path.size(), content)) abort();
        if (record.data != nullptr && !inside(record.data, record.dataLength, content)) abort();
    }

    const RecordWalk walk = walkChunkRecords(content.data(), content.size());
    // Every record that passed lies inside the content, so neither total can exceed it.
    if (walk.fileRecords > walk.records || walk.fileBytes > size) abort();
    if (walk.failure.empty() && size > 0 && walk.records == 0) abort();
    // Verify adds a check of its own (directory data), so only one way holds.
    if (faulted && walk.failure.empty()) abort();

    // The same content streamed in pieces of 1 to 64 bytes through a window of 1 to 16
    // bytes (13 at least, so most paths pass through it), both drawn from the input, gives
    // the same walk; an unsafe path that passed is shown from its bytes in pieces of 1 to 8.
    std::minstd_rand split(static_cast<std::uint32_t>(std::hash<std::string_view>()(
        std::string_view(reinterpret_cast<const char*>(data), size))));
    ChunkMemory window(1 + split() % 16);
    StreamedRecordWalk walker(size, window);
    for (std::size_t given = 0; given < size;) {
        const std::size_t piece = std::min({walker.room(), std::size_t{1 + split() % 64}, size - given});
        std::memcpy(walker.space(), content.data() + given, piece);
        walker.add(piece);
        given += piece;
    }
    const RecordWalk& streamed = walker.walk();
    std::ostringstream shown;
    shown << streamed.failure;
    EscapedStream pathText(shown);
    for (std::uint64_t at = 0; at < streamed.unheldPathLength;) {
        const std::uint64_t piece = std::min<std::uint64_t>(1 + split() % 8, streamed.unheldPathLength - at);
        pathText.write(std::string_view(reinterpret_cast<const char*>(data) + streamed.unheldPathOffset + at,
                                        static_cast<std::size_t>(piece)));
        at += piece;
    }
    pathText.finish();
    if (shown.str() != walk.failure || streamed.records != walk.records ||
        streamed.fileRecords != walk.fileRecords || streamed.fileBytes != walk.fileBytes)
        abort();
    return 0;
}
