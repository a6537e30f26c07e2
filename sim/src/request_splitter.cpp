#include "request_splitter.hpp"

namespace varek::sim {

std::size_t requestLength(ByteView bytes) {
    if (bytes.size() < 2) return 0;
    if (bytes[1] != Modbus::writeMultiple) return 8;  // 0x03, 0x06 and the other fixed-size requests
    if (bytes.size() < 7) return 0;
    return 9 + std::size_t{bytes[6]};
}

void RequestSplitter::append(ByteView bytes) {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    if (bytes_.size() > limit) {
        bytes_.erase(bytes_.begin(), bytes_.end() - static_cast<std::ptrdiff_t>(limit));
    }
}

std::optional<Bytes> RequestSplitter::next(bool gap) {
    std::size_t skip = 0;  // bytes found to be garbage, erased once at the end
    std::optional<Bytes> frame;
    while (bytes_.size() - skip >= 2) {
        const ByteView held(bytes_.data() + skip, bytes_.size() - skip);
        const std::size_t length = requestLength(held);
        if (length == 0 || held.size() < length) {
            if (!gap) break;
            ++skip;
            continue;
        }
        const ByteView candidate = held.first(length);
        const auto n = candidate.size();
        if (Modbus::crc(candidate.first(n - 2)) == (candidate[n - 2] | candidate[n - 1] << 8)) {
            frame = Bytes(candidate.begin(), candidate.end());
            skip += length;
            break;
        }
        ++skip;
    }
    if (gap && !frame && bytes_.size() - skip < 2) skip = bytes_.size();
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(skip));
    return frame;
}

}  // namespace varek::sim
