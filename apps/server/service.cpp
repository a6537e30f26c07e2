#include "service.hpp"

#include <csignal>

#include "varek/control_server.hpp"
#include "varek/format.hpp"
#include "varek/device_worker.hpp"
#include "varek/metrics_text.hpp"
#include "varek/platform.hpp"
#include "varek/scpi_server.hpp"
#include "varek/serial_session.hpp"
#include "audit.hpp"

namespace varek {
namespace {

std::chrono::milliseconds periodOf(const ServiceOptions& options) {
    return std::chrono::milliseconds(1000 / options.pollRate().value_or(1));
}

std::string recorderLine(const RecorderEvent& event) {
    if (event.kind == RecorderEvent::Kind::resumed) return "Recording resumed: " + event.file.string();
    return "Recording paused: " + event.file.string() + ": " + event.reason + " (retrying every few seconds)";
}

}  // namespace

Service::Service(const ServiceOptions& options, SerialSession& session, DeviceWorker& worker,
                 LinkSupervisor::Settings link, Lines lines)
    : options_(options),
      session_(session),
      worker_(worker),
      identity_(link.expected),
      lines_(std::move(lines)),
      period_(periodOf(options)),
      supervisor_(session, worker, std::move(link), lines_),
      transactions_(zeroTransactionCounts()) {
    session_.guardIdentity(identity_);
    session_.setLateWriteObserver([this](const SerialSession::LateWrite& write) {
        lines_(lateAuditLine(write.attribution));
    });
    session_.setTransactionObserver([this](const SerialSession::TransactionOutcome& outcome) {
        count(outcome);
        supervisor_.observe(outcome);
    });
}

Service::~Service() {
    stopListening();
    stop();
    // The observers refer to this object; the session outlives it.
    session_.setTransactionObserver({});
    session_.setLateWriteObserver({});
}

void Service::start(const ControlServer* control, const SCPIServer* scpi, ListenerCallback metricsEvents) {
    control_ = control;
    scpi_ = scpi;
    if (options_.recordDirectory) {
        // A file size limit must fail the write (EFBIG) rather than end the process.
        std::signal(SIGXFSZ, SIG_IGN);
        SampleRecorder::Options recording;
        recording.directory = *options_.recordDirectory;
        recording.serial = identity_.serial;
        recording.keepDays = options_.recordDays;
        recorder_ = std::make_unique<SampleRecorder>(std::move(recording));
    }
    if (options_.metricsPort) {
        metrics_ = std::make_unique<MetricsServer>(*options_.metricsPort, [this] { return exposition(); },
                                                   options_.bindAddress);
        metrics_->start(std::move(metricsEvents));
    }
    if (options_.pollRate()) {
        std::lock_guard lock(pollerMutex_);
        startPoller();
    }
}

void Service::startPoller() {
    poller_ = std::make_unique<Poller>(worker_, session_, period_, [this](const Poller::Result& result) {
        consume(result);
    });
}

void Service::watched() {
    if (options_.pollRate()) return;
    std::lock_guard lock(pollerMutex_);
    if (stopping_) return;
    lastWatch_ = std::chrono::steady_clock::now();
    if (poller_) return;
    startPoller();
    if (!lingerThread_.joinable()) lingerThread_ = std::thread([this] { lingerWatch(); });
    watchChanged_.notify_all();
}

void Service::lingerWatch() {
    platform::nameThisThread("VAREK.Watch");
    std::unique_lock lock(pollerMutex_);
    while (!stopping_) {
        if (!poller_) {
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

void Service::stopListening() {
    if (metrics_) metrics_->stop();
}

void Service::stop() {
    std::unique_ptr<Poller> poller;
    {
        std::lock_guard lock(pollerMutex_);
        stopping_ = true;
        poller = std::move(poller_);
    }
    watchChanged_.notify_all();
    if (lingerThread_.joinable()) lingerThread_.join();
    if (poller) poller->stop();
    supervisor_.stop();
    recorder_.reset();
}

void Service::consume(const Poller::Result& result) {
    {
        std::lock_guard lock(mutex_);
        lastPollOk_ = result.sample.has_value();
        if (result.sample) {
            latest_ = result.sample;
            latestAt_ = std::chrono::steady_clock::now();
            const auto kept = static_cast<std::size_t>(3600 * 1000 / period_.count());
            history_.push_back({result.sample->time, result.sample->voltage, result.sample->current,
                                result.sample->power});
            while (history_.size() > kept) history_.pop_front();
        }
    }
    if (!result.sample || !recorder_) return;
    const auto event = recorder_->record(*result.sample);
    {
        std::lock_guard lock(mutex_);
        recordFile_ = recorder_->fileFor(utcDate(result.sample->time));
        recordPaused_ = recorder_->paused();
        if (event) recordReason_ = event->reason;
    }
    if (event) lines_(recorderLine(*event));
}

std::optional<Service::Latest> Service::latest() {
    std::lock_guard lock(mutex_);
    if (!latest_ || !latestAt_) return std::nullopt;
    const auto age = std::chrono::steady_clock::now() - *latestAt_;
    return Latest{*latest_, std::chrono::duration<double>(age).count(), lastPollOk_ && age <= 3 * period_};
}

std::vector<Service::HistoryPoint> Service::history() {
    std::lock_guard lock(mutex_);
    return {history_.begin(), history_.end()};
}

Service::State Service::state() {
    State state;
    state.link = supervisor_.state();
    state.reconnects = supervisor_.reconnects();
    state.recordDirectory = options_.recordDirectory;
    {
        std::lock_guard lock(pollerMutex_);
        if (poller_) state.pollHertz = static_cast<int>(1000 / period_.count());
        state.onDemand = !options_.pollRate();
    }
    std::lock_guard lock(mutex_);
    state.recordFile = recordFile_;
    state.recordPaused = recordPaused_;
    state.recordReason = recordReason_;
    return state;
}

void Service::count(const SerialSession::TransactionOutcome& outcome) {
    std::lock_guard lock(mutex_);
    ++transactions_[std::string(transactionLabel(outcome.error))];
}

std::string Service::exposition() {
    MetricsSnapshot snapshot;
    snapshot.identity = identity_;
    snapshot.sourceSHA = platform::sourceSHA();
    snapshot.reconnects = supervisor_.reconnects();
    if (control_) snapshot.httpRequests = control_->replyCounts();
    if (scpi_) snapshot.scpiConnections = scpi_->connections();
    {
        std::lock_guard lock(mutex_);
        snapshot.sample = latest_;
        snapshot.transactions = transactions_;
        snapshot.up = lastPollOk_ && latestAt_ && std::chrono::steady_clock::now() - *latestAt_ <= 3 * period_;
    }
    return metricsExposition(snapshot);
}

}  // namespace varek
