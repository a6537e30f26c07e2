#include "varek/sample_feed.hpp"

#include <future>

#include "varek/format.hpp"
#include "varek/platform.hpp"

namespace varek {

namespace {

/// At 10 Hz an hour is this many samples; a host publishing faster keeps no more.
constexpr std::size_t historyLimit = 36000;

}  // namespace

struct SampleFeed::RecorderSlot {
    std::unique_ptr<SampleRecorder> writer;  // the recorder's line only
    RecorderNews news;
};

SampleFeed::SampleFeed(DeviceWorker& worker, SerialSession& session) : worker_(&worker), session_(&session) {}

SampleFeed::SampleFeed() = default;

SampleFeed::~SampleFeed() { stop(); }

std::chrono::milliseconds SampleFeed::period() const {
    std::lock_guard lock(pollerMutex_);
    return std::chrono::milliseconds(1000 / hertz_.value_or(1));
}

void SampleFeed::poll(int hertz) {
    if (!worker_) return;
    std::unique_ptr<Poller> previous;
    {
        std::lock_guard lock(pollerMutex_);
        if (stopping_ || hertz_ == hertz) return;
        hertz_ = hertz;
        previous = std::move(poller_);
    }
    // Stopped outside the lock: stop() waits for the consumer, which takes the other mutex only.
    if (previous) previous->stop();
    std::lock_guard lock(pollerMutex_);
    if (!stopping_ && !poller_) startPollerLocked();
}

void SampleFeed::startPollerLocked() {
    const auto period = std::chrono::milliseconds(1000 / hertz_.value_or(1));
    poller_ = std::make_unique<Poller>(*worker_, *session_, period, [this](const Poller::Result& result) {
        consume(result);
    });
}

void SampleFeed::watched() {
    if (!worker_) return;
    std::lock_guard lock(pollerMutex_);
    if (hertz_ || stopping_) return;
    lastWatch_ = std::chrono::steady_clock::now();
    if (poller_) return;
    startPollerLocked();
    if (!lingerThread_.joinable()) lingerThread_ = std::thread([this] { lingerWatch(); });
    watchChanged_.notify_all();
}

void SampleFeed::lingerWatch() {
    platform::nameThisThread("VAREK.Watch");
    std::unique_lock lock(pollerMutex_);
    while (!stopping_) {
        if (!poller_ || hertz_) {
            watchChanged_.wait(lock);
            continue;
        }
        const auto until = lastWatch_ + watchLinger;
        if (std::chrono::steady_clock::now() < until) {
            watchChanged_.wait_until(lock, until);
            continue;
        }
        // Stopped outside the lock: stop() waits for the consumer, which never takes it.
        auto idle = std::move(poller_);
        lock.unlock();
        idle->stop();
        idle.reset();
        lock.lock();
    }
}

void SampleFeed::consume(const Poller::Result& result) {
    {
        std::lock_guard lock(mutex_);
        lastPollOk_ = result.sample.has_value();
    }
    if (result.sample) keep(*result.sample);
}

void SampleFeed::publish(const PowerSample& sample) {
    {
        std::lock_guard lock(mutex_);
        lastPollOk_ = true;
    }
    keep(sample);
}

void SampleFeed::keep(const PowerSample& sample) {
    bool recording = false;
    {
        std::lock_guard lock(mutex_);
        latest_ = sample;
        latestAt_ = std::chrono::steady_clock::now();
        history_.push_back({sample.time, sample.voltage, sample.current, sample.power});
        while (!history_.empty() &&
               (history_.size() > historyLimit || history_.front().time < sample.time - historySpan)) {
            history_.pop_front();
        }
        recording = recording_.has_value();
    }
    if (!recording) return;
    std::lock_guard lock(pollerMutex_);
    if (!recorderLine_) return;
    recorderLine_->post([this, slot = recorderSlot_, sample](bool run) {
        if (!run || !slot->writer) return;
        std::optional<RecorderEvent> event;
        try {
            event = slot->writer->record(sample);
        } catch (const std::exception& error) {
            event = RecorderEvent{RecorderEvent::Kind::paused, {}, error.what()};
        }
        {
            std::lock_guard stateLock(mutex_);
            if (recording_) {
                recording_->file = slot->writer->fileFor(utcDate(sample.time));
                recording_->paused = slot->writer->paused();
                if (event) recording_->reason = event->reason;
            }
        }
        if (event && slot->news) slot->news(*event);
    });
}

void SampleFeed::startRecording(SampleRecorder::Options options, RecorderNews news) {
    stopRecording();
    {
        std::lock_guard lock(mutex_);
        recording_ = Recording{options.directory, std::nullopt, false, {}};
    }
    std::lock_guard lock(pollerMutex_);
    if (stopping_) return;
    if (!recorderLine_) recorderLine_ = std::make_unique<DeviceWorker>("VAREK.Record");
    recorderSlot_ = std::make_shared<RecorderSlot>();
    recorderSlot_->news = std::move(news);
    recorderLine_->post([slot = recorderSlot_, options = std::move(options)](bool run) mutable {
        if (run) slot->writer = std::make_unique<SampleRecorder>(std::move(options));
    });
}

void SampleFeed::stopRecording() {
    {
        std::lock_guard lock(mutex_);
        recording_.reset();
    }
    std::lock_guard lock(pollerMutex_);
    if (!recorderLine_ || !recorderSlot_) return;
    // Synced and closed behind the rows already queued.
    recorderLine_->post([slot = std::move(recorderSlot_)](bool) { slot->writer.reset(); });
    recorderSlot_.reset();
}

std::optional<SampleFeed::Latest> SampleFeed::latest() const {
    const auto span = 3 * period();
    std::lock_guard lock(mutex_);
    if (!latest_ || !latestAt_) return std::nullopt;
    const auto age = std::chrono::steady_clock::now() - *latestAt_;
    return Latest{*latest_, std::chrono::duration<double>(age).count(), lastPollOk_ && age <= span};
}

std::vector<SampleFeed::HistoryPoint> SampleFeed::history() const {
    std::lock_guard lock(mutex_);
    return {history_.begin(), history_.end()};
}

std::optional<SampleFeed::Recording> SampleFeed::recording() const {
    std::lock_guard lock(mutex_);
    return recording_;
}

std::optional<int> SampleFeed::pollHertz() const {
    std::lock_guard lock(pollerMutex_);
    if (!poller_) return std::nullopt;
    return hertz_.value_or(1);
}

bool SampleFeed::onDemand() const {
    std::lock_guard lock(pollerMutex_);
    return !hertz_;
}

bool SampleFeed::up() const {
    const auto span = 3 * period();
    std::lock_guard lock(mutex_);
    return lastPollOk_ && latestAt_ && std::chrono::steady_clock::now() - *latestAt_ <= span;
}

void SampleFeed::stop() {
    std::unique_ptr<Poller> poller;
    std::unique_ptr<DeviceWorker> recorderLine;
    {
        std::lock_guard lock(pollerMutex_);
        stopping_ = true;
        poller = std::move(poller_);
    }
    watchChanged_.notify_all();
    if (lingerThread_.joinable()) lingerThread_.join();
    if (poller) poller->stop();
    stopRecording();
    {
        std::lock_guard lock(pollerMutex_);
        recorderLine = std::move(recorderLine_);
    }
    // The rows handed over are written before the line ends (its stop fails only what never started).
    if (recorderLine) {
        std::promise<void> drained;
        auto done = drained.get_future();
        if (recorderLine->post([&drained](bool) { drained.set_value(); })) done.wait();
        recorderLine->stop();
    }
}

}  // namespace varek
