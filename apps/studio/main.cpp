#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QSocketNotifier>
#include <QStandardPaths>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include "app_shell.hpp"

namespace {

int signalPipe[2] = {-1, -1};

void onTerminationSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
}

/// Ctrl+C in the starting terminal, or SIGTERM from the session, closes the window
/// through the event loop: the supply is disconnected (output untouched) and the
/// servers shut down in order, instead of the process dying mid-transaction.
void closeOnTerminationSignals(QApplication& app) {
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [] {
        char drained[16];
        while (::read(signalPipe[0], drained, sizeof drained) > 0) {
        }
        QApplication::closeAllWindows();
        QApplication::quit();
    });
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("VAREK"));
    QApplication::setApplicationName(QStringLiteral("VAREK Studio"));
    QApplication::setApplicationVersion(QStringLiteral("0.1.2"));
    QGuiApplication::setDesktopFileName(QStringLiteral("varek-power-studio"));
    varek::applyStudioTheme(app);
    closeOnTerminationSignals(app);

    varek::PowerModel::Options options;
    options.arguments = QCoreApplication::arguments().mid(1);
    options.chooseSaveLocation = [](const QString& proposedName) {
        const QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
        return QFileDialog::getSaveFileName(QApplication::activeWindow(), QStringLiteral("导出采样 CSV"),
                                            QDir(folder).filePath(proposedName), QStringLiteral("CSV (*.csv)"));
    };

    options.chooseRecordingFolder = [](const QString& currentFolder) {
        const QString start = currentFolder.isEmpty()
                                  ? QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation)
                                  : currentFolder;
        return QFileDialog::getExistingDirectory(QApplication::activeWindow(), QStringLiteral("连续记录文件夹"), start);
    };

    int status = 0;
    {
        // Leaving this scope tears down the window first, then the model and its servers.
        varek::VarekPowerStudioApp studio(std::move(options));
        studio.show();
        status = QApplication::exec();
    }
    return status;
}
