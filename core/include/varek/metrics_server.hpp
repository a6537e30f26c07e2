#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "varek/listener.hpp"

namespace varek {

class MetricsPeer;

/// Prometheus exporter: GET /metrics answers the exposition text, anything else
/// 404, one request per connection, no token (read-only). One io thread
/// ("VAREK.Metrics") owns the listener and every connection; the body comes from
/// the owner's source, which must answer from memory, never from the device.
class MetricsServer {
public:
    /// Connections served at once; more are closed as soon as they are accepted.
    static constexpr std::size_t connectionLimit = 64;
    /// Of those, the most one client address holds; its further connections are closed
    /// the same way. An eighth, as for the HTTP API.
    static constexpr std::size_t connectionsPerAddress = 8;
    /// Called on the io thread once per scrape; must not block.
    using Source = std::function<std::string()>;

    MetricsServer(std::uint16_t listenPort, Source source, std::string bindAddress = "0.0.0.0");
    /// Stops, closes every connection and joins the io thread.
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    /// Throws VarekError::io only when the socket cannot be created; bind and listen
    /// failures arrive through `events` as `failed`.
    void start(ListenerCallback events);
    /// Stops listening and closes every connection. Any thread but the io thread.
    void stop();

    /// The bound port while listening, else 0.
    std::uint16_t boundPort() const noexcept;
    /// Open connections.
    std::size_t connections() const noexcept;

private:
    friend class MetricsPeer;
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

}  // namespace varek
