#include "trend_panel.hpp"

#include <QChart>
#include <QChartView>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QGraphicsLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineSeries>
#include <QPushButton>
#include <QScatterSeries>
#include <QSettings>
#include <QStackedWidget>
#include <QValueAxis>

#include <algorithm>
#include <cmath>
#include <span>
#include <vector>

#include "icons.hpp"
#include "palette.hpp"
#include "supply_model.hpp"
#include "sample_history.hpp"
#include "trend_chart_view.hpp"
#include "varek/format.hpp"
#include "varek/trend_series.hpp"
#include "view_state.hpp"
#include "widgets.hpp"

namespace varek {
namespace {

const QString windowKey = QStringLiteral("trendWindowSeconds");
constexpr int chartHeight = 193;
constexpr double startMargin = 8;   // pixels of air before the oldest point
constexpr double endMargin = 20;    // and after the newest, so its marker is not cut

QSettings settings() { return QSettings(QStringLiteral("VAREK"), QStringLiteral("VAREK Studio")); }

QString clockText(double millis, const QString& format) {
    return QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(std::floor(millis))).toString(format);
}

int windowIndex(int seconds) {
    const auto* it = std::find(std::begin(trendWindows), std::end(trendWindows), seconds);
    return it == std::end(trendWindows) ? -1 : static_cast<int>(it - std::begin(trendWindows));
}

void styleAxis(QAbstractAxis* axis) {
    axis->setGridLinePen(QPen(palette::border(), 1));
    axis->setLinePen(QPen(palette::border(), 1));
    axis->setLabelsBrush(palette::muted());
    axis->setLabelsFont(ui::font(10));
    axis->setTitleBrush(palette::muted());
    axis->setTitleFont(ui::font(10));
    axis->setMinorGridLineVisible(false);
}

}  // namespace

int storedTrendWindow() {
    const int stored = settings().value(windowKey, 30).toInt();
    return windowIndex(stored) >= 0 ? stored : 30;
}

TrendPanel::TrendPanel(SupplyModel& model, QWidget* parent)
    : QWidget(parent), model_(model), windowSeconds_(storedTrendWindow()) {
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* panel = new ui::Panel;
    outer->addWidget(panel);
    auto* body = panel->body();
    body->addLayout(buildHeader());
    body->addWidget(buildChart());
    body->addLayout(buildFooter());
}

QLayout* TrendPanel::buildHeader() {
    titles_ = new QWidget;
    auto* titleColumn = new QVBoxLayout(titles_);
    titleColumn->setContentsMargins(0, 0, 0, 0);
    titleColumn->setSpacing(3);
    titleColumn->addWidget(ui::label(QStringLiteral("输出趋势"), ui::font(14, QFont::DemiBold), palette::text()));
    subtitle_ = ui::label(QString(), ui::font(10), palette::muted());
    subtitle_->setObjectName(QStringLiteral("trendSubtitle"));
    titleColumn->addWidget(subtitle_);

    pickers_ = new QWidget;
    auto* pickerRow = new QHBoxLayout(pickers_);
    pickerRow->setContentsMargins(0, 0, 0, 0);
    pickerRow->setSpacing(8);
    metricPicker_ = new ui::SegmentedControl(
        {metricText(Metric::voltage), metricText(Metric::current), metricText(Metric::power)});
    metricPicker_->setObjectName(QStringLiteral("metricPicker"));
    metricPicker_->setAccessibleName(QStringLiteral("指标"));
    metricPicker_->setFixedWidth(200);
    metricPicker_->setCurrentIndex(static_cast<int>(metric_));
    QObject::connect(metricPicker_, &ui::SegmentedControl::activated, this, [this](int i) { setMetric(i); });
    windowPicker_ = new ui::SegmentedControl({QStringLiteral("30 秒"), QStringLiteral("1 分钟"), QStringLiteral("5 分钟")});
    windowPicker_->setObjectName(QStringLiteral("trendWindowPicker"));
    windowPicker_->setAccessibleName(QStringLiteral("时间范围"));
    windowPicker_->setFixedWidth(210);
    windowPicker_->setCurrentIndex(windowIndex(windowSeconds_));
    QObject::connect(windowPicker_, &ui::SegmentedControl::activated, this, [this](int i) { setWindow(i); });
    pickerRow->addWidget(metricPicker_);
    pickerRow->addWidget(windowPicker_);

    // The title yields its width to the pickers, so a narrow window can shrink this
    // panel far enough for placePickers() to move them under the title.
    titles_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    top_ = new QGridLayout;
    top_->setContentsMargins(0, 0, 0, 0);
    top_->setHorizontalSpacing(12);
    top_->setVerticalSpacing(10);
    top_->addWidget(titles_, 0, 0);
    top_->addWidget(pickers_, 0, 1, Qt::AlignRight | Qt::AlignVCenter);
    top_->setColumnStretch(0, 1);
    return top_;
}

