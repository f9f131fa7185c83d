// Fuzz target: the chunk reader on arbitrary chunk files, whole and streamed. An input is
// the stated size (8 bytes, least significant first) followed by the chunk file's bytes.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "format/chunk_reader.h"
#include "fuzz_support.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kStatedSizeBytes = 8;
// Streaming stops here: enough to meet every fault of a small file's frames.
constexpr std::uint64_t kMostStreamed = std::uint64_t{1} << 28;

// One message line that names the chunk by its file name, as readChunk words a fault of
// a file it could read.
bool namesTheChunk(const std::string& message) {
    static const std::string kFailed = "Decompression failed for \"000001.zst\": ";
    static const std::string kSize = "Chunk decompressed to an unexpected size: \"000001.zst\"\n";
    if (message == kSize) return true;
    return message.size() > kFailed.size() + 1 && message.compare(0, kFailed.size(), kFailed) == 0 &&
           message.back() == '\n' && message.find('\n') == message.size() - 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < kStatedSizeBytes) return 0;
    std::uint64_t stated = 0;
    for (std::size_t i = kStatedSizeBytes; i-- > 0;) stated = stated << 8 | data[i];
    static const ArchiveFolder folder = [] {
        ArchiveFolder opened;
        if (!openArchiveFolder(fuzz_support::scratchFolder(), opened)) abort();
        return opened;
    }();
    static const std::string name = "000001.zst";
    static const fs::path chunk = folder.path() / name;
    {
        std::ofstream out(chunk, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data + kStatedSizeBytes),
                  static_cast<std::streamsize>(size - kStatedSizeBytes));
        if (!out) abort();
    }

    // Whole: exactly the stated size, or one message naming the chunk. The stated size is
    // never allocated unless the frames can fill it (libFuzzer's allocation limit).
    ChunkMemory content;
    bool whole = false;
    {
        const fuzz_support::QuietStreams quiet;
        whole = readChunk(folder, name, stated, content);
        if (whole ? content.size() != stated || !quiet.text().empty() : !namesTheChunk(quiet.text())) abort();
    }

    // Streamed in pieces of 1 to 4096 bytes drawn from the input, with one decoder for all
    // inputs as verify keeps one for all chunks: a chunk it takes for clean is one readChunk
    // reads to the same bytes, and any other gets one message naming the chunk.
    static ChunkStream stream;
    const fuzz_support::QuietStreams quiet;
    if (!stream.open(folder, name, stated)) abort();
    std::minstd_rand split(static_cast<std::uint32_t>(std::hash<std::string_view>()(
        std::string_view(reinterpret_cast<const char*>(data), size))));
    std::vector<unsigned char> piece(4096);
    std::uint64_t produced = 0;
    bool same = true;
    ChunkStream::Status status = ChunkStream::Status::More;
    while (status == ChunkStream::Status::More && produced <= kMostStreamed) {
        std::size_t count = 0;
        status = stream.decompress(piece.data(), 1 + split() % piece.size(), count);
        if (count > stated - produced) abort();
        same = same && whole && (count == 0 || std::memcmp(piece.data(), content.data() + produced, count) == 0);
        produced += count;
    }
    if (status == ChunkStream::Status::Ended && !(whole && same && produced == stated && quiet.text().empty())) abort();
    if (status == ChunkStream::Status::Failed && !namesTheChunk(quiet.text())) abort();
    return 0;
}
