#pragma once

#include <QDialog>
#include <QList>
#include <QPointF>

#include <functional>
#include <optional>
#include <string>

#include "sequence_draft.hpp"
#include "varek/sequence_plan.hpp"

class QLabel;
class QMenu;
class QProgressBar;
class QPushButton;
class QTimer;

namespace varek {

class PlanChartView;
class SupplyModel;
class SequenceEditor;
class SequenceWatch;

/// The "序列" window: a step editor with files (new, open, save, save as, the recent
/// five, the examples), a preview of the plan, and the run: start, stop, the running
/// step in the table, its elapsed time, the total progress and the measured values
/// drawn over the plan. It never touches the supply; the model runs the profile.
class SequenceDialog : public QDialog {
public:
    /// Asks for a file: to save to (`save`) or to open, starting at `start`; empty when cancelled.
    using FileChooser = std::function<QString(bool save, const QString& start)>;

    /// Follows `model`'s sequence news, connection and ceilings; hidden until shown.
    explicit SequenceDialog(SupplyModel& model, QWidget* parent = nullptr);

    /// Replaces the file dialogs (tests answer them without a window).
    void setFileChooser(FileChooser chooser) { chooser_ = std::move(chooser); }
    /// Reads `path` off the GUI thread, then shows it in the editor, or why it cannot.
    void loadFile(const QString& path);
    /// The editor, for keyboard focus and tests.
    SequenceEditor* editor() const { return editor_; }

private:
    void buildMenu();
    QWidget* buildRunPanel();
    void whenDiscardable(std::function<void()> then);
    void newProfile();
    void openChosen(const QString& start);
    void showLoaded(const QString& path, const std::string& text);
    void save(bool askForPath);
    void fillRecentMenu();
    void showDraft(const ProfileDraft& draft, const QString& path);
    bool modified() const;
    void syncTitle();
    void replot();
    void start();
    void sync();
    void heardNews();
    void heardSample();

    SupplyModel& model_;
    SequenceEditor* editor_;
    PlanChartView* plan_;
    SequenceWatch* watch_;
    QMenu* recent_ = nullptr;
    QLabel* notice_;
    QLabel* total_ = nullptr;
    QLabel* progress_ = nullptr;
    QLabel* state_ = nullptr;
    QProgressBar* bar_ = nullptr;
    QPushButton* start_ = nullptr;
    QPushButton* stop_ = nullptr;
    QTimer* ticker_;
    FileChooser chooser_;
    QString path_;         // the file the draft came from or went to; empty for a new one
    ProfileDraft saved_;   // the draft as that file holds it
    std::optional<SequencePlan> shownPlan_;  // the preview's plan, for the editor's draft
    std::pair<double, double> planStart_{-1, -1};  // setpoints the preview starts from
    std::optional<SequencePlan> runPlan_;    // the plan of the run started here, while it is shown
    bool startedHere_ = false;               // until that run's first news arrives
    QList<QPointF> measuredVoltage_;
    QList<QPointF> measuredCurrent_;
};

}  // namespace varek
