#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "varek/device.hpp"
#include "varek/device_worker.hpp"
#include "varek/poller.hpp"
#include "varek/sample_recorder.hpp"

namespace varek {

class SerialSession;

/// A supply's samples as its programs keep them: the poller when one is asked for
/// (always, or only while someone watches), the latest sample, the last hour, and
/// continuous recording on a thread of its own ("VAREK.Record"), so a slow disk never
/// holds up the supply's line or a host's thread. Thread-safe.
class SampleFeed {
public:
    /// The newest sample and how long ago it was taken.
    struct Latest {
        PowerSample sample;
        double ageSeconds = 0;
        /// False once it is older than three periods or the last poll failed.
        bool fresh = false;
    };
    /// One sample kept for a chart's first paint.
    struct HistoryPoint {
        Timestamp time;
        double voltage = 0;
        double current = 0;
        double power = 0;
    };
    /// Continuous recording as clients see it.
    struct Recording {
        std::filesystem::path directory;
        std::optional<std::filesystem::path> file;
        bool paused = false;
        std::string reason;
    };
    using RecorderNews = std::function<void(const RecorderEvent&)>;
    /// How long on-demand polling outlives the last request for the latest sample.
    static constexpr std::chrono::seconds watchLinger{60};
    /// How much history is kept.
    static constexpr std::chrono::hours historySpan{1};

    /// `worker` and `session` must outlive the feed.
    SampleFeed(DeviceWorker& worker, SerialSession& session);
    /// A feed of published samples only (a supply read elsewhere): it never polls.
    SampleFeed();
    /// stop().
    ~SampleFeed();
    SampleFeed(const SampleFeed&) = delete;
    SampleFeed& operator=(const SampleFeed&) = delete;

    /// Polls `hertz` times a second (1, 2, 5 or 10) from now on, start to start (a feed
    /// of published samples only ignores this and watched()).
    void poll(int hertz);
    /// Someone watches the latest sample: without poll() this starts polling at 1 Hz,
    /// which stops once nobody asked for a minute.
    void watched();
    /// A sample the host took itself (the desktop's own polling): kept and recorded like a polled one.
    void publish(const PowerSample& sample);

    /// Records every sample from now on (`news` hears of pauses and resumptions, on
    /// the recorder's thread). Replaces a recorder already running.
    void startRecording(SampleRecorder::Options options, RecorderNews news);
    /// Ends recording; rows already handed over are still written, then the file is synced and closed.
    void stopRecording();

    /// The newest sample; nothing before the first. From memory only.
    std::optional<Latest> latest() const;
    /// The samples of the last hour, oldest first. From memory only.
    std::vector<HistoryPoint> history() const;
    /// Recording's state; nothing while it is off.
    std::optional<Recording> recording() const;
    /// Reads per second while the poller runs; nothing while it does not.
    std::optional<int> pollHertz() const;
    /// True when polling runs only while someone watches.
    bool onDemand() const;
    /// The last poll succeeded and is recent (what metrics call up).
    bool up() const;

    /// Stops polling and recording (rows queued are written first). Idempotent.
    void stop();

private:
    void consume(const Poller::Result& result);
    void keep(const PowerSample& sample);
    void startPollerLocked();
    void lingerWatch();
    std::chrono::milliseconds period() const;

    DeviceWorker* worker_ = nullptr;
    SerialSession* session_ = nullptr;

    mutable std::mutex mutex_;  // guards the samples and the recording state
    std::optional<PowerSample> latest_;
    std::optional<std::chrono::steady_clock::time_point> latestAt_;
    bool lastPollOk_ = false;
    std::deque<HistoryPoint> history_;
    std::optional<Recording> recording_;

    mutable std::mutex pollerMutex_;  // guards what follows
    std::optional<int> hertz_;        // asked for with poll()
    std::unique_ptr<Poller> poller_;
    std::condition_variable watchChanged_;
    std::chrono::steady_clock::time_point lastWatch_{};
    bool stopping_ = false;
    std::thread lingerThread_;

    // The recorder lives on its own line; `recorderSlot_` is touched there only.
    struct RecorderSlot;
    std::shared_ptr<RecorderSlot> recorderSlot_;
    std::unique_ptr<DeviceWorker> recorderLine_;
};

}  // namespace varek
