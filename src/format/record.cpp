#include "format/record.h"

#include <stdexcept>

namespace {

void putLittleEndian(unsigned char* at, std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

std::uint64_t getLittleEndian(const unsigned char* at, int width) {
    std::uint64_t value = 0;
    for (int i = width - 1; i >= 0; --i) value = (value << 8) | at[i];
    return value;
}

}  // namespace

RecordHeader decodeRecordHeader(const unsigned char* at) {
    RecordHeader header;
    header.type = at[0];
    header.pathLength = static_cast<std::uint32_t>(getLittleEndian(at + 1, 4));
    header.dataLength = getLittleEndian(at + 5, 8);
    return header;
}

void appendRecordHeader(std::vector<unsigned char>& buffer, RecordType type,
                        const std::string& path, std::uint64_t dataSize) {
    // Tested before anything is appended, so a refused path leaves the buffer as it was.
    if (path.size() > kMaxRecordPathLength) throw std::runtime_error("Archive path is too long.");
    unsigned char header[kRecordHeaderSize];
    header[0] = static_cast<unsigned char>(type);
    putLittleEndian(header + 1, path.size(), 4);
    putLittleEndian(header + 5, dataSize, 8);
    buffer.insert(buffer.end(), header, header + kRecordHeaderSize);
    buffer.insert(buffer.end(), path.begin(), path.end());
}

bool pathHasNoParentRef(std::string_view text) {
    // Scans the text instead of iterating path elements: on Linux an element is a run of
    // bytes between "/", and only an element of exactly ".." counts.
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('/', start);
        if (end == std::string_view::npos) end = text.size();
        if (end - start == 2 && text[start] == '.' && text[start + 1] == '.') return false;
        start = end + 1;
    }
    return true;
}

bool isSafeArchivePath(std::string_view text) {
    // A NUL byte would cut the name short where the system uses it ("..\0x" becomes "..").
    return !text.empty() && text.front() != '/' && pathHasNoParentRef(text) &&
           text.find('\0') == std::string_view::npos;
}

void ArchivePathScan::add(std::string_view piece) {
    if (piece.empty() || failed_) return;
    if (!started_) {
        started_ = true;
        failed_ = piece.front() == '/';
    }
    if (piece.find('\0') != std::string_view::npos) failed_ = true;
    for (std::size_t at = 0; !failed_ && at < piece.size();) {
        std::size_t end = piece.find('/', at);
        const bool elementEnds = end != std::string_view::npos;
        if (!elementEnds) end = piece.size();
        // Only the first three bytes of an element can decide whether it is "..".
        for (std::size_t i = at; i < end && dots_ < 3; ++i)
            dots_ = piece[i] == '.' ? static_cast<unsigned char>(dots_ + 1) : 3;
        if (!elementEnds) break;
        failed_ = dots_ == 2;
        dots_ = 0;
        at = end + 1;
    }
}
