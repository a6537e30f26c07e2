// SCPILineBuffer fed in fuzzer-chosen pieces, checked against a plain model of the
// bytes not yet taken. Input: pieces, each preceded by its length byte; a length
// byte of 0 is followed by a byte and a count, and appends (count + 1) * 64 copies
// of that byte, so lines longer than the limit are cheap to reach.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "varek/scpi_line_buffer.hpp"

namespace {

using varek::SCPILineBuffer;

void check(bool condition) {
    if (!condition) __builtin_trap();
}

bool ascii(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) <= 0x7F; });
}

/// Takes every line the buffer gives and checks each answer against `pending`, the
/// bytes appended and not yet taken. Returns false once the buffer rejects.
bool drain(SCPILineBuffer& buffer, std::string& pending) {
    std::string line;
    for (;;) {
        const auto status = buffer.next(line);
        const auto lf = pending.find('\n');
        const std::string_view head = std::string_view(pending).substr(0, lf);
        const bool badHead = !ascii(head) || head.size() > SCPILineBuffer::limit;
        if (status == SCPILineBuffer::Status::reject) {
            check(badHead);
            std::string ignored;
            check(buffer.next(ignored) == SCPILineBuffer::Status::reject);  // sticky
            return false;
        }
        check(!badHead);
        if (status == SCPILineBuffer::Status::needMore) {
            check(lf == std::string::npos);
            return true;
        }
        check(line.find('\n') == std::string::npos && ascii(line) && line.size() <= SCPILineBuffer::limit);
        check(lf != std::string::npos && line == head);
        pending.erase(0, lf + 1);
        check(buffer.size() == pending.size());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    SCPILineBuffer buffer;
    std::string pending;
    for (std::size_t at = 0; at < size;) {
        std::string piece;
        const std::size_t length = data[at++];
        if (length == 0) {
            if (size - at < 2) break;
            piece.assign((data[at + 1] + 1u) * 64u, static_cast<char>(data[at]));
            at += 2;
        } else {
            const std::size_t taken = std::min(length, size - at);
            piece.assign(reinterpret_cast<const char*>(data + at), taken);
            at += taken;
        }
        buffer.append(piece);
        pending += piece;
        check(buffer.size() == pending.size());
        check(buffer.wantsMore() == (pending.size() < SCPILineBuffer::limit));
        if (!drain(buffer, pending)) {
            buffer.clear();
            pending.clear();
            check(buffer.size() == 0 && buffer.wantsMore());
        }
    }
    return 0;
}
