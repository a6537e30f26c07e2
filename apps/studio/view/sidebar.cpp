#include "sidebar.hpp"

#include <QClipboard>
#include <QComboBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>

#include <algorithm>
#include <array>

#include "icons.hpp"
#include "palette.hpp"
#include "supply_model.hpp"
#include "varek/format.hpp"
#include "bench.hpp"
#include "view_state.hpp"
#include "widgets.hpp"

namespace varek {
namespace {

constexpr std::array<int, 5> baudRates{9600, 19200, 38400, 57600, 115200};

QLabel* caption(const QString& text, QWidget* parent = nullptr) {
    return ui::label(text, ui::font(11), palette::muted(), parent);
}

QWidget* iconTitle(icons::Symbol symbol, const QColor& iconColour, QLabel* title, int iconSize) {
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    auto* icon = new QLabel;
    icon->setPixmap(icons::pixmap(symbol, iconColour, iconSize));
    layout->addWidget(icon);
    layout->addWidget(title);
    layout->addStretch();
    return row;
}

}  // namespace

QString portDisplayName(const QString& path) {
#if defined(__APPLE__)
    static const QString prefix = QStringLiteral("/dev/cu.");
#else
    static const QString prefix = QStringLiteral("/dev/");
#endif
    QString shown = path;
    return shown.remove(prefix);
}

Sidebar::Sidebar(SupplyModel* model, Bench* bench, BenchNavigation::Actions actions, QWidget* parent)
    : QWidget(parent), model_(model), bench_(bench), actions_(std::move(actions)) {
    setFixedWidth(fixedWidth);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* scroll = new QScrollArea(this);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->viewport()->setAutoFillBackground(false);
    outer->addWidget(scroll);

    auto* content = new QWidget;
    content->setAutoFillBackground(false);
    auto* column = new QVBoxLayout(content);
    column->setContentsMargins(16, 22, 16, 16);
    column->setSpacing(18);
    column->addWidget(buildBrand());
    column->addWidget(buildNavigation());
    if (model_) {
        column->addWidget(buildConnectionCard());
        column->addWidget(buildApiBlock());
        column->addWidget(buildDeviceCard());
    }
    column->addStretch();
    auto* version = ui::label(QStringLiteral("RUVIZOZURIR  ·  0.1.2"), ui::font(9, QFont::Medium, 1.1),
                              palette::faded(palette::muted(), 0.7));
    column->addWidget(version);
    scroll->setWidget(content);
    sync();
}

QWidget* Sidebar::buildBrand() {
    auto* brand = new QWidget;
    auto* row = new QHBoxLayout(brand);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(12);
    auto* badge = new ui::Panel(nullptr, 0, 11, palette::faded(palette::voltage(), 0.16),
                                palette::faded(palette::voltage(), 0.35));
    badge->setFixedSize(44, 44);
    auto* bolt = new QLabel;
    bolt->setPixmap(icons::pixmap(icons::Symbol::bolt, palette::voltage(), 24));
    bolt->setAlignment(Qt::AlignCenter);
    badge->body()->addWidget(bolt);
    row->addWidget(badge);
    auto* names = new QVBoxLayout;
    names->setSpacing(1);
    names->addWidget(ui::label(QStringLiteral("VAREK"), ui::font(21, QFont::Bold, 2), palette::text()));
    names->addWidget(ui::label(QStringLiteral("DADIR URIRAR"), ui::font(9, QFont::Medium), palette::muted()));
    row->addLayout(names);
    row->addStretch();
    return brand;
}

QWidget* Sidebar::buildNavigation() {
    if (bench_) return navigation_ = new BenchNavigation(*bench_, actions_);
    auto* nav = new QWidget;
    auto* column = new QVBoxLayout(nav);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(6);
    column->addWidget(caption(QStringLiteral("工作台")));
    auto* item = new ui::Panel(nullptr, 9, 8, palette::rgb(1, 1, 1, 0.065), Qt::transparent);
    item->body()->addWidget(iconTitle(icons::Symbol::gauge, palette::current(),
                                      ui::label(QStringLiteral("电源监控"), ui::font(13, QFont::Medium),
                                                palette::text()),
                                      17));
    column->addWidget(item);
    return nav;
}

QWidget* Sidebar::buildConnectionCard() {
    auto* card = new ui::Panel(nullptr, 12, 12);
    auto* body = card->body();
    body->setSpacing(6);
    body->addWidget(ui::label(QStringLiteral("连接电源"), ui::font(11, QFont::DemiBold), palette::text()));
    // A local supply's line; a remote one shows its server instead.
    localRows_ = new QWidget;
    auto* local = new QVBoxLayout(localRows_);
    local->setContentsMargins(0, 0, 0, 0);
    local->setSpacing(6);
    local->addWidget(caption(QStringLiteral("串口")));
    local->addLayout(buildPortRow());
    local->addLayout(buildLineRow());
    body->addWidget(localRows_);
    serverRow_ = new QWidget;
    auto* server = new QVBoxLayout(serverRow_);
    server->setContentsMargins(0, 0, 0, 0);
    server->setSpacing(4);
    server->addWidget(caption(QStringLiteral("服务器")));
    serverUrl_ = ui::label(QString(), ui::font(11), palette::text());
    serverUrl_->setObjectName(QStringLiteral("serverUrl"));
    serverUrl_->setWordWrap(true);
    server->addWidget(serverUrl_);
    body->addWidget(serverRow_);
    body->addWidget(caption(QStringLiteral("目标刷新率")));
    ratePicker_ = new QComboBox;
    ratePicker_->setObjectName(QStringLiteral("refreshPicker"));
    ratePicker_->setAccessibleName(QStringLiteral("刷新率"));
    ratePicker_->setFixedWidth(96);
    for (int rate : SupplyModel::allowedRates) ratePicker_->addItem(QString::number(rate) + QStringLiteral(" Hz"));
    QObject::connect(ratePicker_, &QComboBox::activated, this, [this](int index) {
        if (index >= 0 && index < static_cast<int>(SupplyModel::allowedRates.size())) {
            model_->setRefreshRate(SupplyModel::allowedRates[index]);
        }
    });
    body->addWidget(ratePicker_);
    measuredRate_ = ui::label(QString(), ui::font(10), palette::muted());
    measuredRate_->setObjectName(QStringLiteral("measuredRate"));
    body->addWidget(measuredRate_);

    body->addSpacing(4);
    connectButton_ = new QPushButton;
    connectButton_->setObjectName(QStringLiteral("connectButton"));
    connectButton_->setFont(ui::font(13, QFont::DemiBold));
    connectButton_->setIconSize(QSize(16, 16));
    connectButton_->setCursor(Qt::PointingHandCursor);
    spinner_ = new ui::ButtonSpinner(connectButton_);
    QObject::connect(connectButton_, &QPushButton::clicked, this, [this] { toggleConnection(); });
    body->addWidget(connectButton_);
    auto* line = lineLabel_ = ui::label(QStringLiteral("USB · 8N1"), ui::font(10), palette::muted());
    line->setAlignment(Qt::AlignHCenter);
    body->addWidget(line);
    return card;
}

QLayout* Sidebar::buildPortRow() {
    auto* portRow = new QHBoxLayout;
    portRow->setSpacing(6);
    portPicker_ = new QComboBox;
    portPicker_->setObjectName(QStringLiteral("portPicker"));
    portPicker_->setMinimumWidth(60);
    portPicker_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    QObject::connect(portPicker_, &QComboBox::activated, this, [this](int index) {
        if (index >= 0 && index < model_->ports().size()) model_->setSelectedPort(model_->ports()[index]);
    });
    portRow->addWidget(portPicker_);
    // Icon only: the sidebar is too narrow for the label, which stays as tooltip and accessible name.
    refreshPortsButton_ = new QPushButton;
    refreshPortsButton_->setObjectName(QStringLiteral("refreshPortsButton"));
    refreshPortsButton_->setIcon(icons::icon(icons::Symbol::refresh, palette::text()));
    refreshPortsButton_->setToolTip(QStringLiteral("刷新串口"));
    refreshPortsButton_->setAccessibleName(QStringLiteral("刷新串口"));
    refreshPortsButton_->setFixedSize(28, 28);
    ui::styleBordered(refreshPortsButton_);
    refreshPortsButton_->setStyleSheet(refreshPortsButton_->styleSheet() + "QPushButton { padding: 0; }");
    QObject::connect(refreshPortsButton_, &QPushButton::clicked, model_, &SupplyModel::refreshPorts);
    portRow->addWidget(refreshPortsButton_);
    return portRow;
}

QLayout* Sidebar::buildLineRow() {
    auto* lineRow = new QHBoxLayout;
    lineRow->setSpacing(8);
    auto* baudColumn = new QVBoxLayout;
    baudColumn->setSpacing(4);
    baudColumn->addWidget(caption(QStringLiteral("波特率")));
    baudPicker_ = new QComboBox;
    baudPicker_->setObjectName(QStringLiteral("baudPicker"));
    for (int rate : baudRates) baudPicker_->addItem(QString::number(rate));
    QObject::connect(baudPicker_, &QComboBox::activated, this, [this](int index) {
        if (index >= 0 && index < static_cast<int>(baudRates.size())) model_->setBaud(baudRates[index]);
    });
    baudColumn->addWidget(baudPicker_);
    lineRow->addLayout(baudColumn, 1);
    auto* stationColumn = new QVBoxLayout;
    stationColumn->setSpacing(4);
    stationColumn->addWidget(caption(QStringLiteral("站号")));
    stationField_ = new QLineEdit;
    stationField_->setObjectName(QStringLiteral("stationField"));
    stationField_->setPlaceholderText(QStringLiteral("1"));
    stationField_->setFixedWidth(48);
    QObject::connect(stationField_, &QLineEdit::textEdited, model_, &SupplyModel::setStation);
    stationColumn->addWidget(stationField_);
    lineRow->addLayout(stationColumn);
    return lineRow;
}

QWidget* Sidebar::buildApiBlock() {
    auto* block = new QWidget;
    auto* column = new QVBoxLayout(block);
    column->setContentsMargins(4, 0, 4, 0);
    column->setSpacing(4);
    apiState_ = ui::label(QString(), ui::font(10), palette::muted());
    apiState_->setObjectName(QStringLiteral("apiState"));
    apiState_->setWordWrap(true);
    column->addWidget(apiState_);
    QFont mono = ui::font(10);
    mono.setFamilies({QStringLiteral("DejaVu Sans Mono"), QStringLiteral("Monospace")});
    mono.setStyleHint(QFont::Monospace);
    routeLine_ = ui::label(QStringLiteral("POST /v1/output/off"), mono, palette::muted());
    column->addWidget(routeLine_);
    auto* copy = copyToken_ = new QPushButton(QStringLiteral("复制 API 访问令牌"));
    copy->setObjectName(QStringLiteral("copyTokenButton"));
    copy->setFont(ui::font(11));
    ui::stylePlain(copy, palette::power());
    copy->setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Fixed);
    QObject::connect(copy, &QPushButton::clicked, this, [this] { copyToken(); });
    column->addWidget(copy);
    return block;
}

