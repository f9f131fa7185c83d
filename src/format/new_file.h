#pragma once
// Files that pack creates: each one made by its own open, never one that was there
// before, so that nothing standing at the path is truncated or written through.

#include <streambuf>

#include "format/file_descriptor.h"

// Creates the file `name` in `folder` for writing; a descriptor that is not open, with errno
// set, when anything exists there (a dangling link included) or the file cannot be created.
FileDescriptor createNewFile(int folder, const char* name);

// The buffer of a text stream on a file made by createNewFile. What is buffered is
// written by a flush of the stream, by close() and, failures ignored, on destruction.
class NewFileBuffer : public std::streambuf {
public:
    NewFileBuffer(int folder, const char* name);
    ~NewFileBuffer() override;
    NewFileBuffer(const NewFileBuffer&) = delete;
    NewFileBuffer& operator=(const NewFileBuffer&) = delete;

    bool isOpen() const { return file_.isOpen(); }
    // Writes what is buffered and closes the file; false when that write or the close
    // fails. Earlier failures show in the stream's state.
    bool close();

protected:
    int_type overflow(int_type c) override;
    int sync() override;

private:
    bool writeBuffered();

    FileDescriptor file_;
    char buffer_[8192];
};
