#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace varek {

/// Cuts newline-terminated ASCII lines out of a connection's received bytes.
/// A plain value: no sockets, no locking.
class SCPILineBuffer {
public:
    /// Most bytes one line (without its LF) may hold.
    static constexpr std::size_t limit = 8192;

    /// What `next` found at the head of the held bytes.
    enum class Status { needMore, line, reject };

    /// Appends bytes as received; never refuses them (size() bounds what the peer reads).
    void append(std::string_view bytes);

    /// `line`: the oldest complete line is taken into `out` without its LF (a CR before
    /// the LF stays; the processor trims it). `needMore`: no complete line yet; the peer must read even when
    /// wantsMore() is false. `reject`: close the connection without a reply: the head
    /// line, complete or not, holds a byte above 0x7F, or is longer than `limit` bytes.
    /// `reject` is sticky until clear(); `out` is only written for `line`.
    Status next(std::string& out);

    /// Bytes held and not yet taken.
    std::size_t size() const noexcept { return data_.size() - offset_; }

    /// True while fewer than `limit` bytes are held: the peer may read on while a line
    /// is being processed.
    bool wantsMore() const noexcept { return size() < limit; }

    /// Drops every held byte, and with them a rejection.
    void clear() noexcept;

private:
    std::string data_;
    std::size_t offset_ = 0;  // first byte not yet taken
    std::size_t scan_ = 0;    // [offset_, scan_) is scanned: no LF, all ASCII
};

}  // namespace varek
