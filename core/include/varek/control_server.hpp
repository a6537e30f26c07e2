#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "varek/http.hpp"
#include "varek/platform.hpp"

namespace varek {

/// The HTTP control API listener: 0.0.0.0:port, one io thread ("VAREK.ControlAPI")
/// for the listener and every connection, handlers on a worker pool.
class ControlServer {
public:
    static constexpr std::uint16_t port = 18760;
    /// Called on a worker thread, one call per authenticated, non-health request;
    /// if it throws, the client gets 502 {"ok":false}.
    using Handler = std::function<ControlHTTPReply(const ControlHTTPRequest&)>;
    /// Receives human-readable status lines, on the io thread.
    using StateCallback = std::function<void(const std::string&)>;

    /// Loads or creates the token file; throws VarekError (or std::exception) on failure.
    /// Does not listen yet.
    ControlServer(std::uint16_t listenPort, Handler handler,
                  const std::filesystem::path& supportDirectory = platform::applicationSupportDirectory(),
                  std::size_t workerThreads = 4);
    /// Stops listening, cancels every connection, joins the io thread and the workers.
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    /// Starts listening. Throws only when the listener cannot be created; bind and
    /// listen failures arrive through `state` as "API启动失败：" + description.
    void start(StateCallback state);
    /// Stops listening; accepted connections finish or hit their 15-second limit.
    void stop();

    const std::string& token() const noexcept;
    const std::filesystem::path& tokenPath() const noexcept;
    std::uint16_t listenPort() const noexcept;
    /// The bound port once listening (useful with listenPort 0), else 0.
    std::uint16_t boundPort() const noexcept;

    /// The build's source revision, or "development".
    static std::string sourceSHA();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace varek
