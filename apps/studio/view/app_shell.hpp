#pragma once

#include <QMainWindow>
#include <QPointer>
#include <QString>

#include <memory>
#include <string>
#include <vector>

#include "bench.hpp"
#include "power_model.hpp"

class QAction;
class QDialog;
class QStackedWidget;
class QApplication;
class QMenu;
class QMessageBox;

namespace varek {

class Dashboard;
class OverviewPage;

/// The four values the About box shows.
struct AboutInfo {
    QString name;
    QString version;
    QString build;    ///< the source revision cut to 12 characters
    QString credits;  ///< two lines
};

/// About box values for a build stamped with `revision`.
AboutInfo aboutInfo(const std::string& revision);

/// Fusion style, a dark palette whatever the desktop prefers, and CJK-capable fonts.
void applyStudioTheme(QApplication& app);

/// The one window: the selected supply's dashboard (or the bench's overview), the
/// menus acting on the selected supply, and the About box. With one supply it is the
/// window it always was.
class StudioWindow : public QMainWindow {
public:
    static constexpr int defaultWidth = 1250;
    static constexpr int defaultHeight = 920;
    static constexpr int minimumWidth = 1080;
    static constexpr int minimumHeight = 720;

    explicit StudioWindow(Bench& bench, QWidget* parent = nullptr);

    /// The selected supply's dashboard.
    Dashboard* dashboard() const;
    /// Supply `index`'s dashboard.
    Dashboard* dashboardFor(int index) const;
    OverviewPage* overview() const { return overview_; }
    /// True while "全部电源" is shown.
    bool overviewShown() const;
    /// Shows supply `index` (Ctrl+1 … Ctrl+9 do the same).
    void showSupply(int index);
    /// Shows "全部电源".
    void showOverview();
    /// Opens "添加电源…" (non-blocking) and returns it.
    QDialog* openAddDialog();
    /// "导出采样 CSV…", enabled only while the selected supply has samples stored.
    QAction* exportAction() const { return exportAction_; }
    /// "导出可见范围 CSV…", enabled only while the trend shows a zoomed span.
    QAction* exportVisibleAction() const { return exportVisibleAction_; }
    /// Opens the About box (non-blocking) and returns it.
    QMessageBox* showAbout();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    struct Page {
        SupplyModel* model;
        Dashboard* dashboard;
        QMenu* control;
    };
    void buildMenus();
    /// "开始连续记录…" and "停止连续记录", each enabled when it can act.
    void buildRecordingActions(QMenu& file);
    /// Pages and control menus for the bench's supplies, after the list changed.
    void syncPages();
    /// The selected supply's page, control menu and action states.
    void syncSelection();
    void syncActions();

    Bench& bench_;
    QStackedWidget* stack_;
    OverviewPage* overview_;
    std::vector<Page> pages_;
    QAction* exportAction_ = nullptr;
    QAction* exportVisibleAction_ = nullptr;
    QAction* startRecording_ = nullptr;
    QAction* stopRecording_ = nullptr;
    QAction* helpMenu_ = nullptr;
    QMenu* shownControl_ = nullptr;
    QMetaObject::Connection zoomFollow_;
    QPointer<QMessageBox> about_;
};

/// The application: the bench of supplies for the whole run and one window showing it.
class VarekPowerStudioApp {
public:
    /// Creates the bench (preferences, ports, HTTP APIs, command line), then the window.
    explicit VarekPowerStudioApp(Bench::Options options);
    /// A window for one local supply made with `options`, as the application always had.
    explicit VarekPowerStudioApp(PowerModel::Options options);
    /// The window and dashboards go first, then the supplies stop their servers and workers.
    ~VarekPowerStudioApp();
    VarekPowerStudioApp(const VarekPowerStudioApp&) = delete;
    VarekPowerStudioApp& operator=(const VarekPowerStudioApp&) = delete;

    void show();
    /// The first supply, a local one.
    PowerModel& model() const;
    Bench& bench() const { return *bench_; }
    StudioWindow& window() const { return *window_; }

private:
    std::unique_ptr<Bench> bench_;
    std::unique_ptr<StudioWindow> window_;
};

}  // namespace varek
