#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <deque>
#include <string>
#include <thread>
#include <condition_variable>

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

    /// The poller's newest sample and how long ago it was taken.
    struct Latest {
        PowerSample sample;
        double ageSeconds = 0;
        /// False once it is older than three periods or the last poll failed.
        bool fresh = false;
    };
    /// One poll kept for the chart's first paint.
    struct HistoryPoint {
        Timestamp time;
        double voltage = 0;
        double current = 0;
        double power = 0;
    };
    /// What a dashboard shows about the service besides the sample.
    struct State {
        LinkSupervisor::State link;
        std::uint64_t reconnects = 0;
        /// Reads per second while the poller runs; nothing while it does not.
        std::optional<int> pollHertz;
        /// True when polling runs only while someone asks for the latest sample.
        bool onDemand = false;
        std::optional<std::filesystem::path> recordDirectory;
        std::optional<std::filesystem::path> recordFile;
        bool recordPaused = false;
        std::string recordReason;
    };
    /// Someone watches the latest sample: without --poll, --record or --metrics-port
    /// this starts the 1 Hz poller, which stops once nobody asked for a minute.
    void watched();
    /// The newest sample; nothing before the first. From memory only.
    std::optional<Latest> latest();
    /// The samples of the last hour, oldest first. From memory only.
    std::vector<HistoryPoint> history();
    State state();
    /// How long on-demand polling outlives the last request for the latest sample.
    static constexpr std::chrono::seconds watchLinger{60};

private:
    void consume(const Poller::Result& result);
    void startPoller();
    void lingerWatch();
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
    std::deque<HistoryPoint> history_;
    std::optional<std::filesystem::path> recordFile_;
    bool recordPaused_ = false;
    std::string recordReason_;

    std::mutex pollerMutex_;  // guards poller_, lastWatch_ and stopping_
    std::condition_variable watchChanged_;
    std::chrono::steady_clock::time_point lastWatch_{};
    bool stopping_ = false;
    std::thread lingerThread_;
};

}  // namespace varek
