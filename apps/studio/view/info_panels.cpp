#include "info_panels.hpp"

#include <QDateTime>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>

#include "palette.hpp"
#include "varek/device.hpp"
#include "varek/format.hpp"
#include "view_state.hpp"
#include "widgets.hpp"

namespace varek {
namespace {

struct DetailRow {
    const char* label;
    const char* objectName;
    QString (*format)(const PowerSample&);
};

QString withUnit(double value, int decimals, const char* unit) {
    return QString::fromStdString(formatFixed(value, decimals)) + QString::fromUtf8(unit);
}

const DetailRow details[4] = {
    {"输入电压", "inputVoltageValue", [](const PowerSample& s) { return withUnit(s.inputVoltage, 2, " V"); }},
    {"系统温度", "temperatureValue", [](const PowerSample& s) { return withUnit(s.temperature, 0, " ℃"); }},
    {"已设电压", "voltageSetValue", [](const PowerSample& s) { return withUnit(s.voltageSet, 2, " V"); }},
    {"电流上限", "currentSetValue", [](const PowerSample& s) { return withUnit(s.currentSet, 2, " A"); }},
};

ui::Panel* titledPanel(QWidget* owner, const QString& title) {
    auto* outer = new QVBoxLayout(owner);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* panel = new ui::Panel;
    outer->addWidget(panel);
    panel->body()->addWidget(ui::label(title, ui::font(14, QFont::DemiBold), palette::text()));
    return panel;
}

}  // namespace

DetailsPanel::DetailsPanel(QWidget* parent) : QWidget(parent) {
    auto* panel = titledPanel(this, QStringLiteral("运行信息"));
    auto* grid = new QGridLayout;
    grid->setHorizontalSpacing(18);
    grid->setVerticalSpacing(12);
    for (int i = 0; i < 4; ++i) {
        auto* cell = new QVBoxLayout;
        cell->setSpacing(3);
        cell->addWidget(ui::label(QString::fromUtf8(details[i].label), ui::font(10), palette::muted()));
        values_[i] = ui::label(QString(), ui::numberFont(13), palette::text());
        values_[i]->setObjectName(QString::fromUtf8(details[i].objectName));
        cell->addWidget(values_[i]);
        grid->addLayout(cell, i / 2, i % 2);
    }
    panel->body()->addLayout(grid);
    panel->body()->addStretch();
}

void DetailsPanel::sync(const PowerSample* live) {
    for (int i = 0; i < 4; ++i) {
        ui::setTextIfChanged(values_[i], live ? details[i].format(*live) : QStringLiteral("—"));
    }
}

ActivityPanel::ActivityPanel(QWidget* parent) : QWidget(parent) {
    auto* panel = titledPanel(this, QStringLiteral("操作记录"));
    placeholder_ = ui::label(QStringLiteral("连接、设定与输出操作会记录在这里"), ui::font(11), palette::muted());
    lines_ = ui::label(QString(), ui::font(10), palette::muted());
    lines_->setObjectName(QStringLiteral("activityLog"));
    lines_->setWordWrap(true);
    lines_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    panel->body()->addWidget(placeholder_);
    panel->body()->addWidget(lines_);
    panel->body()->addStretch();
}

void ActivityPanel::sync(const QStringList& events) {
    if (synced_ && events == shown_) return;
    synced_ = true;
    shown_ = events;
    placeholder_->setVisible(events.isEmpty());
    lines_->setVisible(!events.isEmpty());
    lines_->setText(events.join(QLatin1Char('\n')));
}

Footer::Footer(QWidget* parent) : QWidget(parent) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(4, 0, 4, 0);
    row->addWidget(ui::label(designationText() + QStringLiteral(" · USB 串口"), ui::font(10), palette::muted()));
    row->addStretch();
    recording_ = ui::label(QString(), ui::font(10), palette::muted());
    recording_->setObjectName(QStringLiteral("recordingState"));
    recording_->setVisible(false);
    row->addWidget(recording_);
    updated_ = ui::label(QString(), ui::font(10), palette::muted());
    updated_->setObjectName(QStringLiteral("lastUpdate"));
    row->addWidget(updated_);
}

void Footer::syncRecording(const QString& folder) {
    recording_->setVisible(!folder.isEmpty());
    if (!folder.isEmpty()) ui::setTextIfChanged(recording_, QStringLiteral("连续记录中 · ") + folder);
}

void Footer::sync(const PowerSample* live) {
    updated_->setVisible(live != nullptr);
    if (!live) return;
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(live->time.time_since_epoch()).count();
    const QTime time = QDateTime::fromMSecsSinceEpoch(millis).time();
    // The user's own time layout, with seconds so a live stream visibly moves.
    static const QString format = [] {
        QString f = QLocale::system().timeFormat(QLocale::ShortFormat);
        if (!f.contains(QLatin1Char('s'))) f.replace(QStringLiteral("mm"), QStringLiteral("mm:ss"));
        return f;
    }();
    ui::setTextIfChanged(updated_, QStringLiteral("最近更新 ") + QLocale::system().toString(time, format));
}

}  // namespace varek
