#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "varek/http.hpp"
#include "varek/listener.hpp"
#include "varek/platform.hpp"

namespace varek {

/// The answering end of one authenticated request. Copyable; any thread.
class ControlResponder {
public:
    struct Exchange;
    explicit ControlResponder(std::shared_ptr<Exchange> exchange) : exchange_(std::move(exchange)) {}

    /// Sends `reply` and closes the connection; only the first call counts, and a
    /// reply for a connection that is gone is dropped.
    void reply(const ControlHTTPReply& reply) const;
    /// The client's "address:port" (empty when it could not be read).
    const std::string& client() const noexcept;
    /// True once the client reset or failed, or the connection's 15 s ran out:
    /// device work for it should not start.
    bool gone() const noexcept;
    /// `gone()` as a predicate that keeps only the small shared state alive.
    std::function<bool()> goneCheck() const;

private:
    std::shared_ptr<Exchange> exchange_;
};

/// The HTTP control API listener: one io thread ("VAREK.ControlAPI") for the
/// listener and every connection. /health, 400 and 401 are answered there.
class ControlServer {
public:
    static constexpr std::uint16_t port = 18760;
    /// Connections served at once; more are closed as soon as they are accepted.
    static constexpr std::size_t connectionLimit = 256;
    /// Of those, the most one client address holds; its further connections are closed
    /// the same way. An eighth: one address, however busy, leaves seven eighths to the rest.
    static constexpr std::size_t connectionsPerAddress = 32;
    /// Called on the io thread once per authenticated, non-health request. It must
    /// not block: device work goes elsewhere and answers through the responder.
    /// A handler that throws, or drops every copy of its responder without
    /// replying, answers 502 {"ok":false}.
    using Handler = std::function<void(const ControlHTTPRequest&, ControlResponder)>;

    /// Loads or creates the token file; throws VarekError on failure. Does not listen yet.
    ControlServer(std::uint16_t listenPort, Handler handler,
                  const std::filesystem::path& supportDirectory = platform::applicationSupportDirectory());
    /// Stops listening, closes every connection and joins the io thread.
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    /// Files answered to GET without a token, by exact path (no query); other GETs
    /// under `prefix` get a 404 page. Every other request under `prefix` keeps the
    /// API's rules. Call before start(); the views must outlive the server.
    struct StaticFile {
        std::string_view contentType;
        std::string_view body;
    };
    void serveStatic(std::string prefix, const std::map<std::string, StaticFile>& files);
    /// The IPv4 address start() binds from now on ("0.0.0.0" unless set).
    void setBindAddress(std::string address);
    /// Starts listening on the bind address. Throws VarekError::io only when the socket cannot
    /// be created; bind and listen failures arrive through `events` as `failed`.
    void start(ListenerCallback events);
    /// Stops listening; accepted connections finish or hit their 15-second limit.
    void stop();

    const std::string& token() const noexcept;
    const std::filesystem::path& tokenPath() const noexcept;
    std::uint16_t listenPort() const noexcept;
    /// The bound port once listening (useful with listenPort 0), else 0.
    std::uint16_t boundPort() const noexcept;
    /// Open connections (for tests and diagnostics).
    std::size_t connections() const noexcept;
    /// Replies sent so far by HTTP status, /health, 400 and 401 included. Any thread.
    std::map<int, std::uint64_t> replyCounts() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace varek
