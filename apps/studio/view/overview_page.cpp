#include "overview_page.hpp"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QScrollArea>

#include "bench.hpp"
#include "bench_nav.hpp"
#include "palette.hpp"
#include "sidebar.hpp"
#include "supply_model.hpp"
#include "varek/format.hpp"
#include "widgets.hpp"

namespace varek {
namespace {

/// A card that opens its supply on a click.
class ClickPanel : public ui::Panel {
public:
    explicit ClickPanel(std::function<void()> clicked) : ui::Panel(nullptr, 16, 12), clicked_(std::move(clicked)) {
        setCursor(Qt::PointingHandCursor);
    }

protected:
    void mouseReleaseEvent(QMouseEvent* event) override {
        if (event->button() == Qt::LeftButton && clicked_) clicked_();
    }

private:
    std::function<void()> clicked_;
};

QString fixed(double value, int decimals) { return QString::fromStdString(formatFixed(value, decimals)); }

}  // namespace

OverviewPage::OverviewPage(Bench& bench, Actions actions, QWidget* parent)
    : QWidget(parent), bench_(bench), actions_(std::move(actions)) {
    setObjectName(QStringLiteral("overviewPage"));
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    sidebar_ = new Sidebar(nullptr, &bench_, {actions_.showOverview, actions_.addSupply});
    row->addWidget(sidebar_);

    auto* scroll = new QScrollArea;
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    auto* column = new QWidget;
    auto* layout = new QVBoxLayout(column);
    layout->setContentsMargins(26, 24, 26, 18);
    layout->setSpacing(16);
    auto* header = new QHBoxLayout;
    header->addWidget(ui::label(QStringLiteral("全部电源"), ui::font(22, QFont::Bold), palette::text()));
    header->addStretch();
    const auto button = [&](const QString& text, const char* name, const QColor& tint) {
        auto* b = new QPushButton(text);
        b->setObjectName(QString::fromUtf8(name));
        b->setFont(ui::font(13, QFont::DemiBold));
        ui::styleProminent(b, tint);
        header->addWidget(b);
        return b;
    };
    allOff_ = button(QStringLiteral("全部关闭输出"), "allOffButton", palette::faded(palette::danger(), 0.85));
    QObject::connect(allOff_, &QPushButton::clicked, this, [this] { switchAllOff(); });
    QObject::connect(button(QStringLiteral("全部连接"), "connectAllButton", palette::faded(palette::current(), 0.8)),
                     &QPushButton::clicked, this, [this] { bench_.connectAll(); });
    QObject::connect(button(QStringLiteral("添加电源…"), "overviewAddButton", palette::faded(palette::power(), 0.8)),
                     &QPushButton::clicked, this, [this] {
                         if (actions_.addSupply) actions_.addSupply();
                     });
    layout->addLayout(header);
    grid_ = new QGridLayout;
    grid_->setSpacing(16);
    layout->addLayout(grid_);
    layout->addStretch();
    scroll->setWidget(column);
    row->addWidget(scroll, 1);
    rebuild();
}

void OverviewPage::rebuild() {
    for (const Card& card : cards_) delete card.panel;
    cards_.clear();
    builtFor_ = bench_.size();
    results_.resize(static_cast<std::size_t>(bench_.size()));
    for (int i = 0; i < bench_.size(); ++i) {
        cards_.push_back(makeCard(i));
        grid_->addWidget(cards_.back().panel, i / 2, i % 2);
    }
}

OverviewPage::Card OverviewPage::makeCard(int index) {
    auto* panel = new ClickPanel([this, index] {
        if (actions_.open) actions_.open(index);
    });
    panel->setObjectName(QStringLiteral("supplyCard%1").arg(index));
    QVBoxLayout* body = panel->body();
    body->setSpacing(6);
    Card card{panel, ui::label(QString(), ui::font(15, QFont::DemiBold), palette::text()), new ui::Pill, nullptr,
              nullptr, nullptr, nullptr, nullptr, nullptr};
    card.link->setDot(true);
    auto* top = new QHBoxLayout;
    top->addWidget(card.name, 1);
    top->addWidget(card.link);
    body->addLayout(top);
    const auto line = [&](const QFont& font, const QColor& colour, const char* name) {
        QLabel* label = ui::label(QString(), font, colour);
        label->setObjectName(QStringLiteral("%1%2").arg(QString::fromUtf8(name)).arg(index));
        body->addWidget(label);
        return label;
    };
    card.readings = line(ui::numberFont(20), palette::text(), "cardReadings");
    card.output = line(ui::font(12, QFont::Medium), palette::text(), "cardOutput");
    card.state = line(ui::font(11), palette::muted(), "cardState");
    card.recording = line(ui::font(11), palette::muted(), "cardRecording");
    card.sequence = line(ui::font(11), palette::muted(), "cardSequence");
    card.result = line(ui::font(11, QFont::Medium), palette::voltage(), "cardResult");
    return card;
}

void OverviewPage::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    sync();
}

void OverviewPage::sync() {
    if (builtFor_ != bench_.size()) rebuild();
    sidebar_->sync();
    if (!isVisible()) return;
    for (int i = 0; i < static_cast<int>(cards_.size()); ++i) {
        const SupplyModel& model = bench_.at(i);
        const Card& card = cards_[static_cast<std::size_t>(i)];
        ui::setTextIfChanged(card.name, bench_.name(i));
        const LinkLook look = linkLook(model);
        card.link->setText(look.words);
        card.link->setColour(look.colour);
        const bool live = model.connected() && !model.recovering() && model.latest();
        const PowerSample* s = live ? &*model.latest() : nullptr;
        ui::setTextIfChanged(card.readings, s ? fixed(s->voltage, 2) + QStringLiteral(" V   ") + fixed(s->current, 3) +
                                                    QStringLiteral(" A   ") + fixed(s->power, 2) + QStringLiteral(" W")
                                              : QStringLiteral("— V   — A   — W"));
        ui::setTextIfChanged(card.output, s ? (s->outputEnabled ? QStringLiteral("输出 开") : QStringLiteral("输出 关"))
                                            : QStringLiteral("输出 —"));
        ui::setTextIfChanged(card.state, s ? QString::fromStdString(s->modeName() + " · " + s->protectionName())
                                           : QStringLiteral("模式 — · 保护 —"));
        ui::setTextIfChanged(card.recording, model.recording() ? QStringLiteral("连续记录中") : QStringLiteral("未连续记录"));
        const auto& progress = model.sequenceProgress();
        const bool running = progress && progress->state == SequenceProgress::State::running;
        ui::setTextIfChanged(card.sequence, running ? QStringLiteral("序列「%1」 步骤 %2/%3")
                                                          .arg(QString::fromStdString(progress->name))
                                                          .arg(progress->step)
                                                          .arg(progress->steps)
                                                    : QStringLiteral("无运行中的序列"));
        ui::setTextIfChanged(card.result, results_[static_cast<std::size_t>(i)]);
        card.result->setVisible(!results_[static_cast<std::size_t>(i)].isEmpty());
    }
}

void OverviewPage::switchAllOff() {
    for (int i = 0; i < bench_.size(); ++i) {
        results_[static_cast<std::size_t>(i)] =
            bench_.at(i).connected() ? QStringLiteral("正在关闭输出…") : QStringLiteral("未连接，未写入");
    }
    bench_.switchAllOff([this](int index, const SupplyModel::Result& result) {
        if (index < static_cast<int>(results_.size())) results_[static_cast<std::size_t>(index)] = result.words;
        sync();
    });
    sync();
}

}  // namespace varek
