#include "plan_chart_view.hpp"

#include <QChart>
#include <QGraphicsLayout>
#include <QLegendMarker>
#include <QLineSeries>
#include <QPainter>
#include <QValueAxis>

#include <algorithm>
#include <cmath>

#include "palette.hpp"
#include "widgets.hpp"

namespace varek {
namespace {

void styleAxis(QValueAxis* axis, const QString& title, const QColor& colour) {
    axis->setGridLinePen(QPen(palette::border(), 1));
    axis->setLinePen(QPen(palette::border(), 1));
    axis->setLabelsBrush(colour);
    axis->setLabelsFont(ui::font(10));
    axis->setTitleText(title);
    axis->setTitleBrush(colour);
    axis->setTitleFont(ui::font(10));
    axis->setMinorGridLineVisible(false);
    axis->setLabelFormat(QStringLiteral("%g"));
}

/// A round upper bound a little above `peak`.
double roundTop(double peak) {
    const double wanted = std::max(peak * 1.1, 1.0);
    const double step = std::pow(10.0, std::floor(std::log10(wanted)));
    for (double factor : {1.0, 2.0, 2.5, 5.0, 10.0}) {
        if (step * factor >= wanted) return step * factor;
    }
    return wanted;
}

double peakOf(const QLineSeries* series) {
    double peak = 0;
    for (const QPointF& point : series->points()) peak = std::max(peak, point.y());
    return peak;
}

/// Diagonal lines over `band`: drawn one by one, as a pattern brush with alpha costs
/// several milliseconds a repaint in the raster engine.
void hatch(QPainter& painter, const QRectF& band) {
    painter.save();
    painter.setClipRect(band);
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.fillRect(band, palette::faded(palette::power(), 0.06));
    painter.setPen(QPen(palette::faded(palette::power(), 0.28), 1));
    const double height = band.height();
    for (double x = band.left() - height; x < band.right(); x += 9) {
        painter.drawLine(QPointF(x, band.bottom()), QPointF(x + height, band.top()));
    }
    painter.restore();
}

}  // namespace

PlanChartView::PlanChartView(QWidget* parent) : QChartView(new QChart, parent) {
    setObjectName(QStringLiteral("sequencePlan"));
    setRenderHint(QPainter::Antialiasing);
    setFrameShape(QFrame::NoFrame);
    setStyleSheet(QStringLiteral("background: transparent;"));
    setMinimumHeight(210);
    QChart* plot = chart();
    plot->setBackgroundVisible(false);
    plot->setPlotAreaBackgroundVisible(false);
    plot->setMargins(QMargins(0, 4, 0, 0));
    plot->layout()->setContentsMargins(0, 0, 0, 0);
    plot->legend()->setAlignment(Qt::AlignTop);
    plot->legend()->setLabelColor(palette::muted());
    plot->legend()->setFont(ui::font(10));
    time_ = new QValueAxis;
    volts_ = new QValueAxis;
    amperes_ = new QValueAxis;
    styleAxis(time_, QStringLiteral("时间 (s)"), palette::muted());
    styleAxis(volts_, QStringLiteral("电压 (V)"), palette::voltage());
    styleAxis(amperes_, QStringLiteral("电流上限 (A)"), palette::current());
    amperes_->setGridLineVisible(false);
    plot->addAxis(time_, Qt::AlignBottom);
    plot->addAxis(volts_, Qt::AlignLeft);
    plot->addAxis(amperes_, Qt::AlignRight);
    plannedVoltage_ = addLine(palette::voltage(), 2, QStringLiteral("计划电压"), volts_);
    plannedCurrent_ = addLine(palette::current(), 2, QStringLiteral("计划电流上限"), amperes_);
    measuredVoltage_ = addLine(palette::voltage().lighter(135), 1.4, QStringLiteral("实测电压"), volts_);
    measuredCurrent_ = addLine(palette::current().lighter(135), 1.4, QStringLiteral("实测电流"), amperes_);
    setMeasured({}, {});
}

QLineSeries* PlanChartView::addLine(const QColor& colour, double width, const QString& name, QValueAxis* axis) {
    auto* series = new QLineSeries;
    series->setName(name);
    series->setPen(QPen(colour, width));
    chart()->addSeries(series);
    series->attachAxis(time_);
    series->attachAxis(axis);
    return series;
}

void PlanChartView::setPlan(const std::optional<SequencePlan>& plan) {
    plan_ = plan;
    const double total = plan ? plan->total : 0;
    unit_ = total > 3 * 3600 ? 3600 : total > 600 ? 60 : 1;
    time_->setTitleText(unit_ == 3600 ? QStringLiteral("时间 (h)") : unit_ == 60 ? QStringLiteral("时间 (min)")
                                                                                 : QStringLiteral("时间 (s)"));
    QList<QPointF> volts;
    QList<QPointF> amperes;
    if (plan) {
        volts.reserve(static_cast<qsizetype>(plan->points.size()));
        amperes.reserve(static_cast<qsizetype>(plan->points.size()));
        for (const SequencePlan::Point& point : plan->points) {
            volts.append({point.time / unit_, point.voltage});
            amperes.append({point.time / unit_, point.current});
        }
    }
    plannedVoltage_->replace(volts);
    plannedCurrent_->replace(amperes);
    currentStep_ = -1;
    setMeasured({}, {});
}

void PlanChartView::setMeasured(const QList<QPointF>& voltage, const QList<QPointF>& current) {
    QList<QPointF> volts = voltage;
    QList<QPointF> amperes = current;
    for (QPointF& point : volts) point.rx() /= unit_;
    for (QPointF& point : amperes) point.rx() /= unit_;
    measuredVoltage_->replace(volts);
    measuredCurrent_->replace(amperes);
    const bool measured = !volts.isEmpty();
    // The plan steps back while measured lines lie over it.
    QPen pen = plannedVoltage_->pen();
    pen.setColor(palette::faded(palette::voltage(), measured ? 0.45 : 1));
    plannedVoltage_->setPen(pen);
    pen.setColor(palette::faded(palette::current(), measured ? 0.45 : 1));
    plannedCurrent_->setPen(pen);
    for (QLineSeries* series : {measuredVoltage_, measuredCurrent_}) {
        for (QLegendMarker* marker : chart()->legend()->markers(series)) marker->setVisible(measured);
    }
    fitAxes();
}

void PlanChartView::setCurrentStep(int step) {
    if (step == currentStep_) return;
    currentStep_ = step;
    viewport()->update();
}

void PlanChartView::fitAxes() {
    const double end = plan_ ? plan_->total / unit_ : 1;
    double measuredEnd = 0;
    for (const QPointF& point : measuredVoltage_->points()) measuredEnd = std::max(measuredEnd, point.x());
    time_->setRange(0, std::max({end, measuredEnd, 1e-3}));
    volts_->setRange(0, roundTop(std::max(peakOf(plannedVoltage_), peakOf(measuredVoltage_))));
    amperes_->setRange(0, roundTop(std::max(peakOf(plannedCurrent_), peakOf(measuredCurrent_))));
    viewport()->update();
}

double PlanChartView::sceneX(double seconds) const {
    return chart()->mapToScene(chart()->mapToPosition(QPointF(seconds / unit_, 0), plannedVoltage_)).x();
}

void PlanChartView::drawForeground(QPainter* painter, const QRectF& rect) {
    QChartView::drawForeground(painter, rect);
    const QRectF plot = chart()->mapToScene(chart()->plotArea()).boundingRect();
    painter->save();
    painter->setFont(ui::font(10));
    if (!plan_) {
        painter->setPen(palette::muted());
        painter->drawText(plot, Qt::AlignCenter, QStringLiteral("配置有效后显示计划"));
        return painter->restore();
    }
    const auto band = [&](double from, double to) {
        return QRectF(QPointF(sceneX(from), plot.top()), QPointF(std::max(sceneX(to), sceneX(from) + 1), plot.bottom()));
    };
    for (std::size_t i = 0; i < plan_->steps.size(); ++i) {
        const SequencePlan::Step& step = plan_->steps[i];
        if (static_cast<int>(i) == currentStep_) {
            painter->fillRect(band(step.start, step.end), palette::faded(palette::text(), 0.08));
        }
        if (!step.until) continue;
        // Drawn to the time limit; the condition may end it earlier.
        const QRectF hold = band(step.rampEnd, step.end);
        hatch(*painter, hold);
        painter->setPen(QPen(palette::faded(palette::power(), 0.8), 1, Qt::DashLine));
        painter->drawLine(hold.topRight(), hold.bottomRight());
        painter->setPen(palette::power());
        painter->drawText(hold.adjusted(4, 4, 0, 0), Qt::AlignLeft | Qt::AlignTop, QStringLiteral("直到"));
    }
    painter->restore();
}

}  // namespace varek
