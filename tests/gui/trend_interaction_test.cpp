// The trend chart explored as a user would: hover, wheel, drag, keys and the
// visible-range export, on the real window with a model fed a known history.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QChart>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QFile>
#include <QLabel>
#include <QLineSeries>
#include <QPushButton>
#include <QValueAxis>
#include <QWheelEvent>

#include <chrono>
#include <cmath>

#include "dashboard.hpp"
#include "model_files.hpp"
#include "trend_chart_view.hpp"
#include "trend_panel.hpp"
#include "varek/format.hpp"
#include "widgets.hpp"
#include "window_fixture.hpp"

namespace varek {

namespace {

using namespace std::chrono_literals;

// 2026-01-31 08:00:00 UTC; samples every 100 ms, each current unique within a minute.
const Timestamp base = Timestamp(std::chrono::seconds(1769846400));

PowerSample sampleAt(int i) {
    PowerSample s;
    s.id = Uuid::random();
    s.time = base + 100ms * i;
    s.voltage = 12.0;
    s.current = 1.0 + (i % 600) * 0.001;
    s.power = s.voltage * s.current;
    return s;
}

class TrendInteractionTest : public test::WindowFixture {
protected:
    void SetUp() override {
        PowerModel::Options settings = options();
        settings.chooseSaveLocation = [this](const QString&) { return saveLocation_; };
        open(std::move(settings));
        // Twice, as polling would: the first draw lays the chart out.
        feed(0, 2999);
        feed(2999, 3000);
    }

    void feed(int from, int to) {
        for (int i = from; i < to; ++i) model().state().accept(sampleAt(i));
        window().dashboard()->redraw();
        QCoreApplication::processEvents();
    }

    TrendPanel* trend() { return window().dashboard()->trendPanel(); }
    TrendChartView* view() { return trend()->chartView(); }
    QChart* chart() { return view()->chart(); }
    QLineSeries* line() { return static_cast<QLineSeries*>(chart()->series().first()); }
    QDateTimeAxis* axisX() { return static_cast<QDateTimeAxis*>(chart()->axes(Qt::Horizontal).first()); }
    TimeSpan axisSpan() {
        return {static_cast<double>(axisX()->min().toMSecsSinceEpoch()), static_cast<double>(axisX()->max().toMSecsSinceEpoch())};
    }
    // Qt's own mapping, independent of the view's arithmetic.
    double timeAtPixel(double x) { return chart()->mapToValue(view()->mapToScene(QPoint(static_cast<int>(x), 100)), line()).x(); }
    QPoint pixelOf(QPointF point) { return view()->mapFromScene(chart()->mapToPosition(point, line())); }
    double msPerPixel() { return axisSpan().length() / chart()->plotArea().width(); }

    const PowerSample& storedAt(double millis) {
        const SampleHistory& h = model().samples();
        for (std::size_t i = 0; i < h.size(); ++i) {
            if (epochMillis(h[i].time) == millis) return h[i];
        }
        ADD_FAILURE() << "no stored sample at " << millis;
        return h.back();
    }
    QString readout(const PowerSample& s) {
        return QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(epochMillis(s.time))).toString("HH:mm:ss.zzz") +
               "  " + QString::fromStdString(formatFixed2(s.current)) + " A";
    }

    void wheel(QPoint at, int angle) {
        QWheelEvent event(at, view()->viewport()->mapToGlobal(at), QPoint(), QPoint(0, angle), Qt::NoButton, Qt::NoModifier,
                          Qt::NoScrollPhase, false);
        QApplication::sendEvent(view()->viewport(), &event);
        QCoreApplication::processEvents();
    }
    void drag(QPoint from, QPoint to, Qt::KeyboardModifiers modifiers) {
        QWidget* port = view()->viewport();
        QTest::mousePress(port, Qt::LeftButton, modifiers, from);
        QMouseEvent move(QEvent::MouseMove, to, port->mapToGlobal(to), Qt::NoButton, Qt::LeftButton, modifiers);
        QApplication::sendEvent(port, &move);
        QTest::mouseRelease(port, Qt::LeftButton, modifiers, to);
        QCoreApplication::processEvents();
    }
    QPoint plotPoint(double share) {
        const QRectF plot = chart()->plotArea();
        return view()->mapFromScene(QPointF(plot.left() + share * plot.width(), plot.center().y()));
    }

