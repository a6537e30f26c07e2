#pragma once

// Internal to PowerModel: the network servers it hosts and the one hop that brings
// their news to the model's thread.

#include <QObject>
#include <QPointer>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "varek/control_server.hpp"
#include "varek/device.hpp"
#include "varek/listener.hpp"
#include "varek/output_request_queue.hpp"

class QThreadPool;

namespace varek {

class SCPIServer;
class SerialSession;

/// Hosts the HTTP control API for the whole run and SCPI while a supply is connected.
/// Lives on its owner's thread: requests and listener events reach the owner there,
/// each by one queued hop, and only while the owner exists. The SCPI server is made,
/// started, stopped and destroyed on the session thread, never on the owner's.
class ApiHost {
public:
    /// What the owner is told, always on its own thread.
    struct Hooks {
        /// An authenticated request; answer through the responder, now or later.
        std::function<void(const ControlHTTPRequest&, ControlResponder)> request;
        /// The control server's listener state.
        std::function<void(const ListenerEvent&)> apiEvent;
        /// SCPI could not start: the system's description of why.
        std::function<void(const std::string& reason)> scpiFailed;
    };

    /// `sessionThread` runs SCPI's device jobs and its start and end; it must outlive this host.
    ApiHost(QObject& owner, QThreadPool& sessionThread, Hooks hooks);
    /// Closes the control server (joining its thread) and queues the SCPI server's end
    /// on the session thread, which the owner joins afterwards.
    ~ApiHost();
    ApiHost(const ApiHost&) = delete;
    ApiHost& operator=(const ApiHost&) = delete;

    /// Creates the control server (token file included) and starts listening; the
    /// description of the failure when either step throws.
    std::optional<std::string> startControlServer(std::uint16_t port, const std::filesystem::path& supportDirectory);
    /// The control server's token file, once it exists.
    std::optional<std::filesystem::path> tokenPath() const;
    /// The control server's token; empty without a server.
    std::string token() const;
    /// The control server's bound port; 0 while not listening.
    std::uint16_t httpPort() const;

    /// Starts SCPI for the connected supply on the session thread; each connection
    /// refuses setpoints above the ceilings packed in `ceilings` (voltage << 16 | current) then.
    void startSCPI(std::uint16_t port, std::shared_ptr<SerialSession> session, const DeviceIdentity& identity,
                   std::shared_ptr<const std::atomic<std::uint32_t>> ceilings);
    /// Stops and destroys the SCPI server on the session thread, ahead of any session
    /// work queued after this call; no-op without one.
    void stopSCPI();
    /// True from startSCPI until stopSCPI.
    bool hasSCPIServer() const;
    /// SCPI's bound port once it reported listening; 0 otherwise.
    std::uint16_t scpiPort() const;

    /// API output switching, one operation at a time (owner's thread).
    OutputRequestQueue& outputQueue() { return outputs_; }

private:
    struct ScpiSlot;
    struct ScpiState;

    QPointer<QObject> owner_;
    QThreadPool& sessionThread_;
    Hooks hooks_;
    std::unique_ptr<ControlServer> control_;
    std::shared_ptr<ScpiSlot> scpi_;        // the server itself: session thread only
    std::shared_ptr<ScpiState> scpiState_;  // what the owner sees: owner's thread only
    OutputRequestQueue outputs_;
};

}  // namespace varek
