#pragma once

#include <QDialog>

#include <string>

class QLabel;
class QListWidget;
class QPushButton;
class QTimer;

namespace varek {

class PowerModel;
struct SequenceProfile;

/// The "序列" window: opens a profile file, lists its steps, starts and stops it and
/// shows the progress and the state of the last run. It never touches the supply.
class SequenceDialog : public QDialog {
public:
    /// Follows `model`'s sequence news and connection; hidden until shown.
    explicit SequenceDialog(PowerModel& model, QWidget* parent = nullptr);

    /// Reads `path` off the GUI thread, then shows its steps or why it is refused.
    void loadFile(const QString& path);
    /// One line describing step `index` (from 0) of `profile`.
    static QString describeStep(const SequenceProfile& profile, std::size_t index);

private:
    void chooseFile();
    void showProfile(const QString& path, const std::string& text);
    void start();
    void sync();

    PowerModel& model_;
    std::string text_;  // the loaded profile, validated again when started
    QPushButton* open_;
    QLabel* name_;
    QListWidget* steps_;
    QPushButton* start_;
    QPushButton* stop_;
    QLabel* progress_;
    QLabel* state_;
    QLabel* error_;
    QTimer* ticker_;
};

}  // namespace varek
