#include "dashboard.hpp"

#include <QHBoxLayout>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QTimer>

#include "control_panel.hpp"
#include "info_panels.hpp"
#include "palette.hpp"
#include "supply_model.hpp"
#include "readouts.hpp"
#include "sidebar.hpp"
#include "trend_panel.hpp"
#include "view_state.hpp"

namespace varek {

Dashboard::Dashboard(SupplyModel& model, Bench* bench, BenchNavigation::Actions actions, QWidget* parent)
    : QWidget(parent), model_(model), redrawTimer_(new QTimer(this)) {
    setObjectName(QStringLiteral("dashboard"));
    setAutoFillBackground(true);
    QPalette p = palette();
    p.setColor(QPalette::Window, palette::background());
    setPalette(p);

    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    sidebar_ = new Sidebar(&model_, bench, std::move(actions));
    row->addWidget(sidebar_);
    auto* scroll = new QScrollArea;
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    scroll->setWidget(buildMainColumn());
    row->addWidget(scroll, 1);

    // Coalescing: a burst of field changes (a sample touches several) costs one redraw.
    redrawTimer_->setSingleShot(true);
    redrawTimer_->setInterval(0);
    QObject::connect(redrawTimer_, &QTimer::timeout, this, &Dashboard::redraw);
    QObject::connect(&model_, &SupplyModel::changed, this, &Dashboard::markDirty);
    redraw();
}

QWidget* Dashboard::buildMainColumn() {
    auto* column = new QWidget;
    column->setObjectName(QStringLiteral("mainColumn"));
    auto* layout = new QVBoxLayout(column);
    layout->setContentsMargins(26, 24, 26, 18);
    layout->setSpacing(16);
    header_ = new Header;
    layout->addWidget(header_);
    readouts_ = new Readouts;
    layout->addWidget(readouts_);

    auto* middle = new QHBoxLayout;
    middle->setSpacing(16);
    trend_ = new TrendPanel(model_);
    control_ = new ControlPanel(model_);
    middle->addWidget(trend_, 1);
    middle->addWidget(control_);
    layout->addLayout(middle);

    auto* lower = new QHBoxLayout;
    lower->setSpacing(16);
    details_ = new DetailsPanel;
    activity_ = new ActivityPanel;
    lower->addWidget(details_, 2);
    lower->addWidget(activity_, 3);
    layout->addLayout(lower);
    layout->addStretch();
    footer_ = new Footer;
    layout->addWidget(footer_);
    return column;
}

void Dashboard::markDirty() {
    // A dashboard hidden behind another supply's costs nothing until it is shown again.
    if (!isVisible()) {
        dirty_ = true;
        return;
    }
    if (!redrawTimer_->isActive()) redrawTimer_->start();
}

void Dashboard::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (dirty_) redraw();
}

void Dashboard::redraw() {
    const auto started = std::chrono::steady_clock::now();
    redrawTimer_->stop();
    dirty_ = false;
    const PowerSample* live = liveSample(model_);
    sidebar_->sync();
    header_->sync(model_);
    readouts_->sync(live);
    trend_->sync();
    control_->sync();
    details_->sync(live);
    activity_->sync(model_.events());
    footer_->sync(live);
    // Only while rows are being written: recording waits for a connection.
    footer_->syncRecording(model_.recording() && model_.connected() ? model_.recordingFolder() : QString());
    syncAlert();
    const auto spent = std::chrono::steady_clock::now() - started;
    ++stats_.count;
    stats_.total += spent;
    stats_.longest = std::max<std::chrono::nanoseconds>(stats_.longest, spent);
}

void Dashboard::syncAlert() {
    const auto& message = model_.errorMessage();
    if (!message) {
        if (alert_) alert_->close();
        return;
    }
    if (alert_) {
        alert_->setText(*message);
        return;
    }
    alert_ = new QMessageBox(QMessageBox::Warning, QStringLiteral("操作提示"), *message, QMessageBox::NoButton, this);
    alert_->setObjectName(QStringLiteral("alert"));
    alert_->addButton(QStringLiteral("知道了"), QMessageBox::AcceptRole);
    alert_->setAttribute(Qt::WA_DeleteOnClose);
    // Every way out of the alert (button, Escape, closing the window) dismisses the message.
    QObject::connect(alert_, &QMessageBox::finished, &model_, [model = &model_] { model->clearErrorMessage(); });
    alert_->open();
}

}  // namespace varek
