#include "sequence_dialog.hpp"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSaveFile>
#include <QThreadPool>
#include <QTimer>
#include <QVBoxLayout>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <utility>
#include <cmath>

#include "palette.hpp"
#include "plan_chart_view.hpp"
#include "supply_model.hpp"
#include "sequence_editor.hpp"
#include "sequence_files.hpp"
#include "sequence_watch.hpp"
#include "view_state.hpp"
#include "widgets.hpp"

namespace varek {
namespace {

constexpr qsizetype measuredLimit = 4000;  // points per measured line before it is thinned

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

QString durationText(double seconds) {
    if (seconds < 60) return QString::number(seconds, 'f', seconds == std::floor(seconds) ? 0 : 1) + QStringLiteral(" s");
    return SequenceWatch::clockText(seconds);
}

/// Keeps every second point, so that a long run's lines stay cheap to draw.
void thin(QList<QPointF>& points) {
    if (points.size() < measuredLimit) return;
    QList<QPointF> kept;
    kept.reserve(points.size() / 2 + 1);
    for (qsizetype i = 0; i < points.size(); i += 2) kept.append(points[i]);
    points.swap(kept);
}

QAction* menuAction(QMenu* menu, const QString& text, const char* name, const QKeySequence& keys) {
    QAction* action = menu->addAction(text);
    action->setObjectName(QString::fromUtf8(name));
    action->setShortcut(keys);
    return action;
}

}  // namespace

SequenceDialog::SequenceDialog(SupplyModel& model, QWidget* parent)
    : QDialog(parent),
      model_(model),
      editor_(new SequenceEditor),
      plan_(new PlanChartView),
      watch_(new SequenceWatch(model, this)),
      notice_(ui::label(QString(), ui::font(11), palette::muted())),
      ticker_(new QTimer(this)),
      chooser_([this](bool save, const QString& start) { return askProfileFile(this, save, start); }) {
    setObjectName(QStringLiteral("sequenceDialog"));
    auto* layout = new QVBoxLayout(this);
    buildMenu();
    notice_->setObjectName(QStringLiteral("sequenceNotice"));
    notice_->setWordWrap(true);
    layout->addWidget(notice_);
    layout->addWidget(editor_, 3);
    layout->addWidget(plan_, 2);
    layout->addWidget(buildRunPanel());
    resize(920, 780);

    editor_->setCeilings(model_.ceilings());
    QObject::connect(editor_, &SequenceEditor::validated, this, [this] {
        syncTitle();
        // The preview of a run stays while it goes (new ceilings revalidate the locked draft).
        if (runPlan_ && watch_->running()) return;
        // An edit ends the view of the last run: the preview shows the draft again.
        runPlan_.reset();
        replot();
        sync();
    });
    QObject::connect(&model_, &SupplyModel::changed, this, [this](SupplyModel::Changes what) {
        if (what & SupplyModel::Change::ceilings) editor_->setCeilings(model_.ceilings());
        if (what & SupplyModel::Change::sequence) heardNews();
        if (what & SupplyModel::Change::latest) heardSample();
        if (what & (SupplyModel::Change::sequence | SupplyModel::Change::connected | SupplyModel::Change::ceilings)) sync();
    });
    // The step's elapsed time moves between the runner's news.
    ticker_->setInterval(200);
    QObject::connect(ticker_, &QTimer::timeout, this, &SequenceDialog::sync);
    newProfile();
}

void SequenceDialog::buildMenu() {
    auto* bar = new QMenuBar(this);
    layout()->setMenuBar(bar);
    QMenu* file = bar->addMenu(QStringLiteral("文件"));
    file->setObjectName(QStringLiteral("sequenceFileMenu"));
    QObject::connect(menuAction(file, QStringLiteral("新建"), "sequenceNewAction", QKeySequence::New),
                     &QAction::triggered, this, [this] { whenDiscardable([this] { newProfile(); }); });
    QObject::connect(menuAction(file, QStringLiteral("打开…"), "sequenceOpenAction", QKeySequence::Open),
                     &QAction::triggered, this, [this] {
                         const QString folder = path_.isEmpty() ? QString() : QFileInfo(path_).absolutePath();
                         whenDiscardable([this, folder] { openChosen(folder); });
                     });
    QAction* examples = menuAction(file, QStringLiteral("打开示例…"), "sequenceExamplesAction", {});
    examples->setEnabled(!examplesDirectory().isEmpty());
    QObject::connect(examples, &QAction::triggered, this,
                     [this] { whenDiscardable([this] { openChosen(examplesDirectory()); }); });
    recent_ = file->addMenu(QStringLiteral("最近打开"));
    recent_->setObjectName(QStringLiteral("sequenceRecentMenu"));
    fillRecentMenu();
    file->addSeparator();
    QObject::connect(menuAction(file, QStringLiteral("保存"), "sequenceSaveAction", QKeySequence::Save),
                     &QAction::triggered, this, [this] { save(false); });
    QObject::connect(menuAction(file, QStringLiteral("另存为…"), "sequenceSaveAsAction", QKeySequence::SaveAs),
                     &QAction::triggered, this, [this] { save(true); });
}

QWidget* SequenceDialog::buildRunPanel() {
    auto* panel = new QWidget;
    auto* column = new QVBoxLayout(panel);
    column->setContentsMargins(0, 0, 0, 0);
    auto* facts = new QHBoxLayout;
    total_ = ui::label(QString(), ui::font(12), palette::muted());
    total_->setObjectName(QStringLiteral("sequenceTotal"));
    progress_ = ui::label(QString(), ui::font(12), palette::text());
    progress_->setObjectName(QStringLiteral("sequenceProgress"));
    state_ = ui::label(QString(), ui::font(12), palette::muted());
    state_->setObjectName(QStringLiteral("sequenceState"));
    facts->addWidget(total_);
    facts->addStretch();
    facts->addWidget(progress_);
    facts->addSpacing(16);
    facts->addWidget(state_);
    column->addLayout(facts);
    bar_ = new QProgressBar;
    bar_->setObjectName(QStringLiteral("sequenceProgressBar"));
    bar_->setRange(0, 1000);
    bar_->setTextVisible(false);
    bar_->setFixedHeight(6);
    column->addWidget(bar_);
    auto* buttons = new QHBoxLayout;
    start_ = new QPushButton(QStringLiteral("开始"));
    start_->setObjectName(QStringLiteral("sequenceStartButton"));
    stop_ = new QPushButton(QStringLiteral("停止"));
    stop_->setObjectName(QStringLiteral("sequenceStopButton"));
    buttons->addStretch();
    buttons->addWidget(start_);
    buttons->addWidget(stop_);
    column->addLayout(buttons);
    QObject::connect(start_, &QPushButton::clicked, this, &SequenceDialog::start);
    QObject::connect(stop_, &QPushButton::clicked, &model_, &SupplyModel::stopSequence);
    return panel;
}

void SequenceDialog::whenDiscardable(std::function<void()> then) {
    if (!modified()) return then();
    auto* ask = new QMessageBox(QMessageBox::Question, QStringLiteral("序列"),
                                QStringLiteral("当前配置有未保存的更改。放弃这些更改吗？"), QMessageBox::NoButton, this);
    ask->setObjectName(QStringLiteral("sequenceDiscardDialog"));
    QPushButton* discard = ask->addButton(QStringLiteral("放弃更改"), QMessageBox::DestructiveRole);
    ask->addButton(QStringLiteral("取消"), QMessageBox::RejectRole);
    ask->setAttribute(Qt::WA_DeleteOnClose);
    QObject::connect(ask, &QMessageBox::buttonClicked, this, [discard, then = std::move(then)](QAbstractButton* b) {
        if (b == discard) then();
    });
    ask->open();
}

void SequenceDialog::newProfile() {
    showDraft(ProfileDraft{"新序列", true, {}}, QString());
    notice_->clear();
}

void SequenceDialog::openChosen(const QString& start) {
    const QString path = chooser_(false, start);
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
            if (text) return showLoaded(path, *text);
            notice_->setText(QStringLiteral("无法读取 ") + path);
            forgetProfile(path);
            fillRecentMenu();
        });
}

