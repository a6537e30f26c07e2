#include "readouts.hpp"

#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "icons.hpp"
#include "palette.hpp"
#include "supply_model.hpp"
#include "varek/format.hpp"
#include "view_state.hpp"
#include "widgets.hpp"

namespace varek {
namespace {

struct TileInfo {
    const char* title;
    const char* unit;
    icons::Symbol symbol;
    QColor (*colour)();
    const char* objectName;
    double (*value)(const PowerSample&);
};

const TileInfo tiles[3] = {
    {"输出电压", "V", icons::Symbol::bolt, &palette::voltage, "voltage",
     [](const PowerSample& s) { return s.voltage; }},
    {"输出电流", "A", icons::Symbol::waveform, &palette::current, "current",
     [](const PowerSample& s) { return s.current; }},
    {"输出功率", "W", icons::Symbol::speedometer, &palette::power, "power",
     [](const PowerSample& s) { return s.power; }},
};

}  // namespace

Header::Header(QWidget* parent) : QWidget(parent) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(8);
    auto* titles = new QVBoxLayout;
    titles->setSpacing(4);
    titles->addWidget(ui::label(QStringLiteral("电源工作台"), ui::font(27, QFont::Bold), palette::text()));
    notice_ = ui::label(QString(), ui::font(12), palette::muted());
    notice_->setObjectName(QStringLiteral("noticeLabel"));
    titles->addWidget(notice_);
    row->addLayout(titles);
    row->addStretch();
    modePill_ = new ui::Pill;
    modePill_->setObjectName(QStringLiteral("modePill"));
    modePill_->setColour(palette::voltage());
    protectionPill_ = new ui::Pill;
    protectionPill_->setObjectName(QStringLiteral("protectionPill"));
    connectionPill_ = new ui::Pill;
    connectionPill_->setObjectName(QStringLiteral("connectionPill"));
    connectionPill_->setDot(true);
    for (auto* pill : {modePill_, protectionPill_, connectionPill_}) row->addWidget(pill, 0, Qt::AlignVCenter);
}

void Header::sync(const SupplyModel& model) {
    QString notice = model.notice();
    if (model.connected()) {
        notice += QStringLiteral(" · 目标 ") + QString::number(model.refreshRate()) + QStringLiteral(" Hz");
    }
    ui::setTextIfChanged(notice_, notice);

    const PowerSample* live = liveSample(model);
    modePill_->setVisible(live != nullptr);
    protectionPill_->setVisible(live != nullptr);
    if (live) {
        modePill_->setText(QString::fromStdString(live->modeName()));
        protectionPill_->setText(QString::fromStdString(live->protectionName()));
        protectionPill_->setColour(live->protection == 0 ? palette::current() : palette::alarm());
    }
    connectionPill_->setText(model.connected() ? QStringLiteral("已连接") : QStringLiteral("未连接"));
    connectionPill_->setColour(model.connected() ? palette::current() : palette::muted());
}

Readouts::Readouts(QWidget* parent) : QWidget(parent) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(16);
    for (int i = 0; i < 3; ++i) row->addWidget(buildTile(i), 1);
}

QWidget* Readouts::buildTile(int index) {
    const TileInfo& info = tiles[index];
    const QColor colour = info.colour();
    auto* panel = new ui::Panel;
    auto* body = panel->body();
    body->setSpacing(8);

    auto* titleRow = new QHBoxLayout;
    titleRow->setSpacing(6);
    auto* icon = new QLabel;
    icon->setPixmap(icons::pixmap(info.symbol, palette::faded(colour, 0.8), 14));
    titleRow->addWidget(icon);
    titleRow->addWidget(ui::label(QString::fromUtf8(info.title), ui::font(12, QFont::Medium), palette::muted()));
    titleRow->addStretch();
    body->addLayout(titleRow);

    auto* valueRow = new QHBoxLayout;
    valueRow->setSpacing(6);
    Tile& tile = tiles_[index];
    tile.value = ui::label(QString(), ui::numberFont(43), palette::text());
    tile.value->setObjectName(QString::fromUtf8(info.objectName) + QStringLiteral("Value"));
    valueRow->addWidget(tile.value, 0, Qt::AlignBaseline);
    valueRow->addWidget(ui::label(QString::fromUtf8(info.unit), ui::font(17, QFont::Medium),
                                  palette::faded(palette::text(), 0.65)),
                        0, Qt::AlignBaseline);
    valueRow->addStretch();
    body->addLayout(valueRow);

    auto* statusRow = new QHBoxLayout;
    statusRow->setSpacing(6);
    tile.dot = new ui::Dot(4, palette::muted());
    statusRow->addWidget(tile.dot, 0, Qt::AlignVCenter);
    tile.status = ui::label(QString(), ui::font(10), palette::muted());
    tile.status->setObjectName(QString::fromUtf8(info.objectName) + QStringLiteral("Status"));
    statusRow->addWidget(tile.status);
    statusRow->addStretch();
    body->addLayout(statusRow);
    return panel;
}

void Readouts::sync(const PowerSample* live) {
    for (int i = 0; i < 3; ++i) {
        const Tile& tile = tiles_[i];
        const QColor colour = tiles[i].colour();
        ui::setTextIfChanged(tile.value, live ? QString::fromStdString(formatFixed2(tiles[i].value(*live)))
                                              : QStringLiteral("—"));
        ui::setTextIfChanged(tile.status, live ? QStringLiteral("实时输出") : QStringLiteral("等待连接"));
        tile.dot->setColour(live ? colour : palette::muted());
        ui::setTextColour(tile.status, live ? colour : palette::muted());
    }
}

}  // namespace varek
