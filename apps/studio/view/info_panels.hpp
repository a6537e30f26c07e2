#pragma once

#include <QStringList>
#include <QWidget>

class QLabel;

namespace varek {

class SupplyModel;
struct PowerSample;

/// "运行信息": input voltage, temperature and the two setpoints of the live sample.
class DetailsPanel : public QWidget {
public:
    explicit DetailsPanel(QWidget* parent = nullptr);
    void sync(const PowerSample* live);

private:
    QLabel* values_[4]{};
};

/// "操作记录": the activity log, newest first.
class ActivityPanel : public QWidget {
public:
    explicit ActivityPanel(QWidget* parent = nullptr);
    void sync(const QStringList& events);

private:
    QLabel* placeholder_;
    QLabel* lines_;
    QStringList shown_;
    bool synced_ = false;
};

/// The bottom line: device and, with a live sample, the time of the last update.
class Footer : public QWidget {
public:
    explicit Footer(QWidget* parent = nullptr);
    void sync(const PowerSample* live);
    /// Shows "连续记录中" and `folder` while recording; nothing for an empty folder.
    void syncRecording(const QString& folder);

private:
    QLabel* updated_;
    QLabel* recording_;
};

}  // namespace varek
