#pragma once

#include <QString>
#include <QWidget>

#include <functional>
#include <vector>

class QLabel;
class QPushButton;
class QVBoxLayout;

namespace varek {

class Bench;
class SupplyModel;

namespace ui {
class Dot;
}

/// Words and colour for a supply's state: connected, link lost or not connected.
struct LinkLook {
    QString words;
    QColor colour;
};
LinkLook linkLook(const SupplyModel& model);
/// "12.00 V  ·  1.000 A" while a reading is live, else dashes.
QString liveValues(const SupplyModel& model);

/// The sidebar's "工作台" with two or more supplies: one item per supply (its name, a
/// state dot and its live voltage and current), "全部电源" for the overview, and
/// "添加电源…". Clicking an item shows that supply; its context menu renames or
/// removes it. With one supply it is the single "电源监控" item it always was.
class BenchNavigation : public QWidget {
public:
    struct Actions {
        std::function<void()> showOverview;
        std::function<void()> addSupply;
    };
    BenchNavigation(Bench& bench, Actions actions, QWidget* parent = nullptr);

    /// Highlights "全部电源" (the overview) instead of the selected supply.
    void setOverviewShown(bool shown);
    /// Rebuilds the items after the list changed, and refreshes their values.
    void sync();

protected:
    void showEvent(QShowEvent* event) override;

private:
    struct Item {
        QWidget* row;
        ui::Dot* dot;
        QLabel* name;
        QLabel* values;
    };
    void rebuild();
    QWidget* itemRow(int index);
    void contextMenu(int index, const QPoint& where);

    Bench& bench_;
    Actions actions_;
    QVBoxLayout* column_;
    std::vector<Item> items_;
    QWidget* overviewItem_ = nullptr;
    QPushButton* addButton_ = nullptr;
    bool overviewShown_ = false;
    int builtFor_ = -1;  // the number of supplies the items were built for
};

}  // namespace varek