void SequenceDialog::showLoaded(const QString& path, const std::string& text) {
    const auto draft = ProfileDraft::read(text);
    if (!draft) {
        // Only JSON the table cannot show lands here; the profile's rules say what is wrong with it.
        const ProfileCheck checked = SequenceProfile::check(text);
        const auto* refusal = std::get_if<ProfileRefusal>(&checked);
        notice_->setText(QStringLiteral("无法打开 ") + path + QStringLiteral("：") +
                         QString::fromStdString(refusal ? refusal->message : "unsupported profile"));
        return;
    }
    showDraft(*draft, path);
    rememberProfile(path);
    fillRecentMenu();
    notice_->setText(QStringLiteral("已打开：") + path);
}

void SequenceDialog::save(bool askForPath) {
    QString path = path_;
    if (askForPath || path.isEmpty()) {
        const QString folder = path_.isEmpty() ? QDir::homePath() : QFileInfo(path_).absolutePath();
        QString name = QString::fromStdString(editor_->draft().name).replace(QLatin1Char('/'), QLatin1Char('_'));
        path = chooser_(true, QDir(folder).filePath((name.isEmpty() ? QStringLiteral("sequence") : name) + ".json"));
        if (path.isEmpty()) return;
    }
    auto write = [path, text = editor_->text()]() -> QString {
        QSaveFile file(path);
        if (!file.open(QIODevice::WriteOnly)) return file.errorString();
        if (file.write(text.data(), static_cast<qint64>(text.size())) != static_cast<qint64>(text.size())) {
            return file.errorString();
        }
        return file.commit() ? QString() : file.errorString();
    };
    QtConcurrent::run(QThreadPool::globalInstance(), std::move(write))
        .then(this, [this, path, draft = editor_->draft()](const QString& error) {
            if (!error.isEmpty()) {
                notice_->setText(QStringLiteral("无法保存 ") + path + QStringLiteral("：") + error);
                return;
            }
            path_ = path;
            saved_ = draft;
            rememberProfile(path);
            fillRecentMenu();
            notice_->setText(QStringLiteral("已保存：") + path);
            syncTitle();
        });
}

