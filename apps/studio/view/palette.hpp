#pragma once

#include <QColor>
#include <QString>

namespace varek::palette {

/// Builds an sRGB colour from unit-range components.
inline QColor rgb(double r, double g, double b, double alpha = 1.0) {
    return QColor::fromRgbF(static_cast<float>(r), static_cast<float>(g), static_cast<float>(b),
                            static_cast<float>(alpha));
}

/// `colour` with its alpha multiplied by `opacity`.
inline QColor faded(QColor colour, double opacity) {
    colour.setAlphaF(static_cast<float>(colour.alphaF() * opacity));
    return colour;
}

/// Window background.
inline QColor background() { return rgb(0.045, 0.063, 0.09); }
/// Panel fill.
inline QColor panel() { return rgb(0.078, 0.098, 0.13); }
/// Panel outlines and chart grid.
inline QColor border() { return rgb(1, 1, 1, 0.08); }
/// Secondary text.
inline QColor muted() { return rgb(0.54, 0.60, 0.68); }
/// Primary text on the dark background.
inline QColor text() { return rgb(0.93, 0.95, 0.97); }
/// Voltage readout and trend.
inline QColor voltage() { return rgb(1.0, 0.76, 0.30); }
/// Current readout and trend; "on" and "connected" states.
inline QColor current() { return rgb(0.27, 0.87, 0.74); }
/// Power readout and trend.
inline QColor power() { return rgb(0.42, 0.66, 1.0); }
/// The output button while the output is on.
inline QColor danger() { return rgb(0.74, 0.30, 0.30); }
/// Protection pill when a protection tripped.
inline QColor alarm() { return rgb(1.0, 0.36, 0.36); }

/// "rgba(r,g,b,a)" for style sheets.
inline QString css(const QColor& c) {
    return QStringLiteral("rgba(%1,%2,%3,%4)")
        .arg(c.red())
        .arg(c.green())
        .arg(c.blue())
        .arg(c.alpha());
}

/// Readable text colour on top of `fill` (blended over the window background).
inline QColor textOn(const QColor& fill) {
    const double a = fill.alphaF();
    const QColor bg = background();
    const double r = fill.redF() * a + bg.redF() * (1 - a);
    const double g = fill.greenF() * a + bg.greenF() * (1 - a);
    const double b = fill.blueF() * a + bg.blueF() * (1 - a);
    const double luminance = 0.2126 * r + 0.7152 * g + 0.0722 * b;
    return luminance > 0.45 ? background() : QColor(Qt::white);
}

}  // namespace varek::palette
