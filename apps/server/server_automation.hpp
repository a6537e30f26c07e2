#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "headless_api.hpp"
#include "varek/control_server.hpp"
#include "varek/device.hpp"
#include "varek/safety_ceilings.hpp"
#include "varek/sequence_runner.hpp"

namespace varek {

class DeviceWorker;
class SerialSession;

/// The automation routes of varek-server: POST /v1/setpoints, GET /v1/sample and
/// the sequence routes. Like HeadlessAPI it routes on the io thread and sends every
/// device operation, the sequence's included, through the one worker.
class ServerAutomation {
public:
    /// `session`, `worker` and `status` must outlive this object; `status` makes the
    /// ten-key body that a setpoints reply extends.
    /// Receives one audit line per write made for a client (setpoints, sequence steps).
    using Audit = std::function<void(const std::string& line)>;

    ServerAutomation(SerialSession& session, DeviceIdentity identity, DeviceWorker& worker,
                     SafetyCeilings ceilings, const HeadlessAPI& status, Audit audit = {});
    ServerAutomation(const ServerAutomation&) = delete;
    ServerAutomation& operator=(const ServerAutomation&) = delete;

    /// Answers `request` and returns true when its path is one of these routes (or
    /// unknown to both tables); false leaves the standard routes and their 405s to HeadlessAPI.
    bool handle(const ControlHTTPRequest& request, const ControlResponder& responder);
    /// Aborts a running sequence without any write and refuses new ones. Does not block.
    void close();
    /// Waits for the sequence's thread; after the worker stopped, this returns promptly.
    void join();
    /// The running or last sequence's progress; nothing before the first.
    std::optional<SequenceProgress> progress() const { return runner_.progress(); }

private:
    void setpoints(const std::string& body, const ControlResponder& responder);
    void sample(const ControlResponder& responder);
    void startSequence(const std::string& body, const ControlResponder& responder);
    void sequenceProgress(const ControlResponder& responder);
    void stopSequence(const ControlResponder& responder);

    SerialSession& session_;
    const DeviceIdentity identity_;
    DeviceWorker& worker_;
    const SafetyCeilings ceilings_;
    const HeadlessAPI& status_;
    void audit(const std::string& line) const {
        if (audit_) audit_(line);
    }
    void sequenceEvent(const SequenceProgress& progress);
    /// `device` with its writes attributed to the sequence and its starter.
    SequenceDevice attributed(SequenceDevice device);

    const Audit audit_;
    std::mutex starterMutex_;
    std::string starter_;  ///< the client that started the latest sequence
    std::string sequenceName_;  ///< its profile's name
    SequenceRunner runner_;
};

}  // namespace varek