    void saveShot(const QString& name) { WindowFixture::saveShot(trend(), name); }

    QString saveLocation_;
};

TEST_F(TrendInteractionTest, HoverShowsTheStoredSampleUnderThePointer) {
    ASSERT_EQ(trend()->pointCount(), 301);  // 30 s at 10 Hz, drawn unthinned
    for (int index : {0, 57, 300}) {
        const QPointF point = line()->at(index);
        QTest::mouseMove(view()->viewport(), pixelOf(point));
        QLabel* label = view()->hoverLabel();
        ASSERT_TRUE(label->isVisible()) << index;
        EXPECT_EQ(label->text(), readout(storedAt(point.x()))) << index;
    }
    QTest::mouseMove(view()->viewport(), pixelOf(line()->at(120)) + QPoint(0, 10));
    saveShot("trend-hover.png");
    // The pointer stays put while new samples scroll under it: the label follows them.
    const QString before = view()->hoverLabel()->text();
    feed(3000, 3005);
    EXPECT_NE(view()->hoverLabel()->text(), before);
    QTest::mouseMove(view()->viewport(), QPoint(2, 2));  // outside the plot
    EXPECT_FALSE(view()->hoverLabel()->isVisible());
}

TEST_F(TrendInteractionTest, WheelZoomKeepsThePointUnderThePointerAndStopsFollowing) {
    const QPoint at = plotPoint(0.3);
    const double anchor = timeAtPixel(at.x());
    const double liveLength = axisSpan().length();
    for (int notch = 0; notch < 3; ++notch) {
        wheel(at, 120);
        ASSERT_TRUE(trend()->zoom());
        EXPECT_NEAR(timeAtPixel(at.x()), anchor, 1.5 * msPerPixel()) << notch;
    }
    EXPECT_NEAR(axisSpan().length(), 0.512 * liveLength, 3);
    EXPECT_TRUE(window().findChild<QPushButton*>("liveButton")->isVisible());
    EXPECT_TRUE(window().findChild<QPushButton*>("exportVisibleButton")->isVisible());
    EXPECT_TRUE(window().exportVisibleAction()->isEnabled());

    const TimeSpan zoomed = axisSpan();
    feed(3000, 3020);
    EXPECT_EQ(axisSpan(), zoomed);  // new samples do not move a zoomed chart
    wheel(at, -120);
    EXPECT_NEAR(timeAtPixel(at.x()), anchor, 1.5 * msPerPixel());
}

TEST_F(TrendInteractionTest, ReturningToLiveRestoresTheWindowAndEscapeLeavesTheZoom) {
    const TimeSpan live = axisSpan();
    const ChartRange liveRange = trend()->yRange();
    wheel(plotPoint(0.5), 240);
    ASSERT_TRUE(trend()->zoom());
    QTest::mouseClick(window().findChild<QPushButton*>("liveButton"), Qt::LeftButton);
    EXPECT_FALSE(trend()->zoom());
    EXPECT_EQ(axisSpan(), live);
    EXPECT_EQ(trend()->pointCount(), 301);
    EXPECT_DOUBLE_EQ(trend()->yRange().upper, liveRange.upper);
    EXPECT_FALSE(window().findChild<QPushButton*>("liveButton")->isVisible());
    EXPECT_FALSE(window().exportVisibleAction()->isEnabled());
    feed(3000, 3010);
    EXPECT_NEAR(axisSpan().start - live.start, 1000, 1);  // following again
    saveShot("trend-live-return.png");

    drag(plotPoint(0.5), plotPoint(0.6), Qt::NoModifier);
    ASSERT_TRUE(trend()->zoom());
    view()->setFocus();
    QTest::keyClick(view(), Qt::Key_Escape);
    EXPECT_FALSE(trend()->zoom());
}

TEST_F(TrendInteractionTest, DragPansAndShiftDragSelectsASpan) {
    const TimeSpan live = axisSpan();
    const double perPixel = msPerPixel();
    drag(plotPoint(0.6), plotPoint(0.6) + QPoint(100, 0), Qt::NoModifier);
    ASSERT_TRUE(trend()->zoom());
    EXPECT_NEAR(axisSpan().start, live.start - 100 * perPixel, 2);
    EXPECT_NEAR(axisSpan().length(), live.length(), 2);

    const QPoint from = plotPoint(0.2);
    const QPoint to = plotPoint(0.4);
    const double a = timeAtPixel(from.x());
    const double b = timeAtPixel(to.x());
    drag(to, from, Qt::ShiftModifier);  // either direction
    EXPECT_NEAR(axisSpan().start, a, 1.5 * perPixel);
    EXPECT_NEAR(axisSpan().end, b, 1.5 * perPixel);
}

TEST_F(TrendInteractionTest, KeysMoveTheGuideSampleBySampleAndZoom) {
    view()->setFocus();
    QTest::keyClick(view(), Qt::Key_Right);  // starts on the newest point
    EXPECT_EQ(view()->hoverLabel()->text(), readout(model().samples().back()));
    QTest::keyClick(view(), Qt::Key_Left);
    QTest::keyClick(view(), Qt::Key_Left);
    EXPECT_EQ(view()->hoverLabel()->text(), readout(model().samples()[2997]));
    QTest::keyClick(view(), Qt::Key_Right);
    EXPECT_EQ(view()->hoverLabel()->text(), readout(model().samples()[2998]));

    const double length = axisSpan().length();
    QTest::keyClick(view(), Qt::Key_Equal, Qt::ControlModifier);
    ASSERT_TRUE(trend()->zoom());
    EXPECT_NEAR(axisSpan().length(), 0.8 * length, 2);
    EXPECT_TRUE(trend()->zoom()->contains(epochMillis(model().samples()[2998].time)));  // kept around the guide
    QTest::keyClick(view(), Qt::Key_Minus, Qt::ControlModifier);
    EXPECT_NEAR(axisSpan().length(), length, 2);
}

TEST_F(TrendInteractionTest, VisibleRangeExportHoldsExactlyTheSamplesOfTheSpan) {
    EXPECT_FALSE(window().exportVisibleAction()->isEnabled());
    drag(plotPoint(0.25), plotPoint(0.5), Qt::ShiftModifier);
    ASSERT_TRUE(trend()->zoom());
    const TimeSpan span = *trend()->zoom();
    SampleHistory inside(PowerModel::historyLimit);
    const SampleHistory& h = model().samples();
    for (std::size_t i = 0; i < h.size(); ++i) {
        if (span.contains(epochMillis(h[i].time))) inside.push(h[i]);
    }
    ASSERT_GT(inside.size(), 50u);

    saveLocation_ = dir_.filePath("visible.csv");
    QTest::mouseClick(window().findChild<QPushButton*>("exportVisibleButton"), Qt::LeftButton);
    QFile file(saveLocation_);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll().toStdString(), samplesCsv(inside));
    EXPECT_TRUE(model().events().front().endsWith(QStringLiteral("已导出 %1 条采样。").arg(inside.size())));

    // The menu item writes the same file.
    saveLocation_ = dir_.filePath("menu.csv");
    window().exportVisibleAction()->trigger();
    QFile menu(saveLocation_);
    ASSERT_TRUE(menu.open(QIODevice::ReadOnly));
    EXPECT_EQ(menu.readAll().toStdString(), samplesCsv(inside));
}

}  // namespace
}  // namespace varek