QWidget* Sidebar::buildDeviceCard() {
    auto* card = new ui::Panel(nullptr, 12, 12);
    auto* body = card->body();
    body->setSpacing(5);
    body->addWidget(iconTitle(icons::Symbol::drive, palette::muted(),
                              ui::label(designationText(), ui::font(13, QFont::DemiBold), palette::text()),
                              16));
    const QString ratings = QString::fromStdString(formatFixed(Supply::voltageMax, 0)) + QStringLiteral(" V  /  ") +
                            QString::fromStdString(formatFixed(Supply::currentMax, 0)) + QStringLiteral(" A");
    body->addWidget(ui::label(ratings, ui::font(12), palette::muted()));
    firmware_ = caption(QString());
    firmware_->setObjectName(QStringLiteral("firmwareLabel"));
    body->addWidget(firmware_);
    // Told apart by serial number once a bench holds two or more supplies.
    serial_ = caption(QString());
    serial_->setObjectName(QStringLiteral("serialLabel"));
    body->addWidget(serial_);
    body->addWidget(ui::divider());
    body->addWidget(ui::label(QStringLiteral("连接与断开不改变输出状态"), ui::font(10), palette::muted()));
    return card;
}

void Sidebar::sync() {
    if (navigation_) navigation_->sync();
    if (!model_) return;
    SupplyModel& model = *model_;
    syncPorts();
    // A remote supply's line and rate are its server's.
    const bool locked = model.connected() || model.busy() || model.remote();
    portPicker_->setEnabled(!locked);
    refreshPortsButton_->setEnabled(!locked);
    baudPicker_->setEnabled(!locked);
    stationField_->setEnabled(!locked);
    ratePicker_->setEnabled(!model.remote());
    copyToken_->setVisible(!model.remote());
    routeLine_->setVisible(!model.remote());
    localRows_->setVisible(!model.remote());
    serverRow_->setVisible(model.remote());
    lineLabel_->setVisible(!model.remote());
    if (model.remote()) ui::setTextIfChanged(serverUrl_, model.address());

    const auto baudIndex = std::find(baudRates.begin(), baudRates.end(), model.baud()) - baudRates.begin();
    baudPicker_->setCurrentIndex(baudIndex < static_cast<long>(baudRates.size()) ? static_cast<int>(baudIndex) : -1);
    if (stationField_->text() != model.station()) stationField_->setText(model.station());
    const auto& rates = SupplyModel::allowedRates;
    const auto rateIndex = std::find(rates.begin(), rates.end(), model.refreshRate()) - rates.begin();
    ratePicker_->setCurrentIndex(rateIndex < static_cast<long>(rates.size()) ? static_cast<int>(rateIndex) : -1);

    const auto actual = model.actualRefreshRate();
    ui::setTextIfChanged(measuredRate_, actual ? QStringLiteral("实际采样 %1 Hz").arg(QString::fromStdString(formatFixed(*actual, 1)))
                                               : QStringLiteral("实际采样 — Hz"));
    syncConnectButton();
    ui::setTextIfChanged(apiState_, model.apiState());
    const auto& identity = model.identity();
    firmware_->setVisible(identity.has_value());
    serial_->setVisible(identity.has_value() && bench_ && bench_->size() >= 2);
    if (identity) {
        ui::setTextIfChanged(firmware_, QStringLiteral("固件 ") + QString::fromStdString(formatFixed2(identity->firmware)));
        ui::setTextIfChanged(serial_, QStringLiteral("序列号 ") + QString::number(identity->serial));
    }
}

