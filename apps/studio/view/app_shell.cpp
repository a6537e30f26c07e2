#include "app_shell.hpp"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QMenuBar>
#include <QMessageBox>
#include <QStyleFactory>

#include <QShortcut>
#include <QStackedWidget>

#include <algorithm>

#include "add_supply_dialog.hpp"
#include "bench_nav.hpp"
#include "control_menu.hpp"
#include "dashboard.hpp"
#include "overview_page.hpp"
#include "sidebar.hpp"
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

StudioWindow::StudioWindow(Bench& bench, QWidget* parent)
    : QMainWindow(parent), bench_(bench), stack_(new QStackedWidget(this)) {
    setWindowTitle(QStringLiteral("VAREK Studio"));
    setWindowIcon(icons::icon(icons::Symbol::bolt, palette::voltage()));
    stack_->setMinimumSize(minimumWidth, minimumHeight);
    overview_ = new OverviewPage(bench_, {[this](int index) { showSupply(index); }, [this] { showOverview(); },
                                          [this] { openAddDialog(); }});
    stack_->addWidget(overview_);
    setCentralWidget(stack_);
    buildMenus();
    syncPages();
    QObject::connect(&bench_, &Bench::listChanged, this, [this] { syncPages(); });
    QObject::connect(&bench_, &Bench::selectionChanged, this, [this] { syncSelection(); });
    QObject::connect(&bench_, &Bench::supplyChanged, this, [this](int index, SupplyModel::Changes what) {
        // Every visible navigation shows every supply's values; the cards likewise.
        if (overviewShown()) overview_->sync();
        if (Dashboard* shown = dashboard(); shown && !overviewShown() && index != bench_.selected()) {
            if (auto* navigation = shown->sidebar()->navigation()) navigation->sync();
        }
        if (index == bench_.selected() && (what & (SupplyModel::Change::samples | SupplyModel::Change::recording))) {
            syncActions();
        }
    });
    for (int number = 1; number <= 9; ++number) {
        auto* shortcut = new QShortcut(QKeySequence(Qt::CTRL | static_cast<Qt::Key>(Qt::Key_0 + number)), this);
        QObject::connect(shortcut, &QShortcut::activated, this, [this, number] { showSupply(number - 1); });
    }
    resize(defaultWidth, defaultHeight + menuBar()->sizeHint().height());
}

Dashboard* StudioWindow::dashboardFor(int index) const {
    if (index < 0 || index >= static_cast<int>(pages_.size())) return nullptr;
    return pages_[static_cast<std::size_t>(index)].dashboard;
}

Dashboard* StudioWindow::dashboard() const { return dashboardFor(bench_.selected()); }

bool StudioWindow::overviewShown() const { return stack_->currentWidget() == overview_; }

void StudioWindow::showSupply(int index) {
    if (index < 0 || index >= bench_.size()) return;
    bench_.select(index);
    syncSelection();
}

void StudioWindow::showOverview() {
    if (bench_.size() < 2) return;
    stack_->setCurrentWidget(overview_);
    overview_->sync();
    if (auto* navigation = overview_->sidebar()->navigation()) navigation->setOverviewShown(true);
}