QLayout* TrendPanel::buildFooter() {
    auto* footer = new QHBoxLayout;
    sampleCount_ = ui::label(QString(), ui::font(10), palette::muted());
    sampleCount_->setObjectName(QStringLiteral("sampleCount"));
    footer->addWidget(sampleCount_);
    footer->addStretch();
    exportButton_ = new QPushButton(QStringLiteral("导出 CSV"));
    exportButton_->setObjectName(QStringLiteral("exportButton"));
    exportButton_->setIcon(icons::icon(icons::Symbol::share, palette::power()));
    exportButton_->setFont(ui::font(11, QFont::Medium));
    exportButton_->setToolTip(QStringLiteral("曲线精简展示，CSV 保留全部已存采样。"));
    ui::stylePlain(exportButton_, palette::power());
    QObject::connect(exportButton_, &QPushButton::clicked, &model_, &SupplyModel::exportCSV);

    // Shown only while a fixed span is on screen.
    liveButton_ = new QPushButton(QStringLiteral("回到实时"));
    liveButton_->setObjectName(QStringLiteral("liveButton"));
    liveButton_->setFont(ui::font(11, QFont::Medium));
    liveButton_->setToolTip(QStringLiteral("恢复跟随最新采样（Esc）"));
    ui::stylePlain(liveButton_, palette::current());
    QObject::connect(liveButton_, &QPushButton::clicked, this, &TrendPanel::returnToLive);
    exportVisibleButton_ = new QPushButton(QStringLiteral("导出可见范围 CSV…"));
    exportVisibleButton_->setObjectName(QStringLiteral("exportVisibleButton"));
    exportVisibleButton_->setIcon(icons::icon(icons::Symbol::share, palette::power()));
    exportVisibleButton_->setFont(ui::font(11, QFont::Medium));
    exportVisibleButton_->setToolTip(QStringLiteral("只导出图上可见时间范围内的全部已存采样。"));
    ui::stylePlain(exportVisibleButton_, palette::power());
    QObject::connect(exportVisibleButton_, &QPushButton::clicked, this, &TrendPanel::exportVisible);
    liveButton_->hide();
    exportVisibleButton_->hide();
    footer->addWidget(liveButton_);
    footer->addWidget(exportVisibleButton_);
    footer->addWidget(exportButton_);
    return footer;
}

