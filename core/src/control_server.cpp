#include "varek/control_server.hpp"

#include <array>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include <asio.hpp>

#include "varek/api_token.hpp"
#include "varek/error.hpp"
#include "varek/net/io_thread.hpp"
#include "varek/net/tcp_listener.hpp"

namespace varek {
namespace {

using asio::ip::tcp;
using Wire = std::shared_ptr<const std::string>;

constexpr auto connectionLifetime = std::chrono::seconds(15);
constexpr std::size_t readLimit = 4096;

Wire wireOf(const ControlHTTPReply& reply) { return std::make_shared<const std::string>(reply.wire()); }

class Peer;

/// What the server, its peers and their responders share. The io executor is
/// used only while `open` is true: the destructor clears it before the io thread goes.
struct Shared {
    Shared(std::string token, ControlServer::Handler handler, asio::io_context::executor_type io)
        : token(std::move(token)), handler(std::move(handler)), io(std::move(io)) {}

    std::string token;
    ControlServer::Handler handler;
    asio::io_context::executor_type io;
    Wire health;
    Wire invalidRequest = wireOf(ControlHTTPReply(400, {{"ok", false}, {"error", "invalid_request"}}));
    Wire unauthorized = wireOf(ControlHTTPReply(401, {{"ok", false}, {"error", "unauthorized"}}));
    Wire handlerFailed = wireOf(ControlHTTPReply(502, {{"ok", false}}));
    std::string staticPrefix;                        // io thread only
    std::unordered_map<std::string, Wire> staticFiles;  // io thread only
    Wire staticMissing;
    std::unordered_map<Peer*, std::weak_ptr<Peer>> peers;  // io thread only
    std::atomic<std::size_t> openConnections{0};
    /// Idle connections hold no read buffer: reads land here and are copied out.
    std::array<char, readLimit> scratch{};  // io thread only

    std::mutex postMutex;
    bool open = true;  // guarded by postMutex

    mutable std::mutex countMutex;
    std::map<int, std::uint64_t> replies;  // guarded by countMutex

    /// Counted when the reply starts out, so a scrape sees every answered request.
    void count(const Wire& wire) {
        // "HTTP/1.1 NNN ...": the status sits at a fixed place in every wire image.
        if (wire->size() < 12) return;
        const int status = ((*wire)[9] - '0') * 100 + ((*wire)[10] - '0') * 10 + ((*wire)[11] - '0');
        std::lock_guard lock(countMutex);
        ++replies[status];
    }

    /// Runs `work` on the io thread unless the server is going away. Any thread.
    template <typename F>
    void post(F work) {
        std::lock_guard lock(postMutex);
        if (open) asio::post(io, std::move(work));
    }
};

}  // namespace

/// One request's answer path, shared by the peer and every copy of its responder.
struct ControlResponder::Exchange {
    std::shared_ptr<Shared> shared;
    std::weak_ptr<Peer> peer;
    std::string client;  // "address:port", fixed before the handler sees the exchange
    std::atomic<bool> gone{false};
    std::atomic<bool> answered{false};
    /// Answers 502 when the handler let go of every responder without replying.
    ~Exchange();
    void send(Wire wire);
};

namespace {

/// One accepted connection: read one request, send one reply, close.
class Peer : public std::enable_shared_from_this<Peer> {
public:
    Peer(tcp::socket socket, net::ConnectionSlot slot, std::shared_ptr<Shared> shared)
        : socket_(std::move(socket)), deadline_(shared->io), slot_(std::move(slot)), shared_(std::move(shared)) {}

    void start() {
        shared_->peers.insert_or_assign(this, weak_from_this());
        ++shared_->openConnections;
        // Reads below must never block the io thread.
        asio::error_code error;
        socket_.non_blocking(true, error);
        if (error) return close(true);
        deadline_.expires_after(connectionLifetime);
        deadline_.async_wait([self = shared_from_this()](const asio::error_code& error) {
            if (!error) self->close(true);
        });
        // The request often arrives with the connection; read before waiting for it.
        onReadable({});
    }

    /// Gives back the descriptor and the slot at once. `abandoned`: the client can no
    /// longer get its reply, so work done for it would be wasted.
    void close(bool abandoned) {
        if (closed_) return;
        closed_ = true;
        if (const auto exchange = exchange_.lock(); abandoned && exchange) exchange->gone = true;
        exchange_.reset();
        shared_->peers.erase(this);
        --shared_->openConnections;
        asio::error_code ignored;
        deadline_.cancel();
        socket_.shutdown(tcp::socket::shutdown_both, ignored);
        socket_.close(ignored);
        slot_.release();
        std::string().swap(input_);
    }

