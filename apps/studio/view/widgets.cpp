#include "widgets.hpp"

#include <QButtonGroup>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>
#include <QTimer>

#include "icons.hpp"
#include "palette.hpp"

namespace varek::ui {

QFont font(int pixelSize, QFont::Weight weight, double letterSpacing) {
    QFont f = QGuiApplication::font();
    f.setPixelSize(pixelSize);
    f.setWeight(weight);
    if (letterSpacing != 0) f.setLetterSpacing(QFont::AbsoluteSpacing, letterSpacing);
    return f;
}

QFont numberFont(int pixelSize, QFont::Weight weight) {
    QFont f = font(pixelSize, weight);
    // DejaVu Sans has tabular digits, so live values do not jitter sideways.
    f.setFamilies({QStringLiteral("DejaVu Sans"), QStringLiteral("WenQuanYi Micro Hei")});
    return f;
}

void setTextColour(QWidget* widget, const QColor& colour) {
    if (widget->palette().color(QPalette::WindowText) == colour) return;  // palette changes repaint
    QPalette p = widget->palette();
    p.setColor(QPalette::WindowText, colour);
    p.setColor(QPalette::Text, colour);
    p.setColor(QPalette::ButtonText, colour);
    widget->setPalette(p);
}

QLabel* label(const QString& text, const QFont& font, const QColor& colour, QWidget* parent) {
    auto* l = new QLabel(text, parent);
    l->setFont(font);
    setTextColour(l, colour);
    return l;
}

QFrame* divider(QWidget* parent) {
    auto* line = new QFrame(parent);
    line->setFixedHeight(1);
    line->setAutoFillBackground(true);
    QPalette p = line->palette();
    p.setColor(QPalette::Window, palette::border());
    line->setPalette(p);
    return line;
}

void setTextIfChanged(QLabel* label, const QString& text) {
    if (label->text() != text) label->setText(text);
}

Panel::Panel(QWidget* parent, int padding, int radius, QColor fill, QColor outline)
    : QFrame(parent),
      body_(new QVBoxLayout(this)),
      radius_(radius),
      fill_(fill.isValid() ? fill : palette::panel()),
      outline_(outline.isValid() ? outline : palette::border()) {
    body_->setContentsMargins(padding, padding, padding, padding);
    body_->setSpacing(10);
}

void Panel::setColours(const QColor& fill, const QColor& outline) {
    if (fill == fill_ && outline == outline_) return;
    fill_ = fill;
    outline_ = outline;
    update();
}

void Panel::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(outline_, 1));
    p.setBrush(fill_);
    p.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), radius_, radius_);
}

Pill::Pill(QWidget* parent) : QWidget(parent), colour_(palette::muted()) {
    setFont(ui::font(11, QFont::Medium));
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void Pill::setText(const QString& text) {
    if (text == text_) return;
    text_ = text;
    updateGeometry();
    update();
}

void Pill::setColour(const QColor& colour) {
    if (colour == colour_) return;
    colour_ = colour;
    update();
}

void Pill::setDot(bool dot) {
    if (dot == dot_) return;
    dot_ = dot;
    updateGeometry();
    update();
}

QSize Pill::sizeHint() const {
    const QFontMetrics fm(font());
    const int dotWidth = dot_ ? 6 + 6 : 0;
    return {10 + dotWidth + fm.horizontalAdvance(text_) + 10, 6 + fm.height() + 6};
}

void Pill::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF box = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    p.setPen(Qt::NoPen);
    p.setBrush(palette::faded(colour_, 0.10));
    p.drawRoundedRect(box, box.height() / 2, box.height() / 2);
    double x = 10;
    if (dot_) {
        p.setBrush(colour_);
        p.drawEllipse(QPointF(x + 3, height() / 2.0), 3, 3);
        x += 12;
    }
    p.setPen(colour_);
    p.setFont(font());
    p.drawText(QRectF(x, 0, width() - x, height()), Qt::AlignVCenter | Qt::AlignLeft, text_);
}

Dot::Dot(int diameter, const QColor& colour, QWidget* parent) : QWidget(parent), colour_(colour) {
    setFixedSize(diameter, diameter);
}

void Dot::setColour(const QColor& colour) {
    if (colour == colour_) return;
    colour_ = colour;
    update();
}

void Dot::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(colour_);
    p.drawEllipse(QRectF(rect()));
}

