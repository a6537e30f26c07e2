// Measures the sequence window's cost of one cell edit on the GUI thread, with a
// 100-step profile: the edit committed as the table's editor commits it, the draft
// validated with the profile's rules, the plan computed and the preview's lines
// replaced (all of it synchronous), then the repaints that Qt scheduled for it.
// Wall time and the GUI thread's CPU time: on a shared machine the second shows the
// work itself, the first also the waits for a core.
// Usage: sequence-editor-bench [--edits N]
#include <QApplication>
#include <QElapsedTimer>
#include <QTableView>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app_shell.hpp"
#include "process_figures.hpp"
#include "sequence_dialog.hpp"
#include "sequence_editor.hpp"
#include "sequence_table.hpp"

namespace {

/// 100 steps within the 4096-byte limit: setpoint jumps, ramps and holds, one end condition.
varek::ProfileDraft hundredSteps() {
    varek::ProfileDraft draft{"100 steps", true, {}};
    for (int i = 0; i < 100; ++i) {
        varek::StepDraft step;
        step.voltage = std::to_string(i % 12);
        if (i % 3 == 1) step.ramp = "2";
        else step.hold = "1";
        if (i == 50) {
            step.until = varek::StepDraft::Until::currentBelow;
            step.threshold = "0.1";
        }
        draft.steps.push_back(step);
    }
    return draft;
}

double threadCpuMs() { return varek::bench::threadCpuSeconds() * 1e3; }

struct Figures {
    double mean = 0, p50 = 0, p99 = 0, max = 0;
};

Figures figuresOf(std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    Figures f;
    for (double v : ms) f.mean += v / static_cast<double>(ms.size());
    f.p50 = ms[ms.size() / 2];
    f.p99 = ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
    f.max = ms.back();
    return f;
}

void report(const char* what, const Figures& f) {
    std::printf("%-34s mean %6.3f ms  p50 %6.3f  p99 %6.3f  max %6.3f\n", what, f.mean, f.p50, f.p99, f.max);
}

}  // namespace

int main(int argc, char** argv) {
    int edits = 500;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--edits") == 0) edits = std::max(10, std::atoi(argv[i + 1]));
    }
    QApplication app(argc, argv);
    varek::applyStudioTheme(app);
    varek::PowerModel::Options options;
    options.httpPort = 0;
    options.scpiPort = 0;
    options.listPorts = [] { return std::vector<std::string>{}; };
    varek::PowerModel model(std::move(options));
    varek::SequenceDialog dialog(model);
    dialog.show();
    dialog.editor()->setDraft(hundredSteps());
    if (!std::holds_alternative<varek::SequenceProfile>(dialog.editor()->check())) {
        std::fprintf(stderr, "the profile does not validate: %s\n",
                     std::get<varek::ProfileRefusal>(dialog.editor()->check()).message.c_str());
        return 1;
    }
    std::printf("profile: 100 steps, %zu bytes; %d edits of a hold cell\n", dialog.editor()->text().size(), edits);
    QApplication::processEvents();

    QAbstractItemModel* table = dialog.editor()->table()->model();
    std::vector<double> handled, painted, handledCpu, paintedCpu;
    QElapsedTimer timer;
    for (int i = 0; i < edits; ++i) {
        const int row = (i * 37) % 100;
        const QModelIndex cell = table->index(row, varek::SequenceTableModel::hold);
        // Always a real change, so that every edit is validated and replotted.
        const QString value = cell.data(Qt::EditRole).toString() == QStringLiteral("3") ? QStringLiteral("4")
                                                                                       : QStringLiteral("3");
        const double cpu = threadCpuMs();
        timer.start();
        table->setData(cell, value, Qt::EditRole);
        handled.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
        handledCpu.push_back(threadCpuMs() - cpu);
        // The repaints Qt scheduled for it: the edited row and the preview.
        QApplication::processEvents();
        painted.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
        paintedCpu.push_back(threadCpuMs() - cpu);
    }
    report("edit -> validated, plan, preview", figuresOf(handled));
    report("  (GUI thread CPU)", figuresOf(handledCpu));
    report("... and what changed repainted", figuresOf(painted));
    report("  (GUI thread CPU)", figuresOf(paintedCpu));
    return 0;
}
