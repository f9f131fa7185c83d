#include "format/record_reader.h"

#include <algorithm>

#include "format/record.h"

RecordReader::RecordReader(const unsigned char* content, std::uint64_t size) : size_(size) {
    feed(content, static_cast<std::size_t>(size));
}

void RecordReader::feed(const unsigned char* window, std::size_t size) {
    window_ = window;
    windowStart_ = offset_;
    windowEnd_ = offset_ + size;
}

bool RecordReader::next(RecordView& record) {
    const std::uint64_t passed = std::min(dataToPass_, windowEnd_ - offset_);
    offset_ += passed;
    dataToPass_ -= passed;
    wanted_ = dataToPass_ > 0 ? 1 : 0;
    if (stopped_ || dataToPass_ > 0 || offset_ == size_) return false;

    RecordView found;
    // Every bound compares a stored length with what remains of the stream, so no length
    // can wrap an offset; only then is the window asked to hold the bytes.
    const std::uint64_t left = size_ - offset_;
    const std::uint64_t inWindow = windowEnd_ - offset_;
    const unsigned char* at = window_ + (offset_ - windowStart_);
    if (left < kRecordHeaderSize) {
        found.fault = RecordFault::DamagedHeader;
    } else if (inWindow < kRecordHeaderSize) {
        wanted_ = kRecordHeaderSize;
        return false;
    } else {
        const RecordHeader header = decodeRecordHeader(at);
        found.type = header.type;
        found.dataLength = header.dataLength;
        const std::uint64_t afterHeader = left - kRecordHeaderSize;
        const unsigned char* pathStart = at + kRecordHeaderSize;
        if (header.pathLength > afterHeader) {
            found.fault = RecordFault::DamagedPath;
        } else if (inWindow - kRecordHeaderSize < header.pathLength) {
            wanted_ = kRecordHeaderSize + header.pathLength;
            return false;
        } else {
            // Judged before the type: an unsafe path is reported whatever the type says.
            found.path = std::string_view(reinterpret_cast<const char*>(pathStart), header.pathLength);
            const std::uint64_t afterPath = afterHeader - header.pathLength;
            if (!isSafeArchivePath(found.path)) {
                found.fault = RecordFault::UnsafePath;
            } else if (header.type == static_cast<unsigned char>(RecordType::Directory)) {
                // A directory carries no data, whatever its data length says.
                offset_ += kRecordHeaderSize + header.pathLength;
            } else if (header.type != static_cast<unsigned char>(RecordType::File)) {
                found.fault = RecordFault::UnknownType;
            } else if (header.dataLength > afterPath) {
                found.fault = RecordFault::DamagedData;
            } else {
                const std::uint64_t dataInWindow =
                    std::min(header.dataLength, inWindow - kRecordHeaderSize - header.pathLength);
                if (dataInWindow == header.dataLength) found.data = pathStart + header.pathLength;
                offset_ += kRecordHeaderSize + header.pathLength + dataInWindow;
                dataToPass_ = header.dataLength - dataInWindow;
            }
        }
    }
    stopped_ = found.fault != RecordFault::None;
    record = found;
    return true;
}
