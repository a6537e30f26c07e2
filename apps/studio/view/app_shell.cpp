#include "app_shell.hpp"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QMenuBar>
#include <QMessageBox>
#include <QStyleFactory>

#include "control_menu.hpp"
#include "dashboard.hpp"
#include "icons.hpp"
#include "palette.hpp"
#include "trend_panel.hpp"
#include "varek/platform.hpp"

namespace varek {

AboutInfo aboutInfo(const std::string& revision) {
    return {QStringLiteral("VAREK Studio"), QStringLiteral("0.1.2"),
            QString::fromStdString(revision.substr(0, 12)),
            QStringLiteral("RuvizOzurir · 原生 macOS 电源控制\nUSB / RD6030 与 RD6030-Max")};
}

void applyStudioTheme(QApplication& app) {
    app.setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QPalette p;
    const QColor text = palette::text();
    p.setColor(QPalette::Window, palette::background());
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, palette::rgb(0.06, 0.08, 0.11));
    p.setColor(QPalette::AlternateBase, palette::panel());
    p.setColor(QPalette::ToolTipBase, palette::panel());
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::PlaceholderText, palette::faded(palette::muted(), 0.7));
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, palette::rgb(0.12, 0.145, 0.18));
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::BrightText, palette::alarm());
    p.setColor(QPalette::Highlight, palette::faded(palette::power(), 0.85));
    p.setColor(QPalette::HighlightedText, palette::background());
    p.setColor(QPalette::Link, palette::power());
    p.setColor(QPalette::Light, palette::rgb(0.2, 0.23, 0.28));
    p.setColor(QPalette::Midlight, palette::rgb(0.16, 0.19, 0.23));
    p.setColor(QPalette::Mid, palette::rgb(0.1, 0.12, 0.16));
    p.setColor(QPalette::Dark, palette::rgb(0.03, 0.04, 0.06));
    p.setColor(QPalette::Shadow, Qt::black);
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
        p.setColor(QPalette::Disabled, role, palette::faded(palette::muted(), 0.6));
    }
    app.setPalette(p);

    QFont font = app.font();
    // Offscreen and minimal desktops have no font fallback configured; name a CJK face first.
    font.setFamilies({QStringLiteral("WenQuanYi Micro Hei"), QStringLiteral("Noto Sans CJK SC"),
                      QStringLiteral("Source Han Sans SC"), QStringLiteral("DejaVu Sans")});
    font.setPixelSize(13);
    app.setFont(font);
}

StudioWindow::StudioWindow(SupplyModel& model, QWidget* parent)
    : QMainWindow(parent), model_(model), dashboard_(new Dashboard(model, this)) {
    setWindowTitle(QStringLiteral("VAREK Studio"));
    setWindowIcon(icons::icon(icons::Symbol::bolt, palette::voltage()));
    dashboard_->setMinimumSize(minimumWidth, minimumHeight);
    setCentralWidget(dashboard_);
    buildMenus();
    resize(defaultWidth, defaultHeight + menuBar()->sizeHint().height());
}

