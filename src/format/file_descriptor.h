#pragma once
// An open file descriptor that is closed when it goes out of scope.

#include <unistd.h>

#include <cstddef>
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

// Reads until at least `need` of `room` bytes have come or the file ends; `got` tells how
// many. Reads at least once, so that even a `need` of 0 sees what follows. An interrupted
// read is retried; false when a read fails.
bool readAtLeast(int fd, unsigned char* into, std::size_t need, std::size_t room, std::size_t& got);

// All `count` bytes to `fd`, a short or interrupted write continued; false when a write fails.
bool writeAll(int fd, const void* bytes, std::uint64_t count);
