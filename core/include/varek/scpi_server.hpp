#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "varek/scpi_instrument.hpp"

namespace varek {

/// SCPI over raw TCP on 0.0.0.0:port: one io thread ("VAREK.SCPI") owns the
/// listener and every connection; each connection has its own instrument.
class SCPIServer {
public:
    static constexpr std::uint16_t port = 5025;
    /// Called on the io thread once per accepted connection.
    using Factory = std::function<std::unique_ptr<SCPIInstrument>()>;
    /// Receives status texts on the io thread.
    using StateCallback = std::function<void(const std::string&)>;

    SCPIServer(std::uint16_t listenPort, Factory factory, std::size_t workerThreads = 2);
    /// Stops, then joins the io thread and the line workers.
    ~SCPIServer();
    SCPIServer(const SCPIServer&) = delete;
    SCPIServer& operator=(const SCPIServer&) = delete;

    /// Throws only when the listener cannot be created; bind/listen failures arrive
    /// through `state` as "SCPI failed: " + description.
    void start(StateCallback state);
    /// From any thread: stops listening, cancels line work and closes every connection.
    void stop();

    std::uint16_t listenPort() const noexcept;
    /// The bound port once listening (useful with listenPort 0), else 0.
    std::uint16_t boundPort() const noexcept;

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

}  // namespace varek
