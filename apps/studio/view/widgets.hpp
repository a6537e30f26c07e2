#pragma once

#include <QColor>
#include <QFont>
#include <QFrame>
#include <QLabel>
#include <QList>
#include <QPushButton>
#include <QStringList>
#include <QVBoxLayout>
#include <QWidget>

#include <optional>
#include <utility>

#include "icons.hpp"

class QButtonGroup;
class QTimer;

namespace varek::ui {

/// A font of `pixelSize` logical pixels (the sizes of the design are points on a
/// standard-density screen, which Qt calls pixels).
QFont font(int pixelSize, QFont::Weight weight = QFont::Normal, double letterSpacing = 0);
/// The same in a face with even-width digits, for live numbers.
QFont numberFont(int pixelSize, QFont::Weight weight = QFont::Medium);
/// A label in `colour` with the given font.
QLabel* label(const QString& text, const QFont& font, const QColor& colour, QWidget* parent = nullptr);
/// Recolours a label's text.
void setTextColour(QWidget* widget, const QColor& colour);
/// A thin horizontal rule in the border colour.
QFrame* divider(QWidget* parent = nullptr);
/// Sets the text of a label only when it differs (keeps redraws free of relayouts).
void setTextIfChanged(QLabel* label, const QString& text);

/// Rounded card: fill, 1-pixel outline and inner padding.
class Panel : public QFrame {
public:
    /// `padding` on every side, corners of `radius`.
    explicit Panel(QWidget* parent = nullptr, int padding = 20, int radius = 14,
                   QColor fill = QColor(), QColor outline = QColor());
    /// The panel's content column.
    QVBoxLayout* body() const { return body_; }
    /// Repaints with another fill and outline.
    void setColours(const QColor& fill, const QColor& outline);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QVBoxLayout* body_;
    int radius_;
    QColor fill_;
    QColor outline_;
};

/// Coloured text on a 10 % tint of the same colour, optionally led by a dot.
class Pill : public QWidget {
public:
    explicit Pill(QWidget* parent = nullptr);
    void setText(const QString& text);
    QString text() const { return text_; }
    void setColour(const QColor& colour);
    QColor colour() const { return colour_; }
    void setDot(bool dot);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString text_;
    QColor colour_;
    bool dot_ = false;
};

/// A filled circle of fixed diameter.
class Dot : public QWidget {
public:
    Dot(int diameter, const QColor& colour, QWidget* parent = nullptr);
    void setColour(const QColor& colour);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor colour_;
};

/// Mutually exclusive text segments in one row; emits `activated` on user choice.
class SegmentedControl : public QWidget {
    Q_OBJECT

public:
    SegmentedControl(const QStringList& items, QWidget* parent = nullptr);
    int currentIndex() const;
    void setCurrentIndex(int index);
    /// The segment button at `index`, for tests and accessibility.
    QPushButton* button(int index) const;
    int count() const;

signals:
    void activated(int index);

private:
    QButtonGroup* group_;
};

/// Colours a prominent button: filled with `tint`, readable text, faded when disabled.
void styleProminent(QPushButton* button, const QColor& tint, int radius = 8);
/// A borderless button in `colour` for secondary actions.
void stylePlain(QPushButton* button, const QColor& colour);
/// A button with a thin outline.
void styleBordered(QPushButton* button);

/// Turns an icon button into a busy indicator while `running`.
class ButtonSpinner : public QObject {
public:
    explicit ButtonSpinner(QPushButton* button);
    /// Spins in `colour` while `running`; otherwise the button shows `idle` in `colour`.
    void setRunning(bool running, icons::Symbol idle, const QColor& colour);
    bool running() const;

private:
    QPushButton* button_;
    QTimer* timer_;
    QColor colour_;
    int step_ = 0;
    std::optional<std::pair<icons::Symbol, QRgb>> idleShown_;
};

}  // namespace varek::ui