void SequenceDialog::fillRecentMenu() {
    recent_->clear();
    const QStringList paths = recentProfiles();
    for (const QString& path : paths) {
        QAction* open = recent_->addAction(path);
        QObject::connect(open, &QAction::triggered, this,
                         [this, path] { whenDiscardable([this, path] { loadFile(path); }); });
    }
    recent_->setEnabled(!paths.isEmpty());
}

void SequenceDialog::showDraft(const ProfileDraft& draft, const QString& path) {
    path_ = path;
    saved_ = draft;
    editor_->setDraft(draft);
}

bool SequenceDialog::modified() const { return editor_->draft() != saved_; }

void SequenceDialog::syncTitle() {
    const QString file = path_.isEmpty() ? QStringLiteral("未命名") : QFileInfo(path_).fileName();
    setWindowTitle(QStringLiteral("序列 — ") + file + (modified() ? QStringLiteral(" *") : QString()));
}

void SequenceDialog::replot() {
    const auto* profile = std::get_if<SequenceProfile>(&editor_->check());
    const PowerSample* live = liveSample(model_);
    planStart_ = live ? std::pair{live->voltageSet, live->currentSet} : std::pair{0.0, 0.0};
    shownPlan_.reset();
    if (profile) shownPlan_ = SequencePlan::of(*profile, planStart_.first, planStart_.second);
    plan_->setPlan(shownPlan_);
    measuredVoltage_.clear();
    measuredCurrent_.clear();
    QString total = QStringLiteral("计划总时长 —");
    if (shownPlan_) {
        const auto& steps = shownPlan_->steps;
        const bool until = std::any_of(steps.begin(), steps.end(), [](const auto& step) { return step.until; });
        total = QStringLiteral("计划总时长 ") + durationText(shownPlan_->total) +
                (until ? QStringLiteral("（最长）") : QString());
    }
    ui::setTextIfChanged(total_, total);
}

