#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QStandardPaths>

#include "app_shell.hpp"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("VAREK"));
    QApplication::setApplicationName(QStringLiteral("VAREK Studio"));
    QApplication::setApplicationVersion(QStringLiteral("0.1.2"));
    QGuiApplication::setDesktopFileName(QStringLiteral("varek-power-studio"));
    varek::applyStudioTheme(app);

    varek::PowerModel::Options options;
    options.arguments = QCoreApplication::arguments().mid(1);
    options.chooseSaveLocation = [](const QString& proposedName) {
        const QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
        return QFileDialog::getSaveFileName(QApplication::activeWindow(), QStringLiteral("导出采样 CSV"),
                                            QDir(folder).filePath(proposedName), QStringLiteral("CSV (*.csv)"));
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
