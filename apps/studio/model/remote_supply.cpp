#include "remote_supply.hpp"

#include <QDateTime>

#include "preset_store.hpp"
#include "recording_control.hpp"
#include "remote_client.hpp"
#include "sequence_control.hpp"
#include "varek/format.hpp"
#include "varek/protocol.hpp"
#include "varek/sample_feed.hpp"

namespace varek {
namespace {

double number(const Json& body, const char* key) {
    const auto found = body.find(key);
    return found != body.end() && found->is_number() ? found->get<double>() : 0.0;
}

std::optional<Timestamp> timeOf(const Json& text) {
    if (!text.is_string()) return std::nullopt;
    const QDateTime parsed = QDateTime::fromString(QString::fromStdString(text.get<std::string>()), Qt::ISODateWithMs);
    if (!parsed.isValid()) return std::nullopt;
    return Timestamp(std::chrono::milliseconds(parsed.toMSecsSinceEpoch()));
}

/// The sample a /v1/latest body carries; none when the body is not one.
std::optional<PowerSample> sampleOf(const Json& body) {
    if (!body.is_object()) return std::nullopt;
    const auto time = timeOf(body.value("time", Json()));
    if (!time) return std::nullopt;
    PowerSample sample;
    sample.id = Uuid::random();
    sample.time = *time;
    sample.voltageSet = number(body, "voltage_set_V");
    sample.currentSet = number(body, "current_limit_A");
    sample.voltage = number(body, "voltage_V");
    sample.current = number(body, "current_A");
    sample.power = number(body, "power_W");
    sample.inputVoltage = number(body, "input_voltage_V");
    sample.temperature = number(body, "temperature_C");
    sample.outputEnabled = body.value("output_enabled", false);
    sample.protection = static_cast<std::uint16_t>(number(body, "protection"));
    sample.mode = static_cast<std::uint16_t>(number(body, "mode"));
    sample.capacity = number(body, "capacity");
    sample.energy = number(body, "energy");
    return sample;
}

std::optional<SequenceProgress> progressOf(const Json& body) {
    if (!body.is_object()) return std::nullopt;
    SequenceProgress progress;
    progress.name = body.value("name", std::string());
    const std::string state = body.value("state", std::string());
    for (auto candidate : {SequenceProgress::State::running, SequenceProgress::State::finished,
                           SequenceProgress::State::stopped, SequenceProgress::State::aborted}) {
        if (SequenceProgress::stateName(candidate) == state) progress.state = candidate;
    }
    progress.step = static_cast<std::size_t>(number(body, "step"));
    progress.steps = static_cast<std::size_t>(number(body, "steps"));
    progress.stepElapsed = number(body, "step_elapsed_s");
    progress.reason = body.value("reason", std::string());
    return progress;
}

}  // namespace

RemoteSupply::RemoteSupply(Options options, QObject* parent)
    : SupplyModel(parent),
      options_(std::move(options)),
      client_(std::make_unique<RemoteClient>(options_.url, options_.token)),
      feed_(std::make_unique<SampleFeed>()) {
    presets_ = std::make_unique<PresetStore>(state_, [](const SafetyCeilings&) {}, [this] { applyValues(); });
    recordings_ = std::make_unique<RecordingControl>(state_, *feed_, options_.chooseRecordingFolder,
                                                     options_.chooseSaveLocation);
    state_.sampled = [this](const PowerSample& sample) { feed_->publish(sample); };
    state_.notice = QStringLiteral("远程电源 · 尚未连接");
    state_.apiState = QStringLiteral("远程 varek-server：API 与 SCPI 由服务器提供");
    state_.refreshRate = 1;
    presets_->readStored();
    recordings_->readStored(options_.preferenceGroup);
    QObject::connect(&latestTimer_, &QTimer::timeout, this, [this] { readLatest(); });
    QObject::connect(&serverTimer_, &QTimer::timeout, this, [this] { readServer(); });
    QObject::connect(&freshnessTimer_, &QTimer::timeout, this, [this] { judgeFreshness(); });
    latestTimer_.setTimerType(Qt::PreciseTimer);
}

RemoteSupply::~RemoteSupply() {
    client_->cancelAll();
    recordings_->close();
    feed_->stop();
    state_.sampled = nullptr;
}

void RemoteSupply::setToken(const QString& token) { client_->setToken(token); }

std::chrono::milliseconds RemoteSupply::period() const {
    return std::chrono::milliseconds(1000 / std::max(pollHertz_.value_or(1), 1));
}

void RemoteSupply::connect() {
    if (attached_) return;
    attached_ = true;
    ++attachment_;
    historyRead_ = false;
    trouble_.clear();
    linkWords_.clear();
    state_.setBusy(true);
    state_.setErrorMessage(std::nullopt);
    state_.setNotice(QStringLiteral("正在连接服务器…"));
    readServer();
    serverTimer_.start(serverPeriodMs);
    freshnessTimer_.start(100);
}

void RemoteSupply::disconnect() {
    if (!attached_) return;
    attached_ = false;
    ++attachment_;
    client_->cancelAll();
    latestTimer_.stop();
    serverTimer_.stop();
    freshnessTimer_.stop();
    recordings_->close();
    state_.setConnected(false);
    state_.setRecovering(false);
    state_.setBusy(false);
    state_.setNotice(QStringLiteral("已断开 · 电源输出保持原有状态"));
    state_.log(QStringLiteral("已断开远程服务器，未改变电源输出。"));
}

void RemoteSupply::readServer() {
    const std::uint64_t attachment = attachment_;
    client_->get(QStringLiteral("/v1/server"), [this, attachment](const RemoteClient::Answer& answer) {
        if (attachment != attachment_) return;
        const QString why = failureWords(answer.status, answer.body, answer.failure, answer.timedOut);
        if (!why.isEmpty()) {
            setTrouble(why);
            return;
        }
        serverRead(answer.status, answer.body);
    });
}

void RemoteSupply::serverRead(int, const Json& body) {
    const DeviceIdentity identity{static_cast<std::uint16_t>(number(body, "model")),
                                  static_cast<std::uint32_t>(number(body, "serial")), number(body, "firmware")};
    if (!state_.identity || !state_.identity->sameSupply(identity)) state_.setIdentity(identity);
    const Json hertz = body.value("poll_hz", Json());
    pollHertz_ = hertz.is_number() ? std::optional<int>(hertz.get<int>()) : std::nullopt;
    if (state_.refreshRate != pollHertz_.value_or(1)) {
        state_.refreshRate = pollHertz_.value_or(1);
        state_.announce(ModelChange::refreshRate);
    }
    const Json link = body.value("link", Json::object());
    const std::string linkState = link.value("state", std::string("connected"));
    if (linkState == "lost") {
        linkWords_ = QStringLiteral("服务器报告：电源链路中断");
    } else if (linkState == "refused") {
        linkWords_ = QStringLiteral("服务器报告：串口上是另一台电源");
    } else {
        linkWords_.clear();
    }
    const auto progress = progressOf(body.value("sequence", Json()));
    if (progress) {
        const bool news = !sequence_ || sequence_->name != progress->name || sequence_->state != progress->state ||
                          sequence_->step != progress->step;
        sequence_ = progress;
        sequenceHeard_.restart();
        if (news) {
            state_.sequence = progress;
            state_.log(sequenceNewsLine(*progress));
            state_.announce(ModelChange::sequence);
        }
    }
    setTrouble({});
    if (!historyRead_) {
        historyRead_ = true;
        presets_->useSerial(identity.serial);
        recordings_->open(identity);
        state_.log(QStringLiteral("已连接远程 varek-server ") + options_.url.toString() + QStringLiteral("，电源序列号 ") +
                   QString::number(identity.serial) + QStringLiteral("。"));
        readHistory();
        state_.setConnected(true);
        state_.setBusy(false);
    }
    if (latestTimer_.interval() != period().count() || !latestTimer_.isActive()) {
        latestTimer_.start(static_cast<int>(period().count()));
    }
}

void RemoteSupply::readHistory() {
    const std::uint64_t attachment = attachment_;
    client_->get(QStringLiteral("/v1/history"), [this, attachment](const RemoteClient::Answer& answer) {
        if (attachment != attachment_ || answer.status != 200 || !answer.body.is_object()) return;
        const Json& times = answer.body["time_s"];
        const Json& volts = answer.body["voltage_V"];
        const Json& amps = answer.body["current_A"];
        const Json& watts = answer.body["power_W"];
        if (!times.is_array() || volts.size() != times.size() || amps.size() != times.size() ||
            watts.size() != times.size()) {
            return;
        }
        state_.samples.clear();
        for (std::size_t i = 0; i < times.size(); ++i) {
            PowerSample point;
            point.time = Timestamp(std::chrono::milliseconds(std::llround(times[i].get<double>() * 1000)));
            point.voltage = volts[i].get<double>();
            point.current = amps[i].get<double>();
            point.power = watts[i].get<double>();
            state_.samples.push(point);
            lastSampleTime_ = point.time;
        }
        state_.announce(ModelChange::samples);
    });
}

void RemoteSupply::readLatest() {
    // One reading at a time: a slow server is not sent a second while the first waits.
    if (client_->pending() >= RemoteClient::inFlightLimit) return;
    const std::uint64_t attachment = attachment_;
    client_->get(QStringLiteral("/v1/latest"), [this, attachment](const RemoteClient::Answer& answer) {
        if (attachment != attachment_) return;
        const QString why = failureWords(answer.status, answer.body, answer.failure, answer.timedOut);
        if (answer.status == 503) return judgeFreshness();  // no fresh reading: it goes stale on its own
        if (!why.isEmpty()) return setTrouble(why);
        latestRead(answer.status, answer.body);
    });
}

void RemoteSupply::latestRead(int, const Json& body) {
    const auto sample = sampleOf(body);
    if (!sample) return;
    latestAgeAtReply_ = number(body, "age_s");
    latestAge_.restart();
    // A reading the server took before a write it confirmed would show the old state again.
    const bool beforeConfirmed = sinceConfirmed_.isValid() && latestAgeAtReply_ * 1000 > sinceConfirmed_.elapsed();
    if (beforeConfirmed || (lastSampleTime_ && sample->time <= *lastSampleTime_)) return judgeFreshness();
    lastSampleTime_ = sample->time;
    state_.accept(*sample);
    judgeFreshness();
}

void RemoteSupply::setTrouble(const QString& words) {
    if (trouble_ != words && !words.isEmpty()) state_.log(words);
    if (trouble_ != words && words.isEmpty() && !trouble_.isEmpty()) state_.log(QStringLiteral("服务器已恢复应答。"));
    trouble_ = words;
    judgeFreshness();
}

void RemoteSupply::judgeFreshness() {
    if (!attached_) return;
    const double age = latestAgeAtReply_ + (latestAge_.isValid() ? latestAge_.elapsed() / 1000.0 : 1e9);
    const double limit = 3 * std::chrono::duration<double>(period()).count();
    const bool live = trouble_.isEmpty() && linkWords_.isEmpty() && state_.latest && age <= limit;
    if (historyRead_) state_.setRecovering(!live);
    if (!trouble_.isEmpty()) return state_.setNotice(trouble_);
    if (!linkWords_.isEmpty()) return state_.setNotice(linkWords_);
    if (!historyRead_) return;
    if (!state_.latest) return state_.setNotice(QStringLiteral("正在读取服务器的读数…"));
    state_.setNotice(live ? QStringLiteral("实时读取中 · 服务器 %1 Hz").arg(pollHertz_.value_or(1))
                          : QStringLiteral("读数已过期：超过三个服务器轮询周期"));
}

QString RemoteSupply::failureWords(int status, const Json& body, const QString& failure, bool timedOut) const {
    if (status >= 200 && status < 300) return {};
    if (status == 401) return QStringLiteral("服务器拒绝了访问令牌（401）");
    if (status != 0) {
        const std::string message = body.is_object() ? body.value("message", body.value("error", std::string())) : "";
        return QStringLiteral("服务器答复 %1").arg(status) +
               (message.empty() ? QString() : QStringLiteral("：") + QString::fromStdString(message));
    }
    if (timedOut) return QStringLiteral("服务器无响应（超时）：") + options_.url.toString();
    return QStringLiteral("无法连接服务器 ") + options_.url.toString() + QStringLiteral("：") + failure;
}

void RemoteSupply::write(const QString& path, const QByteArray& body,
                         std::function<void(bool confirmed, const Json& body, const QString& why)> done) {
    const std::uint64_t attachment = attachment_;
    client_->post(path, body, [this, attachment, done](const RemoteClient::Answer& answer) {
        if (attachment != attachment_) return;
        const QString why = failureWords(answer.status, answer.body, answer.failure, answer.timedOut);
        // Confirmed only when the server read the supply back.
        const bool confirmed = why.isEmpty() && answer.body.is_object() && answer.body.value("verified", false);
        if (confirmed) sinceConfirmed_.restart();
        done(confirmed, answer.body, why.isEmpty() && !confirmed ? QStringLiteral("服务器未确认") : why);
    });
}

void RemoteSupply::applyValues() {
    if (!state_.connected || state_.busy) return;
    const auto drafts = state_.draftSetpoints();
    if (const auto* refused = std::get_if<VarekError>(&drafts)) {
        state_.setErrorMessage(QString::fromStdString(refused->description()));
        return;
    }
    const auto [voltage, current] = std::get<0>(drafts);
    state_.setBusy(true);
    const Json body{{"voltage_V", voltage / 100.0}, {"current_limit_A", current / 100.0}};
    write(QStringLiteral("/v1/setpoints"), QByteArray::fromStdString(body.dump()),
          [this](bool confirmed, const Json& reply, const QString& why) {
              state_.setBusy(false);
              if (!confirmed) {
                  state_.setErrorMessage(QStringLiteral("设定未确认：") + why);
                  state_.log(QStringLiteral("设定未确认：") + why);
                  return;
              }
              state_.confirmSetpoints(number(reply, "voltage_set_V"), number(reply, "current_limit_A"));
          });
}

void RemoteSupply::changeOutput(bool enabled) {
    if (!state_.connected || state_.busy) return;
    state_.setBusy(true);
    write(enabled ? QStringLiteral("/v1/output/on") : QStringLiteral("/v1/output/off"), {},
          [this, enabled](bool confirmed, const Json&, const QString& why) {
              state_.setBusy(false);
              if (!confirmed) {
                  state_.setErrorMessage(QStringLiteral("输出切换未确认：") + why);
                  state_.log(QStringLiteral("输出切换未确认：") + why);
                  return;
              }
              state_.confirmOutput(enabled);
              readLatest();
          });
}

void RemoteSupply::switchOff(std::function<void(const Result&)> done) {
    if (!state_.connected) return done({false, QStringLiteral("未连接，未写入")});
    write(QStringLiteral("/v1/output/off"), {}, [this, done](bool confirmed, const Json&, const QString& why) {
        state_.log(confirmed ? QStringLiteral("输出已关闭，寄存器读回确认。") : QStringLiteral("关闭输出未确认：") + why);
        done({confirmed, confirmed ? QStringLiteral("已关闭，读回确认") : QStringLiteral("未确认：") + why});
        readLatest();
    });
}

std::optional<QString> RemoteSupply::startSequence(const std::string& text) {
    try {
        (void)SequenceProfile::parse(text, state_.ceilings);
    } catch (const VarekError& error) {
        return QString::fromStdString(error.text());
    }
    if (!state_.connected) return QStringLiteral("未连接电源。");
    if (sequence_ && sequence_->state == SequenceProgress::State::running) return QStringLiteral("已有序列在运行。");
    // The server validates again and answers later: its refusal shows as the alert.
    write(QStringLiteral("/v1/sequence"), QByteArray::fromStdString(text), [this](bool, const Json& reply, const QString& why) {
        if (why.isEmpty() || reply.value("state", std::string()) == "running") return readServer();
        state_.setErrorMessage(QStringLiteral("序列未启动：") + why);
    });
    return std::nullopt;
}

void RemoteSupply::stopSequence() {
    write(QStringLiteral("/v1/sequence/stop"), {}, [this](bool, const Json&, const QString&) { readServer(); });
}

std::optional<SequenceProgress> RemoteSupply::liveSequenceProgress() const {
    if (!sequence_) return std::nullopt;
    SequenceProgress now = *sequence_;
    if (now.state == SequenceProgress::State::running && sequenceHeard_.isValid()) {
        now.stepElapsed += sequenceHeard_.elapsed() / 1000.0;
    }
    return now;
}

}  // namespace varek