SegmentedControl::SegmentedControl(const QStringList& items, QWidget* parent)
    : QWidget(parent), group_(new QButtonGroup(this)) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(2, 2, 2, 2);
    row->setSpacing(2);
    for (int i = 0; i < items.size(); ++i) {
        auto* b = new QPushButton(items[i], this);
        b->setCheckable(true);
        b->setFont(ui::font(11, QFont::Medium));
        b->setCursor(Qt::PointingHandCursor);
        b->setMinimumHeight(24);
        b->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        group_->addButton(b, i);
        row->addWidget(b);
    }
    setAttribute(Qt::WA_StyledBackground);
    setStyleSheet(QStringLiteral(
                      "varek--ui--SegmentedControl { background: %1; border-radius: 7px; }"
                      "QPushButton { border: none; border-radius: 5px; padding: 3px 6px; color: %2;"
                      " background: transparent; }"
                      "QPushButton:checked { background: %3; color: %4; }")
                      .arg(palette::css(palette::rgb(1, 1, 1, 0.05)), palette::css(palette::muted()),
                           palette::css(palette::rgb(1, 1, 1, 0.16)), palette::css(palette::text())));
    QObject::connect(group_, &QButtonGroup::idClicked, this, &SegmentedControl::activated);
}

int SegmentedControl::currentIndex() const { return group_->checkedId(); }

void SegmentedControl::setCurrentIndex(int index) {
    if (auto* b = group_->button(index); b && !b->isChecked()) b->setChecked(true);
}

QPushButton* SegmentedControl::button(int index) const {
    return static_cast<QPushButton*>(group_->button(index));
}

int SegmentedControl::count() const { return static_cast<int>(group_->buttons().size()); }

void styleProminent(QPushButton* button, const QColor& tint, int radius) {
    const QString key = palette::css(tint);
    if (button->property("tint").toString() == key) return;  // restyling is costly
    button->setProperty("tint", key);
    const QColor text = palette::textOn(tint);
    button->setStyleSheet(QStringLiteral(
                              "QPushButton { background: %1; color: %2; border: none; border-radius: %3px;"
                              " padding: 8px 12px; }"
                              "QPushButton:hover { background: %4; }"
                              "QPushButton:disabled { background: %5; color: %6; }")
                              .arg(key, palette::css(text))
                              .arg(radius)
                              .arg(palette::css(tint.lighter(112)), palette::css(palette::faded(tint, 0.45)),
                                   palette::css(palette::faded(text, 0.55))));
}

void stylePlain(QPushButton* button, const QColor& colour) {
    button->setFlat(true);
    button->setCursor(Qt::PointingHandCursor);
    button->setStyleSheet(QStringLiteral(
                              "QPushButton { background: transparent; border: none; color: %1; padding: 2px 4px;"
                              " text-align: left; }"
                              "QPushButton:hover { color: %2; }"
                              "QPushButton:disabled { color: %3; }")
                              .arg(palette::css(colour), palette::css(palette::text()),
                                   palette::css(palette::faded(colour, 0.45))));
}

void styleBordered(QPushButton* button) {
    button->setCursor(Qt::PointingHandCursor);
    button->setStyleSheet(QStringLiteral(
                              "QPushButton { background: %1; color: %2; border: 1px solid %3; border-radius: 7px;"
                              " padding: 6px 12px; }"
                              "QPushButton:hover { background: %4; }"
                              "QPushButton:disabled { color: %5; border-color: %6; }")
                              .arg(palette::css(palette::rgb(1, 1, 1, 0.06)), palette::css(palette::text()),
                                   palette::css(palette::rgb(1, 1, 1, 0.14)),
                                   palette::css(palette::rgb(1, 1, 1, 0.10)),
                                   palette::css(palette::faded(palette::muted(), 0.6)),
                                   palette::css(palette::border())));
}

ButtonSpinner::ButtonSpinner(QPushButton* button)
    : QObject(button), button_(button), timer_(new QTimer(this)) {
    timer_->setInterval(80);
    QObject::connect(timer_, &QTimer::timeout, this, [this] {
        button_->setIcon(icons::spinnerFrame(++step_, colour_));
    });
}

void ButtonSpinner::setRunning(bool running, icons::Symbol idle, const QColor& colour) {
    button_->setProperty("spinning", running);
    colour_ = colour;
    if (running) {
        if (!timer_->isActive()) {
            button_->setIcon(icons::spinnerFrame(step_, colour_));
            timer_->start();
        }
        idleShown_.reset();
        return;
    }
    timer_->stop();
    const auto shown = std::make_pair(idle, colour.rgba());
    if (idleShown_ == shown) return;
    idleShown_ = shown;
    button_->setIcon(icons::icon(idle, colour));
}

bool ButtonSpinner::running() const { return timer_->isActive(); }

}  // namespace varek::ui
