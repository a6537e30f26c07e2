#include "varek/net/tcp_listener.hpp"

#include <cerrno>

#include <asio/ip/address_v4.hpp>
#include <asio/post.hpp>

#include "varek/error.hpp"

namespace varek::net {

using asio::ip::tcp;

bool transientAcceptError(const std::error_code& error) noexcept {
    // Asio reports accept() failures in the system category; comparing them with
    // std::errc conditions would depend on the library's category mapping.
    // (Addresses, not operator==: nothing here may need more than the failing call had.)
    const std::error_category* category = &error.category();
    if (category != &asio::error::get_system_category() && category != &std::system_category()) return false;
    switch (error.value()) {
        case EMFILE: case ENFILE: case ENOBUFS: case ENOMEM: case ECONNABORTED: case EINTR:
        case EPROTO: case EPERM: case EAGAIN: case ENETDOWN: case ENOPROTOOPT: case EHOSTDOWN:
        case ENONET: case EHOSTUNREACH: case EOPNOTSUPP: case ENETUNREACH: case ETIMEDOUT:
            return true;
        default:
            return false;
    }
}

bool Occupancy::take(const asio::ip::address& peer, std::size_t total, std::size_t perAddress) {
    std::lock_guard lock(mutex_);
    if (total_.load() >= total) return false;
    const auto [entry, added] = byAddress_.try_emplace(peer, 0);
    if (entry->second >= perAddress) return false;
    ++entry->second;
    ++total_;
    return true;
}

void Occupancy::give(const asio::ip::address& peer) noexcept {
    std::lock_guard lock(mutex_);
    const auto entry = byAddress_.find(peer);
    if (entry == byAddress_.end()) return;
    --total_;
    // Forgotten at zero, so the map never holds more addresses than slots are taken.
    if (--entry->second == 0) byAddress_.erase(entry);
}

TcpListener::TcpListener(asio::io_context& io, std::size_t connectionLimit, std::size_t perAddress, Accepted accepted)
    : acceptor_(io), retry_(io), limit_(connectionLimit), perAddress_(perAddress), accepted_(std::move(accepted)) {}

void TcpListener::open(const std::string& address, std::uint16_t port, ListenerCallback events) {
    events_ = std::move(events);
    std::error_code error;
    const auto host = asio::ip::make_address_v4(address, error);
    if (error) throw VarekError::io(error.message());
    acceptor_.open(tcp::v4(), error);
    if (error) throw VarekError::io(error.message());
    // Lets a restarted server bind while old connections sit in TIME_WAIT; a live
    // listener on the port still makes bind fail.
    acceptor_.set_option(tcp::acceptor::reuse_address(true), error);
    if (!error) acceptor_.bind(tcp::endpoint(host, port), error);
    if (!error) acceptor_.listen(asio::socket_base::max_listen_connections, error);
    std::uint16_t local = 0;
    if (!error) local = acceptor_.local_endpoint(error).port();
    if (error) {
        std::error_code ignored;
        acceptor_.close(ignored);
        closed_ = true;
        return report(ListenerEvent::failure(error.message()));
    }
    bound_ = local;
    report(ListenerEvent::listeningOn(local));
    accept();
}

void TcpListener::close() {
    closed_ = true;
    bound_ = 0;
    retry_.cancel();
    std::error_code ignored;
    acceptor_.close(ignored);
}

void TcpListener::report(ListenerEvent event) {
    // Posted, so the owner hears of it after open() returns, like any later event.
    asio::post(acceptor_.get_executor(), [self = shared_from_this(), event = std::move(event)] {
        if (self->events_) self->events_(event);
    });
}

void TcpListener::accept() {
    acceptor_.async_accept([self = shared_from_this()](const std::error_code& error, tcp::socket socket) {
        self->accepted(error, std::move(socket));
    });
}

void TcpListener::accepted(const std::error_code& error, tcp::socket socket) {
    // close() may have run while this completion was queued.
    if (closed_ || !acceptor_.is_open()) return;
    if (!error) {
        std::error_code ignored;
        const auto peer = socket.remote_endpoint(ignored).address();
        // Beyond either limit a connection is refused outright, so descriptors and
        // memory stay bounded whatever clients do, and an address that holds its
        // whole share leaves the rest of the slots to everyone else. (A client
        // already gone has no endpoint; it is closed like any refused one.)
        bool admitted = false;
        try {
            admitted = !ignored && live_->take(peer, limit_, perAddress_);
        } catch (...) {
            // No memory to count a new address: refused like one beyond the limit.
        }
        if (!admitted) {
            socket.close(ignored);
            return accept();
        }
        // Replies are small and each waits on the one before; without this, Nagle's
        // algorithm and the client's delayed ACK stall every second reply.
        socket.set_option(tcp::no_delay(true), ignored);
        try {
            accepted_(std::move(socket), ConnectionSlot(live_, peer));
        } catch (...) {
            // No memory for this connection (its slot went with it): the listener goes on.
        }
        return accept();
    }
    if (!transientAcceptError(error)) {
        close();
        return report(ListenerEvent::failure(error.message()));
    }
    // The pending connections stay queued in the kernel: wait for resources to
    // free up, then go on.
    retry_.expires_after(retryDelay);
    retry_.async_wait([self = shared_from_this()](const std::error_code& waitError) {
        if (!waitError && !self->closed_) self->accept();
    });
}

}  // namespace varek::net
