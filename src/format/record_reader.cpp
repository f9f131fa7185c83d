#include "format/record_reader.h"

#include <algorithm>

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
    if (stopped_ || dataToPass_ > 0) return false;
    if (pathToPass_ > 0) return passPath(record);
    if (offset_ == size_) return false;

    RecordView found;
    // Every bound compares a stored length with what remains of the stream, so no length
    // can wrap an offset; only then is the window asked to hold the bytes.
    const std::uint64_t left = size_ - offset_;
    const std::uint64_t inWindow = windowEnd_ - offset_;
    if (left < kRecordHeaderSize) {
        found.fault = RecordFault::DamagedHeader;
        return yield(found, record);
    }
    if (inWindow < kRecordHeaderSize) {
        wanted_ = kRecordHeaderSize;
        return false;
    }
    const RecordHeader header = decodeRecordHeader(at(offset_));
    found.type = header.type;
    found.dataLength = header.dataLength;
    found.pathOffset = offset_ + kRecordHeaderSize;
    found.pathLength = header.pathLength;
    if (header.pathLength > left - kRecordHeaderSize) {
        found.fault = RecordFault::DamagedPath;
        return yield(found, record);
    }
    if (header.pathLength > longestHeldPath_) {
        offset_ = found.pathOffset;
        pathToPass_ = header.pathLength;
        passing_ = found;
        pathScan_ = ArchivePathScan();
        return passPath(record);
    }
    if (inWindow - kRecordHeaderSize < header.pathLength) {
        wanted_ = kRecordHeaderSize + header.pathLength;
        return false;
    }
    found.path = std::string_view(reinterpret_cast<const char*>(at(found.pathOffset)), header.pathLength);
    offset_ = found.pathOffset + header.pathLength;
    // Judged before the type: an unsafe path is reported whatever the type says.
    if (!isSafeArchivePath(found.path)) {
        found.fault = RecordFault::UnsafePath;
    } else {
        judgeData(found);
    }
    return yield(found, record);
}

// Judges what of a long path has arrived; once it is whole and safe, the record goes on
// as any other.
bool RecordReader::passPath(RecordView& record) {
    const std::uint64_t passed = std::min(pathToPass_, windowEnd_ - offset_);
    pathScan_.add(std::string_view(reinterpret_cast<const char*>(at(offset_)), static_cast<std::size_t>(passed)));
    offset_ += passed;
    pathToPass_ -= passed;
    if (pathToPass_ > 0 && !pathScan_.failed()) {
        wanted_ = 1;
        return false;
    }
    RecordView found = passing_;
    if (!pathScan_.safe()) {
        found.fault = RecordFault::UnsafePath;
    } else {
        judgeData(found);
    }
    return yield(found, record);
}

// The type and data of a record whose safe path ends at the reader's offset.
void RecordReader::judgeData(RecordView& found) {
    if (found.type == static_cast<unsigned char>(RecordType::Directory)) return;  // no data, whatever its length says
    if (found.type != static_cast<unsigned char>(RecordType::File)) {
        found.fault = RecordFault::UnknownType;
    } else if (found.dataLength > size_ - offset_) {
        found.fault = RecordFault::DamagedData;
    } else {
        const std::uint64_t dataInWindow = std::min(found.dataLength, windowEnd_ - offset_);
        if (dataInWindow == found.dataLength) found.data = at(offset_);
        offset_ += dataInWindow;
        dataToPass_ = found.dataLength - dataInWindow;
    }
}

bool RecordReader::yield(const RecordView& found, RecordView& record) {
    stopped_ = found.fault != RecordFault::None;
    record = found;
    return true;
}
