#include "format/chunk_writer.h"

#include <zstd.h>

#include <iostream>
#include <memory>
#include <new>

#include "format/chunk_memory.h"
#include "format/escaped_text.h"
#include "format/new_file.h"

namespace {

constexpr int kCompressionLevel = 3;
constexpr std::size_t kMinChunkNumberDigits = 6;

}  // namespace

std::string chunkFileName(std::uint64_t number) {
    std::string digits = std::to_string(number);
    if (digits.size() < kMinChunkNumberDigits) digits.insert(0, kMinChunkNumberDigits - digits.size(), '0');
    return digits + ".zst";
}

bool flushChunk(ChunkWriter& writer) {
    if (writer.buffer.empty()) return true;
    const std::string name = chunkFileName(writer.nextChunkNumber);
    const std::filesystem::path chunkPath = writer.archive.path() / name;
    const std::size_t rawSize = writer.buffer.size();

    const std::size_t bound = ZSTD_compressBound(rawSize);
    if (ZSTD_isError(bound)) {
        std::cerr << "Compression failed: " << ZSTD_getErrorName(bound) << '\n';
        return false;
    }
    // The frame carries the checksum of its content, so that verify catches a flipped bit
    // before extract consumes the only good copy.
    const std::unique_ptr<ZSTD_CCtx, decltype(&ZSTD_freeCCtx)> context(ZSTD_createCCtx(),
                                                                       &ZSTD_freeCCtx);
    if (!context) throw std::bad_alloc();
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, kCompressionLevel);
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_checksumFlag, 1);
    // Left uninitialised: the compressor writes every byte that is kept.
    ChunkMemory compressed(bound);
    const std::size_t compressedSize =
        ZSTD_compress2(context.get(), compressed.data(), bound, writer.buffer.data(), rawSize);
    if (ZSTD_isError(compressedSize)) {
        std::cerr << "Compression failed: " << ZSTD_getErrorName(compressedSize) << '\n';
        return false;
    }

    // Created here and nowhere else: a file already at the path, or a link, is refused
    // rather than overwritten or written through.
    FileDescriptor out = createNewFile(writer.archive.fd(), name.c_str());
    if (!out.isOpen()) {
        std::cerr << "Could not create chunk: " << escapedQuoted(chunkPath) << '\n';
        return false;
    }
    // A chunk that fails to close must not get a manifest line either.
    const bool written = writeAll(out.get(), compressed.data(), compressedSize) && out.close();
    compressed = ChunkMemory();
    if (!written) {
        std::cerr << "Could not write chunk: " << escapedQuoted(chunkPath) << '\n';
        return false;
    }

    writer.manifest << "CHUNK|" << name << '|' << rawSize << '|' << writer.recordsInBuffer << '\n';
    writer.manifest.flush();
    if (!writer.manifest) {
        std::cerr << "Could not write manifest.\n";
        return false;
    }

    writer.buffer.clear();
    writer.recordsInBuffer = 0;
    ++writer.nextChunkNumber;
    return true;
}
