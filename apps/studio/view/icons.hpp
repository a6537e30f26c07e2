#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>

namespace varek::icons {

/// The pictures the dashboard uses, drawn with QPainter paths on a 24-unit grid.
enum class Symbol {
    bolt,          ///< filled lightning bolt
    gauge,         ///< dial with a needle at two thirds
    refresh,       ///< clockwise arrow
    link,          ///< two chain links
    linkPlus,      ///< chain links with a plus badge
    drive,         ///< external drive
    waveform,      ///< waveform path
    speedometer,   ///< speedometer
    share,         ///< square with an arrow up
    power,         ///< power symbol
};

/// A resolution-independent icon of `symbol` in `colour` (faded when disabled).
QIcon icon(Symbol symbol, const QColor& colour);
/// `symbol` rendered at `size` logical pixels for a label.
QPixmap pixmap(Symbol symbol, const QColor& colour, int size, qreal devicePixelRatio = 1.0);
/// One frame of a busy spinner: a partial ring rotated by `step` twelfths of a turn.
QIcon spinnerFrame(int step, const QColor& colour);

}  // namespace varek::icons
