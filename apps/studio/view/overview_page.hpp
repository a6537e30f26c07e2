#pragma once

#include <QWidget>

#include <functional>
#include <vector>

class QGridLayout;
class QLabel;
class QPushButton;

namespace varek {

class Bench;
class Sidebar;

namespace ui {
class Pill;
}

/// "全部电源": a card per supply (name, readings, output, mode and protection, link,
/// recording, running sequence) that opens it on a click, and the bench's own
/// commands: switch every connected supply's output off (each confirmed by read-back,
/// its result in words on its card), connect them all, add one.
class OverviewPage : public QWidget {
public:
    struct Actions {
        /// Shows supply `index`'s dashboard.
        std::function<void(int index)> open;
        std::function<void()> showOverview;
        std::function<void()> addSupply;
    };
    OverviewPage(Bench& bench, Actions actions, QWidget* parent = nullptr);

    /// Brings the cards in line with the bench (rebuilt when the list changed).
    void sync();
    Sidebar* sidebar() const { return sidebar_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    struct Card {
        QWidget* panel;
        QLabel* name;
        ui::Pill* link;
        QLabel* readings;
        QLabel* output;
        QLabel* state;
        QLabel* recording;
        QLabel* sequence;
        QLabel* result;
    };
    void rebuild();
    Card makeCard(int index);
    void switchAllOff();

    Bench& bench_;
    Actions actions_;
    Sidebar* sidebar_;
    QGridLayout* grid_;
    QPushButton* allOff_;
    std::vector<Card> cards_;
    std::vector<QString> results_;  // the last "全部关闭输出" result per supply
    int builtFor_ = -1;
};

}  // namespace varek
