#include "varek/scpi_server.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <future>
#include <map>
#include <optional>
#include <stop_token>
#include <thread>

#include <asio.hpp>

#include "varek/device.hpp"
#include "varek/platform.hpp"

namespace varek {

using asio::ip::tcp;

struct SCPIServer::Impl {
    static constexpr std::size_t readSize = 4096;
    static constexpr std::size_t bufferLimit = 8192;
    static constexpr auto acceptRetry = std::chrono::milliseconds(100);

    class SCPIPeer;
    using PeerId = std::array<std::uint8_t, 16>;

    Impl(std::uint16_t port, Factory makeInstrument, std::size_t workers)
        : listenPort(port), factory(std::move(makeInstrument)),
          pool(std::max<std::size_t>(workers, 1)) {
        ioThread = std::thread([this] {
            platform::nameThisThread("VAREK.SCPI");
            io.run();
        });
    }

    /// Runs `task` on the io thread and waits for it; inline when already there.
    template <typename Task>
    auto onIoThread(Task task) -> decltype(task()) {
        if (io.get_executor().running_in_this_thread()) return task();
        // Wrapped in a lambda: Asio would take the future of a bare packaged_task itself.
        auto packaged = std::make_shared<std::packaged_task<decltype(task())()>>(std::move(task));
        auto result = packaged->get_future();
        asio::post(io, [packaged] { (*packaged)(); });
        return result.get();
    }

    void report(const std::string& text) {
        if (!state) return;
        try {
            state(text);
        } catch (...) {
            // A failing owner callback must not take the listener's thread down.
        }
    }

    std::error_code listen();
    void accept();
    void addPeer(tcp::socket socket);
    void shutdown();
    void forget(const PeerId& id) { peers.erase(id); }

    const std::uint16_t listenPort;
    const Factory factory;
    asio::io_context io;
    asio::executor_work_guard<asio::io_context::executor_type> guard = asio::make_work_guard(io);
    asio::thread_pool pool;
    std::thread ioThread;
    std::atomic<std::uint16_t> boundPort{0};

    // Io thread only.
    StateCallback state;
    tcp::acceptor acceptor{io};
    asio::steady_timer retryTimer{io};
    std::map<PeerId, std::shared_ptr<SCPIPeer>> peers;
};

/// One connection: reads lines, hands them one at a time to its instrument on the
/// worker pool, and writes each reply before reading on. Io thread only, except
/// the instrument call itself.
class SCPIServer::Impl::SCPIPeer : public std::enable_shared_from_this<SCPIPeer> {
public:
    SCPIPeer(Impl& server, PeerId id, tcp::socket socket, std::unique_ptr<SCPIInstrument> instrument)
        : server_(server), id_(id), socket_(std::move(socket)), instrument_(std::move(instrument)) {}

    void start() { read(); }

    /// Idempotent: stops line work before its next command and closes the socket.
    void cancel() {
        if (cancelled_) return;
        cancelled_ = true;
        closed_ = true;
        work_.request_stop();
        input_.clear();
        std::error_code ignored;
        socket_.shutdown(tcp::socket::shutdown_both, ignored);
        socket_.close(ignored);
        server_.forget(id_);
    }

private:
    void read() {
        socket_.async_read_some(asio::buffer(readBuffer_),
                                [self = shared_from_this()](std::error_code error, std::size_t size) {
                                    self->received(error, size);
                                });
    }

    void received(std::error_code error, std::size_t size) {
        if (cancelled_) return;
        input_.append(readBuffer_.data(), size);
        closed_ = static_cast<bool>(error);  // end of stream or a failure
        if (input_.size() > bufferLimit) return cancel();
        drain();
    }

    void drain() {
        if (cancelled_) return;
        const auto end = input_.find('\n');
        if (end == std::string::npos) {
            if (closed_) return cancel();
            return read();
        }
        std::string line = input_.substr(0, end);
        input_.erase(0, end + 1);
        const bool ascii = std::all_of(line.begin(), line.end(),
                                       [](char c) { return static_cast<unsigned char>(c) <= 0x7F; });
        if (!ascii) return cancel();
        process(std::move(line));
    }

    void process(std::string line) {
        work_ = std::stop_source();
        asio::post(server_.pool, [self = shared_from_this(), line = std::move(line),
                                  stop = work_.get_token()] {
            auto reply = self->instrument_->process(line, stop);
            asio::post(self->server_.io, [self, reply = std::move(reply)]() mutable {
                self->processed(std::move(reply));
            });
        });
    }

    void processed(std::optional<std::string> reply) {
        if (cancelled_) return;
        if (!reply) return drain();
        reply_ = std::move(*reply);
        asio::async_write(socket_, asio::buffer(reply_),
                          [self = shared_from_this()](std::error_code error, std::size_t) {
                              if (self->cancelled_) return;
                              if (error) return self->cancel();
                              self->drain();
                          });
    }

