#pragma once

#include <cstddef>
#include <optional>

#include "varek/protocol.hpp"

namespace varek::sim {

/// Cuts request frames out of the bytes a controller sends, by the length
/// their function code implies, resynchronising byte by byte on garbage.
class RequestSplitter {
public:
    static constexpr std::size_t limit = 4096;

    /// Appends received bytes, keeping only the newest `limit`.
    void append(ByteView bytes);
    /// The next request whose CRC holds, or nothing while one may still be arriving.
    /// After a silent gap on the line (`gap`), an incomplete candidate can no longer
    /// grow into a frame, so it is skipped instead of waited for.
    std::optional<Bytes> next(bool gap);
    /// True when no bytes are held.
    bool empty() const noexcept { return bytes_.empty(); }

private:
    Bytes bytes_;
};

/// The length of the request starting at `bytes` (2 or more bytes held), 0 while
/// the length is not known yet.
std::size_t requestLength(ByteView bytes);

}  // namespace varek::sim
