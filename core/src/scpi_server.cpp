#include "varek/scpi_server.hpp"

#include <array>
#include <atomic>
#include <mutex>
#include <optional>
#include <stop_token>
#include <unordered_map>

#include <asio.hpp>

#include "varek/device_worker.hpp"
#include "varek/net/io_thread.hpp"
#include "varek/net/tcp_listener.hpp"
#include "varek/scpi_line_buffer.hpp"

namespace varek {
namespace {

using asio::ip::tcp;
constexpr std::size_t readSize = 4096;

/// Posts work to the io thread while the server exists; device jobs that outlive
/// the server (they sit in the owner's queue) then post nothing.
struct IoPoster {
    explicit IoPoster(asio::io_context::executor_type io) : io(std::move(io)) {}
    template <typename F>
    void post(F work) {
        std::lock_guard lock(mutex);
        if (open) asio::post(io, std::move(work));
    }
    void close() {
        std::lock_guard lock(mutex);
        open = false;
    }
    asio::io_context::executor_type io;
    std::mutex mutex;
    bool open = true;
};

/// What a connection's device job needs, none of it tied to the io thread.
struct LineLink {
    std::atomic<bool> gone{false};
    std::stop_source stop;
};

}  // namespace

class SCPIPeer;

struct SCPIServer::Impl {
    Impl(std::uint16_t port, PeerFactory makeInstrument, Dispatch dispatchWork)
        : listenPort(port), factory(std::move(makeInstrument)), dispatch(std::move(dispatchWork)) {
        if (!dispatch) {
            ownWorker = std::make_unique<DeviceWorker>("VAREK.SCPI.Dev");
            dispatch = [worker = ownWorker.get()](std::function<void(bool)> job) { return worker->post(std::move(job)); };
        }
        poster = std::make_shared<IoPoster>(io.executor());
    }

    void shutdown();
    void addPeer(tcp::socket socket, net::ConnectionSlot slot);

    const std::uint16_t listenPort;
    std::string bindAddress = "0.0.0.0";  // read and written on the io thread
    const PeerFactory factory;
    Dispatch dispatch;
    std::unique_ptr<DeviceWorker> ownWorker;
    net::IoThread io{"VAREK.SCPI"};
    std::shared_ptr<IoPoster> poster;
    std::atomic<std::size_t> openConnections{0};

    // Io thread only, except `listener` which other threads read under listenerMutex.
    std::shared_ptr<net::TcpListener> listener;
    mutable std::mutex listenerMutex;
    /// Owns every open connection, also while nothing is pending on its socket (a
    /// half-closed client whose line is with the device); cancel() lets go.
    std::unordered_map<SCPIPeer*, std::shared_ptr<SCPIPeer>> peers;
    /// Idle connections hold no read buffer: reads land here and are copied out.
    std::array<char, readSize> scratch{};
};

/// One connection: reads lines, hands them one at a time to its instrument and
/// writes each reply before the next line. It keeps reading meanwhile (up to the
/// line limit), so a client that resets is noticed and its queued work dropped.
class SCPIPeer : public std::enable_shared_from_this<SCPIPeer> {
public:
    SCPIPeer(SCPIServer::Impl& server, tcp::socket socket, net::ConnectionSlot slot,
             std::shared_ptr<SCPIInstrument> instrument)
        : server_(server), socket_(std::move(socket)), slot_(std::move(slot)), instrument_(std::move(instrument)) {}

    void start() {
        server_.peers.insert_or_assign(this, shared_from_this());
        ++server_.openConnections;
        std::error_code error;
        socket_.non_blocking(true, error);
        if (error) return cancel();
        onReadable({});
    }

    /// Idempotent: drops line work that has not started, closes the socket and gives
    /// back the descriptor and the slot at once.
    void cancel() {
        if (closed_) return;
        closed_ = true;
        link_->gone = true;
        link_->stop.request_stop();
        buffer_.clear();
        std::error_code ignored;
        socket_.shutdown(tcp::socket::shutdown_both, ignored);
        socket_.close(ignored);
        slot_.release();
        --server_.openConnections;
        server_.peers.erase(this);  // may destroy this peer: nothing may follow
    }

    /// The reply of a device line, back on the io thread.
    void lineDone(std::optional<std::string> reply) {
        if (closed_) return;
        if (reply) return send(std::move(*reply));
        busy_ = false;
        pump();
    }

private:
    void awaitInput() {
        // While a line is in progress, reading on only watches for a reset and stops
        // at the buffer limit; waiting for a line, it always reads.
        if (reading_ || closed_ || ended_ || (busy_ && !buffer_.wantsMore())) return;
        reading_ = true;
        socket_.async_wait(tcp::socket::wait_read,
                           [self = shared_from_this()](const std::error_code& error) { self->onReadable(error); });
    }

    void onReadable(const std::error_code& error) {
        reading_ = false;
        if (closed_) return;
        if (error) return cancel();
        std::error_code readError;
        const std::size_t count = socket_.read_some(asio::buffer(server_.scratch), readError);
        if (readError == asio::error::would_block || readError == asio::error::try_again) return awaitInput();
        if (readError == asio::error::eof) {
            // Only the sending side is closed: every complete line still gets its reply.
            ended_ = true;
            return pump();
        }
        if (readError) return cancel();
        buffer_.append(std::string_view(server_.scratch.data(), count));
        pump();
        awaitInput();
    }