    Impl& server_;
    const PeerId id_;
    tcp::socket socket_;
    const std::unique_ptr<SCPIInstrument> instrument_;
    std::array<char, readSize> readBuffer_{};
    std::string input_;
    std::string reply_;
    bool closed_ = false;
    bool cancelled_ = false;
    std::stop_source work_;
};

std::error_code SCPIServer::Impl::listen() {
    std::error_code error;
    acceptor.open(tcp::v4(), error);
    if (error) return error;
    acceptor.set_option(tcp::acceptor::reuse_address(true), error);
    if (!error) acceptor.bind(tcp::endpoint(asio::ip::address_v4::any(), listenPort), error);
    if (!error) acceptor.listen(asio::socket_base::max_listen_connections, error);
    if (error) {
        std::error_code ignored;
        acceptor.close(ignored);
        report("SCPI failed: " + error.message());
        return {};
    }
    boundPort = acceptor.local_endpoint(error).port();
    report("SCPI ready on TCP " + std::to_string(boundPort.load()) +
           ", local and LAN, no authentication");
    if (acceptor.is_open()) accept();  // the callback may have stopped the server
    return {};
}

namespace {

// Running out of descriptors or memory, or a peer that gave up during the
// handshake, says nothing about the listener itself: keep listening.
bool transientAcceptError(const std::error_code& error) {
    for (std::errc transient : {std::errc::too_many_files_open, std::errc::too_many_files_open_in_system,
                                std::errc::no_buffer_space, std::errc::not_enough_memory,
                                std::errc::connection_aborted, std::errc::interrupted,
                                std::errc::protocol_error}) {
        if (error == transient) return true;
    }
    return false;
}

}  // namespace

void SCPIServer::Impl::accept() {
    acceptor.async_accept([this](std::error_code error, tcp::socket socket) {
        // The listener may have been closed by stop() while this completion was queued.
        if (!acceptor.is_open() || error == asio::error::operation_aborted) return;
        if (!error) {
            addPeer(std::move(socket));
            return accept();
        }
        if (!transientAcceptError(error)) {
            std::error_code ignored;
            acceptor.close(ignored);
            boundPort = 0;
            return report("SCPI failed: " + error.message());
        }
        retryTimer.expires_after(acceptRetry);
        retryTimer.async_wait([this](std::error_code waitError) {
            if (!waitError && acceptor.is_open()) accept();
        });
    });
}

void SCPIServer::Impl::addPeer(tcp::socket socket) {
    std::unique_ptr<SCPIInstrument> instrument;
    try {
        instrument = factory();
    } catch (...) {
        // Without an instrument there is nothing to serve; the client sees the close.
    }
    if (!instrument) return;
    // Replies are small and each waits on the one before; without this, Nagle's
    // algorithm and the client's delayed ACK stall every second reply.
    std::error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    PeerId id = Uuid::random().bytes;
    while (peers.count(id)) id = Uuid::random().bytes;
    auto peer = std::make_shared<SCPIPeer>(*this, id, std::move(socket), std::move(instrument));
    peers.emplace(id, peer);
    peer->start();
}

void SCPIServer::Impl::shutdown() {
    std::error_code ignored;
    acceptor.close(ignored);
    retryTimer.cancel();
    boundPort = 0;
    // cancel() erases from `peers`, so walk a detached copy.
    auto doomed = std::move(peers);
    peers.clear();
    for (auto& [id, peer] : doomed) peer->cancel();
}

SCPIServer::SCPIServer(std::uint16_t listenPort, Factory factory, std::size_t workerThreads)
    : impl_(std::make_shared<Impl>(listenPort, std::move(factory), workerThreads)) {}

SCPIServer::~SCPIServer() {
    stop();
    // Line work in flight ends after its current session operation; its reply is
    // then dropped on the io thread, which exits once nothing is left to run.
    impl_->pool.join();
    impl_->guard.reset();
    impl_->ioThread.join();
}

void SCPIServer::start(StateCallback state) {
    const std::error_code error = impl_->onIoThread([this, state = std::move(state)]() mutable {
        impl_->state = std::move(state);
        return impl_->acceptor.is_open() ? std::error_code{} : impl_->listen();
    });
    if (error) throw std::system_error(error, "SCPI listener");
}

void SCPIServer::stop() {
    impl_->onIoThread([this] { impl_->shutdown(); });
}

std::uint16_t SCPIServer::listenPort() const noexcept { return impl_->listenPort; }

std::uint16_t SCPIServer::boundPort() const noexcept { return impl_->boundPort.load(); }

}  // namespace varek
