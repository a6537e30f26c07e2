// Reply validation, register decoding, write echoes and typed-number parsing on
// arbitrary bytes. The first byte picks the operation and its parameters.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "varek/protocol.hpp"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

void run(std::uint8_t selector, varek::ByteView rest) {
    using namespace varek;
    const std::uint8_t station = rest.empty() ? 1 : rest[0];
    switch (selector % 4) {
    case 0:
        Modbus::validate(rest, station, static_cast<std::uint8_t>(selector >> 2));
        check(rest.size() >= 5 && rest[0] == station);
        break;
    case 1: {
        const int count = selector >> 2;
        const auto values = Modbus::registers(rest, station, count);
        check(values.size() == static_cast<std::size_t>(count) && rest.size() == 5u + 2 * values.size());
        break;
    }
    case 2: {
        const std::size_t split = rest.empty() ? 0 : rest[0] % (rest.size() + 1);
        Modbus::writeAcknowledgement(rest.subspan(split), rest.first(split));
        check(rest.size() - split == 8);
        break;
    }
    default: {
        const double maximum = (selector >> 2) + 0.5;
        const std::string_view text(reinterpret_cast<const char*>(rest.data()), rest.size());
        const std::uint16_t value = Modbus::centiUnits(text, maximum);
        check(value <= maximum * 100 + 1e-6);
    }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    try {
        run(data[0], varek::ByteView(data + 1, size - 1));
    } catch (const varek::VarekError&) {
    }
    return 0;
}
