#include "trend_chart_view.hpp"

#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

#include "palette.hpp"
#include "widgets.hpp"

namespace varek {
namespace {

constexpr double wheelStep = 0.8;  // one notch in shows 80 % of the span
constexpr int bandThreshold = 3;   // pixels a Shift-drag must cover to count as a selection

}  // namespace

TrendChartView::TrendChartView(QChart* chart, QWidget* parent)
    : QChartView(chart, parent), hoverLabel_(new QLabel(viewport())) {
    setMouseTracking(true);
    viewport()->setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
    hoverLabel_->setObjectName(QStringLiteral("hoverLabel"));
    hoverLabel_->setFont(ui::numberFont(11));
    hoverLabel_->setAttribute(Qt::WA_TransparentForMouseEvents);
    hoverLabel_->hide();
}

void TrendChartView::setSpan(TimeSpan span) {
    span_ = span;
    placeLabel();
}

QRectF TrendChartView::plotInView() const {
    return mapFromScene(chart()->mapToScene(chart()->plotArea())).boundingRect();
}

AxisMap TrendChartView::axisMap() const {
    const QRectF plot = chart()->plotArea();
    // The chart item sits at the scene origin and the scene is not scrolled, so chart
    // coordinates are view pixels; mapping them keeps that true if it ever changes.
    const QPointF left = mapFromScene(chart()->mapToScene(plot.topLeft()));
    return {left.x(), std::max(plot.width(), 1.0), span_};
}

void TrendChartView::setHoverMark(const std::optional<HoverMark>& mark) {
    mark_ = mark;
    if (mark_) {
        hoverLabel_->setText(mark_->text);
        hoverLabel_->setStyleSheet(QStringLiteral("QLabel { color: %1; background: %2; border: 1px solid %3;"
                                                  " border-radius: 6px; padding: 3px 7px; }")
                                       .arg(palette::css(mark_->colour), palette::css(palette::faded(palette::panel(), 0.94)),
                                            palette::css(palette::faded(mark_->colour, 0.45))));
        hoverLabel_->adjustSize();
    }
    hoverLabel_->setVisible(mark_.has_value());
    placeLabel();
    viewport()->update();
}

void TrendChartView::placeLabel() {
    if (!mark_) return;
    const QRectF plot = plotInView();
    const double x = axisMap().pixelAt(mark_->time);
    // Right of the guide, or left of it where the plot ends.
    int left = static_cast<int>(std::lround(x)) + 8;
    if (left + hoverLabel_->width() > plot.right()) left = static_cast<int>(std::lround(x)) - 8 - hoverLabel_->width();
    hoverLabel_->move(std::max(left, 0), static_cast<int>(plot.top()) + 4);
}

void TrendChartView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return QChartView::mousePressEvent(event);
    setFocus(Qt::MouseFocusReason);
    pressX_ = event->position().x();
    lastX_ = *pressX_;
    banding_ = event->modifiers() & Qt::ShiftModifier;
    event->accept();
}

void TrendChartView::mouseMoveEvent(QMouseEvent* event) {
    const double x = event->position().x();
    if (pressX_ && (event->buttons() & Qt::LeftButton)) {
        if (!banding_ && x != lastX_) {
            // Dragging right brings earlier times into view.
            const AxisMap map = axisMap();
            emit panRequested(-(x - lastX_) / map.width * map.span.length());
        }
        lastX_ = x;
        if (banding_) viewport()->update();
        event->accept();
        return;
    }
    if (plotInView().contains(event->position())) {
        emit hovered(x);
    } else {
        emit hoverLeft();
    }
    event->accept();
}

void TrendChartView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !pressX_) return QChartView::mouseReleaseEvent(event);
    const double from = *pressX_;
    const double to = event->position().x();
    const bool selected = banding_ && std::abs(to - from) >= bandThreshold;
    pressX_.reset();
    banding_ = false;
    viewport()->update();
    if (selected) {
        const AxisMap map = axisMap();
        emit spanSelected(map.timeAt(std::min(from, to)), map.timeAt(std::max(from, to)));
    }
    event->accept();
}

void TrendChartView::wheelEvent(QWheelEvent* event) {
    const QPoint delta = event->angleDelta();
    const int notches = delta.y() != 0 ? delta.y() : delta.x();
    if (notches == 0) return QChartView::wheelEvent(event);
    const QRectF plot = plotInView();
    const double x = std::clamp(event->position().x(), plot.left(), plot.right());
    emit zoomRequested(axisMap().timeAt(x), std::pow(wheelStep, notches / 120.0));
    event->accept();
}

void TrendChartView::keyPressEvent(QKeyEvent* event) {
    const bool control = event->modifiers() & Qt::ControlModifier;
    if (event->key() == Qt::Key_Left || event->key() == Qt::Key_Right) {
        emit stepRequested(event->key() == Qt::Key_Left ? -1 : 1);
    } else if (event->key() == Qt::Key_Escape) {
        emit leaveRequested();
    } else if (event->matches(QKeySequence::ZoomIn) || (control && (event->key() == Qt::Key_Plus || event->key() == Qt::Key_Equal))) {
        emit zoomStepRequested(wheelStep);
    } else if (event->matches(QKeySequence::ZoomOut) || (control && event->key() == Qt::Key_Minus)) {
        emit zoomStepRequested(1 / wheelStep);
    } else {
        return QChartView::keyPressEvent(event);
    }
    event->accept();
}

void TrendChartView::leaveEvent(QEvent* event) {
    if (!pressX_) emit hoverLeft();
    QChartView::leaveEvent(event);
}

void TrendChartView::drawForeground(QPainter* painter, const QRectF& rect) {
    QChartView::drawForeground(painter, rect);
    const QRectF plot = chart()->mapToScene(chart()->plotArea()).boundingRect();
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    if (banding_ && pressX_) {
        const double a = mapToScene(QPoint(static_cast<int>(*pressX_), 0)).x();
        const double b = mapToScene(QPoint(static_cast<int>(lastX_), 0)).x();
        const QRectF band(QPointF(std::clamp(std::min(a, b), plot.left(), plot.right()), plot.top()),
                          QPointF(std::clamp(std::max(a, b), plot.left(), plot.right()), plot.bottom()));
        painter->fillRect(band, palette::faded(palette::text(), 0.08));
        painter->setPen(QPen(palette::faded(palette::text(), 0.35), 1));
        painter->drawRect(band);
    }
    if (mark_ && !chart()->series().isEmpty()) {
        const QPointF at = chart()->mapToScene(chart()->mapToPosition(QPointF(mark_->time, mark_->value), chart()->series().first()));
        if (at.x() >= plot.left() - 0.5 && at.x() <= plot.right() + 0.5) {
            painter->setPen(QPen(palette::faded(mark_->colour, 0.6), 1));
            painter->drawLine(QPointF(at.x(), plot.top()), QPointF(at.x(), plot.bottom()));
            painter->setPen(QPen(palette::panel(), 2));
            painter->setBrush(mark_->colour);
            painter->drawEllipse(at, 4.5, 4.5);
        }
    }
    painter->restore();
}

}  // namespace varek
