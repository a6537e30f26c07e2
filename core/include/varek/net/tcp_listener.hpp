#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include "varek/listener.hpp"

namespace varek::net {

/// Connections holding a slot of one listener, in total and per client address.
/// Shared with the slots, which may be given back on any thread.
class Occupancy {
public:
    /// Takes a slot for `peer` unless `total` slots are taken or `peer` holds `perAddress`.
    bool take(const asio::ip::address& peer, std::size_t total, std::size_t perAddress);
    /// Gives back a slot `peer` took.
    void give(const asio::ip::address& peer) noexcept;
    /// Slots taken. Any thread.
    std::size_t total() const noexcept { return total_.load(); }

private:
    std::mutex mutex_;
    std::map<asio::ip::address, std::size_t> byAddress_;  // only addresses holding a slot
    std::atomic<std::size_t> total_{0};
};

/// Held by an accepted connection for as long as it counts against its listener's
/// limits; release it (or drop it) when the connection closes.
class ConnectionSlot {
public:
    ConnectionSlot() = default;
    /// Owns a slot already taken from `occupancy` for `peer`.
    ConnectionSlot(std::shared_ptr<Occupancy> occupancy, asio::ip::address peer)
        : occupancy_(std::move(occupancy)), peer_(peer) {}
    ConnectionSlot(ConnectionSlot&&) noexcept = default;
    ConnectionSlot& operator=(ConnectionSlot&& other) noexcept {
        if (this != &other) {
            release();
            occupancy_ = std::move(other.occupancy_);
            peer_ = other.peer_;
        }
        return *this;
    }
    ~ConnectionSlot() { release(); }
    /// Gives the slot back; idempotent.
    void release() noexcept {
        if (occupancy_) occupancy_->give(peer_);
        occupancy_.reset();
    }

private:
    std::shared_ptr<Occupancy> occupancy_;
    asio::ip::address peer_;
};

/// Errors of accept() that say nothing about the listener itself: out of
/// descriptors or memory, or a client that gave up during the handshake.
bool transientAcceptError(const std::error_code& error) noexcept;

/// The one accept loop under every server: binds, listens, accepts, retries
/// transient errors after a pause, and closes at once a connection beyond its limit
/// or beyond its client address's share, so one address never keeps the others out.
/// Lives on its io thread: every member is called there.
class TcpListener : public std::enable_shared_from_this<TcpListener> {
public:
    /// Receives each accepted connection (TCP_NODELAY set) with its slot.
    using Accepted = std::function<void(asio::ip::tcp::socket, ConnectionSlot)>;
    static constexpr auto retryDelay = std::chrono::milliseconds(50);

    /// Serves at most `connectionLimit` connections, `perAddress` of them from one client address.
    TcpListener(asio::io_context& io, std::size_t connectionLimit, std::size_t perAddress, Accepted accepted);

    /// Opens the socket, binds `address`:`port` and starts accepting. Throws
    /// VarekError::io when the socket cannot be created; a bind or listen failure is
    /// reported as `failed` through `events`, posted like every later event.
    void open(const std::string& address, std::uint16_t port, ListenerCallback events);
    /// Stops accepting; connections already handed out are not touched. Idempotent.
    void close();

    /// The bound port while listening, else 0. Any thread.
    std::uint16_t boundPort() const noexcept { return bound_.load(); }
    /// Connections holding a slot. Any thread.
    std::size_t connections() const noexcept { return live_->total(); }

private:
    void accept();
    void accepted(const std::error_code& error, asio::ip::tcp::socket socket);
    void report(ListenerEvent event);

    asio::ip::tcp::acceptor acceptor_;
    asio::steady_timer retry_;
    const std::size_t limit_;
    const std::size_t perAddress_;
    Accepted accepted_;
    ListenerCallback events_;
    std::shared_ptr<Occupancy> live_ = std::make_shared<Occupancy>();
    std::atomic<std::uint16_t> bound_{0};
    bool closed_ = false;
};

}  // namespace varek::net
