#include "varek/control_server.hpp"

#include <array>
#include <chrono>
#include <future>
#include <unordered_map>
#include <utility>
#include <vector>

#include <asio.hpp>

#include "varek/api_token.hpp"
#include "varek/error.hpp"

namespace varek {
namespace {

using asio::ip::tcp;
using Wire = std::shared_ptr<const std::string>;

constexpr auto connectionLifetime = std::chrono::seconds(15);
constexpr auto acceptRetryDelay = std::chrono::milliseconds(50);
constexpr std::size_t readLimit = 4096;

Wire wireOf(const ControlHTTPReply& reply) { return std::make_shared<const std::string>(reply.wire()); }

class Peer;

/// What the server and its peers share. The token, handler, executors and canned
/// replies never change; `peers` and `scratch` belong to the io thread.
struct Shared {
    Shared(std::string token, ControlServer::Handler handler, asio::io_context::executor_type io,
           asio::thread_pool::executor_type pool)
        : token(std::move(token)), handler(std::move(handler)), io(std::move(io)), pool(std::move(pool)) {}

    std::string token;
    ControlServer::Handler handler;
    asio::io_context::executor_type io;
    asio::thread_pool::executor_type pool;
    Wire health;
    Wire invalidRequest = wireOf(ControlHTTPReply(400, {{"ok", false}, {"error", "invalid_request"}}));
    Wire unauthorized = wireOf(ControlHTTPReply(401, {{"ok", false}, {"error", "unauthorized"}}));
    Wire handlerFailed = wireOf(ControlHTTPReply(502, {{"ok", false}}));
    std::unordered_map<Peer*, std::weak_ptr<Peer>> peers;
    /// Idle connections hold no read buffer: reads land here and are copied out.
    std::array<char, readLimit> scratch{};
};

/// One accepted connection: read one request, send one reply, close.
class Peer : public std::enable_shared_from_this<Peer> {
public:
    Peer(tcp::socket socket, std::shared_ptr<Shared> shared)
        : socket_(std::move(socket)), deadline_(shared->io), shared_(std::move(shared)) {}

    void start() {
        shared_->peers.insert_or_assign(this, weak_from_this());
        // Reads below must never block the io thread.
        asio::error_code error;
        socket_.non_blocking(true, error);
        if (error) return close();
        deadline_.expires_after(connectionLifetime);
        deadline_.async_wait([self = shared_from_this()](const asio::error_code& error) {
            if (!error) self->close();
        });
        // The request often arrives with the connection; read before waiting for it.
        onReadable({});
    }

    /// Safe to call more than once; later completions see `closed_` and stop.
    void close() {
        if (closed_) return;
        closed_ = true;
        shared_->peers.erase(this);
        asio::error_code ignored;
        deadline_.cancel();
        socket_.shutdown(tcp::socket::shutdown_both, ignored);
        socket_.close(ignored);
    }

private:
    void awaitInput() {
        socket_.async_wait(tcp::socket::wait_read,
                           [self = shared_from_this()](const asio::error_code& error) { self->onReadable(error); });
    }

    void onReadable(const asio::error_code& error) {
        if (closed_ || handled_) return;
        if (error) return close();
        asio::error_code readError;
        const std::size_t count = socket_.read_some(asio::buffer(shared_->scratch), readError);
        if (readError == asio::error::would_block || readError == asio::error::try_again) return awaitInput();
        // End of stream or an error before a complete request: no reply is possible.
        if (readError) return close();
        input_.append(shared_->scratch.data(), count);

        std::optional<ControlHTTPRequest> request;
        try {
            request = ControlHTTPRequest::parse(input_);
        } catch (const VarekError&) {
            handled_ = true;
            return respond(shared_->invalidRequest);
        }
        if (!request) return awaitInput();
        handled_ = true;
        std::string().swap(input_);
        serve(std::move(*request));
    }

