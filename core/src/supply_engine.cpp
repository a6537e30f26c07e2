#include "varek/supply_engine.hpp"

#include "varek/audit.hpp"
#include "varek/platform.hpp"
#include "varek/scpi_instrument.hpp"

namespace varek {
namespace {

std::uint32_t pack(const SafetyCeilings& c) { return (std::uint32_t{c.voltageCenti} << 16) | c.currentCenti; }

SafetyCeilings unpack(std::uint32_t packed) {
    return {static_cast<std::uint16_t>(packed >> 16), static_cast<std::uint16_t>(packed & 0xffff)};
}

/// Runs `write` for the outcome, turning every failure into the outcome's error.
template <typename Write>
SupplyEngine::WriteOutcome attempt(Write&& write) {
    SupplyEngine::WriteOutcome outcome;
    try {
        outcome.sample = write();
    } catch (const CeilingRefused& refused) {
        outcome.refused = refused.breach();
        outcome.error = VarekError::invalid(refused.what());
    } catch (const VarekError& error) {
        outcome.error = error;
    } catch (const std::exception& error) {
        outcome.error = VarekError::io(error.what());
    }
    return outcome;
}

}  // namespace

SupplyEngine::SupplyEngine(Events events)
    : events_(std::move(events)),
      transactions_(zeroTransactionCounts()),
      ceilings_(pack(SafetyCeilings{})) {
    feed_ = std::make_unique<SampleFeed>(worker_, session_);
    session_.setTransactionObserver([this](const SerialSession::TransactionOutcome& outcome) { count(outcome); });
    session_.setLateWriteObserver([this](const SerialSession::LateWrite& write) {
        if (events_.audit) events_.audit(lateAuditLine(write.attribution));
        if (events_.late) events_.late(write);
    });
    // A step's write that takes effect late is the starter's, like the step itself.
    auto device = SequenceDevice::of(session_);
    const auto attributed = [this] {
        std::lock_guard lock(mutex_);
        return auditSubject(starter_.channel, starter_.address, "sequence \"" + sequenceName_ + "\"");
    };
    auto setpoints = std::move(device.setpoints);
    auto output = std::move(device.setOutput);
    device.setpoints = [setpoints, attributed](std::optional<std::uint16_t> voltage,
                                               std::optional<std::uint16_t> current) {
        const SerialSession::WriteAttribution who(attributed());
        return setpoints(voltage, current);
    };
    device.setOutput = [output, attributed](bool on) {
        const SerialSession::WriteAttribution who(attributed());
        return output(on);
    };
    runner_ = std::make_unique<SequenceRunner>([this](SequenceRunner::Job job) { return worker_.post(std::move(job)); },
                                               std::move(device), SequenceClock::steady(),
                                               [this](const SequenceProgress& progress) { sequenceNews(progress); });
}

SupplyEngine::~SupplyEngine() {
    close();
    // The observers refer to this object; the session is destroyed after them anyway.
    session_.setTransactionObserver({});
    session_.setLateWriteObserver({});
}

bool SupplyEngine::post(DeviceWorker::Job job) { return worker_.post(std::move(job)); }

void SupplyEngine::serve(const DeviceIdentity& identity) {
    session_.guardIdentity(identity);
    std::lock_guard lock(mutex_);
    identity_ = identity;
}

std::optional<DeviceIdentity> SupplyEngine::identity() const {
    std::lock_guard lock(mutex_);
    return identity_;
}

void SupplyEngine::setCeilings(const SafetyCeilings& ceilings) {
    ceilings_ = pack(ceilings);
    session_.limitSetpoints(ceilings);
}

SafetyCeilings SupplyEngine::ceilings() const noexcept { return unpack(ceilings_.load()); }

void SupplyEngine::writeSetpoints(const SetpointRequest& request, const ApiClient& client,
                                  std::function<bool()> wanted, WriteDone done) {
    auto job = [this, request, client, wanted = std::move(wanted), done](bool run) {
        if (!run) return done({std::nullopt, VarekError::disconnected(), std::nullopt});
        if (wanted && !wanted()) return;
        const std::string asked = request.describe();
        const SerialSession::WriteAttribution who(auditSubject(client.channel, client.address, asked));
        const WriteOutcome outcome = attempt([&] {
            if (request.voltage && request.current) return session_.setValues(*request.voltage, *request.current);
            if (request.voltage) return session_.setVoltage(*request.voltage);
            return session_.setCurrent(*request.current);
        });
        audit(client, asked, outcome);
        done(outcome);
    };
    if (!worker_.post(job)) done({std::nullopt, VarekError::disconnected(), std::nullopt});
}

void SupplyEngine::writeOutput(bool on, const ApiClient& client, std::function<bool()> wanted, WriteDone done) {
    auto job = [this, on, client, wanted = std::move(wanted), done](bool run) {
        if (!run) return done({std::nullopt, VarekError::disconnected(), std::nullopt});
        if (wanted && !wanted()) return done({});
        const std::string asked = on ? "output on" : "output off";
        const SerialSession::WriteAttribution who(auditSubject(client.channel, client.address, asked));
        WriteOutcome outcome = attempt([&] { return session_.setOutput(on); });
        if (outcome.sample && outcome.sample->outputEnabled != on) outcome.error = VarekError::readback();
        audit(client, asked, outcome);
        done(outcome);
    };
    if (!worker_.post(job)) done({std::nullopt, VarekError::disconnected(), std::nullopt});
}

void SupplyEngine::readSample(std::function<bool()> wanted, WriteDone done) {
    auto job = [this, wanted = std::move(wanted), done](bool run) {
        if (!run) return done({std::nullopt, VarekError::disconnected(), std::nullopt});
        if (wanted && !wanted()) return;
        done(attempt([&] { return session_.sample(); }));
    };
    if (!worker_.post(job)) done({std::nullopt, VarekError::disconnected(), std::nullopt});
}

void SupplyEngine::audit(const ApiClient& client, const std::string& asked, const WriteOutcome& outcome) const {
    // A ceiling's refusal came before anything was written: no write to account for.
    if (!events_.audit || outcome.refused) return;
    const bool confirmed = outcome.sample && !outcome.error;
    events_.audit(auditLine(client.channel, client.address, asked, confirmed,
                            outcome.error ? outcome.error->description() : std::string()));
}

void SupplyEngine::supervise(LinkSupervisor::Settings settings) {
    auto lines = [this](const std::string& line) {
        if (events_.link) events_.link(line);
    };
    auto supervisor = std::make_unique<LinkSupervisor>(session_, worker_, std::move(settings), std::move(lines));
    std::lock_guard lock(mutex_);
    supervisor_ = std::move(supervisor);
}

LinkSupervisor::State SupplyEngine::linkState() const {
    std::lock_guard lock(mutex_);
    return supervisor_ ? supervisor_->state() : LinkSupervisor::State();
}

std::uint64_t SupplyEngine::reconnects() const {
    std::lock_guard lock(mutex_);
    return supervisor_ ? supervisor_->reconnects() : 0;
}

void SupplyEngine::count(const SerialSession::TransactionOutcome& outcome) {
    std::lock_guard lock(mutex_);
    ++transactions_[std::string(transactionLabel(outcome.error))];
    if (supervisor_) supervisor_->observe(outcome);
}

bool SupplyEngine::startSequence(SequenceProfile profile, const ApiClient& starter) {
    {
        std::lock_guard lock(mutex_);
        if (!runner_->running()) {
            starter_ = starter;
            sequenceName_ = profile.name;
        }
    }
    return runner_->start(std::move(profile));
}

void SupplyEngine::sequenceNews(const SequenceProgress& progress) {
    ApiClient starter;
    {
        std::lock_guard lock(mutex_);
        starter = starter_;
    }
    if (events_.audit) {
        const std::string what = "sequence \"" + progress.name + "\" ";
        if (progress.state == SequenceProgress::State::running) {
            events_.audit(auditLine(starter.channel, starter.address,
                                    what + "step " + std::to_string(progress.step) + " of " +
                                        std::to_string(progress.steps),
                                    true));
        } else {
            const bool aborted = progress.state == SequenceProgress::State::aborted;
            events_.audit(auditLine(starter.channel, starter.address,
                                    what + std::string(SequenceProgress::stateName(progress.state)), !aborted,
                                    progress.reason));
        }
    }
    if (events_.sequence) events_.sequence(progress);
}

SCPIServer::PeerFactory SupplyEngine::instruments() {
    return [this](const std::string& peer) {
        // The ceilings are read for every command: a ceiling lowered meanwhile holds at once.
        auto instrument = std::make_unique<SCPIInstrument>(session_, identity().value_or(DeviceIdentity{}),
                                                           SCPIInstrument::CeilingSource([this] { return ceilings(); }));
        instrument->setAudit(
            [this, peer](const std::string& asked, bool confirmed, const std::string& why) {
                if (events_.audit) events_.audit(auditLine("SCPI", peer, asked, confirmed, why));
            },
            "SCPI " + (peer.empty() ? std::string("-") : peer));
        return instrument;
    };
}

SCPIServer::Dispatch SupplyEngine::dispatch() {
    return [this](std::function<void(bool)> job) { return worker_.post(std::move(job)); };
}

MetricsSnapshot SupplyEngine::metrics() const {
    MetricsSnapshot snapshot;
    snapshot.identity = identity().value_or(DeviceIdentity{});
    snapshot.sourceSHA = platform::sourceSHA();
    snapshot.reconnects = reconnects();
    const auto latest = feed_->latest();
    if (latest) snapshot.sample = latest->sample;
    snapshot.up = feed_->up();
    std::lock_guard lock(mutex_);
    snapshot.transactions = transactions_;
    return snapshot;
}

void SupplyEngine::closeSequences() { runner_->close(); }

void SupplyEngine::close() {
    runner_->close();
    // Queued requests fail at once instead of reaching the supply during shutdown.
    session_.refuseTransactions();
    feed_->stop();
    std::unique_ptr<LinkSupervisor> supervisor;
    {
        std::lock_guard lock(mutex_);
        supervisor = std::move(supervisor_);
    }
    if (supervisor) supervisor->stop();
    worker_.stop();
    runner_->join();
    session_.disconnect();
}

}  // namespace varek