void SequenceDialog::start() {
    const auto refused = model_.startSequence(editor_->text());
    notice_->setText(refused.value_or(QString()));
    if (!refused) {
        replot();  // from the setpoints in force now, as the runner's first ramp will
        runPlan_ = shownPlan_;
        startedHere_ = true;
    }
    sync();
}

void SequenceDialog::heardNews() {
    const auto& news = model_.sequenceProgress();
    if (!news || news->state != SequenceProgress::State::running || news->step != 1) return;
    // A run begins: the one started here, or one an API client started, whose plan this window does not know.
    if (!std::exchange(startedHere_, false) && runPlan_) {
        runPlan_.reset();
        replot();
    }
}

void SequenceDialog::heardSample() {
    const PowerSample* sample = liveSample(model_);
    if (!sample) return;
    if (!runPlan_) {
        // The preview starts from the supply's setpoints: follow them while no run is shown.
        if (std::pair{sample->voltageSet, sample->currentSet} != planStart_ && !watch_->running()) replot();
        return;
    }
    const auto at = watch_->planTime(*runPlan_, sample->time);
    if (!at) return;
    measuredVoltage_.append({*at, sample->voltage});
    measuredCurrent_.append({*at, sample->current});
    thin(measuredVoltage_);
    thin(measuredCurrent_);
    plan_->setMeasured(measuredVoltage_, measuredCurrent_);
}

void SequenceDialog::sync() {
    const auto live = model_.liveSequenceProgress();
    const bool running = live && live->state == SequenceProgress::State::running;
    const bool ours = runPlan_.has_value() && live;
    editor_->setLocked(running && ours);
    start_->setEnabled(std::holds_alternative<SequenceProfile>(editor_->check()) && model_.connected() && !running);
    stop_->setEnabled(running);
    if (running && !ticker_->isActive()) ticker_->start();
    if (!running) ticker_->stop();
    const int step = live ? static_cast<int>(live->step) - 1 : -1;
    editor_->setCurrentStep(running && ours ? step : -1);
    plan_->setCurrentStep(running && ours ? step : -1);
    QString text;
    if (live) {
        text = QStringLiteral("步骤 %1/%2 · 本步 %3 s · 已运行 %4")
                   .arg(live->step)
                   .arg(live->steps)
                   .arg(live->stepElapsed, 0, 'f', 1)
                   .arg(SequenceWatch::clockText(watch_->elapsed()));
    }
    bar_->setVisible(ours);
    if (ours && runPlan_->total > 0) {
        const double done = live->state == SequenceProgress::State::finished ? runPlan_->total
                                                                            : runPlan_->elapsedAt(step, live->stepElapsed);
        bar_->setValue(static_cast<int>(std::lround(done / runPlan_->total * 1000)));
        text += QStringLiteral(" · 总进度 %1 %").arg(std::lround(done / runPlan_->total * 100));
    }
    ui::setTextIfChanged(progress_, text);
    // The state follows the model's news, so it changes together with the activity log.
    const auto& heard = model_.sequenceProgress();
    ui::setTextIfChanged(state_, heard ? QStringLiteral("上次运行：") + stateText(*heard) : QStringLiteral("尚未运行"));
}

}  // namespace varek
