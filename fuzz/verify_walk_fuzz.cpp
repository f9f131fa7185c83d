// Fuzz target: verify's record walk on arbitrary decompressed chunk content.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "commands/verify.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A copy of exactly the input's size, so that any read past the content is caught.
    const std::vector<unsigned char> content(data, data + size);
    const RecordWalk walk = walkChunkRecords(content.data(), content.size());
    // Every record that passed lies inside the content, so neither total can exceed it.
    if (walk.fileRecords > walk.records || walk.fileBytes > size) abort();
    if (walk.failure.empty() && size > 0 && walk.records == 0) abort();
    return 0;
}
