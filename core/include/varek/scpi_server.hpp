#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "varek/listener.hpp"
#include "varek/scpi_instrument.hpp"

namespace varek {

class SCPIPeer;

/// SCPI over raw TCP on 0.0.0.0:port: one io thread ("VAREK.SCPI") owns the
/// listener and every connection; each connection has its own instrument. Lines
/// that need no device are answered on the io thread at once; device lines go to
/// the owner's dispatch one at a time per connection.
class SCPIServer {
public:
    static constexpr std::uint16_t port = 5025;
    /// Connections served at once; more are closed as soon as they are accepted.
    static constexpr std::size_t connectionLimit = 128;
    /// Of those, the most one client address holds; its further connections are closed
    /// the same way. An eighth, as for the HTTP API.
    static constexpr std::size_t connectionsPerAddress = 16;
    /// Called on the io thread once per accepted connection.
    using Factory = std::function<std::unique_ptr<SCPIInstrument>()>;
    /// Like Factory, told the client's "address:port" (for audit lines).
    using PeerFactory = std::function<std::unique_ptr<SCPIInstrument>(const std::string& peer)>;
    /// Runs `job(true)` later on a thread that may wait on the supply, or `job(false)`
    /// when it is shutting down; returns false when it refuses the job outright.
    using Dispatch = std::function<bool(std::function<void(bool run)> job)>;

    /// Without `dispatch`, device lines run on a worker thread of the server's own.
    SCPIServer(std::uint16_t listenPort, Factory factory, Dispatch dispatch = {});
    /// The same with a factory that learns who connected.
    SCPIServer(std::uint16_t listenPort, PeerFactory factory, Dispatch dispatch);
    /// Stops, then joins the io thread (and its own worker).
    ~SCPIServer();
    SCPIServer(const SCPIServer&) = delete;
    SCPIServer& operator=(const SCPIServer&) = delete;

    /// The IPv4 address start() binds from now on ("0.0.0.0" unless set).
    void setBindAddress(std::string address);
    /// Throws VarekError::io only when the socket cannot be created; bind and listen
    /// failures arrive through `events` as `failed`.
    void start(ListenerCallback events);
    /// From any thread: stops listening and closes every connection; device work of
    /// those connections that has not started is dropped.
    void stop();

    std::uint16_t listenPort() const noexcept;
    /// The bound port once listening (useful with listenPort 0), else 0.
    std::uint16_t boundPort() const noexcept;
    /// Open connections (for tests and diagnostics).
    std::size_t connections() const noexcept;

private:
    friend class SCPIPeer;
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

}  // namespace varek
