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
#include <span>
#include <vector>

#include "icons.hpp"
#include "palette.hpp"
#include "power_model.hpp"
#include "sample_history.hpp"
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

qint64 epochMillis(Timestamp time) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
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

TrendPanel::TrendPanel(PowerModel& model, QWidget* parent)
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
    QObject::connect(exportButton_, &QPushButton::clicked, &model_, &PowerModel::exportCSV);
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
    chartView_ = new QChartView(chart_);
    chartView_->setObjectName(QStringLiteral("trendChart"));
    chartView_->setRenderHint(QPainter::Antialiasing);
    chartView_->setFrameShape(QFrame::NoFrame);
    chartView_->setStyleSheet(QStringLiteral("background: transparent;"));
    stack_->addWidget(chartView_);
    return stack_;
}

void TrendPanel::sync() {
    const auto actual = model_.actualRefreshRate();
    ui::setTextIfChanged(subtitle_, QStringLiteral("实时跟随 · ") +
                                        (actual ? QStringLiteral("实际 %1 Hz").arg(QString::fromStdString(formatFixed(*actual, 1)))
                                                : QStringLiteral("等待采样")));
    const auto& samples = model_.samples();
    ui::setTextIfChanged(sampleCount_, QString::number(samples.size()) + QStringLiteral(" 条采样"));
    exportButton_->setEnabled(!samples.empty());

    HistoryKey key{samples.size(), {}, {}, metric_, windowSeconds_};
    if (!samples.empty()) {
        key.first = samples.front().id;
        key.last = samples.back().id;
    }
    if (drawn_ == key) return;
    drawn_ = key;
    drawHistory(samples);
}

void TrendPanel::drawHistory(const SampleHistory& history) {
    const Metric metric = metric_;
    // A second more than the window, so TrendSeries still picks the window's start itself.
    std::span<const PowerSample> recent;
    if (!history.empty()) {
        recent = history.tailSince(history.back().time - std::chrono::seconds(windowSeconds_ + 1), windowCopy_);
    }
    const TrendSeries series = TrendSeries::make(recent, windowSeconds_, trendPointBudget,
                                                 [metric](const PowerSample& s) { return metricValue(metric, s); });
    std::vector<double> values;
    values.reserve(series.samples.size());
    QList<QPointF> points;
    points.reserve(static_cast<qsizetype>(series.samples.size()));
    for (const PowerSample& s : series.samples) {
        values.push_back(metricValue(metric, s));
        points.append(QPointF(static_cast<double>(epochMillis(s.time)), values.back()));
    }
    yRange_ = chartYRange(values, metric);
    line_->replace(points);
    newest_->replace(points.isEmpty() ? QList<QPointF>() : QList<QPointF>{points.back()});
    if (points.isEmpty()) {
        stack_->setCurrentIndex(0);
        return;
    }

    const QColor colour = metricColour(metric);
    if (line_->pen().color() != colour) {
        line_->setPen(QPen(colour, 2));
        newest_->setBrush(colour);
        newest_->setColor(colour);
    }
    axisY_->setTitleText(metricText(metric));
    // The margins are in pixels, so turn them into time at the current plot width.
    const double start = static_cast<double>(epochMillis(series.domainStart));
    const double end = static_cast<double>(epochMillis(series.domainEnd));
    const double plotWidth = std::max(chart_->plotArea().width(), 200.0);
    const double perPixel = std::max(end - start, 1.0) / std::max(plotWidth - startMargin - endMargin, 1.0);
    axisX_->setRange(QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(start - startMargin * perPixel)),
                     QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(end + endMargin * perPixel)));
    axisY_->setRange(yRange_.lower, yRange_.upper);
    const AxisTicks ticks = chartYTicks(yRange_);
    axisY_->setTickAnchor(ticks.first);
    axisY_->setTickInterval(ticks.step);
    axisY_->setLabelFormat(QStringLiteral("%.") + QString::number(ticks.decimals) + QStringLiteral("f"));
    stack_->setCurrentIndex(1);
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
