#include "varek/protocol.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>

#include "varek/device.hpp"

namespace varek {
namespace Modbus {
namespace {

constexpr std::uint8_t exceptionBit = 0x80;

void pushWord(Bytes& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
}

// White space and line breaks in UTF-8, Unicode's as well as ASCII's: text typed on
// a Chinese keyboard can carry an ideographic or no-break space around the number.
constexpr std::string_view unicodeSpaces[] = {
    "\u0085", "\u00A0", "\u1680", "\u2000", "\u2001", "\u2002", "\u2003", "\u2004", "\u2005",
    "\u2006", "\u2007", "\u2008", "\u2009", "\u200A", "\u2028", "\u2029", "\u202F", "\u205F",
    "\u3000"};

bool isAsciiSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view trim(std::string_view text) {
    for (bool trimmed = true; trimmed;) {
        trimmed = false;
        while (!text.empty() && isAsciiSpace(text.front())) text.remove_prefix(1);
        while (!text.empty() && isAsciiSpace(text.back())) text.remove_suffix(1);
        for (std::string_view space : unicodeSpaces) {
            if (text.starts_with(space)) text.remove_prefix(space.size()), trimmed = true;
            if (text.ends_with(space)) text.remove_suffix(space.size()), trimmed = true;
        }
    }
    return text;
}

// Whole-text decimal parse; hexadecimal floats are not "typed numbers".
std::optional<double> parseDecimal(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    double value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value,
                                     std::chars_format::general);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// The maximum "as an integer", truncated; a maximum no integer can hold reads 0
// rather than being converted with undefined behaviour.
long long wholePart(double value) {
    return std::isfinite(value) && std::fabs(value) < 9.0e18 ? static_cast<long long>(value) : 0;
}

}  // namespace

std::uint16_t crc(ByteView bytes) noexcept {
    std::uint16_t value = 0xFFFF;
    for (std::uint8_t byte : bytes) {
        value ^= byte;
        for (int bit = 0; bit < 8; ++bit) {
            value = (value & 1) ? static_cast<std::uint16_t>((value >> 1) ^ 0xA001)
                                : static_cast<std::uint16_t>(value >> 1);
        }
    }
    return value;
}

Bytes framed(ByteView body) {
    Bytes frame(body.begin(), body.end());
    const std::uint16_t check = crc(body);
    frame.push_back(static_cast<std::uint8_t>(check & 0xFF));
    frame.push_back(static_cast<std::uint8_t>(check >> 8));
    return frame;
}

void validateStation(std::uint8_t station) {
    if (!Supply::validStation(station)) throw VarekError::invalid("站号须为 1–247。");
}

Bytes read(std::uint8_t station, std::uint16_t start, std::uint16_t count) {
    validateStation(station);
    if (count == 0 || count > 125 || std::uint32_t{start} + count > 65536) {
        throw VarekError::invalid("读取范围无效。");
    }
    Bytes body{station, readHolding};
    pushWord(body, start);
    pushWord(body, count);
    return framed(body);
}

Bytes write(std::uint8_t station, std::uint16_t reg, std::uint16_t value) {
    validateStation(station);
    Bytes body{station, writeSingle};
    pushWord(body, reg);
    pushWord(body, value);
    return framed(body);
}

Bytes multiple(std::uint8_t station, std::uint16_t start, std::span<const std::uint16_t> values) {
    validateStation(station);
    if (values.empty() || values.size() > 123 || std::uint32_t{start} + values.size() > 65536) {
        throw VarekError::invalid("写入范围无效。");
    }
    const auto count = static_cast<std::uint16_t>(values.size());
    Bytes body{station, writeMultiple};
    pushWord(body, start);
    pushWord(body, count);
    body.push_back(static_cast<std::uint8_t>(2 * count));
    for (std::uint16_t value : values) pushWord(body, value);
    return framed(body);
}

void validate(ByteView frame, std::uint8_t station, std::uint8_t function) {
    if (frame.size() < 5) throw VarekError::invalid("回包不完整。");
    const std::size_t n = frame.size();
    const std::uint16_t received = static_cast<std::uint16_t>(frame[n - 2] | (frame[n - 1] << 8));
    if (crc(frame.first(n - 2)) != received) throw VarekError::crc();
    if (frame[0] != station) throw VarekError::invalid("回包站号不一致。");
    if (frame[1] == (function | exceptionBit)) {
        if (n == 5) throw VarekError::exception(frame[2]);
        throw VarekError::invalid("异常回包长度错误。");
    }
    if (frame[1] != function) throw VarekError::invalid("回包功能码不一致。");
}

std::vector<std::uint16_t> registers(ByteView frame, std::uint8_t station, int count) {
    validate(frame, station, readHolding);
    if (count < 0 || frame.size() != 2 * static_cast<std::size_t>(count) + 5 ||
        frame[2] != 2 * static_cast<std::size_t>(count)) {
        throw VarekError::invalid("回包寄存器数量错误。");
    }
    std::vector<std::uint16_t> values(static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < values.size(); ++i) {
        values[i] = static_cast<std::uint16_t>(frame[3 + 2 * i] << 8 | frame[4 + 2 * i]);
    }
    return values;
}

void writeAcknowledgement(ByteView reply, ByteView request) {
    if (request.size() < 8) throw VarekError::invalid("写请求无效。");
    validate(reply, request[0], request[1]);
    if (reply.size() != 8 || !std::equal(reply.begin(), reply.begin() + 6, request.begin())) {
        throw VarekError::invalid("写回显地址或数据不一致。");
    }
}

std::uint16_t centiUnits(std::string_view text, double maximum) {
    const auto value = parseDecimal(trim(text));
    // `!(x >= 0)` also refuses NaN; -0.0 >= 0 holds, so negative zero passes.
    if (!value || !std::isfinite(*value) || !(*value >= 0) || *value > maximum) {
        throw VarekError::invalid("数值须在 0–" + std::to_string(wholePart(maximum)) +
                                  " 之间。");
    }
    const double product = *value * 100.0;
    const double rounded = std::round(product);  // halves away from zero
    if (std::fabs(product - rounded) >= 1e-6) {
        throw VarekError::invalid("最多输入两位小数，步进为 0.01。");
    }
    // Callers pass maxima of at most 60; clamp so a larger maximum can never wrap.
    return static_cast<std::uint16_t>(std::fmin(rounded, 65535.0));
}

}  // namespace Modbus

void FrameBuffer::append(ByteView bytes) {
    data_.insert(data_.end(), bytes.begin(), bytes.end());
    const std::size_t held = data_.size() - head_;
    if (held > limit) head_ += held - limit;
    // Compact once the dead prefix dominates, keeping appends amortised O(1).
    if (head_ > limit) {
        data_.erase(data_.begin(), data_.begin() + static_cast<std::ptrdiff_t>(head_));
        head_ = 0;
    }
}

void FrameBuffer::consume(std::size_t count) {
    head_ += count;
    if (head_ == data_.size()) {
        data_.clear();
        head_ = 0;
    }
}

std::optional<Bytes> FrameBuffer::next(std::uint8_t station, std::uint8_t function) {
    const std::uint8_t exceptionFunction = static_cast<std::uint8_t>(function | 0x80);
    for (;;) {
        const ByteView held = bytes();
        if (held.size() < 2) return std::nullopt;
        if (held[0] == station && (held[1] == function || held[1] == exceptionFunction)) {
            if (held.size() < 3) return std::nullopt;
            std::size_t length = 0;
            if (held[1] == exceptionFunction) {
                length = 5;
            } else if (function != Modbus::readHolding) {
                length = 8;
            } else if (held[2] <= 250) {
                length = std::size_t{held[2]} + 5;
            }
            if (length != 0) {
                if (held.size() < length) return std::nullopt;
                Bytes frame(held.begin(), held.begin() + static_cast<std::ptrdiff_t>(length));
                consume(length);
                Modbus::validate(frame, station, function);
                return frame;
            }
        }
        consume(1);
    }
}

}  // namespace varek
