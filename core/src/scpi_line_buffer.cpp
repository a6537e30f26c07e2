#include "varek/scpi_line_buffer.hpp"

namespace varek {

void SCPILineBuffer::append(std::string_view bytes) {
    // Taken bytes are dropped only once they outnumber the held ones, so compaction
    // never moves more bytes than lines have taken: linear however many lines arrive.
    if (offset_ > 0 && offset_ >= data_.size() - offset_) {
        data_.erase(0, offset_);
        scan_ -= offset_;
        offset_ = 0;
    }
    data_.append(bytes);
}

SCPILineBuffer::Status SCPILineBuffer::next(std::string& out) {
    // Resume where the last call stopped, so a line arriving a byte at a time is scanned once.
    for (; scan_ < data_.size(); ++scan_) {
        const auto byte = static_cast<unsigned char>(data_[scan_]);
        if (byte == '\n') break;
        // The scan stays on the offending byte, so every later call rejects too.
        if (byte > 0x7F || scan_ - offset_ >= limit) return Status::reject;
    }
    if (scan_ == data_.size()) return Status::needMore;
    out.assign(data_, offset_, scan_ - offset_);
    offset_ = ++scan_;
    if (offset_ == data_.size()) {
        data_.clear();
        offset_ = scan_ = 0;
    }
    return Status::line;
}

void SCPILineBuffer::clear() noexcept {
    data_.clear();
    offset_ = scan_ = 0;
}

}  // namespace varek