    void respond(const Wire& wire) {
        if (closed_ || replying_) return;  // the 15 s ran out first: the reply is dropped
        replying_ = true;
        shared_->count(wire);
        asio::async_write(socket_, asio::buffer(*wire),
                          [self = shared_from_this(), wire](const asio::error_code&, std::size_t) { self->finish(); });
    }

private:
    void awaitInput() {
        socket_.async_wait(tcp::socket::wait_read,
                           [self = shared_from_this()](const asio::error_code& error) { self->onReadable(error); });
    }

    void onReadable(const asio::error_code& error) {
        if (closed_ || replying_) return;
        if (error) return close(true);
        asio::error_code readError;
        const std::size_t count = socket_.read_some(asio::buffer(shared_->scratch), readError);
        if (readError == asio::error::would_block || readError == asio::error::try_again) return awaitInput();
        if (readError == asio::error::eof) {
            // Half-closed after a complete request: the client still waits for its reply.
            if (handled_) return;
            return close(true);
        }
        if (readError) return close(true);
        if (handled_) return awaitInput();  // bytes after the request are not ours to read
        input_.append(shared_->scratch.data(), count);
        parse();
    }

    void parse() {
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
        serve(*request);
        // Keep watching the socket while the reply is produced: a reset means the
        // client has gone and its work can be dropped.
        if (!closed_ && !replying_) awaitInput();
    }

    void serve(const ControlHTTPRequest& request) {
        if (request.method == "GET" && request.path == "/health") return respond(shared_->health);
        if (request.method == "GET" && !shared_->staticPrefix.empty() &&
            request.path.starts_with(shared_->staticPrefix)) {
            // A query never selects another file.
            const auto it = shared_->staticFiles.find(request.path.substr(0, request.path.find('?')));
            return respond(it != shared_->staticFiles.end() ? it->second : shared_->staticMissing);
        }
        if (!request.authenticated(shared_->token)) return respond(shared_->unauthorized);
        auto exchange = std::make_shared<ControlResponder::Exchange>();
        exchange->shared = shared_;
        exchange->peer = weak_from_this();
        asio::error_code ignored;
        const auto remote = socket_.remote_endpoint(ignored);
        if (!ignored) exchange->client = remote.address().to_string() + ":" + std::to_string(remote.port());
        exchange_ = exchange;
        ControlResponder responder(std::move(exchange));
        try {
            shared_->handler(request, responder);
        } catch (...) {
            // A failing handler must still answer, and must not take the server down.
            responder.reply(ControlHTTPReply(502, {{"ok", false}}));
        }
    }

    void finish() {
        if (closed_) return;
        asio::error_code error;
        socket_.shutdown(tcp::socket::shutdown_send, error);
        // Closing with unread input makes the kernel send a reset, which can destroy
        // the reply before the client reads it; take what has already arrived.
        for (int i = 0; i < 16 && !error; ++i) socket_.read_some(asio::buffer(shared_->scratch), error);
        close(false);
    }

    tcp::socket socket_;
    asio::steady_timer deadline_;
    net::ConnectionSlot slot_;
    std::shared_ptr<Shared> shared_;
    /// Weak: when the handler lets go of every responder unanswered, the exchange
    /// goes and answers 502 at once.
    std::weak_ptr<ControlResponder::Exchange> exchange_;
    std::string input_;
    bool handled_ = false;
    bool replying_ = false;
    bool closed_ = false;
};

}  // namespace

ControlResponder::Exchange::~Exchange() {
    if (!answered.exchange(true)) send(shared->handlerFailed);
}

void ControlResponder::Exchange::send(Wire wire) {
    shared->post([peer = peer, wire = std::move(wire)] {
        if (const auto live = peer.lock()) live->respond(wire);
    });
}

void ControlResponder::reply(const ControlHTTPReply& reply) const {
    if (exchange_->answered.exchange(true)) return;
    if (exchange_->gone) return;
    exchange_->send(wireOf(reply));
}

const std::string& ControlResponder::client() const noexcept { return exchange_->client; }

bool ControlResponder::gone() const noexcept { return exchange_->gone.load(); }

std::function<bool()> ControlResponder::goneCheck() const {
    return [exchange = exchange_] { return exchange->gone.load(); };
}

struct ControlServer::Impl {
    Impl(ApiToken loaded, std::uint16_t port) : token(std::move(loaded)), listenPort(port) {}

