#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "varek/device.hpp"
#include "varek/device_worker.hpp"
#include "varek/link_supervisor.hpp"
#include "varek/metrics_text.hpp"
#include "varek/output_request_queue.hpp"
#include "varek/safety_ceilings.hpp"
#include "varek/sample_feed.hpp"
#include "varek/scpi_server.hpp"
#include "varek/sequence_runner.hpp"
#include "varek/serial_session.hpp"
#include "varek/setpoints.hpp"

namespace varek {

/// Who asked for a write: the channel ("HTTP", "SCPI") and the client's address.
struct ApiClient {
    std::string channel;
    std::string address;
};

/// One supply, whichever program hosts it: its session and the one thread that waits
/// on it ("VAREK.Device"), ordered output switching, setpoint writes under the
/// ceilings and the identity guard, the sample feed (poller, latest sample, history,
/// recording), link supervision, the sequence runner, audit lines, SCPI instruments
/// and the values the metrics expose. Its API routes are SupplyApi's. Thread-safe.
class SupplyEngine {
public:
    /// What the engine reports, on its own threads; each must be quick. All optional.
    struct Events {
        /// A complete audit line for a write made for a client ("Audit <time> ...").
        std::function<void(const std::string& line)> audit;
        /// Link supervision's lines ("Link lost: ...").
        std::function<void(const std::string& line)> link;
        /// Continuous recording paused or resumed.
        std::function<void(const RecorderEvent&)> recording;
        /// A sequence step began, or a run ended.
        std::function<void(const SequenceProgress&)> sequence;
        /// A write reported unconfirmed took effect after all (its audit line is written too).
        std::function<void(const SerialSession::LateWrite&)> late;
    };
    /// The outcome of a write: a confirmed sample, the error, or a ceiling's refusal
    /// (then nothing was written). Neither sample nor error: it never ran.
    struct WriteOutcome {
        std::optional<PowerSample> sample;
        std::optional<VarekError> error;
        std::optional<CeilingBreach> refused;
    };
    using WriteDone = std::function<void(const WriteOutcome&)>;

    /// Starts the device thread; nothing is open yet.
    explicit SupplyEngine(Events events = {});
    /// close().
    ~SupplyEngine();
    SupplyEngine(const SupplyEngine&) = delete;
    SupplyEngine& operator=(const SupplyEngine&) = delete;

    /// The one session; its operations belong on the device thread (post()).
    SerialSession& session() noexcept { return session_; }
    /// Queues `job` on the device thread; false once closed (then it is never called).
    bool post(DeviceWorker::Job job);

    /// The supply this engine serves from now on (call on the device thread, after a
    /// connect): its writes go only to it, and its API bodies name it.
    void serve(const DeviceIdentity& identity);
    /// The supply served; nothing before serve().
    std::optional<DeviceIdentity> identity() const;
    /// Upper bounds of every write from now on. Any thread; never waits.
    void setCeilings(const SafetyCeilings& ceilings);
    SafetyCeilings ceilings() const noexcept;

    /// Writes `request` on the device thread for `client` (audited; a late effect is
    /// attributed to it) unless `wanted` says nobody waits any more; `done` hears the
    /// outcome on the device thread, and not at all when nobody waited.
    void writeSetpoints(const SetpointRequest& request, const ApiClient& client, std::function<bool()> wanted,
                        WriteDone done);
    /// One output switch on the device thread for `client`, confirmed by read-back;
    /// `done` as for writeSetpoints. Ordering and merging are the output queue's.
    void writeOutput(bool on, const ApiClient& client, std::function<bool()> wanted, WriteDone done);
    /// One status read on the device thread; `done` hears it there.
    void readSample(std::function<bool()> wanted, WriteDone done);
    /// API output switching in one line (see OutputRequestQueue).
    OutputRequestQueue& outputs() noexcept { return outputs_; }

    /// Samples, history, polling and recording.
    SampleFeed& feed() noexcept { return *feed_; }
    /// Keeps the link to `settings.expected` at `settings.path` from now on (see LinkSupervisor).
    void supervise(LinkSupervisor::Settings settings);
    /// Link state; connected when nothing supervises.
    LinkSupervisor::State linkState() const;
    std::uint64_t reconnects() const;

    /// The sequence runner; its device work runs on the device thread.
    SequenceRunner& sequences() noexcept { return *runner_; }
    /// Starts `profile` for `starter` (its steps are audited as the starter's); false while one runs.
    bool startSequence(SequenceProfile profile, const ApiClient& starter);

    /// Instruments for SCPI connections, bound to this supply and its ceilings at connect time.
    SCPIServer::PeerFactory instruments();
    /// SCPI's device lines on the device thread.
    SCPIServer::Dispatch dispatch();

    /// What one scrape reports, from memory; `extend` adds the host's counters.
    MetricsSnapshot metrics() const;

    /// A running sequence ends without another write (and none starts again): shutdown.
    void closeSequences();
    /// For shutdown, in this order: no sequence, no new transaction, no polling,
    /// recording or supervision, queued device work refused, the port closed. Idempotent.
    void close();

private:
    void audit(const ApiClient& client, const std::string& asked, const WriteOutcome& outcome) const;
    void sequenceNews(const SequenceProgress& progress);
    void count(const SerialSession::TransactionOutcome& outcome);

    const Events events_;
    SerialSession session_;
    DeviceWorker worker_{"VAREK.Device"};
    OutputRequestQueue outputs_;
    std::unique_ptr<SampleFeed> feed_;
    std::unique_ptr<SequenceRunner> runner_;

    mutable std::mutex mutex_;  // guards what follows
    std::optional<DeviceIdentity> identity_;
    std::unique_ptr<LinkSupervisor> supervisor_;
    std::map<std::string, std::uint64_t> transactions_;
    ApiClient starter_;
    std::string sequenceName_;
    std::atomic<std::uint32_t> ceilings_;
};

}  // namespace varek