    /// Takes lines while none is in progress: lines without device traffic are
    /// answered here at once, device lines go to the owner's dispatch.
    void pump() {
        while (!busy_ && !closed_) {
            std::string line;
            switch (buffer_.next(line)) {
                case SCPILineBuffer::Status::reject: return cancel();
                case SCPILineBuffer::Status::needMore: return ended_ ? cancel() : awaitInput();
                case SCPILineBuffer::Status::line: break;
            }
            if (!SCPIInstrument::needsDevice(line)) {
                if (auto reply = instrument_->process(line)) return send(std::move(*reply));
                continue;
            }
            busy_ = true;
            return dispatch(std::move(line));
        }
    }

    void dispatch(std::string line) {
        auto job = [weak = weak_from_this(), instrument = instrument_, link = link_, poster = server_.poster,
                    line = std::move(line)](bool run) {
            std::optional<std::string> reply;
            if (run && !link->gone) reply = instrument->process(line, link->stop.get_token());
            poster->post([weak, reply = std::move(reply)]() mutable {
                if (const auto peer = weak.lock()) peer->lineDone(std::move(reply));
            });
        };
        bool queued = false;
        try {
            queued = server_.dispatch(std::move(job));
        } catch (...) {
        }
        if (!queued) return cancel();
        awaitInput();
    }

    void send(std::string reply) {
        busy_ = true;
        reply_ = std::move(reply);
        asio::async_write(socket_, asio::buffer(reply_), [self = shared_from_this()](std::error_code error, std::size_t) {
            if (self->closed_) return;
            if (error) return self->cancel();
            self->busy_ = false;
            self->pump();
        });
        awaitInput();
    }

    SCPIServer::Impl& server_;
    tcp::socket socket_;
    net::ConnectionSlot slot_;
    const std::shared_ptr<SCPIInstrument> instrument_;
    const std::shared_ptr<LineLink> link_ = std::make_shared<LineLink>();
    SCPILineBuffer buffer_;
    std::string reply_;
    bool reading_ = false;  // a readiness wait is outstanding
    bool busy_ = false;     // a line is being processed or its reply sent
    bool ended_ = false;    // the client closed its sending side
    bool closed_ = false;
};

void SCPIServer::Impl::addPeer(tcp::socket socket, net::ConnectionSlot slot) {
    std::unique_ptr<SCPIInstrument> instrument;
    try {
        std::error_code error;
        const auto remote = socket.remote_endpoint(error);
        instrument = factory(error ? std::string("-") : remote.address().to_string() + ":" + std::to_string(remote.port()));
    } catch (...) {
        // Without an instrument there is nothing to serve; the client sees the close.
    }
    if (!instrument) return;
    std::make_shared<SCPIPeer>(*this, std::move(socket), std::move(slot), std::move(instrument))->start();
}

void SCPIServer::Impl::shutdown() {
    {
        std::lock_guard lock(listenerMutex);
        if (listener) listener->close();
        listener.reset();
    }
    // cancel() erases from `peers`, so walk a detached copy.
    auto doomed = std::move(peers);
    peers.clear();
    for (auto& [raw, peer] : doomed) peer->cancel();
}

SCPIServer::SCPIServer(std::uint16_t listenPort, Factory factory, Dispatch dispatch)
    : SCPIServer(listenPort, PeerFactory([factory = std::move(factory)](const std::string&) { return factory(); }),
                 std::move(dispatch)) {}

SCPIServer::SCPIServer(std::uint16_t listenPort, PeerFactory factory, Dispatch dispatch)
    : impl_(std::make_shared<Impl>(listenPort, std::move(factory), std::move(dispatch))) {}

SCPIServer::~SCPIServer() {
    stop();
    impl_->poster->close();
    // Our own worker hands queued lines `false`; what it is running ends after its
    // current session operation, and its reply is dropped.
    if (impl_->ownWorker) impl_->ownWorker->stop();
    impl_->io.join();
}

void SCPIServer::start(ListenerCallback events) {
    Impl& impl = *impl_;
    impl.io.call([&impl, &events] {
        impl.shutdown();
        auto listener = std::make_shared<net::TcpListener>(
            impl.io.context(), connectionLimit, connectionsPerAddress,
            [&impl](tcp::socket socket, net::ConnectionSlot slot) { impl.addPeer(std::move(socket), std::move(slot)); });
        listener->open(impl.bindAddress, impl.listenPort, std::move(events));
        std::lock_guard lock(impl.listenerMutex);
        impl.listener = std::move(listener);
    });
}

void SCPIServer::setBindAddress(std::string address) {
    Impl& impl = *impl_;
    impl.io.call([&impl, &address] { impl.bindAddress = std::move(address); });
}

void SCPIServer::stop() {
    Impl& impl = *impl_;
    impl.io.call([&impl] { impl.shutdown(); });
}

std::uint16_t SCPIServer::listenPort() const noexcept { return impl_->listenPort; }

std::uint16_t SCPIServer::boundPort() const noexcept {
    std::lock_guard lock(impl_->listenerMutex);
    return impl_->listener ? impl_->listener->boundPort() : 0;
}

std::size_t SCPIServer::connections() const noexcept { return impl_->openConnections.load(); }

}  // namespace varek
