#pragma once

#include <QMainWindow>
#include <QPointer>
#include <QString>

#include <memory>
#include <string>

#include "power_model.hpp"

class QAction;
class QApplication;
class QMenu;
class QMessageBox;

namespace varek {

class Dashboard;

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

/// The one window: the dashboard, the menus and the About box.
class StudioWindow : public QMainWindow {
public:
    static constexpr int defaultWidth = 1250;
    static constexpr int defaultHeight = 920;
    static constexpr int minimumWidth = 1080;
    static constexpr int minimumHeight = 720;

    explicit StudioWindow(SupplyModel& model, QWidget* parent = nullptr);

    Dashboard* dashboard() const { return dashboard_; }
    /// "导出采样 CSV…", enabled only while samples are stored.
    QAction* exportAction() const { return exportAction_; }
    /// "导出可见范围 CSV…", enabled only while the trend shows a zoomed span.
    QAction* exportVisibleAction() const { return exportVisibleAction_; }
    /// Opens the About box (non-blocking) and returns it.
    QMessageBox* showAbout();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void buildMenus();
    /// "开始连续记录…" and "停止连续记录", each enabled when it can act.
    void buildRecordingActions(QMenu& file);

    SupplyModel& model_;
    Dashboard* dashboard_;
    QAction* exportAction_ = nullptr;
    QAction* exportVisibleAction_ = nullptr;
    QPointer<QMessageBox> about_;
};

/// The application: one model for the whole run and one window showing it.
class VarekPowerStudioApp {
public:
    /// Creates the model (preferences, ports, HTTP API, command line), then the window.
    explicit VarekPowerStudioApp(PowerModel::Options options);
    /// The window and dashboard go first, then the model stops its servers and workers.
    ~VarekPowerStudioApp();
    VarekPowerStudioApp(const VarekPowerStudioApp&) = delete;
    VarekPowerStudioApp& operator=(const VarekPowerStudioApp&) = delete;

    void show();
    PowerModel& model() const { return *model_; }
    StudioWindow& window() const { return *window_; }

private:
    std::unique_ptr<PowerModel> model_;
    std::unique_ptr<StudioWindow> window_;
};

}  // namespace varek
