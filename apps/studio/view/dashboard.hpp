#pragma once

#include <QMessageBox>
#include <QPointer>
#include <QWidget>

#include <chrono>
#include <cstdint>

#include "bench_nav.hpp"

class QTimer;

namespace varek {

class ActivityPanel;
class Bench;
class ControlPanel;
class DetailsPanel;
class Footer;
class Header;
class SupplyModel;
class Readouts;
class Sidebar;
class TrendPanel;

/// The window content: sidebar and the scrolling main column, redrawn from the model.
class Dashboard : public QWidget {
public:
    /// Cost of the redraws so far, measured on the GUI thread.
    struct RedrawStats {
        std::uint64_t count = 0;
        std::chrono::nanoseconds total{0};
        std::chrono::nanoseconds longest{0};
    };

    /// `bench` (optional) is listed in the sidebar's navigation with `actions`.
    explicit Dashboard(SupplyModel& model, Bench* bench = nullptr, BenchNavigation::Actions actions = {},
                       QWidget* parent = nullptr);
    Sidebar* sidebar() const { return sidebar_; }
    SupplyModel& model() const { return model_; }

    /// Schedules one redraw; any number of model changes before it runs cost one redraw.
    void markDirty();
    /// Brings every part in line with the model now.
    void redraw();

    const RedrawStats& redrawStats() const { return stats_; }
    /// Starts a new measuring interval.
    void resetRedrawStats() { stats_ = {}; }
    /// The alert currently shown, if any.
    QMessageBox* alert() const { return alert_; }
    TrendPanel* trendPanel() const { return trend_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    QWidget* buildMainColumn();
    void syncAlert();

    SupplyModel& model_;
    QTimer* redrawTimer_;
    Sidebar* sidebar_ = nullptr;
    Header* header_ = nullptr;
    Readouts* readouts_ = nullptr;
    TrendPanel* trend_ = nullptr;
    ControlPanel* control_ = nullptr;
    DetailsPanel* details_ = nullptr;
    ActivityPanel* activity_ = nullptr;
    Footer* footer_ = nullptr;
    QPointer<QMessageBox> alert_;
    RedrawStats stats_;
    bool dirty_ = false;
};

}  // namespace varek
