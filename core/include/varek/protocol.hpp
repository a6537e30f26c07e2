#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "varek/error.hpp"

namespace varek {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

/// Stateless Modbus RTU operations. Every failure is a thrown VarekError.
namespace Modbus {

inline constexpr std::uint8_t readHolding = 0x03;
inline constexpr std::uint8_t writeSingle = 0x06;
inline constexpr std::uint8_t writeMultiple = 0x10;

/// CRC-16/MODBUS (init 0xFFFF, reflected poly 0xA001, no final XOR).
std::uint16_t crc(ByteView bytes) noexcept;
/// `body` followed by its CRC, low byte first.
Bytes framed(ByteView body);
/// Throws invalid "站号须为 1–247。" for 0 and 248..255.
void validateStation(std::uint8_t station);
/// Read-holding-registers request (0x03); count 1..125, not past 65535.
Bytes read(std::uint8_t station, std::uint16_t start, std::uint16_t count);
/// Write-single-register request (0x06).
Bytes write(std::uint8_t station, std::uint16_t reg, std::uint16_t value);
/// Write-multiple-registers request (0x10); 1..123 values, not past 65535.
Bytes multiple(std::uint8_t station, std::uint16_t start, std::span<const std::uint16_t> values);
/// Checks length, CRC, station, then function (exception replies throw `exception`).
void validate(ByteView frame, std::uint8_t station, std::uint8_t function);
/// The `count` registers of a validated 0x03 reply.
std::vector<std::uint16_t> registers(ByteView frame, std::uint8_t station, int count);
/// Checks that `reply` echoes a 0x06 or 0x10 `request`.
void writeAcknowledgement(ByteView reply, ByteView request);
/// Typed decimal text to hundredths in 0..maximum, at most two decimals.
std::uint16_t centiUnits(std::string_view text, double maximum);

}  // namespace Modbus

/// Received bytes of one transaction; cuts validated replies out of the stream.
class FrameBuffer {
public:
    static constexpr std::size_t limit = 4096;

    /// Appends `bytes`, then keeps only the newest `limit` bytes.
    void append(ByteView bytes);
    /// The next complete, validated reply, or nothing while one may still be arriving.
    /// A candidate that fails validation is consumed and its error thrown.
    std::optional<Bytes> next(std::uint8_t station, std::uint8_t function);
    /// The bytes not yet consumed, oldest first.
    ByteView bytes() const noexcept { return {data_.data() + head_, data_.size() - head_}; }

private:
    void consume(std::size_t count);

    Bytes data_;
    std::size_t head_ = 0;  // consumed prefix, dropped lazily so resync stays linear
};

}  // namespace varek
