#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace varek {

/// What a network listener reports to its owner; the owner words it.
struct ListenerEvent {
    enum class Kind { listening, failed };
    Kind kind = Kind::listening;
    /// The bound port (listening), else 0.
    std::uint16_t port = 0;
    /// The system's description of the failure (failed), else empty.
    std::string reason;

    static ListenerEvent listeningOn(std::uint16_t port) { return {Kind::listening, port, {}}; }
    static ListenerEvent failure(std::string reason) { return {Kind::failed, 0, std::move(reason)}; }
    friend bool operator==(const ListenerEvent&, const ListenerEvent&) = default;
};

/// Receives listener events on the server's io thread.
using ListenerCallback = std::function<void(const ListenerEvent&)>;

}  // namespace varek
