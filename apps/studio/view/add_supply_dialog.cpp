#include "add_supply_dialog.hpp"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStackedWidget>
#include <QVBoxLayout>

#include <variant>

#include "bench.hpp"
#include "varek/control_server.hpp"
#include "palette.hpp"
#include "widgets.hpp"

namespace varek {

AddSupplyDialog::AddSupplyDialog(Bench& bench, const QStringList& ports, QWidget* parent)
    : QDialog(parent), bench_(bench) {
    setObjectName(QStringLiteral("addSupplyDialog"));
    setWindowTitle(QStringLiteral("添加电源"));
    auto* column = new QVBoxLayout(this);
    local_ = new QRadioButton(QStringLiteral("本机串口"));
    local_->setObjectName(QStringLiteral("addLocal"));
    remote_ = new QRadioButton(QStringLiteral("远程 varek-server"));
    remote_->setObjectName(QStringLiteral("addRemote"));
    local_->setChecked(true);
    auto* kinds = new QHBoxLayout;
    kinds->addWidget(local_);
    kinds->addWidget(remote_);
    kinds->addStretch();
    column->addLayout(kinds);

    pages_ = new QStackedWidget;
    auto* localPage = new QWidget;
    auto* localForm = new QFormLayout(localPage);
    port_ = new QComboBox;
    port_->setObjectName(QStringLiteral("addPort"));
    port_->setEditable(true);
    port_->addItems(ports);
    localForm->addRow(QStringLiteral("串口"), port_);
    baud_ = new QComboBox;
    baud_->setObjectName(QStringLiteral("addBaud"));
    for (int rate : {9600, 19200, 38400, 57600, 115200}) baud_->addItem(QString::number(rate), rate);
    baud_->setCurrentIndex(4);
    localForm->addRow(QStringLiteral("波特率"), baud_);
    station_ = new QLineEdit(QStringLiteral("1"));
    station_->setObjectName(QStringLiteral("addStation"));
    localForm->addRow(QStringLiteral("站号"), station_);
    pages_->addWidget(localPage);

    auto* remotePage = new QWidget;
    auto* remoteForm = new QFormLayout(remotePage);
    url_ = new QLineEdit;
    url_->setObjectName(QStringLiteral("addUrl"));
    url_->setPlaceholderText(QStringLiteral("http://192.168.1.20:%1").arg(ControlServer::port));
    remoteForm->addRow(QStringLiteral("服务器"), url_);
    token_ = new QLineEdit;
    token_->setObjectName(QStringLiteral("addToken"));
    token_->setEchoMode(QLineEdit::Password);
    token_->setPlaceholderText(QStringLiteral("服务器的 API 访问令牌"));
    remoteForm->addRow(QStringLiteral("令牌"), token_);
    remoteForm->addRow(QString(), ui::label(QStringLiteral("令牌只保存在本用户可读的文件中。"), ui::font(11), palette::muted()));
    pages_->addWidget(remotePage);
    column->addWidget(pages_);
    QObject::connect(remote_, &QRadioButton::toggled, pages_, [this](bool remote) { pages_->setCurrentIndex(remote ? 1 : 0); });

    error_ = ui::label(QString(), ui::font(11), palette::alarm());
    error_->setObjectName(QStringLiteral("addError"));
    error_->setWordWrap(true);
    column->addWidget(error_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("添加"));
    buttons->button(QDialogButtonBox::Ok)->setObjectName(QStringLiteral("addConfirm"));
    buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("取消"));
    QObject::connect(buttons, &QDialogButtonBox::accepted, this, [this] { add(); });
    QObject::connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    column->addWidget(buttons);
    resize(420, sizeHint().height());
}

void AddSupplyDialog::add() {
    if (local_->isChecked()) {
        const QString port = port_->currentText().trimmed();
        if (port.isEmpty()) {
            error_->setText(QStringLiteral("请选择或填写串口。"));
            return;
        }
        bench_.select(bench_.addLocal(port, baud_->currentData().toInt(), station_->text().trimmed()));
        accept();
        return;
    }
    const auto added = bench_.addRemote(url_->text(), token_->text());
    if (const auto* why = std::get_if<QString>(&added)) {
        error_->setText(*why);
        return;
    }
    token_->clear();  // not kept in the dialog once it is in the store
    bench_.select(std::get<int>(added));
    accept();
}

}  // namespace varek
