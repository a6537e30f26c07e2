#pragma once

#include <QChartView>
#include <QList>
#include <QPointF>

#include <optional>

#include "varek/sequence_plan.hpp"

class QLineSeries;
class QValueAxis;

namespace varek {

/// The plan preview: planned voltage (left axis) and current limit (right axis) over
/// time, ramps as slopes, the hold of an `until` step shaded to its time limit and
/// marked "直到"; while a run goes, the running step shaded and the measured voltage
/// and current drawn over the plan.
class PlanChartView : public QChartView {
public:
    explicit PlanChartView(QWidget* parent = nullptr);

    /// Shows `plan`, or nothing (an invalid profile); the measured lines are cleared.
    void setPlan(const std::optional<SequencePlan>& plan);
    /// The measured lines in plan seconds: volts and amperes.
    void setMeasured(const QList<QPointF>& voltage, const QList<QPointF>& current);
    /// Shades step `step` (from 0) as the running one; -1 for none.
    void setCurrentStep(int step);
    /// Seconds per unit of the time axis (1, 60 or 3600, after the plan's length).
    double timeUnit() const { return unit_; }

protected:
    void drawForeground(QPainter* painter, const QRectF& rect) override;

private:
    QLineSeries* addLine(const QColor& colour, double width, const QString& name, QValueAxis* axis);
    void fitAxes();
    double sceneX(double seconds) const;

    QLineSeries* plannedVoltage_;
    QLineSeries* plannedCurrent_;
    QLineSeries* measuredVoltage_;
    QLineSeries* measuredCurrent_;
    QValueAxis* time_;
    QValueAxis* volts_;
    QValueAxis* amperes_;
    std::optional<SequencePlan> plan_;
    int currentStep_ = -1;
    double unit_ = 1;
};

}  // namespace varek
