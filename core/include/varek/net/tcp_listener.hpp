#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <system_error>

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include "varek/listener.hpp"

namespace varek::net {

/// Held by an accepted connection for as long as it counts against its listener's
/// limit; release it (or drop it) when the connection closes.
class ConnectionSlot {
public:
    ConnectionSlot() = default;
    explicit ConnectionSlot(std::shared_ptr<std::atomic<std::size_t>> count) : count_(std::move(count)) {}
    ConnectionSlot(ConnectionSlot&&) noexcept = default;
    ConnectionSlot& operator=(ConnectionSlot&& other) noexcept {
        if (this != &other) {
            release();
            count_ = std::move(other.count_);
        }
        return *this;
    }
    ~ConnectionSlot() { release(); }
    void release() noexcept {
        if (count_) --*count_;
        count_.reset();
    }

private:
    std::shared_ptr<std::atomic<std::size_t>> count_;
};

/// Errors of accept() that say nothing about the listener itself: out of
/// descriptors or memory, or a client that gave up during the handshake.
bool transientAcceptError(const std::error_code& error) noexcept;

/// The one accept loop under every server: binds, listens, accepts, retries
/// transient errors after a pause, and closes connections beyond its limit at once.
/// Lives on its io thread: every member is called there.
class TcpListener : public std::enable_shared_from_this<TcpListener> {
public:
    /// Receives each accepted connection (TCP_NODELAY set) with its slot.
    using Accepted = std::function<void(asio::ip::tcp::socket, ConnectionSlot)>;
    static constexpr auto retryDelay = std::chrono::milliseconds(50);

    TcpListener(asio::io_context& io, std::size_t connectionLimit, Accepted accepted);

    /// Opens the socket, binds `address`:`port` and starts accepting. Throws
    /// VarekError::io when the socket cannot be created; a bind or listen failure is
    /// reported as `failed` through `events`, posted like every later event.
    void open(const std::string& address, std::uint16_t port, ListenerCallback events);
    /// Stops accepting; connections already handed out are not touched. Idempotent.
    void close();

    /// The bound port while listening, else 0. Any thread.
    std::uint16_t boundPort() const noexcept { return bound_.load(); }
    /// Connections holding a slot. Any thread.
    std::size_t connections() const noexcept { return live_->load(); }

private:
    void accept();
    void accepted(const std::error_code& error, asio::ip::tcp::socket socket);
    void report(ListenerEvent event);

    asio::ip::tcp::acceptor acceptor_;
    asio::steady_timer retry_;
    const std::size_t limit_;
    Accepted accepted_;
    ListenerCallback events_;
    std::shared_ptr<std::atomic<std::size_t>> live_ = std::make_shared<std::atomic<std::size_t>>(0);
    std::atomic<std::uint16_t> bound_{0};
    bool closed_ = false;
};

}  // namespace varek::net