QWidget* TrendPanel::buildChart() {
    stack_ = new QStackedWidget;
    stack_->setFixedHeight(chartHeight);

    auto* empty = new QWidget;
    empty->setObjectName(QStringLiteral("emptyState"));
    auto* emptyColumn = new QVBoxLayout(empty);
    emptyColumn->addStretch();
    auto* icon = new QLabel;
    icon->setPixmap(icons::pixmap(icons::Symbol::waveform, palette::faded(palette::muted(), 0.5), 32));
    icon->setAlignment(Qt::AlignCenter);
    emptyColumn->addWidget(icon);
    auto* caption = ui::label(QStringLiteral("连接后显示真实输出曲线"), ui::font(11), palette::muted());
    caption->setAlignment(Qt::AlignCenter);
    emptyColumn->addWidget(caption);
    emptyColumn->addStretch();
    stack_->addWidget(empty);

    chart_ = new QChart;
    chart_->legend()->hide();
    chart_->setBackgroundVisible(false);
    chart_->setPlotAreaBackgroundVisible(false);
    chart_->setMargins(QMargins(0, 4, 4, 0));
    chart_->layout()->setContentsMargins(0, 0, 0, 0);
    line_ = new QLineSeries;
    newest_ = new QScatterSeries;
    newest_->setMarkerShape(QScatterSeries::MarkerShapeCircle);
    newest_->setMarkerSize(7);
    newest_->setPen(Qt::NoPen);
    chart_->addSeries(line_);
    chart_->addSeries(newest_);
    axisX_ = new QDateTimeAxis;
    axisX_->setFormat(QStringLiteral("HH:mm:ss"));
    axisX_->setTickCount(5);
    axisX_->setTitleText(QStringLiteral("时间"));
    axisY_ = new QValueAxis;
    // Ticks on round values (chartYTicks), not the range split into equal parts.
    axisY_->setTickType(QValueAxis::TicksDynamic);
    for (QAbstractAxis* axis : {static_cast<QAbstractAxis*>(axisX_), static_cast<QAbstractAxis*>(axisY_)}) {
        styleAxis(axis);
    }
    chart_->addAxis(axisX_, Qt::AlignBottom);
    chart_->addAxis(axisY_, Qt::AlignLeft);
    for (QAbstractSeries* series : {static_cast<QAbstractSeries*>(line_), static_cast<QAbstractSeries*>(newest_)}) {
        series->attachAxis(axisX_);
        series->attachAxis(axisY_);
    }
    chartView_ = new TrendChartView(chart_);
    chartView_->setObjectName(QStringLiteral("trendChart"));
    chartView_->setRenderHint(QPainter::Antialiasing);
    chartView_->setFrameShape(QFrame::NoFrame);
    chartView_->setStyleSheet(QStringLiteral("background: transparent;"));
    stack_->addWidget(chartView_);
    connectChartView();
    return stack_;
}

void TrendPanel::sync() {
    const auto actual = model_.actualRefreshRate();
    const auto& samples = model_.samples();
    // A new connection empties the history: nothing is left to look back at.
    if (zoom_ && samples.empty()) returnToLive();
    if (zoom_) {
        const QString format = QStringLiteral("HH:mm:ss");
        ui::setTextIfChanged(subtitle_, QStringLiteral("已暂停跟随 · ") + clockText(zoom_->start, format) +
                                            QStringLiteral(" – ") + clockText(zoom_->end, format));
    } else {
        ui::setTextIfChanged(subtitle_, QStringLiteral("实时跟随 · ") +
                                            (actual ? QStringLiteral("实际 %1 Hz").arg(QString::fromStdString(formatFixed(*actual, 1)))
                                                    : QStringLiteral("等待采样")));
    }
    ui::setTextIfChanged(sampleCount_, QString::number(samples.size()) + QStringLiteral(" 条采样"));
    exportButton_->setEnabled(!samples.empty());

    const HistoryKey key = keyOf(samples);
    if (drawn_ == key) return;
    drawn_ = key;
    drawHistory(samples);
}

TrendPanel::HistoryKey TrendPanel::keyOf(const SampleHistory& history) const {
    HistoryKey key{history.size(), {}, {}, metric_, windowSeconds_, zoom_};
    IndexRange range{0, history.size()};
    // While zoomed only the samples drawn count: new ones beyond the span change nothing.
    if (zoom_) range = indicesWithin(history, *zoom_, true);
    if (range.size() > 0) {
        key.size = range.size();
        key.first = history[range.first].id;
        key.last = history[range.last - 1].id;
    }
    return key;
}

TrendSeries TrendPanel::liveSeries(const SampleHistory& history) {
    const Metric metric = metric_;
    // A second more than the window, so TrendSeries still picks the window's start itself.
    std::span<const PowerSample> recent;
    if (!history.empty()) {
        recent = history.tailSince(history.back().time - std::chrono::seconds(windowSeconds_ + 1), windowCopy_);
    }
    return TrendSeries::make(recent, windowSeconds_, trendPointBudget,
                             [metric](const PowerSample& s) { return metricValue(metric, s); });
}

