#include "bench_nav.hpp"

#include <QContextMenuEvent>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QLabel>
#include <QMenu>
#include <QPushButton>

#include "bench.hpp"
#include "icons.hpp"
#include "palette.hpp"
#include "supply_model.hpp"
#include "varek/format.hpp"
#include "widgets.hpp"

namespace varek {
namespace {

/// A navigation row: a panel that answers a click and a context menu.
class Row : public ui::Panel {
public:
    Row(std::function<void()> clicked, std::function<void(const QPoint&)> menu = {})
        : ui::Panel(nullptr, 9, 8, Qt::transparent, Qt::transparent), clicked_(std::move(clicked)), menu_(std::move(menu)) {
        setCursor(Qt::PointingHandCursor);
    }
    void setCurrent(bool current) {
        setColours(current ? palette::rgb(1, 1, 1, 0.065) : Qt::transparent, Qt::transparent);
    }

protected:
    void mouseReleaseEvent(QMouseEvent* event) override {
        if (event->button() == Qt::LeftButton && clicked_) clicked_();
    }
    void contextMenuEvent(QContextMenuEvent* event) override {
        if (menu_) menu_(event->globalPos());
    }

private:
    std::function<void()> clicked_;
    std::function<void(const QPoint&)> menu_;
};

QWidget* iconTitle(icons::Symbol symbol, const QColor& colour, const QString& text) {
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    auto* icon = new QLabel;
    icon->setPixmap(icons::pixmap(symbol, colour, 17));
    layout->addWidget(icon);
    layout->addWidget(ui::label(text, ui::font(13, QFont::Medium), palette::text()));
    layout->addStretch();
    return row;
}

}  // namespace

LinkLook linkLook(const SupplyModel& model) {
    if (model.connected() && !model.recovering()) return {QStringLiteral("已连接"), palette::current()};
    if (model.connected()) return {QStringLiteral("链路中断"), palette::voltage()};
    return {QStringLiteral("未连接"), palette::muted()};
}

QString liveValues(const SupplyModel& model) {
    if (!model.connected() || model.recovering() || !model.latest()) return QStringLiteral("— V  ·  — A");
    return QString::fromStdString(formatFixed2(model.latest()->voltage)) + QStringLiteral(" V  ·  ") +
           QString::fromStdString(formatFixed(model.latest()->current, 3)) + QStringLiteral(" A");
}

BenchNavigation::BenchNavigation(Bench& bench, Actions actions, QWidget* parent)
    : QWidget(parent), bench_(bench), actions_(std::move(actions)), column_(new QVBoxLayout(this)) {
    column_->setContentsMargins(0, 0, 0, 0);
    column_->setSpacing(6);
    rebuild();
}

void BenchNavigation::rebuild() {
    while (QLayoutItem* item = column_->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    items_.clear();
    overviewItem_ = nullptr;
    addButton_ = nullptr;
    builtFor_ = bench_.size();
    column_->addWidget(ui::label(QStringLiteral("工作台"), ui::font(11), palette::muted()));
    if (bench_.size() <= 1) {
        // One supply: the window as it always was.
        auto* item = new ui::Panel(nullptr, 9, 8, palette::rgb(1, 1, 1, 0.065), Qt::transparent);
        item->body()->addWidget(iconTitle(icons::Symbol::gauge, palette::current(), QStringLiteral("电源监控")));
        column_->addWidget(item);
        return;
    }
    for (int i = 0; i < bench_.size(); ++i) column_->addWidget(itemRow(i));
    auto* overview = new Row([this] {
        if (actions_.showOverview) actions_.showOverview();
    });
    overview->setObjectName(QStringLiteral("overviewItem"));
    overview->body()->addWidget(iconTitle(icons::Symbol::gauge, palette::power(), QStringLiteral("全部电源")));
    overviewItem_ = overview;
    column_->addWidget(overview);
    addButton_ = new QPushButton(QStringLiteral("添加电源…"));
    addButton_->setObjectName(QStringLiteral("addSupplyButton"));
    addButton_->setFont(ui::font(11));
    ui::stylePlain(addButton_, palette::power());
    addButton_->setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Fixed);
    QObject::connect(addButton_, &QPushButton::clicked, this, [this] {
        if (actions_.addSupply) actions_.addSupply();
    });
    column_->addWidget(addButton_);
}

QWidget* BenchNavigation::itemRow(int index) {
    auto* row = new Row([this, index] { bench_.select(index); },
                        [this, index](const QPoint& where) { contextMenu(index, where); });
    row->setObjectName(QStringLiteral("supplyItem%1").arg(index));
    auto* top = new QHBoxLayout;
    top->setSpacing(8);
    auto* dot = new ui::Dot(8, palette::muted());
    auto* name = ui::label(QString(), ui::font(13, QFont::Medium), palette::text());
    name->setObjectName(QStringLiteral("supplyName%1").arg(index));
    top->addWidget(dot);
    top->addWidget(name, 1);
    row->body()->setSpacing(2);
    row->body()->addLayout(top);
    auto* values = ui::label(QString(), ui::numberFont(11), palette::muted());
    values->setObjectName(QStringLiteral("supplyValues%1").arg(index));
    row->body()->addWidget(values);
    items_.push_back({row, dot, name, values});
    return row;
}

void BenchNavigation::contextMenu(int index, const QPoint& where) {
    QMenu menu;
    QAction* rename = menu.addAction(QStringLiteral("重命名…"));
    QAction* remove = menu.addAction(QStringLiteral("移除"));
    remove->setEnabled(bench_.size() > 1);
    QAction* chosen = menu.exec(where);
    // Acted on once this row's event is over: renaming and removing rebuild the rows.
    Bench* bench = &bench_;
    QWidget* window = this->window();
    if (chosen == rename) {
        QMetaObject::invokeMethod(bench, [bench, window, index] {
            bool ok = false;
            const QString name = QInputDialog::getText(window, QStringLiteral("重命名电源"), QStringLiteral("名称"),
                                                       QLineEdit::Normal, bench->name(index), &ok);
            if (ok) bench->rename(index, name);
        }, Qt::QueuedConnection);
    } else if (chosen == remove) {
        QMetaObject::invokeMethod(bench, [bench, index] { bench->remove(index); }, Qt::QueuedConnection);
    }
}

void BenchNavigation::setOverviewShown(bool shown) {
    overviewShown_ = shown;
    sync();
}

void BenchNavigation::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    sync();
}

void BenchNavigation::sync() {
    if (builtFor_ != bench_.size() && !(builtFor_ <= 1 && bench_.size() <= 1)) rebuild();
    // Hidden navigations (other supplies' pages) wait until they are shown.
    if (!isVisible() || items_.empty()) return;
    for (int i = 0; i < static_cast<int>(items_.size()) && i < bench_.size(); ++i) {
        const SupplyModel& model = bench_.at(i);
        const Item& item = items_[static_cast<std::size_t>(i)];
        item.dot->setColour(linkLook(model).colour);
        ui::setTextIfChanged(item.name, bench_.name(i));
        ui::setTextIfChanged(item.values, liveValues(model));
        static_cast<Row*>(item.row)->setCurrent(!overviewShown_ && i == bench_.selected());
    }
    if (overviewItem_) static_cast<Row*>(overviewItem_)->setCurrent(overviewShown_);
}

}  // namespace varek
