#include "sequence_files.hpp"

#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QSettings>
#include <QUrl>

namespace varek {
namespace {

const QString recentKey = QStringLiteral("sequenceRecentFiles");

QSettings settings() { return QSettings(QStringLiteral("VAREK"), QStringLiteral("VAREK Studio")); }

void storeRecent(QStringList paths) {
    while (paths.size() > recentLimit) paths.removeLast();
    settings().setValue(recentKey, paths);
}

}  // namespace

QString examplesDirectory() {
    // Beside the program first, so that a package installed under another prefix finds its own.
    const QStringList candidates{
        QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("../share/doc/varek/examples")),
        QStringLiteral(VAREK_INSTALLED_EXAMPLES),
    };
    for (const QString& candidate : candidates) {
        if (QDir(candidate).exists()) return QDir(candidate).canonicalPath();
    }
    return {};
}

QStringList recentProfiles() {
    QStringList paths = settings().value(recentKey).toStringList();
    while (paths.size() > recentLimit) paths.removeLast();
    return paths;
}

void rememberProfile(const QString& path) {
    QStringList paths = recentProfiles();
    paths.removeAll(path);
    paths.prepend(path);
    storeRecent(paths);
}

void forgetProfile(const QString& path) {
    QStringList paths = recentProfiles();
    paths.removeAll(path);
    storeRecent(paths);
}

QString askProfileFile(QWidget* parent, bool save, const QString& start) {
    QFileDialog dialog(parent, save ? QStringLiteral("保存序列配置") : QStringLiteral("打开序列配置"), start,
                       QStringLiteral("JSON (*.json)"));
    dialog.setObjectName(QStringLiteral("sequenceFileDialog"));
    dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    dialog.setDefaultSuffix(QStringLiteral("json"));
    if (const QString examples = examplesDirectory(); !examples.isEmpty()) {
        QList<QUrl> places = dialog.sidebarUrls();
        places.append(QUrl::fromLocalFile(examples));
        dialog.setSidebarUrls(places);
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    return dialog.selectedFiles().constFirst();
}

}  // namespace varek
