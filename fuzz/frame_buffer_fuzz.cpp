// FrameBuffer fed in random chunks: every frame it returns must validate, and it
// must never hold more than its limit. Input: station, function, then chunks
// each preceded by its length byte.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "varek/protocol.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::uint8_t station = data[0];
    const std::uint8_t function = data[1];
    varek::FrameBuffer buffer;
    for (std::size_t at = 2; at < size;) {
        const std::size_t wanted = data[at++];
        const std::size_t length = std::min(wanted, size - at);
        buffer.append(varek::ByteView(data + at, length));
        at += length;
        if (buffer.bytes().size() > varek::FrameBuffer::limit) std::abort();
        for (;;) {
            try {
                const auto frame = buffer.next(station, function);
                if (!frame) break;
                varek::Modbus::validate(*frame, station, function);  // must not throw
            } catch (const varek::VarekError&) {
                // A rejected candidate is consumed; keep cutting.
            }
        }
    }
    return 0;
}
