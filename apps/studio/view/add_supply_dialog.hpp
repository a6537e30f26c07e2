#pragma once

#include <QDialog>
#include <QStringList>

class QComboBox;
class QLabel;
class QLineEdit;
class QRadioButton;
class QStackedWidget;

namespace varek {

class Bench;

/// "添加电源…": a local serial port (port, baud, station, as the connection card) or a
/// remote varek-server (its URL and API token). The new supply is added not connected
/// and shown; a refusal (a URL that is not one, no token) stays in the dialog in words.
class AddSupplyDialog : public QDialog {
public:
    /// `ports` are offered for a local supply.
    AddSupplyDialog(Bench& bench, const QStringList& ports, QWidget* parent = nullptr);

private:
    void add();

    Bench& bench_;
    QRadioButton* local_;
    QRadioButton* remote_;
    QStackedWidget* pages_;
    QComboBox* port_;
    QComboBox* baud_;
    QLineEdit* station_;
    QLineEdit* url_;
    QLineEdit* token_;
    QLabel* error_;
};

}  // namespace varek