void TrendPanel::drawHistory(const SampleHistory& history) {
    const Metric metric = metric_;
    TrendSeries series = zoom_ ? spanSeries(history, *zoom_, trendPointBudget, metric, windowCopy_) : liveSeries(history);
    // The Y range covers what is visible: a zoomed line also runs to a neighbour beyond each edge.
    std::vector<double> values;
    values.reserve(series.samples.size());
    QList<QPointF> points;
    points.reserve(static_cast<qsizetype>(series.samples.size()));
    drawnTimes_.clear();
    for (const PowerSample& s : series.samples) {
        const double time = epochMillis(s.time);
        const double value = metricValue(metric, s);
        drawnTimes_.push_back(time);
        points.append(QPointF(time, value));
        if (!zoom_ || zoom_->contains(time)) values.push_back(value);
    }
    if (values.empty()) {
        for (const QPointF& p : points) values.push_back(p.y());
    }
    drawnSamples_ = std::move(series.samples);
    yRange_ = chartYRange(values, metric);
    line_->replace(points);
    const bool newestShown = !points.isEmpty() && (!zoom_ || zoom_->contains(epochMillis(history.back().time)));
    newest_->replace(newestShown ? QList<QPointF>{points.back()} : QList<QPointF>());
    if (points.isEmpty()) {
        stack_->setCurrentIndex(0);
        chartView_->setHoverMark(std::nullopt);
        return;
    }

    const QColor colour = metricColour(metric);
    if (line_->pen().color() != colour) {
        line_->setPen(QPen(colour, 2));
        newest_->setBrush(colour);
        newest_->setColor(colour);
    }
    placeAxes(series, metric);
    stack_->setCurrentIndex(1);
    refreshHover();
}

void TrendPanel::placeAxes(const TrendSeries& series, Metric metric) {
    axisY_->setTitleText(metricText(metric));
    axisY_->setRange(yRange_.lower, yRange_.upper);
    const AxisTicks ticks = chartYTicks(yRange_);
    axisY_->setTickAnchor(ticks.first);
    axisY_->setTickInterval(ticks.step);
    axisY_->setLabelFormat(QStringLiteral("%.") + QString::number(ticks.decimals) + QStringLiteral("f"));
    // The Y labels just set decide the plot's width; lay out now so the margins below and
    // the hover's pixel mapping use this frame's width, not the last one's.
    chart_->layout()->activate();
    if (zoom_) {
        shown_ = *zoom_;
    } else {
        // The margins are in pixels, so turn them into time at the current plot width.
        const double start = epochMillis(series.domainStart);
        const double end = epochMillis(series.domainEnd);
        const double plotWidth = std::max(chart_->plotArea().width(), 200.0);
        const double perPixel = std::max(end - start, 1.0) / std::max(plotWidth - startMargin - endMargin, 1.0);
        shown_ = {std::floor(start - startMargin * perPixel), std::floor(end + endMargin * perPixel)};
    }
    // Seconds alone would repeat along a span of a few seconds.
    axisX_->setFormat(zoom_ && zoom_->length() < 10000 ? QStringLiteral("HH:mm:ss.zzz") : QStringLiteral("HH:mm:ss"));
    axisX_->setRange(QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(std::floor(shown_.start))),
                     QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(std::ceil(shown_.end))));
    chartView_->setSpan(shown_);
}

int TrendPanel::pointCount() const { return static_cast<int>(line_->count()); }

void TrendPanel::setMetric(int index) {
    if (index < 0 || index > 2) return;
    metric_ = static_cast<Metric>(index);
    sync();
}

void TrendPanel::setWindow(int index) {
    if (index < 0 || index >= static_cast<int>(std::size(trendWindows))) return;
    windowSeconds_ = trendWindows[index];
    settings().setValue(windowKey, windowSeconds_);
    sync();
}

void TrendPanel::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    placePickers();
}

void TrendPanel::placePickers() {
    // Both pickers keep their widths; on a narrow window they move under the title.
    const int needed = titles_->sizeHint().width() + pickers_->sizeHint().width() + 12 + 2 * 20;
    const bool below = width() < needed;
    if (below == pickersBelow_) return;
    pickersBelow_ = below;
    top_->removeWidget(pickers_);
    if (below) {
        top_->addWidget(pickers_, 1, 0, 1, 2, Qt::AlignLeft);
    } else {
        top_->addWidget(pickers_, 0, 1, Qt::AlignRight | Qt::AlignVCenter);
    }
}

}  // namespace varek
