#include "icons.hpp"

#include <QIconEngine>
#include <QPainter>
#include <QPainterPath>

#include <array>
#include <cmath>
#include <numbers>

namespace varek::icons {
namespace {

constexpr double grid = 24.0;

QPointF polar(QPointF centre, double radius, double degrees) {
    const double a = degrees * std::numbers::pi / 180.0;
    return {centre.x() + radius * std::cos(a), centre.y() - radius * std::sin(a)};
}

QPainterPath boltPath() {
    QPainterPath p;
    p.moveTo(13.5, 1.5);
    p.lineTo(4, 13.5);
    p.lineTo(11.2, 13.5);
    p.lineTo(10, 22.5);
    p.lineTo(20, 10);
    p.lineTo(12.8, 10);
    p.closeSubpath();
    return p;
}

QPainterPath chainLink(QPointF centre) {
    QPainterPath link;
    link.addRoundedRect(QRectF(-6.5, -3.2, 13, 6.4), 3.2, 3.2);
    QTransform t;
    t.translate(centre.x(), centre.y());
    t.rotate(-45);
    return t.map(link);
}

void strokeDial(QPainter& p, QPointF c, double r, double from, double span, double needle) {
    QPainterPath arc;
    arc.arcMoveTo(QRectF(c.x() - r, c.y() - r, 2 * r, 2 * r), from);
    arc.arcTo(QRectF(c.x() - r, c.y() - r, 2 * r, 2 * r), from, span);
    p.drawPath(arc);
    p.drawLine(c, polar(c, r - 3.5, needle));
    p.setBrush(p.pen().color());
    p.drawEllipse(c, 1.4, 1.4);
    p.setBrush(Qt::NoBrush);
}

void drawGauge(QPainter& p) {
    const QPointF c(12, 14);
    strokeDial(p, c, 9, 200, -220, 200 - 220 * 0.67);
    for (double deg : {200.0, 145.0, 90.0, 35.0, -20.0}) p.drawPoint(polar(c, 6, deg));
}

void drawSpeedometer(QPainter& p) {
    const QPointF c(12, 13);
    strokeDial(p, c, 9.5, 225, -270, 50);
    for (double deg : {180.0, 90.0, 0.0}) p.drawLine(polar(c, 9.5, deg), polar(c, 7.5, deg));
}

void drawRefresh(QPainter& p) {
    QPainterPath arc;
    const QRectF box(4, 4, 16, 16);
    arc.arcMoveTo(box, 60);
    arc.arcTo(box, 60, 300);
    p.drawPath(arc);
    const QPointF tip = polar({12, 12}, 8, 60);
    QPainterPath head;
    head.moveTo(tip + QPointF(-4.6, -1.2));
    head.lineTo(tip);
    head.lineTo(tip + QPointF(-1.0, 4.4));
    p.drawPath(head);
}

void drawLink(QPainter& p, bool badge) {
    const double s = badge ? 0.8 : 1.0;
    p.save();
    p.scale(s, s);
    p.drawPath(chainLink({8.6, 15.4}));
    p.drawPath(chainLink({15.4, 8.6}));
    p.restore();
    if (badge) {
        p.drawLine(QPointF(19, 15), QPointF(19, 23));
        p.drawLine(QPointF(15, 19), QPointF(23, 19));
    }
}

void drawDrive(QPainter& p, const QColor& colour) {
    p.drawRoundedRect(QRectF(2.5, 7, 19, 10), 2.5, 2.5);
    p.drawLine(QPointF(6, 12), QPointF(12, 12));
    p.setBrush(colour);
    p.drawEllipse(QPointF(17.5, 12), 0.8, 0.8);
}

void drawWaveform(QPainter& p) {
    static constexpr std::array<double, 9> heights{2, 5, 9, 4, 7, 10, 6, 3, 1.5};
    QPainterPath wave;
    wave.moveTo(1.5, 12);
    for (std::size_t i = 0; i < heights.size(); ++i) {
        const double x = 3.5 + 2.15 * static_cast<double>(i);
        wave.lineTo(x, 12 + (i % 2 == 0 ? -heights[i] : heights[i]));
    }
    wave.lineTo(22.5, 12);
    p.drawPath(wave);
}

void drawShare(QPainter& p) {
    p.drawPolyline(QPolygonF({{8, 10}, {5, 10}, {5, 21.5}, {19, 21.5}, {19, 10}, {16, 10}}));
    p.drawLine(QPointF(12, 2.5), QPointF(12, 15));
    p.drawPolyline(QPolygonF({{8, 6.5}, {12, 2.5}, {16, 6.5}}));
}

void drawPower(QPainter& p) {
    QPainterPath arc;
    const QRectF box(4, 4.5, 16, 16);
    arc.arcMoveTo(box, 125);
    arc.arcTo(box, 125, 290);  // round the bottom, leaving the top open for the stem
    p.drawPath(arc);
    p.drawLine(QPointF(12, 2), QPointF(12, 11));
}

void drawSymbol(QPainter& p, Symbol symbol, const QColor& colour) {
    p.setPen(QPen(colour, 2.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    switch (symbol) {
    case Symbol::bolt:
        p.setPen(Qt::NoPen);
        p.setBrush(colour);
        p.drawPath(boltPath());
        break;
    case Symbol::gauge: drawGauge(p); break;
    case Symbol::speedometer: drawSpeedometer(p); break;
    case Symbol::refresh: drawRefresh(p); break;
    case Symbol::link: drawLink(p, false); break;
    case Symbol::linkPlus: drawLink(p, true); break;
    case Symbol::drive: drawDrive(p, colour); break;
    case Symbol::waveform: drawWaveform(p); break;
    case Symbol::share: drawShare(p); break;
    case Symbol::power: drawPower(p); break;
    }
}

/// Paints on demand so every size is sharp and disabled icons fade like text.
class PathIconEngine final : public QIconEngine {
public:
    PathIconEngine(Symbol symbol, QColor colour, int spinnerStep = -1)
        : symbol_(symbol), colour_(colour), spinnerStep_(spinnerStep) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State) override {
        QColor colour = colour_;
        if (mode == QIcon::Disabled) colour.setAlphaF(colour.alphaF() * 0.45f);
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        const double side = std::min(rect.width(), rect.height());
        painter->translate(rect.x() + (rect.width() - side) / 2.0, rect.y() + (rect.height() - side) / 2.0);
        painter->scale(side / grid, side / grid);
        if (spinnerStep_ >= 0) {
            drawSpinner(*painter, colour);
        } else {
            drawSymbol(*painter, symbol_, colour);
        }
        painter->restore();
    }

    QIconEngine* clone() const override { return new PathIconEngine(*this); }

    // The base class hands paint() an uninitialised pixmap; start from transparent.
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        QPixmap pm(size);
        pm.fill(Qt::transparent);
        QPainter painter(&pm);
        paint(&painter, QRect(QPoint(0, 0), size), mode, state);
        return pm;
    }

    QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State state, qreal scale) override {
        QPixmap pm = pixmap(size, mode, state);  // `size` is already in device pixels
        pm.setDevicePixelRatio(scale);
        return pm;
    }

private:
    void drawSpinner(QPainter& p, const QColor& colour) const {
        p.setPen(QPen(colour, 2.4, Qt::SolidLine, Qt::RoundCap));
        const int start = -spinnerStep_ * 30 * 16;
        p.drawArc(QRectF(4, 4, 16, 16), start, 270 * 16);
    }

    Symbol symbol_;
    QColor colour_;
    int spinnerStep_;
};

}  // namespace

QIcon icon(Symbol symbol, const QColor& colour) { return QIcon(new PathIconEngine(symbol, colour)); }

QPixmap pixmap(Symbol symbol, const QColor& colour, int size, qreal devicePixelRatio) {
    return icon(symbol, colour).pixmap(QSize(size, size), devicePixelRatio);
}

QIcon spinnerFrame(int step, const QColor& colour) {
    return QIcon(new PathIconEngine(Symbol::bolt, colour, ((step % 12) + 12) % 12));
}

}  // namespace varek::icons
