#include "varek/link_supervisor.hpp"

#include <future>
#include <memory>

#include "varek/device_worker.hpp"
#include "varek/format.hpp"
#include "varek/platform.hpp"

namespace varek {
namespace {

bool sameSupply(const DeviceIdentity& a, const DeviceIdentity& b) { return a.model == b.model && a.serial == b.serial; }

std::string refusedLine(const std::optional<DeviceIdentity>& found, const DeviceIdentity& expected) {
    const std::string serial = found ? std::to_string(found->serial) : "unknown";
    return "Link refused: found serial " + serial + " (model " + (found ? std::to_string(found->model) : "unknown") +
           "), expected serial " + std::to_string(expected.serial) + "; port closed, still trying";
}

}  // namespace

LinkSupervisor::LinkSupervisor(SerialSession& session, DeviceWorker& worker, Settings settings, Lines lines)
    : session_(session), worker_(worker), settings_(std::move(settings)), lines_(std::move(lines)) {
    thread_ = std::thread([this] { run(); });
}

LinkSupervisor::~LinkSupervisor() { stop(); }

void LinkSupervisor::observe(const SerialSession::TransactionOutcome& outcome) {
    if (!outcome.error) return;
    const auto kind = outcome.error->kind();
    if (kind != VarekError::Case::io && kind != VarekError::Case::identityChanged) return;
    {
        std::lock_guard lock(mutex_);
        if (!linked_ || stopping_) return;
        linked_ = false;
        lostReason_ = outcome.error->description();
        if (kind == VarekError::Case::identityChanged) refusedBy_ = outcome.found;
        state_.kind = refusedBy_ ? State::Kind::refused : State::Kind::lost;
        state_.since = SystemClock::now();
        state_.reason = lostReason_;
        state_.found = refusedBy_;
    }
    changed_.notify_all();
}

LinkSupervisor::State LinkSupervisor::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

void LinkSupervisor::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void LinkSupervisor::run() {
    platform::nameThisThread("VAREK.Link");
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            changed_.wait_for(lock, settings_.retry, [this] { return stopping_ || !linked_; });
            if (stopping_) return;
        }
        // A hang-up shows on the port before any transaction fails; looking costs no traffic.
        bool down = false;
        if (!onWorker([this, &down] { down = session_.linkDown(); })) return;
        if (down) observe({VarekError::io("电源连接已断开。"), std::nullopt});
        std::unique_lock lock(mutex_);
        if (stopping_) return;
        if (linked_) continue;
        lock.unlock();
        recover();
    }
}

void LinkSupervisor::recover() {
    std::optional<DeviceIdentity> lastRefused;
    {
        std::lock_guard lock(mutex_);
        if (refusedBy_) {
            lines_(refusedLine(refusedBy_, settings_.expected));
            lastRefused = refusedBy_;
        } else {
            lines_("Link lost: " + lostReason_ + " Reopening " + settings_.path);
        }
        refusedBy_.reset();
    }
    if (!onWorker([this] { session_.disconnect(); })) return;
    for (;;) {
        std::optional<DeviceIdentity> found;
        const Attempt attempt = reopen(found);
        if (attempt == Attempt::stopped) return;
        if (attempt == Attempt::back) break;
        // One line per change of what answers, not one per attempt.
        if (attempt == Attempt::refused) {
            std::lock_guard lock(mutex_);
            state_.kind = State::Kind::refused;
            state_.found = found;
        }
        if (attempt == Attempt::refused && (!lastRefused || lastRefused->serial != found->serial)) {
            lines_(refusedLine(found, settings_.expected));
            lastRefused = found;
        }
        std::unique_lock lock(mutex_);
        if (changed_.wait_for(lock, settings_.retry, [this] { return stopping_; })) return;
    }
}

LinkSupervisor::Attempt LinkSupervisor::reopen(std::optional<DeviceIdentity>& found) {
    Attempt attempt = Attempt::absent;
    const bool ran = onWorker([this, &attempt, &found] {
        try {
            found = session_.connect(settings_.path, settings_.baud, settings_.station);
        } catch (const VarekError&) {
            return;  // not there yet, or not answering: the next attempt will tell
        }
        if (sameSupply(*found, settings_.expected)) {
            attempt = Attempt::back;
            return;
        }
        session_.disconnect();
        attempt = Attempt::refused;
    });
    if (!ran) return Attempt::stopped;
    if (attempt != Attempt::back) return attempt;
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return Attempt::stopped;
        linked_ = true;
        state_ = State();
    }
    ++reconnects_;
    std::string line = "Link back: serial " + std::to_string(found->serial) + " on " + settings_.path;
    if (found->firmware != settings_.expected.firmware) {
        line += ", firmware " + formatFixed2(found->firmware) + " (was " + formatFixed2(settings_.expected.firmware) + ")";
    }
    lines_(line);
    return attempt;
}

bool LinkSupervisor::onWorker(const std::function<void()>& work) {
    auto done = std::make_shared<std::promise<bool>>();
    auto result = done->get_future();
    const bool queued = worker_.post([done, &work](bool run) {
        if (run) work();
        done->set_value(run);
    });
    return queued && result.get();
}

}  // namespace varek
