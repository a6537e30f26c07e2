#pragma once

#include <QColor>
#include <QString>

#include "chart_range.hpp"
#include "palette.hpp"
#include "supply_model.hpp"

namespace varek {

/// The supply's designation as display text.
inline QString designationText() {
    return QString::fromUtf8(Supply::designation.data(), static_cast<qsizetype>(Supply::designation.size()));
}

/// The sample the readouts show: the latest one while connected and not recovering.
inline const PowerSample* liveSample(const SupplyModel& model) {
    if (!model.connected() || model.recovering() || !model.latest()) return nullptr;
    return &*model.latest();
}

/// Display text of a metric ("电压 V", "电流 A", "功率 W").
inline QString metricText(Metric metric) {
    switch (metric) {
    case Metric::voltage: return QStringLiteral("电压 V");
    case Metric::current: return QStringLiteral("电流 A");
    case Metric::power: return QStringLiteral("功率 W");
    }
    return {};
}

/// Unit of a metric's values ("V", "A", "W").
inline QString metricUnit(Metric metric) {
    switch (metric) {
    case Metric::voltage: return QStringLiteral("V");
    case Metric::current: return QStringLiteral("A");
    case Metric::power: return QStringLiteral("W");
    }
    return {};
}

/// Trend colour of a metric.
inline QColor metricColour(Metric metric) {
    switch (metric) {
    case Metric::voltage: return palette::voltage();
    case Metric::current: return palette::current();
    case Metric::power: return palette::power();
    }
    return palette::muted();
}

}  // namespace varek
