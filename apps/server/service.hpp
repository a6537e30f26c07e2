#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "link_supervisor.hpp"
#include "service_options.hpp"
#include "varek/listener.hpp"
#include "varek/metrics_server.hpp"
#include "varek/poller.hpp"
#include "varek/sample_recorder.hpp"

namespace varek {

class ControlServer;
class DeviceWorker;
class SCPIServer;
class SerialSession;

/// What keeps varek-server useful when left running: link supervision, the poller
/// feeding the recorder and the metrics, and the metrics listener. None of it
/// writes to the supply; all device work goes through the worker.
class Service {
public:
    using Lines = LinkSupervisor::Lines;

    /// Supervision starts at once; the rest waits for start(). `session`, `worker`
    /// and the servers passed later must outlive the service.
    Service(const ServiceOptions& options, SerialSession& session, DeviceWorker& worker,
            LinkSupervisor::Settings link, Lines lines);
    ~Service();
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    /// Starts the poller and, when asked for, the metrics listener (its events go to
    /// `metricsEvents`). The servers are read for their counters only.
    void start(const ControlServer* control, const SCPIServer* scpi, ListenerCallback metricsEvents);
    /// Stops the metrics listener.
    void stopListening();
    /// Stops polling (and recording) and supervision. Call after the session
    /// refuses transactions, before the worker stops.
    void stop();

    /// The scrape text: the latest sample and the counters, from memory.
    std::string exposition();

private:
    void consume(const Poller::Result& result);
    void count(const SerialSession::TransactionOutcome& outcome);

    const ServiceOptions options_;
    SerialSession& session_;
    DeviceWorker& worker_;
    const DeviceIdentity identity_;
    const Lines lines_;
    const std::chrono::milliseconds period_;
    LinkSupervisor supervisor_;
    std::unique_ptr<SampleRecorder> recorder_;  // poller thread only
    std::unique_ptr<Poller> poller_;
    std::unique_ptr<MetricsServer> metrics_;
    const ControlServer* control_ = nullptr;
    const SCPIServer* scpi_ = nullptr;

    std::mutex mutex_;  // guards what follows
    std::optional<PowerSample> latest_;
    std::optional<std::chrono::steady_clock::time_point> latestAt_;  // when the latest good poll ended
    bool lastPollOk_ = false;
    std::map<std::string, std::uint64_t> transactions_;
};

}  // namespace varek
