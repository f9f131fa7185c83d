#include "format/new_file.h"

#include <fcntl.h>
#include <unistd.h>

FileDescriptor createNewFile(int folder, const char* name) {
    return FileDescriptor(::openat(folder, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
}

NewFileBuffer::NewFileBuffer(int folder, const char* name) : file_(createNewFile(folder, name)) {
    setp(buffer_, buffer_ + sizeof buffer_);
}

// As a file stream does, what was written reaches the file even when the run gives up.
NewFileBuffer::~NewFileBuffer() { writeBuffered(); }

bool NewFileBuffer::close() {
    const bool written = writeBuffered();
    return file_.isOpen() && file_.close() && written;
}

NewFileBuffer::int_type NewFileBuffer::overflow(int_type c) {
    if (!writeBuffered()) return traits_type::eof();
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    *pptr() = traits_type::to_char_type(c);
    pbump(1);
    return c;
}

int NewFileBuffer::sync() { return writeBuffered() ? 0 : -1; }

bool NewFileBuffer::writeBuffered() {
    const std::size_t pending = static_cast<std::size_t>(pptr() - pbase());
    // Dropped either way, so that a failed write is not retried with the next bytes.
    setp(buffer_, buffer_ + sizeof buffer_);
    if (pending == 0) return file_.isOpen();
    return file_.isOpen() && writeAll(file_.get(), buffer_, pending);
}