    void serve(ControlHTTPRequest request) {
        if (request.method == "GET" && request.path == "/health") return respond(shared_->health);
        if (!request.authenticated(shared_->token)) return respond(shared_->unauthorized);
        asio::post(shared_->pool, [self = shared_from_this(), request = std::move(request)]() mutable {
            Wire wire;
            try {
                wire = wireOf(self->shared_->handler(request));
            } catch (...) {
                // A failing handler must still answer, and must not take the process down.
                wire = self->shared_->handlerFailed;
            }
            const auto io = self->shared_->io;
            asio::post(io, [self = std::move(self), wire = std::move(wire)] { self->respond(wire); });
        });
    }

    void respond(const Wire& wire) {
        if (closed_) return;  // the 15-second limit ran out first; the reply is dropped
        asio::async_write(socket_, asio::buffer(*wire),
                          [self = shared_from_this(), wire](const asio::error_code&, std::size_t) { self->finish(); });
    }

    void finish() {
        if (closed_) return;
        asio::error_code error;
        socket_.shutdown(tcp::socket::shutdown_send, error);
        // Closing with unread input makes the kernel send a reset, which can destroy
        // the reply before the client reads it; take what has already arrived.
        for (int i = 0; i < 16 && !error; ++i) socket_.read_some(asio::buffer(shared_->scratch), error);
        close();
    }

    tcp::socket socket_;
    asio::steady_timer deadline_;
    std::shared_ptr<Shared> shared_;
    std::string input_;
    bool handled_ = false;
    bool closed_ = false;
};

/// The accepting socket of one start() call; lives on the io thread.
class Listener : public std::enable_shared_from_this<Listener> {
public:
    Listener(std::shared_ptr<Shared> shared, ControlServer::StateCallback state)
        : acceptor_(shared->io), retry_(shared->io), shared_(std::move(shared)), state_(std::move(state)) {}

    /// Opens, binds and listens; returns the status line. Throws only when the
    /// socket cannot even be opened.
    std::string open(std::uint16_t port, std::atomic<std::uint16_t>& bound) {
        try {
            acceptor_.open(tcp::v4());
        } catch (const asio::system_error& error) {
            throw VarekError::io(error.code().message());
        }
        asio::error_code error;
        // Lets a restarted server bind while old connections sit in TIME_WAIT; a live
        // listener on the port still makes bind fail.
        acceptor_.set_option(tcp::acceptor::reuse_address(true), error);
        if (!error) acceptor_.bind(tcp::endpoint(asio::ip::address_v4::any(), port), error);
        if (!error) acceptor_.listen(asio::socket_base::max_listen_connections, error);
        std::uint16_t local = 0;
        if (!error) local = acceptor_.local_endpoint(error).port();
        if (error) {
            asio::error_code ignored;
            acceptor_.close(ignored);
            return "API启动失败：" + error.message();
        }
        bound = local;
        accept();
        return "API已监听 · 本机 / 局域网 · " + std::to_string(local);
    }

    void report(const std::string& line) {
        if (!closed_ && state_) state_(line);
    }

    void close() {
        closed_ = true;
        retry_.cancel();
        asio::error_code ignored;
        acceptor_.close(ignored);
    }

private:
    void accept() {
        acceptor_.async_accept([self = shared_from_this()](const asio::error_code& error, tcp::socket socket) {
            self->onAccept(error, std::move(socket));
        });
    }

    void onAccept(const asio::error_code& error, tcp::socket socket) {
        if (closed_ || !acceptor_.is_open()) return;
        if (!error) {
            try {
                std::make_shared<Peer>(std::move(socket), shared_)->start();
            } catch (const std::exception&) {
                // No memory for this connection: it is dropped, the listener goes on.
            }
            return accept();
        }
        if (error == asio::error::connection_aborted || error == asio::error::interrupted ||
            error == asio::error::would_block || error == asio::error::try_again) {
            return accept();
        }
        // Out of descriptors or memory (or anything else): the pending connections
        // stay queued in the kernel, so wait for resources to free up and go on.
        retry_.expires_after(acceptRetryDelay);
        retry_.async_wait([self = shared_from_this()](const asio::error_code& waitError) {
            if (!waitError && !self->closed_) self->accept();
        });
    }

