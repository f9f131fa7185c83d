#include "format/chunk_reader.h"

#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <memory>

namespace fs = std::filesystem;

namespace {

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

bool readAll(int fd, unsigned char* into, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd, into + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// A frame that declares less content than the manifest states can never fill it, so it
// is refused before the stated size is allocated. Frames that cannot be sized here are
// left to the decompressor, which names their fault.
bool declaresLessThan(const unsigned char* frame, std::size_t frameSize, std::uint64_t rawSize) {
    const unsigned long long declared = ZSTD_findDecompressedSize(frame, frameSize);
    if (declared == ZSTD_CONTENTSIZE_ERROR) return false;
    if (declared != ZSTD_CONTENTSIZE_UNKNOWN) return declared < rawSize;
    const unsigned long long bound = ZSTD_decompressBound(frame, frameSize);
    return bound != ZSTD_CONTENTSIZE_ERROR && bound < rawSize;
}

}  // namespace

bool readChunk(const fs::path& chunkPath, std::uint64_t rawSize, std::vector<unsigned char>& content) {
    // Non-blocking so that a named pipe cannot stall the open; it is refused below.
    FileDescriptor file(::open(chunkPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (file.get() < 0) {
        std::cerr << "Could not open chunk: " << chunkPath << '\n';
        return false;
    }
    struct stat info;
    if (::fstat(file.get(), &info) != 0) {
        std::cerr << "Could not determine chunk size: " << chunkPath << '\n';
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        std::cerr << "Could not open chunk: " << chunkPath << '\n';
        return false;
    }
    const std::size_t frameSize = static_cast<std::size_t>(info.st_size);
    std::unique_ptr<unsigned char[]> frame(new unsigned char[frameSize]);
    if (!readAll(file.get(), frame.get(), frameSize)) {
        std::cerr << "Could not read chunk: " << chunkPath << '\n';
        return false;
    }

    if (declaresLessThan(frame.get(), frameSize, rawSize)) {
        std::cerr << "Chunk decompressed to an unexpected size: " << chunkPath.filename() << '\n';
        return false;
    }
    content.resize(rawSize);
    const std::size_t produced = ZSTD_decompress(content.data(), rawSize, frame.get(), frameSize);
    if (ZSTD_isError(produced)) {
        std::cerr << "Decompression failed for " << chunkPath.filename() << ": "
                  << ZSTD_getErrorName(produced) << '\n';
        return false;
    }
    if (produced != rawSize) {
        std::cerr << "Chunk decompressed to an unexpected size: " << chunkPath.filename() << '\n';
        return false;
    }
    return true;
}
