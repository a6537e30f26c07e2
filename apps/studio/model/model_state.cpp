#include "model_state.hpp"

#include <nlohmann/json.hpp>

#include "model_files.hpp"
#include "varek/format.hpp"
#include "varek/platform.hpp"
#include "varek/protocol.hpp"

namespace varek {

ModelState::ModelState(std::function<void(ModelChanges)> announce) : announce_(std::move(announce)) {}

namespace {

/// Assigns and announces only a real change.
template <typename T, typename V>
void assign(T& field, V&& value, ModelChange change, const std::function<void(ModelChanges)>& announce) {
    if (field == value) return;
    field = std::forward<V>(value);
    announce(change);
}

}  // namespace

void ModelState::setPorts(QStringList value) { assign(ports, std::move(value), ModelChange::ports, announce_); }
void ModelState::setSelectedPort(const QString& value) { assign(selectedPort, value, ModelChange::selectedPort, announce_); }
void ModelState::setBaud(int value) { assign(baud, value, ModelChange::baud, announce_); }
void ModelState::setStation(const QString& value) { assign(station, value, ModelChange::station, announce_); }
void ModelState::setConnected(bool value) { assign(connected, value, ModelChange::connected, announce_); }
void ModelState::setBusy(bool value) { assign(busy, value, ModelChange::busy, announce_); }
void ModelState::setRecovering(bool value) { assign(recovering, value, ModelChange::recovering, announce_); }
void ModelState::setVoltageDraft(const QString& text) { assign(voltageDraft, text, ModelChange::drafts, announce_); }
void ModelState::setCurrentDraft(const QString& text) { assign(currentDraft, text, ModelChange::drafts, announce_); }
void ModelState::setNotice(const QString& text) { assign(notice, text, ModelChange::notice, announce_); }
void ModelState::setApiState(const QString& text) { assign(apiState, text, ModelChange::apiState, announce_); }

void ModelState::setErrorMessage(std::optional<QString> text) {
    assign(errorMessage, std::move(text), ModelChange::errorMessage, announce_);
}

// Identity and sample are announced on every assignment: each is a new reading.
void ModelState::setIdentity(std::optional<DeviceIdentity> value) {
    identity = std::move(value);
    announce_(ModelChange::identity);
}

void ModelState::setLatest(std::optional<PowerSample> value) {
    latest = std::move(value);
    announce_(ModelChange::latest);
}

void ModelState::log(const QString& message) {
    events.prepend(QString::fromStdString(localClock(SystemClock::now())) + QStringLiteral("  ") + message);
    while (events.size() > eventLimit) events.removeLast();
    announce_(ModelChange::events);
}

void ModelState::confirmSetpoints(double voltage, double current) {
    setVoltageDraft(QString::fromStdString(formatFixed2(voltage)));
    setCurrentDraft(QString::fromStdString(formatFixed2(current)));
    setNotice(QStringLiteral("设定值已应用并读回确认"));
    log(QStringLiteral("设定 ") + voltageDraft + QStringLiteral("V / ") + currentDraft + QStringLiteral("A 已读回确认。"));
}

void ModelState::confirmOutput(bool enabled) {
    setNotice(enabled ? QStringLiteral("输出已开启，状态已读回") : QStringLiteral("输出已关闭，状态已读回"));
    log(enabled ? QStringLiteral("输出已开启，寄存器读回确认。") : QStringLiteral("输出已关闭，寄存器读回确认。"));
}

void ModelState::accept(const PowerSample& sample) {
    setLatest(sample);
    samples.push(sample);
    announce_(ModelChange::samples);
    if (evidencePath) writeEvidence(sample);
    if (sampled) sampled(sample);
}

std::variant<std::pair<std::uint16_t, std::uint16_t>, VarekError> ModelState::draftSetpoints() const {
    std::pair<std::uint16_t, std::uint16_t> values;
    try {
        values.first = Modbus::centiUnits(voltageDraft.toStdString(), Supply::voltageMax);
        values.second = Modbus::centiUnits(currentDraft.toStdString(), Supply::currentMax);
    } catch (const VarekError& e) {
        return e;
    }
    if (const auto breach = ceilings.breach(values.first, values.second)) return VarekError::invalid(breach->alert());
    return values;
}

std::optional<double> ModelState::actualRefreshRate() const {
    if (!connected || recovering) return std::nullopt;
    return measuredRate(samples);
}

void ModelState::writeEvidence(const PowerSample& sample) const {
    try {
        const nlohmann::json snapshot = {
            {"actual_hz", actualRefreshRate().value_or(0.0)},
            {"current_A", sample.current},
            {"current_limit_A", sample.currentSet},
            {"firmware", identity ? identity->firmware : 0.0},
            {"model", identity ? identity->model : 0},
            {"output_enabled", sample.outputEnabled},
            {"power_W", sample.power},
            {"samples", samples.size()},
            {"source_sha", platform::sourceSHA()},
            {"target_hz", refreshRate},
            {"timestamp", iso8601(sample.time)},
            {"voltage_V", sample.voltage},
            {"voltage_set_V", sample.voltageSet},
        };
        // Failures are ignored: the snapshot is a convenience for outside observers.
        (void)writeAtomically(QString::fromStdString(*evidencePath), snapshot.dump(2));
    } catch (...) {
    }
}

}  // namespace varek
