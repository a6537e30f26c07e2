// Timed sequences: core's runner hands every device operation to the session thread,
// between the model's own session calls, and its news come back to this thread.
#include "power_model.hpp"
#include "varek/serial_session.hpp"

namespace varek {

namespace {

QString quoted(const SequenceProgress& progress) {
    return QStringLiteral("序列「") + QString::fromStdString(progress.name) + QStringLiteral("」");
}

QString newsLine(const SequenceProgress& progress) {
    using State = SequenceProgress::State;
    switch (progress.state) {
    case State::running:
        return quoted(progress) + QStringLiteral("第 %1/%2 步开始。").arg(progress.step).arg(progress.steps);
    case State::finished: return quoted(progress) + QStringLiteral("已完成。");
    case State::stopped: return quoted(progress) + QStringLiteral("已停止。");
    case State::aborted: return quoted(progress) + QStringLiteral("已中止：") + QString::fromStdString(progress.reason);
    }
    return {};
}

}  // namespace

void PowerModel::makeSequenceRunner() {
    sequenceLine_ = std::make_shared<SequenceLine>();
    // A job queued before a disconnect runs after it was recorded, so it is refused then.
    auto executor = [pool = &pool_, line = sequenceLine_](SequenceRunner::Job job) {
        if (line->closed) return false;
        pool->start([job = std::move(job), line] { job(line->open.load()); });
        return true;
    };
    // The runner's thread is joined before this object goes, so the hop finds it alive.
    auto listener = [this](const SequenceProgress& progress) {
        QMetaObject::invokeMethod(this, [this, progress] { sequenceNews(progress); }, Qt::QueuedConnection);
    };
    runner_ = std::make_unique<SequenceRunner>(std::move(executor), SequenceDevice::of(*session_),
                                               SequenceClock::steady(), std::move(listener));
}

void PowerModel::abortSequence() {
    runner_->abort("电源连接已断开，序列中止。");
    sequenceLine_->open = false;
}

void PowerModel::sequenceNews(const SequenceProgress& progress) {
    sequenceProgress_ = progress;
    log(newsLine(progress));
    emit changed(Change::sequence);
}

std::optional<QString> PowerModel::startSequence(const std::string& text) {
    SequenceProfile profile;
    try {
        profile = SequenceProfile::parse(text, ceilings_);
    } catch (const VarekError& error) {
        return QString::fromStdString(error.text());
    }
    if (runner_->running()) return QStringLiteral("已有序列在运行。");
    if (!connected_ || recovering_) return QStringLiteral("未连接电源。");
    if (!runner_->start(std::move(profile))) return QStringLiteral("已有序列在运行。");
    return std::nullopt;
}

void PowerModel::stopSequence() { runner_->stop(); }

}  // namespace varek
