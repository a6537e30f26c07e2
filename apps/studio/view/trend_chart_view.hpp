#pragma once

#include <QChartView>
#include <QColor>
#include <QString>

#include <optional>

#include "chart_span.hpp"

class QLabel;

namespace varek {

/// Where the hover guide stands and what its label says.
struct HoverMark {
    double time = 0;   ///< x of the marked point, milliseconds since the epoch
    double value = 0;  ///< y of the marked point
    QString text;
    QColor colour;
};

/// The trend's chart view: turns pointer, wheel and keys into requests in time units and
/// draws the hover guide and the selection band. It changes no span itself; its owner
/// answers the requests and reports back what the chart shows.
class TrendChartView : public QChartView {
    Q_OBJECT

public:
    explicit TrendChartView(QChart* chart, QWidget* parent = nullptr);

    /// Tells the view which time span its X axis shows now.
    void setSpan(TimeSpan span);
    /// Plot columns in view pixels and the time span they show.
    AxisMap axisMap() const;
    /// Shows the guide and label at `mark`, or hides them.
    void setHoverMark(const std::optional<HoverMark>& mark);
    /// The label of the hover guide.
    QLabel* hoverLabel() const { return hoverLabel_; }

signals:
    /// The pointer rests over the plot at view column `x`, no button held.
    void hovered(double x);
    /// The pointer left the plot.
    void hoverLeft();
    /// Wheel: scale the span by `factor` (below 1 zooms in) keeping `anchor` in place.
    void zoomRequested(double anchor, double factor);
    /// Keyboard zoom by `factor`; the owner picks the point kept in place.
    void zoomStepRequested(double factor);
    /// Drag: move the span by `delta` milliseconds (positive shows later times).
    void panRequested(double delta);
    /// Shift-drag released: show `from` … `to`.
    void spanSelected(double from, double to);
    /// Left or Right: move the guide one drawn point (−1 or +1).
    void stepRequested(int direction);
    /// Escape: leave the zoom.
    void leaveRequested();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void drawForeground(QPainter* painter, const QRectF& rect) override;

private:
    QRectF plotInView() const;
    void placeLabel();

    TimeSpan span_;
    std::optional<HoverMark> mark_;
    QLabel* hoverLabel_;
    std::optional<double> pressX_;  // left button held since this column
    double lastX_ = 0;
    bool banding_ = false;
};

}  // namespace varek
