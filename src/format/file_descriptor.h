#pragma once
// An open file descriptor that is closed when it goes out of scope.

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <utility>

class FileDescriptor {
public:
    // Takes ownership of `fd`; a negative value stands for a failed open.
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) {
            if (fd_ >= 0) ::close(fd_);
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }

    bool isOpen() const noexcept { return fd_ >= 0; }
    int get() const noexcept { return fd_; }
    // Closes now; false when closing reports an error (data that did not reach the file).
    bool close() noexcept { return ::close(std::exchange(fd_, -1)) == 0; }
    // Hands the descriptor to another owner; this one holds none afterwards.
    int release() noexcept { return std::exchange(fd_, -1); }

private:
    int fd_;
};

// All `count` bytes to `file`, a short write continued; false when a write fails.
inline bool writeAll(const FileDescriptor& file, const unsigned char* bytes, std::uint64_t count) {
    while (count > 0) {
        const ssize_t n = ::write(file.get(), bytes, static_cast<std::size_t>(count));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        count -= static_cast<std::uint64_t>(n);
    }
    return true;
}
