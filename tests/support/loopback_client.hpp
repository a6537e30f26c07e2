#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

#include "varek/json.hpp"

namespace varek::test {

/// A blocking TCP client of 127.0.0.1:<port> on plain POSIX sockets, so tests of the
/// servers exercise them with the same bytes a foreign client would send.
class LoopbackClient {
public:
    /// Longest wait for the server in readAll/readLine before giving up with a throw,
    /// so a server that never answers fails the test instead of hanging it.
    static constexpr std::chrono::milliseconds hangGuard{20000};

    /// Connects at once from 127.0.0.`host` (every 127.x address is loopback on Linux, so
    /// one machine plays several clients); throws std::system_error when refused.
    explicit LoopbackClient(std::uint16_t port, std::uint8_t host = 1)
        : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)), host_(host) {
        if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "socket");
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK - 1 + host);
        if (host != 1 && ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            const int error = errno;
            ::close(fd_);
            throw std::system_error(error, std::generic_category(), "bind 127.0.0." + std::to_string(host));
        }
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            const int error = errno;
            ::close(fd_);
            throw std::system_error(error, std::generic_category(), "connect to 127.0.0.1:" + std::to_string(port));
        }
    }
    /// Closes the socket unless reset() already did. From another host it resets: a port
    /// left in TIME_WAIT under 127.0.0.x is one that free-port pickers binding 127.0.0.1
    /// cannot see, and a server they start on it would fail to bind 0.0.0.0.
    ~LoopbackClient() {
        if (host_ != 1) reset();
        if (fd_ >= 0) ::close(fd_);
    }
    LoopbackClient(const LoopbackClient&) = delete;
    LoopbackClient& operator=(const LoopbackClient&) = delete;

    /// Writes all of `bytes`; throws std::system_error if the peer refuses them.
    void send(std::string_view bytes) {
        while (!bytes.empty()) {
            // MSG_NOSIGNAL: a server that already closed must fail the write, not kill the test.
            const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (sent < 0) {
                if (errno == EINTR) continue;
                throw std::system_error(errno, std::generic_category(), "send");
            }
            bytes.remove_prefix(static_cast<std::size_t>(sent));
        }
    }

    /// Everything not yet read until the server closes (a reset counts as a close); throws
    /// std::runtime_error when the server neither closes nor sends for hangGuard.
    std::string readAll() {
        std::string out;
        out.swap(pending_);
        while (receiveSome(out) > 0) {
        }
        return out;
    }

    /// Bytes up to and including the next '\n', or what arrived before the server
    /// closed (empty at end of stream); throws std::runtime_error after hangGuard.
    std::string readLine() {
        std::string out;
        for (;;) {
            const auto newline = pending_.find('\n');
            if (newline != std::string::npos) {
                out = pending_.substr(0, newline + 1);
                pending_.erase(0, newline + 1);
                return out;
            }
            if (receiveSome(pending_) == 0) {
                out.swap(pending_);
                return out;
            }
        }
    }

    /// Half-close: the server sees end of stream but can still reply.
    void shutdownSend() { ::shutdown(fd_, SHUT_WR); }

    /// Aborts the connection: the server's next read or write fails with ECONNRESET.
    void reset() {
        if (fd_ < 0) return;
        const linger abort{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        ::close(fd_);
        fd_ = -1;
    }

    /// True once the server has closed or reset the connection and nothing it sent
    /// is left unread (unread bytes come first, so they keep it false); never blocks.
    bool closed() const {
        if (!pending_.empty()) return false;
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0) return false;
        char byte;
        const ssize_t got = ::recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        return got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
    }

    /// True when anything (bytes or the end of stream) is there to read; never blocks.
    bool readable() const {
        if (!pending_.empty()) return true;
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, 0) > 0;
    }

    /// The socket, for options a test sets itself; -1 after reset().
    int fd() const noexcept { return fd_; }

private:
    /// Appends what one read brings; 0 at end of stream or reset.
    std::size_t receiveSome(std::string& out) {
        const auto deadline = std::chrono::steady_clock::now() + hangGuard;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) throw std::runtime_error("server sent nothing and kept the connection open");
            pollfd p{fd_, POLLIN, 0};
            const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
            if (ready < 0 && errno != EINTR) throw std::system_error(errno, std::generic_category(), "poll");
            if (ready <= 0) continue;
            char buffer[4096];
            const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0 && errno == ECONNRESET) return 0;
            if (got < 0) throw std::system_error(errno, std::generic_category(), "recv");
            out.append(buffer, static_cast<std::size_t>(got));
            return static_cast<std::size_t>(got);
        }
    }

    int fd_;
    std::uint8_t host_;
    std::string pending_;  ///< bytes readLine received beyond the line it returned
};

/// Sends `request` on a fresh connection to 127.0.0.1:`port` and returns all the
/// server wrote before closing.
inline std::string httpExchange(std::uint16_t port, std::string_view request) {
    LoopbackClient client(port);
    client.send(request);
    return client.readAll();
}

/// One exchange with the JSON API: the reply's status and parsed body; status 0 when
/// the server closed without a reply.
struct ApiReply {
    int status = 0;
    Json body;
};

/// Sends `method path` with the bearer `token` and `body` on a fresh connection.
inline ApiReply apiExchange(std::uint16_t port, const std::string& method, const std::string& path,
                            const std::string& token, const std::string& body = {}) {
    const std::string request = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " +
                                token + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    std::string wire;
    try {
        wire = httpExchange(port, request);
    } catch (const std::exception&) {
    }
    ApiReply reply;
    const auto split = wire.find("\r\n\r\n");
    if (split == std::string::npos) return reply;
    reply.status = std::stoi(wire.substr(9, 3));
    reply.body = Json::parse(wire.substr(split + 4), nullptr, false);
    return reply;
}

}  // namespace varek::test