void StudioWindow::buildMenus() {
    QMenu* file = menuBar()->addMenu(QStringLiteral("文件"));
    exportAction_ = file->addAction(QStringLiteral("导出采样 CSV…"));
    exportAction_->setObjectName(QStringLiteral("exportAction"));
    exportAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_E));
    exportAction_->setEnabled(!model_.samples().empty());
    QObject::connect(exportAction_, &QAction::triggered, &model_, &SupplyModel::exportCSV);
    QObject::connect(&model_, &SupplyModel::changed, exportAction_, [this](SupplyModel::Changes what) {
        if (what & SupplyModel::Change::samples) exportAction_->setEnabled(!model_.samples().empty());
    });
    // Only the span the zoomed trend shows; enabled while the chart shows one.
    TrendPanel* trend = dashboard_->trendPanel();
    exportVisibleAction_ = file->addAction(QStringLiteral("导出可见范围 CSV…"));
    exportVisibleAction_->setObjectName(QStringLiteral("exportVisibleAction"));
    exportVisibleAction_->setEnabled(trend->zoom().has_value());
    QObject::connect(exportVisibleAction_, &QAction::triggered, trend, &TrendPanel::exportVisible);
    QObject::connect(trend, &TrendPanel::zoomChanged, exportVisibleAction_, &QAction::setEnabled);
    buildRecordingActions(*file);
    file->addSeparator();
    QAction* quit = file->addAction(QStringLiteral("退出"));
    quit->setShortcut(QKeySequence::Quit);
    quit->setMenuRole(QAction::QuitRole);
    QObject::connect(quit, &QAction::triggered, this, &QWidget::close);

    addControlMenu(*this, model_);

    QMenu* help = menuBar()->addMenu(QStringLiteral("帮助"));
    QAction* about = help->addAction(QStringLiteral("关于 VAREK Studio"));
    about->setObjectName(QStringLiteral("aboutAction"));
    about->setMenuRole(QAction::AboutRole);
    QObject::connect(about, &QAction::triggered, this, [this] { showAbout(); });
}

void StudioWindow::buildRecordingActions(QMenu& file) {
    file.addSeparator();
    QAction* start = file.addAction(QStringLiteral("开始连续记录…"));
    start->setObjectName(QStringLiteral("startRecordingAction"));
    QAction* stop = file.addAction(QStringLiteral("停止连续记录"));
    stop->setObjectName(QStringLiteral("stopRecordingAction"));
    const auto sync = [this, start, stop] {
        start->setEnabled(!model_.recording());
        stop->setEnabled(model_.recording());
    };
    sync();
    QObject::connect(start, &QAction::triggered, &model_, &SupplyModel::startRecording);
    QObject::connect(stop, &QAction::triggered, &model_, &SupplyModel::stopRecording);
    QObject::connect(&model_, &SupplyModel::changed, start, [sync](SupplyModel::Changes what) {
        if (what & SupplyModel::Change::recording) sync();
    });
}

QMessageBox* StudioWindow::showAbout() {
    if (about_) {
        about_->raise();
        return about_;
    }
    const AboutInfo info = aboutInfo(platform::sourceSHA());
    about_ = new QMessageBox(this);
    about_->setObjectName(QStringLiteral("aboutDialog"));
    about_->setWindowTitle(QStringLiteral("关于 VAREK Studio"));
    about_->setIconPixmap(icons::pixmap(icons::Symbol::bolt, palette::voltage(), 48));
    about_->setTextFormat(Qt::RichText);
    about_->setText(QStringLiteral("<b style=\"font-size:16px\">%1</b><br>版本 %2 (%3)<br><br>%4")
                        .arg(info.name.toHtmlEscaped(), info.version.toHtmlEscaped(), info.build.toHtmlEscaped(),
                             info.credits.toHtmlEscaped().replace(QLatin1Char('\n'), QStringLiteral("<br>"))));
    about_->setStandardButtons(QMessageBox::Ok);
    about_->setAttribute(Qt::WA_DeleteOnClose);
    about_->open();
    return about_;
}

void StudioWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    raise();
    activateWindow();
}

void StudioWindow::closeEvent(QCloseEvent* event) {
    // Closing the window lets go of the port; the output stays as it is.
    model_.disconnect();
    QMainWindow::closeEvent(event);
}

VarekPowerStudioApp::VarekPowerStudioApp(PowerModel::Options options)
    : model_(std::make_unique<PowerModel>(std::move(options))), window_(std::make_unique<StudioWindow>(*model_)) {}

VarekPowerStudioApp::~VarekPowerStudioApp() {
    window_.reset();
    model_.reset();
}

void VarekPowerStudioApp::show() { window_->show(); }

}  // namespace varek
