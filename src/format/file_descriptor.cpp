#include "format/file_descriptor.h"

#include <cerrno>

bool readAtLeast(int fd, unsigned char* into, std::size_t need, std::size_t room, std::size_t& got) {
    got = 0;
    for (;;) {
        const ssize_t n = ::read(fd, into + got, room - got);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
            if (got >= need) return true;
        } else if (n == 0) {
            return true;
        } else if (errno != EINTR) {
            return false;
        }
    }
}

bool writeAll(int fd, const void* bytes, std::uint64_t count) {
    const auto* at = static_cast<const unsigned char*>(bytes);
    while (count > 0) {
        const ssize_t n = ::write(fd, at, static_cast<std::size_t>(count));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        at += n;
        count -= static_cast<std::uint64_t>(n);
    }
    return true;
}
