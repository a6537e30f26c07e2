#include "control_panel.hpp"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "icons.hpp"
#include "palette.hpp"
#include "supply_model.hpp"
#include "sequence_watch.hpp"
#include "varek/format.hpp"
#include "view_state.hpp"
#include "widgets.hpp"

namespace varek {
namespace {

void syncField(QLineEdit* field, const QString& draft) {
    // Only foreign changes (connect, read-back) are written back, so typing keeps its cursor.
    if (field->text() != draft) field->setText(draft);
}

// "0.00 – 60.00 V": the accepted setpoints from zero to the supply's ceiling.
QString rangeText(double maximum, const char* unit) {
    return QString::fromStdString(formatFixed2(0.0)) + QStringLiteral(" – ") +
           QString::fromStdString(formatFixed2(maximum)) + QLatin1Char(' ') + QLatin1String(unit);
}

}  // namespace

ControlPanel::ControlPanel(SupplyModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    setFixedWidth(fixedWidth);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* panel = new ui::Panel;
    outer->addWidget(panel);
    auto* body = panel->body();
    body->setSpacing(10);
    body->addWidget(ui::label(QStringLiteral("输出控制"), ui::font(14, QFont::DemiBold), palette::text()));

    voltageBlock_ = buildSetpoint(QStringLiteral("设定电压"), QStringLiteral("V"), rangeText(Supply::voltageMax, "V"),
                                  voltageField_, "voltageField");
    currentBlock_ = buildSetpoint(QStringLiteral("电流上限"), QStringLiteral("A"), rangeText(Supply::currentMax, "A"),
                                  currentField_, "currentField");
    QObject::connect(voltageField_, &QLineEdit::textEdited, &model_, &SupplyModel::setVoltageDraft);
    QObject::connect(currentField_, &QLineEdit::textEdited, &model_, &SupplyModel::setCurrentDraft);
    body->addWidget(voltageBlock_);
    body->addWidget(currentBlock_);

    applyButton_ = new QPushButton(QStringLiteral("应用设定"));
    applyButton_->setObjectName(QStringLiteral("applyButton"));
    applyButton_->setFont(ui::font(12, QFont::DemiBold));
    ui::styleBordered(applyButton_);
    QObject::connect(applyButton_, &QPushButton::clicked, &model_, &SupplyModel::applyValues);
    body->addWidget(applyButton_);
    body->addWidget(ui::divider());

    auto* stateRow = new QHBoxLayout;
    stateRow->addWidget(ui::label(QStringLiteral("电源输出"), ui::font(12, QFont::Medium), palette::text()));
    stateRow->addStretch();
    outputState_ = ui::label(QString(), ui::font(12, QFont::DemiBold), palette::muted());
    outputState_->setObjectName(QStringLiteral("outputState"));
    stateRow->addWidget(outputState_);
    body->addLayout(stateRow);

    outputButton_ = new QPushButton;
    outputButton_->setObjectName(QStringLiteral("outputButton"));
    outputButton_->setFont(ui::font(13, QFont::DemiBold));
    outputButton_->setIconSize(QSize(16, 16));
    outputButton_->setCursor(Qt::PointingHandCursor);
    QObject::connect(outputButton_, &QPushButton::clicked, this, [this] { switchOutput(); });
    body->addWidget(outputButton_);
    auto* hint = ui::label(QStringLiteral("应用设定后保持当前输出开关状态"), ui::font(9), palette::muted());
    hint->setAlignment(Qt::AlignHCenter);
    body->addWidget(hint);

    watch_ = new SequenceWatch(model_, this);
    sequenceLine_ = ui::label(QString(), ui::font(11, QFont::Medium), palette::current());
    sequenceLine_->setObjectName(QStringLiteral("sequenceLine"));
    sequenceLine_->setWordWrap(true);
    sequenceLine_->setStyleSheet(QStringLiteral("QLabel { border: 1px solid %1; border-radius: 6px; padding: 5px 8px; }")
                                     .arg(palette::css(palette::faded(palette::current(), 0.5))));
    sequenceLine_->hide();
    body->addWidget(sequenceLine_);
    body->addStretch();
}

QWidget* ControlPanel::buildSetpoint(const QString& title, const QString& unit, const QString& range,
                                     QLineEdit*& field, const char* objectName) {
    auto* block = new QWidget;
    auto* column = new QVBoxLayout(block);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(2);
    column->addWidget(ui::label(title, ui::font(11), palette::muted()));
    auto* row = new QHBoxLayout;
    row->setSpacing(6);
    field = new QLineEdit;
    field->setObjectName(QString::fromUtf8(objectName));
    field->setPlaceholderText(QStringLiteral("0.00"));
    field->setFont(ui::numberFont(22));
    field->setFrame(false);
    field->setStyleSheet(QStringLiteral("QLineEdit { background: transparent; color: %1; border: none;"
                                        " border-bottom: 1px solid %2; padding: 0 0 2px 0; }"
                                        "QLineEdit:focus { border-bottom-color: %3; }"
                                        "QLineEdit:disabled { color: %4; }")
                             .arg(palette::css(palette::text()), palette::css(palette::border()),
                                  palette::css(palette::faded(palette::current(), 0.7)),
                                  palette::css(palette::faded(palette::text(), 0.5))));
    row->addWidget(field, 1);
    row->addWidget(ui::label(unit, ui::font(13), palette::muted()), 0, Qt::AlignBottom);
    column->addLayout(row);
    column->addWidget(ui::label(range, ui::font(9), palette::faded(palette::muted(), 0.7)));
    return block;
}

void ControlPanel::sync() {
    syncField(voltageField_, model_.voltageDraft());
    syncField(currentField_, model_.currentDraft());
    const bool enabled = model_.connected() && !model_.busy();
    for (QWidget* w : {voltageBlock_, currentBlock_, static_cast<QWidget*>(applyButton_),
                       static_cast<QWidget*>(outputButton_)}) {
        w->setEnabled(enabled);
    }

    const PowerSample* live = liveSample(model_);
    const bool on = live && live->outputEnabled;
    ui::setTextIfChanged(outputState_, !live ? QStringLiteral("—") : on ? QStringLiteral("开启") : QStringLiteral("关闭"));
    ui::setTextColour(outputState_, on ? palette::current() : palette::muted());
    const QString text = on ? QStringLiteral("关闭输出") : QStringLiteral("开启输出");
    if (outputButton_->text() != text) outputButton_->setText(text);
    const QColor tint = on ? palette::danger() : palette::faded(palette::current(), 0.8);
    ui::styleProminent(outputButton_, tint);
    if (outputButton_->property("iconTint").toString() != palette::css(tint)) {
        outputButton_->setProperty("iconTint", palette::css(tint));
        outputButton_->setIcon(icons::icon(icons::Symbol::power, palette::textOn(tint)));
    }
    syncSequenceLine();
}

void ControlPanel::syncSequenceLine() {
    const auto live = model_.liveSequenceProgress();
    const bool running = live && live->state == SequenceProgress::State::running;
    if (running) {
        ui::setTextIfChanged(sequenceLine_, QStringLiteral("序列「") + QString::fromStdString(live->name) +
                                                QStringLiteral("」 · 步骤 %1/%2 · ").arg(live->step).arg(live->steps) +
                                                SequenceWatch::clockText(watch_->elapsed()));
    }
    if (sequenceLine_->isVisibleTo(this) != running) sequenceLine_->setVisible(running);
}

void ControlPanel::switchOutput() {
    const PowerSample* live = liveSample(model_);
    model_.changeOutput(live ? !live->outputEnabled : true);
}

}  // namespace varek