QDialog* StudioWindow::openAddDialog() {
    auto* dialog = new AddSupplyDialog(bench_, bench_.serialPorts(), this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->open();
    return dialog;
}

void StudioWindow::syncPages() {
    // Pages of supplies no longer on the bench go; new supplies get theirs.
    std::vector<Page> kept;
    for (const Page& page : pages_) {
        bool present = false;
        for (int i = 0; i < bench_.size(); ++i) present = present || &bench_.at(i) == page.model;
        if (present) {
            kept.push_back(page);
            continue;
        }
        if (shownControl_ == page.control) {
            menuBar()->removeAction(page.control->menuAction());
            shownControl_ = nullptr;
        }
        delete page.control;
        delete page.dashboard;
    }
    pages_.clear();
    for (int i = 0; i < bench_.size(); ++i) {
        SupplyModel* model = &bench_.at(i);
        const auto found = std::find_if(kept.begin(), kept.end(), [model](const Page& p) { return p.model == model; });
        if (found != kept.end()) {
            pages_.push_back(*found);
            continue;
        }
        auto* dashboard = new Dashboard(*model, &bench_, {[this] { showOverview(); }, [this] { openAddDialog(); }});
        stack_->addWidget(dashboard);
        pages_.push_back({model, dashboard, controlMenu(*this, *model)});
    }
    for (const Page& page : pages_) page.dashboard->sidebar()->sync();
    overview_->sync();
    if (overviewShown() && bench_.size() < 2) bench_.select(0);
    syncSelection();
}

void StudioWindow::syncSelection() {
    const Page& page = pages_[static_cast<std::size_t>(bench_.selected())];
    stack_->setCurrentWidget(page.dashboard);
    if (auto* navigation = page.dashboard->sidebar()->navigation()) navigation->setOverviewShown(false);
    if (shownControl_ != page.control) {
        if (shownControl_) menuBar()->removeAction(shownControl_->menuAction());
        menuBar()->insertMenu(helpMenu_, page.control);
        shownControl_ = page.control;
    }
    // The zoomed span belongs to the shown trend.
    QObject::disconnect(zoomFollow_);
    TrendPanel* trend = page.dashboard->trendPanel();
    zoomFollow_ = QObject::connect(trend, &TrendPanel::zoomChanged, exportVisibleAction_, &QAction::setEnabled);
    exportVisibleAction_->setEnabled(trend->zoom().has_value());
    syncActions();
}

void StudioWindow::syncActions() {
    const SupplyModel& model = bench_.current();
    exportAction_->setEnabled(!model.samples().empty());
    startRecording_->setEnabled(!model.recording());
    stopRecording_->setEnabled(model.recording());
}

void StudioWindow::buildMenus() {
    QMenu* file = menuBar()->addMenu(QStringLiteral("文件"));
    exportAction_ = file->addAction(QStringLiteral("导出采样 CSV…"));
    exportAction_->setObjectName(QStringLiteral("exportAction"));
    exportAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_E));
    QObject::connect(exportAction_, &QAction::triggered, this, [this] { bench_.current().exportCSV(); });
    // Only the span the zoomed trend shows; enabled while the chart shows one.
    exportVisibleAction_ = file->addAction(QStringLiteral("导出可见范围 CSV…"));
    exportVisibleAction_->setObjectName(QStringLiteral("exportVisibleAction"));
    QObject::connect(exportVisibleAction_, &QAction::triggered, this, [this] {
        if (Dashboard* shown = dashboard()) shown->trendPanel()->exportVisible();
    });
    buildRecordingActions(*file);
    file->addSeparator();
    QAction* add = file->addAction(QStringLiteral("添加电源…"));
    add->setObjectName(QStringLiteral("addSupplyAction"));
    QObject::connect(add, &QAction::triggered, this, [this] { openAddDialog(); });
    file->addSeparator();
    QAction* quit = file->addAction(QStringLiteral("退出"));
    quit->setShortcut(QKeySequence::Quit);
    quit->setMenuRole(QAction::QuitRole);
    QObject::connect(quit, &QAction::triggered, this, &QWidget::close);

    QMenu* help = menuBar()->addMenu(QStringLiteral("帮助"));
    helpMenu_ = help->menuAction();
    QAction* about = help->addAction(QStringLiteral("关于 VAREK Studio"));
    about->setObjectName(QStringLiteral("aboutAction"));
    about->setMenuRole(QAction::AboutRole);
    QObject::connect(about, &QAction::triggered, this, [this] { showAbout(); });
}

void StudioWindow::buildRecordingActions(QMenu& file) {
    file.addSeparator();
    startRecording_ = file.addAction(QStringLiteral("开始连续记录…"));
    startRecording_->setObjectName(QStringLiteral("startRecordingAction"));
    stopRecording_ = file.addAction(QStringLiteral("停止连续记录"));
    stopRecording_->setObjectName(QStringLiteral("stopRecordingAction"));
    QObject::connect(startRecording_, &QAction::triggered, this, [this] { bench_.current().startRecording(); });
    QObject::connect(stopRecording_, &QAction::triggered, this, [this] { bench_.current().stopRecording(); });
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
    // Closing the window lets go of every port; the outputs stay as they are.
    bench_.remember();
    bench_.disconnectAll();
    QMainWindow::closeEvent(event);
}

namespace {

Bench::Options benchOptions(PowerModel::Options options) {
    Bench::Options bench;
    bench.arguments = std::move(options.arguments);
    bench.httpPort = options.httpPort;
    bench.scpiPort = options.scpiPort;
    bench.supportDirectory = std::move(options.supportDirectory);
    bench.listPorts = std::move(options.listPorts);
    bench.chooseSaveLocation = std::move(options.chooseSaveLocation);
    bench.chooseRecordingFolder = std::move(options.chooseRecordingFolder);
    return bench;
}

}  // namespace

VarekPowerStudioApp::VarekPowerStudioApp(Bench::Options options)
    : bench_(std::make_unique<Bench>(std::move(options))), window_(std::make_unique<StudioWindow>(*bench_)) {}

VarekPowerStudioApp::VarekPowerStudioApp(PowerModel::Options options)
    : VarekPowerStudioApp(benchOptions(std::move(options))) {}

VarekPowerStudioApp::~VarekPowerStudioApp() {
    window_.reset();
    bench_.reset();
}

PowerModel& VarekPowerStudioApp::model() const { return dynamic_cast<PowerModel&>(bench_->at(0)); }

void VarekPowerStudioApp::show() { window_->show(); }

}  // namespace varek
