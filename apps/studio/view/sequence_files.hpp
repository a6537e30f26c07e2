#pragma once

#include <QString>
#include <QStringList>

class QWidget;

namespace varek {

/// The example profiles where the package installs them (beside the program, then the
/// installed prefix); empty when neither exists.
QString examplesDirectory();

/// The profile files opened or saved last, newest first, at most `recentLimit`.
QStringList recentProfiles();
/// Puts `path` first in the recent list.
void rememberProfile(const QString& path);
/// Drops `path` from the recent list (it could not be read).
void forgetProfile(const QString& path);
constexpr int recentLimit = 5;

/// Asks for a profile file to open (`save` false) or to save to, starting at `start`
/// (a folder or a file); the examples folder is in the dialog's side bar. Empty when cancelled.
QString askProfileFile(QWidget* parent, bool save, const QString& start);

}  // namespace varek
