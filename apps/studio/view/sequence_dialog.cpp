#include "sequence_dialog.hpp"

#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QThreadPool>
#include <QTimer>
#include <QVBoxLayout>
#include <QtConcurrent/QtConcurrentRun>

#include <optional>

#include "power_model.hpp"
#include "varek/format.hpp"
#include "varek/sequence_profile.hpp"

namespace varek {
namespace {

QString fixed(double value) { return QString::fromStdString(formatFixed2(value)); }

QString seconds(std::chrono::milliseconds span) { return QString::number(span.count() / 1000.0) + QStringLiteral(" s"); }

QString conditionText(const StepCondition& condition) {
    const bool current = condition.quantity == StepCondition::Quantity::current;
    return (current ? QStringLiteral("直到电流 ") : QStringLiteral("直到电压 ")) +
           (condition.below ? QStringLiteral("< ") : QStringLiteral("> ")) + fixed(condition.threshold) +
           (current ? QStringLiteral(" A") : QStringLiteral(" V"));
}

QString stateText(const SequenceProgress& progress) {
    switch (progress.state) {
    case SequenceProgress::State::running: return QStringLiteral("运行中");
    case SequenceProgress::State::finished: return QStringLiteral("已完成");
    case SequenceProgress::State::stopped: return QStringLiteral("已停止");
    case SequenceProgress::State::aborted:
        return QStringLiteral("已中止：") + QString::fromStdString(progress.reason);
    }
    return {};
}

}  // namespace

SequenceDialog::SequenceDialog(PowerModel& model, QWidget* parent)
    : QDialog(parent), model_(model), ticker_(new QTimer(this)) {
    setObjectName(QStringLiteral("sequenceDialog"));
    setWindowTitle(QStringLiteral("序列"));
    auto* layout = new QVBoxLayout(this);
    open_ = new QPushButton(QStringLiteral("打开配置文件…"));
    open_->setObjectName(QStringLiteral("sequenceOpenButton"));
    name_ = new QLabel(QStringLiteral("未打开配置"));
    name_->setObjectName(QStringLiteral("sequenceName"));
    steps_ = new QListWidget;
    steps_->setObjectName(QStringLiteral("sequenceSteps"));
    error_ = new QLabel;
    error_->setObjectName(QStringLiteral("sequenceError"));
    error_->setWordWrap(true);
    auto* buttons = new QHBoxLayout;
    start_ = new QPushButton(QStringLiteral("开始"));
    start_->setObjectName(QStringLiteral("sequenceStartButton"));
    stop_ = new QPushButton(QStringLiteral("停止"));
    stop_->setObjectName(QStringLiteral("sequenceStopButton"));
    buttons->addWidget(open_);
    buttons->addStretch();
    buttons->addWidget(start_);
    buttons->addWidget(stop_);
    progress_ = new QLabel;
    progress_->setObjectName(QStringLiteral("sequenceProgress"));
    state_ = new QLabel;
    state_->setObjectName(QStringLiteral("sequenceState"));
    for (QWidget* w : std::initializer_list<QWidget*>{name_, steps_, error_, progress_, state_}) layout->addWidget(w);
    layout->addLayout(buttons);
    resize(520, 420);

    QObject::connect(open_, &QPushButton::clicked, this, &SequenceDialog::chooseFile);
    QObject::connect(start_, &QPushButton::clicked, this, &SequenceDialog::start);
    QObject::connect(stop_, &QPushButton::clicked, &model_, &PowerModel::stopSequence);
    QObject::connect(&model_, &PowerModel::changed, this, [this](PowerModel::Changes what) {
        if (what & (PowerModel::Change::sequence | PowerModel::Change::connected | PowerModel::Change::ceilings)) sync();
    });
    // The step's elapsed time moves between the runner's news.
    ticker_->setInterval(200);
    QObject::connect(ticker_, &QTimer::timeout, this, &SequenceDialog::sync);
    sync();
}

void SequenceDialog::chooseFile() {
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("打开序列配置"), QString(),
                                                      QStringLiteral("JSON (*.json)"));
    if (!path.isEmpty()) loadFile(path);
}

void SequenceDialog::loadFile(const QString& path) {
    auto read = [path]() -> std::optional<std::string> {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
        // One byte more than a profile may hold, so an oversized file is refused by the parser.
        return file.read(SequenceProfile::sizeLimit + 1).toStdString();
    };
    QtConcurrent::run(QThreadPool::globalInstance(), std::move(read))
        .then(this, [this, path](std::optional<std::string> text) {
            if (!text) {
                text_.clear();
                error_->setText(QStringLiteral("无法读取 ") + path);
                return sync();
            }
            showProfile(path, *text);
        });
}

void SequenceDialog::showProfile(const QString& path, const std::string& text) {
    steps_->clear();
    text_.clear();
    try {
        const SequenceProfile profile = SequenceProfile::parse(text, model_.ceilings());
        text_ = text;
        name_->setText(QString::fromStdString(profile.name) + QStringLiteral(" · ") + path);
        for (std::size_t i = 0; i < profile.steps.size(); ++i) steps_->addItem(describeStep(profile, i));
        error_->clear();
    } catch (const VarekError& e) {
        name_->setText(path);
        error_->setText(QString::fromStdString(e.text()));
    }
    sync();
}

QString SequenceDialog::describeStep(const SequenceProfile& profile, std::size_t index) {
    const SequenceStep& step = profile.steps.at(index);
    QStringList parts;
    if (step.voltage) parts << fixed(*step.voltage / 100.0) + QStringLiteral(" V");
    if (step.current) parts << fixed(*step.current / 100.0) + QStringLiteral(" A");
    if (step.ramp.count() > 0) parts << QStringLiteral("斜坡 ") + seconds(step.ramp);
    if (step.output) parts << (*step.output ? QStringLiteral("输出开") : QStringLiteral("输出关"));
    parts << QStringLiteral("保持 ") + seconds(step.hold);
    if (step.until) parts << conditionText(*step.until);
    return QString::number(index + 1) + QStringLiteral(". ") + parts.join(QStringLiteral(" · "));
}

void SequenceDialog::start() {
    const auto refused = model_.startSequence(text_);
    error_->setText(refused.value_or(QString()));
    sync();
}

void SequenceDialog::sync() {
    const auto progress = model_.liveSequenceProgress();
    const bool running = progress && progress->state == SequenceProgress::State::running;
    start_->setEnabled(!text_.empty() && model_.connected() && !running);
    stop_->setEnabled(running);
    if (running && !ticker_->isActive()) ticker_->start();
    if (!running) ticker_->stop();
    progress_->setText(progress ? QStringLiteral("第 %1/%2 步 · %3 s")
                                      .arg(progress->step)
                                      .arg(progress->steps)
                                      .arg(progress->stepElapsed, 0, 'f', 1)
                                : QString());
    // The state follows the model's news, so it changes together with the activity log.
    const auto& heard = model_.sequenceProgress();
    state_->setText(heard ? QStringLiteral("上次运行：") + stateText(*heard) : QStringLiteral("尚未运行"));
}

}  // namespace varek
