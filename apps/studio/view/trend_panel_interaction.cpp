// The trend's hover guide, zoom, pan and visible-range export.
#include <QChart>
#include <QDateTime>
#include <QGraphicsLayout>
#include <QLabel>
#include <QPushButton>
#include <QStackedWidget>

#include <algorithm>
#include <cmath>

#include "supply_model.hpp"
#include "sample_history.hpp"
#include "trend_chart_view.hpp"
#include "trend_panel.hpp"
#include "varek/format.hpp"
#include "view_state.hpp"

namespace varek {

void TrendPanel::connectChartView() {
    QObject::connect(chartView_, &TrendChartView::hovered, this, &TrendPanel::hoverAt);
    QObject::connect(chartView_, &TrendChartView::hoverLeft, this, &TrendPanel::hoverOff);
    QObject::connect(chartView_, &TrendChartView::zoomRequested, this, &TrendPanel::zoomBy);
    QObject::connect(chartView_, &TrendChartView::zoomStepRequested, this, &TrendPanel::zoomStep);
    QObject::connect(chartView_, &TrendChartView::panRequested, this, &TrendPanel::panView);
    QObject::connect(chartView_, &TrendChartView::spanSelected, this,
                     [this](double from, double to) { zoomTo(selectionSpan(from, to, zoomBounds())); });
    QObject::connect(chartView_, &TrendChartView::stepRequested, this, &TrendPanel::step);
    QObject::connect(chartView_, &TrendChartView::leaveRequested, this, &TrendPanel::returnToLive);
}

TimeSpan TrendPanel::zoomBounds() const {
    // The live view's margins reach past the history; keeping them lets the first zoom
    // hold the point under the pointer where it is.
    TimeSpan bounds = zoom_ ? zoomEntry_ : shown_;
    const SampleHistory& history = model_.samples();
    if (!history.empty()) {
        bounds.start = std::min(bounds.start, epochMillis(history.front().time));
        bounds.end = std::max(bounds.end, epochMillis(history.back().time));
    }
    return bounds;
}

void TrendPanel::zoomTo(TimeSpan span) {
    if (model_.samples().empty()) return;
    const bool entering = !zoom_;
    if (entering) zoomEntry_ = shown_;
    span = clampSpan(span, zoomBounds());
    // Whole milliseconds, as the time axis takes them, so pixels map to the same times.
    zoom_ = TimeSpan{std::floor(span.start), std::ceil(span.end)};
    syncZoomControls();
    sync();
    if (entering) emit zoomChanged(true);
}

void TrendPanel::returnToLive() {
    if (!zoom_) return;
    zoom_.reset();
    hover_.reset();
    syncZoomControls();
    sync();
    emit zoomChanged(false);
}

void TrendPanel::exportVisible() {
    if (!zoom_) return;
    model_.exportCSVWithin(fromEpochMillis(zoom_->start), fromEpochMillis(zoom_->end));
}

void TrendPanel::syncZoomControls() {
    liveButton_->setVisible(zoom_.has_value());
    exportVisibleButton_->setVisible(zoom_.has_value());
}

void TrendPanel::zoomBy(double anchor, double factor) {
    const double pixel = chartView_->axisMap().pixelAt(anchor);
    zoomTo(zoomAround(shown_, anchor, factor, zoomBounds()));
    // New Y labels may widen or narrow the plot; move the span so the anchor stays under
    // the pointer anyway.
    chart_->layout()->activate();
    const AxisMap map = chartView_->axisMap();
    const double drift = map.pixelAt(anchor) - pixel;
    if (std::abs(drift) > 0.5) panView(drift / map.width * map.span.length());
}

void TrendPanel::zoomStep(double factor) {
    const bool onGuide = hover_ && shown_.contains(hover_->time);
    zoomBy(onGuide ? hover_->time : (shown_.start + shown_.end) / 2, factor);
}

void TrendPanel::panView(double delta) { zoomTo(varek::panBy(shown_, delta, zoomBounds())); }

IndexRange TrendPanel::visibleDrawn() const {
    // A zoomed line runs on to a neighbour beyond each edge; the guide stays inside.
    const auto first = std::lower_bound(drawnTimes_.begin(), drawnTimes_.end(), shown_.start);
    const auto last = std::upper_bound(first, drawnTimes_.end(), shown_.end);
    if (first == last) return {0, drawnTimes_.size()};
    return {static_cast<std::size_t>(first - drawnTimes_.begin()), static_cast<std::size_t>(last - drawnTimes_.begin())};
}

void TrendPanel::hoverAt(double x) {
    hover_ = Hover{chartView_->axisMap().timeAt(x), x};
    refreshHover();
}

void TrendPanel::hoverOff() {
    if (!hover_ || !hover_->pixel) return;
    hover_.reset();
    refreshHover();
}

void TrendPanel::step(int direction) {
    const IndexRange visible = visibleDrawn();
    if (visible.size() == 0) return;
    std::size_t index = visible.last - 1;  // the keyboard starts at the newest point
    if (hover_) {
        index = *nearestIndex(drawnTimes_, hover_->time);
        index = direction < 0 ? (index > 0 ? index - 1 : 0) : std::min(index + 1, drawnTimes_.size() - 1);
    }
    hover_ = Hover{drawnTimes_[index], std::nullopt};
    const double time = drawnTimes_[index];
    if (zoom_ && !zoom_->contains(time)) {
        // Stepping past an edge brings the next sample into view.
        panView(time < zoom_->start ? time - zoom_->start : time - zoom_->end);
        return;
    }
    refreshHover();
}

void TrendPanel::refreshHover() {
    if (!hover_ || drawnTimes_.empty() || stack_->currentIndex() != 1) {
        chartView_->setHoverMark(std::nullopt);
        return;
    }
    if (hover_->pixel) hover_->time = chartView_->axisMap().timeAt(*hover_->pixel);
    const IndexRange visible = visibleDrawn();
    const std::span<const double> candidates = std::span<const double>(drawnTimes_).subspan(visible.first, visible.size());
    const std::size_t index = visible.first + *nearestIndex(candidates, hover_->time);
    const double value = metricValue(metric_, drawnSamples_[index]);
    const double time = drawnTimes_[index];
    const QString text = QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(std::floor(time))).toString(QStringLiteral("HH:mm:ss.zzz")) +
                         QStringLiteral("  ") + QString::fromStdString(formatFixed2(value)) + QStringLiteral(" ") +
                         metricUnit(metric_);
    chartView_->setHoverMark(HoverMark{time, value, text, metricColour(metric_)});
}

}  // namespace varek
