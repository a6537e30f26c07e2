#pragma once

#include <QObject>
#include <QPointer>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "model_state.hpp"
#include "varek/control_server.hpp"
#include "varek/listener.hpp"

namespace varek {

class SCPIServer;
class SupplyApi;
class SupplyEngine;

/// One supply's network servers in the desktop application: the HTTP control API for
/// the whole run (its routes are the engine's, with the desktop's rules: status from
/// the window, writes only while connected, their effects shown and logged) and SCPI
/// while a supply is connected. Requests reach the GUI thread by one queued hop; the
/// SCPI server is made, started, stopped and destroyed on the device thread.
class ApiHosting : public QObject {
public:
    /// `state` and `engine` must outlive this object; `generation` is LinkControl's.
    ApiHosting(ModelState& state, SupplyEngine& engine, std::function<std::int64_t()> generation);
    /// Closes the control server (joining its thread) and queues SCPI's end on the device thread.
    ~ApiHosting() override;

    /// Creates the control server (token file included) and starts listening; the
    /// failure shows as `apiState`.
    void startControlServer(std::uint16_t port, const std::filesystem::path& supportDirectory);
    /// The control server's token; empty without a server.
    std::string token() const;
    /// The control server's bound port; 0 while not listening.
    std::uint16_t httpPort() const;

    /// Starts SCPI on `port` for the connected supply.
    void startSCPI(std::uint16_t port);
    /// Stops and destroys the SCPI server ahead of any device work queued after this call.
    void stopSCPI();
    /// True from startSCPI until stopSCPI.
    bool hasSCPIServer() const { return scpiRunning_; }
    /// SCPI's bound port once it reported listening; 0 otherwise.
    std::uint16_t scpiPort() const { return scpiPort_; }
    /// API output requests in line (running, queued or merged).
    std::size_t switchesPending() const;

private:
    struct ScpiSlot;
    /// The desktop's status object: the sample's keys only while it is live.
    Json status() const;

    ModelState& state_;
    SupplyEngine& engine_;
    std::function<std::int64_t()> generation_;
    std::unique_ptr<SupplyApi> api_;
    std::unique_ptr<ControlServer> control_;
    std::shared_ptr<ScpiSlot> scpi_;  // the server itself: device thread only
    std::uint64_t scpiGeneration_ = 0;  // which start SCPI's news belong to
    bool scpiRunning_ = false;
    std::uint16_t scpiPort_ = 0;
};

}  // namespace varek
