#pragma once

#include <QWidget>

#include <optional>
#include <vector>

#include "chart_range.hpp"
#include "chart_span.hpp"
#include "varek/device.hpp"

class QChart;
class QDateTimeAxis;
class QGridLayout;
class QLabel;
class QLayout;
class QLineSeries;
class QPushButton;
class QScatterSeries;
class QStackedWidget;
class QValueAxis;

namespace varek {

class SupplyModel;
class SampleHistory;
class TrendChartView;
struct TrendSeries;

namespace ui {
class SegmentedControl;
}

/// Window lengths the trend offers, in seconds.
inline constexpr int trendWindows[3] = {30, 60, 300};
/// Points the chart draws at most.
inline constexpr int trendPointBudget = 600;

/// Reads the stored chart window ("trendWindowSeconds"); 30 unless a valid choice was stored.
int storedTrendWindow();

/// The trend chart with its metric and window pickers and the export buttons. Until the
/// user zooms or pans it follows the live window; then it shows a fixed span of the
/// history until asked to return.
class TrendPanel : public QWidget {
    Q_OBJECT

public:
    TrendPanel(SupplyModel& model, QWidget* parent = nullptr);
    /// Brings labels and, when the history or a choice changed, the chart in line.
    void sync();
    /// Rebuilds the chart from `history`: the live window's end, or the zoomed span.
    void drawHistory(const SampleHistory& history);

    /// The span shown while zoomed; none while following live data.
    const std::optional<TimeSpan>& zoom() const { return zoom_; }
    /// Shows `span` (clamped to the history) and stops following live data.
    void zoomTo(TimeSpan span);
    /// Follows live data again with the chosen window.
    void returnToLive();
    /// Exports the samples of the zoomed span through the model's save dialog; nothing while live.
    void exportVisible();
    /// The chart view, for tests and benchmarks.
    TrendChartView* chartView() const { return chartView_; }

    Metric metric() const { return metric_; }
    int windowSeconds() const { return windowSeconds_; }
    /// The Y range currently applied to the chart.
    ChartRange yRange() const { return yRange_; }
    /// Number of points in the drawn line.
    int pointCount() const;
    /// The drawn points' samples, oldest first (stored samples, thinned).
    const std::vector<PowerSample>& drawnSamples() const { return drawnSamples_; }

signals:
    /// The chart started (true) or stopped (false) showing a fixed span.
    void zoomChanged(bool zoomed);

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    QLayout* buildHeader();
    QWidget* buildChart();
    QLayout* buildFooter();
    void placePickers();
    void setMetric(int index);
    void setWindow(int index);
    void connectChartView();
    TrendSeries liveSeries(const SampleHistory& history);
    void placeAxes(const TrendSeries& series, Metric metric);
    void syncZoomControls();

    // Interaction (trend_panel_interaction.cpp).
    /// The history's extent joined with the span shown when zooming began.
    TimeSpan zoomBounds() const;
    void hoverAt(double x);
    void hoverOff();
    void zoomBy(double anchor, double factor);
    void zoomStep(double factor);
    void panView(double delta);
    void step(int direction);
    /// Positions in the drawn points of those inside the shown span (all when none is).
    IndexRange visibleDrawn() const;
    /// Puts the guide on the drawn point nearest the hover, after every redraw.
    void refreshHover();

    struct HistoryKey {
        std::size_t size = 0;
        Uuid first;
        Uuid last;
        Metric metric = Metric::current;
        int window = 0;
        std::optional<TimeSpan> zoom;
        friend bool operator==(const HistoryKey&, const HistoryKey&) = default;
    };
    HistoryKey keyOf(const SampleHistory& history) const;

    // The guide follows the pointer's column while the mouse hovers, or a sample's
    // time when the keyboard moved it.
    struct Hover {
        double time = 0;
        std::optional<double> pixel;
    };

    SupplyModel& model_;
    Metric metric_ = Metric::current;
    int windowSeconds_ = 30;
    ChartRange yRange_;
    std::optional<HistoryKey> drawn_;
    std::vector<PowerSample> windowCopy_;  // the window when it straddles the history's wrap
    std::optional<TimeSpan> zoom_;
    TimeSpan zoomEntry_;  // the span shown when zooming began
    TimeSpan shown_;      // the X axis range drawn last
    std::optional<Hover> hover_;
    std::vector<PowerSample> drawnSamples_;
    std::vector<double> drawnTimes_;

    QGridLayout* top_ = nullptr;
    QWidget* titles_ = nullptr;
    QWidget* pickers_ = nullptr;
    bool pickersBelow_ = false;
    QLabel* subtitle_ = nullptr;
    ui::SegmentedControl* metricPicker_ = nullptr;
    ui::SegmentedControl* windowPicker_ = nullptr;
    QStackedWidget* stack_ = nullptr;
    QChart* chart_ = nullptr;
    TrendChartView* chartView_ = nullptr;
    QLineSeries* line_ = nullptr;
    QScatterSeries* newest_ = nullptr;
    QDateTimeAxis* axisX_ = nullptr;
    QValueAxis* axisY_ = nullptr;
    QLabel* sampleCount_ = nullptr;
    QPushButton* exportButton_ = nullptr;
    QPushButton* liveButton_ = nullptr;
    QPushButton* exportVisibleButton_ = nullptr;
};

}  // namespace varek
