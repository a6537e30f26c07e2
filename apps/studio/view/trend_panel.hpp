#pragma once

#include <QWidget>

#include <optional>
#include <vector>

#include "chart_range.hpp"
#include "varek/device.hpp"

class QChart;
class QChartView;
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

class PowerModel;
class SampleHistory;

namespace ui {
class SegmentedControl;
}

/// Window lengths the trend offers, in seconds.
inline constexpr int trendWindows[3] = {30, 60, 300};
/// Points the chart draws at most.
inline constexpr int trendPointBudget = 600;

/// Reads the stored chart window ("trendWindowSeconds"); 30 unless a valid choice was stored.
int storedTrendWindow();

/// The trend chart with its metric and window pickers and the export button.
class TrendPanel : public QWidget {
public:
    TrendPanel(PowerModel& model, QWidget* parent = nullptr);
    /// Brings labels and, when the history or a choice changed, the chart in line.
    void sync();
    /// Rebuilds the chart from the window's end of `history` with the current choices.
    void drawHistory(const SampleHistory& history);

    Metric metric() const { return metric_; }
    int windowSeconds() const { return windowSeconds_; }
    /// The Y range currently applied to the chart.
    ChartRange yRange() const { return yRange_; }
    /// Number of points in the drawn line.
    int pointCount() const;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    QLayout* buildHeader();
    QWidget* buildChart();
    QLayout* buildFooter();
    void placePickers();
    void setMetric(int index);
    void setWindow(int index);

    struct HistoryKey {
        std::size_t size = 0;
        Uuid first;
        Uuid last;
        Metric metric = Metric::current;
        int window = 0;
        friend bool operator==(const HistoryKey&, const HistoryKey&) = default;
    };

    PowerModel& model_;
    Metric metric_ = Metric::current;
    int windowSeconds_ = 30;
    ChartRange yRange_;
    std::optional<HistoryKey> drawn_;
    std::vector<PowerSample> windowCopy_;  // the window when it straddles the history's wrap

    QGridLayout* top_ = nullptr;
    QWidget* titles_ = nullptr;
    QWidget* pickers_ = nullptr;
    bool pickersBelow_ = false;
    QLabel* subtitle_ = nullptr;
    ui::SegmentedControl* metricPicker_ = nullptr;
    ui::SegmentedControl* windowPicker_ = nullptr;
    QStackedWidget* stack_ = nullptr;
    QChart* chart_ = nullptr;
    QChartView* chartView_ = nullptr;
    QLineSeries* line_ = nullptr;
    QScatterSeries* newest_ = nullptr;
    QDateTimeAxis* axisX_ = nullptr;
    QValueAxis* axisY_ = nullptr;
    QLabel* sampleCount_ = nullptr;
    QPushButton* exportButton_ = nullptr;
};

}  // namespace varek