    ApiToken token;
    std::uint16_t listenPort;
    std::string bindAddress = "0.0.0.0";  // read and written on the io thread
    net::IoThread io{"VAREK.ControlAPI"};
    std::shared_ptr<Shared> shared;
    std::shared_ptr<net::TcpListener> listener;  // set on the io thread, under listenerMutex
    mutable std::mutex listenerMutex;

    void dropListener() {
        std::lock_guard lock(listenerMutex);
        if (listener) listener->close();
        listener.reset();
    }
};

ControlServer::ControlServer(std::uint16_t listenPort, Handler handler, const std::filesystem::path& supportDirectory)
    : impl_(std::make_unique<Impl>(ApiToken::loadOrCreate(supportDirectory), listenPort)) {
    Impl& impl = *impl_;
    impl.shared = std::make_shared<Shared>(impl.token.token, std::move(handler), impl.io.executor());
    impl.shared->health = wireOf(ControlHTTPReply(200, {{"ok", true},
                                                        {"service", "VAREK output control"},
                                                        {"serial_connected", "use authenticated /v1/status"},
                                                        {"source_sha", platform::sourceSHA()}}));
}

ControlServer::~ControlServer() {
    Impl& impl = *impl_;
    impl.io.call([&impl] {
        impl.dropListener();
        std::vector<std::weak_ptr<Peer>> live;
        for (const auto& entry : impl.shared->peers) live.push_back(entry.second);
        for (const auto& weak : live) {
            if (const auto peer = weak.lock()) peer->close(true);
        }
    });
    {
        // Responders held elsewhere may still answer; from now on they post nothing.
        std::lock_guard lock(impl.shared->postMutex);
        impl.shared->open = false;
    }
    impl.io.join();
}

void ControlServer::start(ListenerCallback events) {
    Impl& impl = *impl_;
    impl.io.call([&impl, &events] {
        impl.dropListener();
        auto listener = std::make_shared<net::TcpListener>(
            impl.io.context(), connectionLimit, connectionsPerAddress,
            [shared = impl.shared](tcp::socket socket, net::ConnectionSlot slot) {
                std::make_shared<Peer>(std::move(socket), std::move(slot), shared)->start();
            });
        listener->open(impl.bindAddress, impl.listenPort, std::move(events));
        std::lock_guard lock(impl.listenerMutex);
        impl.listener = std::move(listener);
    });
}

void ControlServer::serveStatic(std::string prefix, const std::map<std::string, StaticFile>& files) {
    Impl& impl = *impl_;
    std::unordered_map<std::string, Wire> wires;
    for (const auto& [path, file] : files) {
        wires.emplace(path, std::make_shared<const std::string>(StaticHTTPReply{200, file.contentType, file.body}.wire()));
    }
    auto missing = std::make_shared<const std::string>(
        StaticHTTPReply{404, "text/plain; charset=utf-8", "Not found\n"}.wire());
    impl.io.call([&impl, &prefix, &wires, &missing] {
        impl.shared->staticPrefix = std::move(prefix);
        impl.shared->staticFiles = std::move(wires);
        impl.shared->staticMissing = std::move(missing);
    });
}

void ControlServer::setBindAddress(std::string address) {
    Impl& impl = *impl_;
    impl.io.call([&impl, &address] { impl.bindAddress = std::move(address); });
}

void ControlServer::stop() {
    Impl& impl = *impl_;
    impl.io.call([&impl] { impl.dropListener(); });
}

const std::string& ControlServer::token() const noexcept { return impl_->token.token; }
const std::filesystem::path& ControlServer::tokenPath() const noexcept { return impl_->token.path; }
std::uint16_t ControlServer::listenPort() const noexcept { return impl_->listenPort; }

std::uint16_t ControlServer::boundPort() const noexcept {
    std::lock_guard lock(impl_->listenerMutex);
    return impl_->listener ? impl_->listener->boundPort() : 0;
}

std::size_t ControlServer::connections() const noexcept { return impl_->shared->openConnections.load(); }

std::map<int, std::uint64_t> ControlServer::replyCounts() const {
    std::lock_guard lock(impl_->shared->countMutex);
    return impl_->shared->replies;
}

}  // namespace varek
