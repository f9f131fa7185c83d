#include "format/record_reader.h"

#include "format/record.h"

bool RecordReader::next(RecordView& record) {
    if (stopped_ || offset_ == size_) return false;
    record = RecordView{};
    // Every bound compares a stored length with what remains, so no length can wrap an offset.
    const std::uint64_t left = size_ - offset_;
    if (left < kRecordHeaderSize) {
        record.fault = RecordFault::DamagedHeader;
    } else {
        const RecordHeader header = decodeRecordHeader(content_ + offset_);
        record.type = header.type;
        record.dataLength = header.dataLength;
        const std::uint64_t afterHeader = left - kRecordHeaderSize;
        const unsigned char* pathStart = content_ + offset_ + kRecordHeaderSize;
        if (header.pathLength > afterHeader) {
            record.fault = RecordFault::DamagedPath;
        } else {
            // Judged before the type: an unsafe path is reported whatever the type says.
            record.path = std::string_view(reinterpret_cast<const char*>(pathStart), header.pathLength);
            const std::uint64_t afterPath = afterHeader - header.pathLength;
            if (!isSafeArchivePath(record.path)) {
                record.fault = RecordFault::UnsafePath;
            } else if (header.type == static_cast<unsigned char>(RecordType::Directory)) {
                // A directory carries no data, whatever its data length says.
                offset_ += kRecordHeaderSize + header.pathLength;
            } else if (header.type != static_cast<unsigned char>(RecordType::File)) {
                record.fault = RecordFault::UnknownType;
            } else if (header.dataLength > afterPath) {
                record.fault = RecordFault::DamagedData;
            } else {
                record.data = pathStart + header.pathLength;
                offset_ += kRecordHeaderSize + header.pathLength + header.dataLength;
            }
        }
    }
    stopped_ = record.fault != RecordFault::None;
    return true;
}