    tcp::acceptor acceptor_;
    asio::steady_timer retry_;
    std::shared_ptr<Shared> shared_;
    ControlServer::StateCallback state_;
    bool closed_ = false;
};

}  // namespace

struct ControlServer::Impl {
    ApiToken token;
    std::uint16_t listenPort;
    // Declared before the io context so that handlers destroyed with the context
    // (which hold pool executors) never outlive the pool.
    asio::thread_pool pool;
    asio::io_context io;
    asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
    std::shared_ptr<Shared> shared;
    std::shared_ptr<Listener> listener;  // io thread only
    std::atomic<std::uint16_t> bound{0};
    std::thread thread;

    Impl(ApiToken loaded, std::uint16_t port, Handler handler, std::size_t workers)
        : token(std::move(loaded)), listenPort(port), pool(workers == 0 ? 1 : workers) {
        shared = std::make_shared<Shared>(token.token, std::move(handler), io.get_executor(), pool.get_executor());
        shared->health = wireOf(ControlHTTPReply(200, {{"ok", true},
                                                       {"service", "VAREK output control"},
                                                       {"serial_connected", "use authenticated /v1/status"},
                                                       {"source_sha", ControlServer::sourceSHA()}}));
        thread = std::thread([this] {
            platform::nameThisThread("VAREK.ControlAPI");
            for (;;) {
                try {
                    io.run();
                    return;
                } catch (...) {
                    // One failing completion handler must not stop the listener.
                }
            }
        });
    }

    /// Runs `work` on the io thread and waits for it, passing on its exception.
    template <typename Function>
    void onIoThread(Function work) {
        if (io.get_executor().running_in_this_thread()) return work();
        std::packaged_task<void()> task(std::move(work));
        auto done = task.get_future();
        // Wrapped: asio treats a bare packaged_task as a completion token of its own.
        asio::post(io, [task = std::move(task)]() mutable { task(); });
        done.get();
    }

    void dropListener() {
        if (listener) listener->close();
        listener.reset();
        bound = 0;
    }
};

ControlServer::ControlServer(std::uint16_t listenPort, Handler handler,
                             const std::filesystem::path& supportDirectory, std::size_t workerThreads)
    : impl_(std::make_unique<Impl>(ApiToken::loadOrCreate(supportDirectory), listenPort, std::move(handler),
                                   workerThreads)) {}

ControlServer::~ControlServer() {
    Impl& impl = *impl_;
    impl.onIoThread([&impl] {
        impl.dropListener();
        std::vector<std::weak_ptr<Peer>> live;
        for (const auto& entry : impl.shared->peers) live.push_back(entry.second);
        for (const auto& weak : live) {
            if (const auto peer = weak.lock()) peer->close();
        }
    });
    // Handlers still running finish first; their replies find closed connections.
    impl.pool.join();
    impl.work.reset();
    impl.io.stop();
    impl.thread.join();
}

void ControlServer::start(StateCallback state) {
    Impl& impl = *impl_;
    impl.onIoThread([&impl, &state] {
        impl.dropListener();
        auto listener = std::make_shared<Listener>(impl.shared, std::move(state));
        const std::string line = listener->open(impl.listenPort, impl.bound);
        impl.listener = listener;
        // Reported after start() returns, like any later listener event.
        asio::post(impl.io, [listener, line] { listener->report(line); });
    });
}

void ControlServer::stop() {
    Impl& impl = *impl_;
    impl.onIoThread([&impl] { impl.dropListener(); });
}

const std::string& ControlServer::token() const noexcept { return impl_->token.token; }
const std::filesystem::path& ControlServer::tokenPath() const noexcept { return impl_->token.path; }
std::uint16_t ControlServer::listenPort() const noexcept { return impl_->listenPort; }
std::uint16_t ControlServer::boundPort() const noexcept { return impl_->bound.load(); }
std::string ControlServer::sourceSHA() { return platform::sourceSHA(); }

}  // namespace varek