void Sidebar::syncPorts() {
    const SupplyModel& model = *model_;
    if (model.remote()) return;
    const QStringList& ports = model.ports();
    if (!portsShown_ || ports != shownPorts_) {
        portsShown_ = true;
        shownPorts_ = ports;
        portPicker_->clear();
        if (ports.isEmpty()) {
            portPicker_->addItem(QStringLiteral("未发现 USB 串口"));
        }
        for (const QString& port : ports) portPicker_->addItem(portDisplayName(port), port);
        portPicker_->setToolTip(QString());
    }
    if (ports.isEmpty()) {
        portPicker_->setCurrentIndex(0);
        return;
    }
    portPicker_->setCurrentIndex(static_cast<int>(ports.indexOf(model.selectedPort())));
    portPicker_->setToolTip(model.selectedPort());
}

void Sidebar::syncConnectButton() {
    const bool connected = model_->connected();
    const QString text = connected ? QStringLiteral("断开连接") : QStringLiteral("连接电源");
    if (connectButton_->text() != text) connectButton_->setText(text);
    const QColor tint = connected ? palette::rgb(0.5, 0.5, 0.5, 0.5) : palette::faded(palette::current(), 0.8);
    ui::styleProminent(connectButton_, tint);
    spinner_->setRunning(model_->busy(), connected ? icons::Symbol::linkPlus : icons::Symbol::link,
                         palette::textOn(tint));
    connectButton_->setEnabled(!model_->busy() && (connected || model_->remote() || !model_->selectedPort().isEmpty()));
}

void Sidebar::toggleConnection() {
    if (model_->connected()) {
        model_->disconnect();
    } else {
        model_->connect();
    }
}

void Sidebar::copyToken() {
    const QString token = model_->apiToken();
    if (token.isEmpty()) return;
    QGuiApplication::clipboard()->setText(token);
}

void Sidebar::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), palette::rgb(1, 1, 1, 0.018));
    p.fillRect(QRect(width() - 1, 0, 1, height()), palette::border());
}

}  // namespace varek
