#include "varek/metrics_server.hpp"

#include <array>
#include <chrono>
#include <mutex>
#include <unordered_map>

#include <asio.hpp>

#include "varek/error.hpp"
#include "varek/http.hpp"
#include "varek/net/io_thread.hpp"
#include "varek/net/tcp_listener.hpp"

namespace varek {
namespace {

using asio::ip::tcp;

constexpr auto connectionLifetime = std::chrono::seconds(15);

std::string plainReply(int status, std::string_view reason, std::string_view contentType, const std::string& body) {
    std::string out = "HTTP/1.1 " + std::to_string(status) + " " + std::string(reason) + "\r\n";
    out.append("Content-Type: ").append(contentType).append("\r\n");
    out.append("Content-Length: ").append(std::to_string(body.size())).append("\r\n");
    out.append("Connection: close\r\n\r\n").append(body);
    return out;
}

}  // namespace

class MetricsPeer;

struct MetricsServer::Impl {
    Impl(std::uint16_t port, Source src, std::string address)
        : listenPort(port), source(std::move(src)), bindAddress(std::move(address)) {}

    const std::uint16_t listenPort;
    const Source source;
    const std::string bindAddress;
    net::IoThread io{"VAREK.Metrics"};
    std::shared_ptr<net::TcpListener> listener;  // io thread only
    std::unordered_map<MetricsPeer*, std::weak_ptr<MetricsPeer>> peers;  // io thread only
    std::atomic<std::uint16_t> bound{0};
    std::atomic<std::size_t> open{0};

    void shutdown();
};

/// One scrape: read one request, write one reply, close.
class MetricsPeer : public std::enable_shared_from_this<MetricsPeer> {
public:
    MetricsPeer(tcp::socket socket, net::ConnectionSlot slot, MetricsServer::Impl& server)
        : socket_(std::move(socket)), deadline_(server.io.context()), slot_(std::move(slot)), server_(server) {}

    void start() {
        server_.peers.emplace(this, weak_from_this());
        ++server_.open;
        deadline_.expires_after(connectionLifetime);
        deadline_.async_wait([self = shared_from_this()](const asio::error_code& error) {
            if (!error) self->close();
        });
        read();
    }

    void close() {
        if (closed_) return;
        closed_ = true;
        server_.peers.erase(this);
        --server_.open;
        asio::error_code ignored;
        deadline_.cancel();
        socket_.shutdown(tcp::socket::shutdown_both, ignored);
        socket_.close(ignored);
        slot_.release();
    }

private:
    void read() {
        socket_.async_read_some(asio::buffer(chunk_), [self = shared_from_this()](const asio::error_code& error,
                                                                                   std::size_t count) {
            if (self->closed_) return;
            if (error) return self->close();
            self->input_.append(self->chunk_.data(), count);
            self->parse();
        });
    }

    void parse() {
        std::optional<ControlHTTPRequest> request;
        try {
            request = ControlHTTPRequest::parse(input_);
        } catch (const VarekError&) {
            return send(plainReply(400, "Bad Request", "text/plain; charset=utf-8", "bad request\n"));
        }
        if (!request) return read();
        if (request->method == "GET" && request->path == "/metrics") {
            return send(plainReply(200, "OK", "text/plain; version=0.0.4", server_.source()));
        }
        send(plainReply(404, "Not Found", "text/plain; charset=utf-8", "not found\n"));
    }

    void send(std::string wire) {
        output_ = std::move(wire);
        asio::async_write(socket_, asio::buffer(output_), [self = shared_from_this()](const asio::error_code& error,
                                                                                       std::size_t) {
            if (self->closed_) return;
            asio::error_code ignored;
            if (!error) self->socket_.shutdown(tcp::socket::shutdown_send, ignored);
            // Take what else arrived, so closing does not reset the reply away.
            for (int i = 0; i < 16 && !ignored; ++i) self->socket_.read_some(asio::buffer(self->chunk_), ignored);
            self->close();
        });
    }

    tcp::socket socket_;
    asio::steady_timer deadline_;
    net::ConnectionSlot slot_;
    MetricsServer::Impl& server_;
    std::array<char, 2048> chunk_{};
    std::string input_;
    std::string output_;
    bool closed_ = false;
};

void MetricsServer::Impl::shutdown() {
    if (listener) listener->close();
    listener.reset();
    bound = 0;
    std::vector<std::weak_ptr<MetricsPeer>> live;
    for (const auto& entry : peers) live.push_back(entry.second);
    for (const auto& weak : live) {
        if (const auto peer = weak.lock()) peer->close();
    }
}

MetricsServer::MetricsServer(std::uint16_t listenPort, Source source, std::string bindAddress)
    : impl_(std::make_shared<Impl>(listenPort, std::move(source), std::move(bindAddress))) {}

MetricsServer::~MetricsServer() {
    stop();
    impl_->io.join();
}

void MetricsServer::start(ListenerCallback events) {
    Impl& impl = *impl_;
    impl.io.call([&impl, &events] {
        impl.shutdown();
        auto listener = std::make_shared<net::TcpListener>(
            impl.io.context(), connectionLimit, connectionsPerAddress,
            [&impl](tcp::socket socket, net::ConnectionSlot slot) {
                std::make_shared<MetricsPeer>(std::move(socket), std::move(slot), impl)->start();
            });
        // The listener reports from the io thread; the bound port is known by then.
        listener->open(impl.bindAddress, impl.listenPort,
                       [&impl, events = std::move(events), weak = std::weak_ptr(listener)](const ListenerEvent& event) {
                           if (const auto live = weak.lock()) impl.bound = live->boundPort();
                           if (events) events(event);
                       });
        impl.listener = std::move(listener);
    });
}

void MetricsServer::stop() {
    Impl& impl = *impl_;
    impl.io.call([&impl] { impl.shutdown(); });
}

std::uint16_t MetricsServer::boundPort() const noexcept { return impl_->bound.load(); }

std::size_t MetricsServer::connections() const noexcept { return impl_->open.load(); }

}  // namespace varek
