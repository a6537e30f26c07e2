#pragma once
// One desktop window over a real model, for every window test: simulated supplies
// on real pseudo-terminals, per-test files in a temporary folder, preferences
// cleared, and the user's moves (find by object name, click, type, wait).
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCoreApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app_shell.hpp"
#include "varek/sim/supply_simulator.hpp"

namespace varek::test {

class WindowFixture : public testing::Test {
protected:
    /// Each test starts from no preferences (refresh rate, trend window, presets, ceilings, recording).
    WindowFixture() { QSettings(QStringLiteral("VAREK"), QStringLiteral("VAREK Studio")).clear(); }

    /// A new simulated supply; the window's port list shows it from now on.
    sim::SupplySimulator& addSupply() {
        sims_.push_back(std::make_unique<sim::SupplySimulator>());
        return *sims_.back();
    }
    /// Servers on loopback port 0, the token under the test's folder, the supplies' ports listed.
    PowerModel::Options options() {
        PowerModel::Options options;
        options.httpPort = 0;
        options.scpiPort = 0;
        options.supportDirectory = dir_.filePath("support").toStdString();
        options.listPorts = [this] {
            std::vector<std::string> paths;
            for (const auto& sim : sims_) paths.push_back(sim->path());
            return paths;
        };
        return options;
    }
    /// Shows the window over a model made with `options`, once it is exposed.
    void open(PowerModel::Options options) {
        app_ = std::make_unique<VarekPowerStudioApp>(std::move(options));
        app_->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&app_->window()));
    }
    void open() { open(options()); }
    /// Shows the window over a bench made from `arguments` (its supplies' servers on
    /// `httpPort`/`scpiPort` and the next ones; 0 lets the system pick each).
    void openBench(QStringList arguments, std::uint16_t httpPort = 0, std::uint16_t scpiPort = 0) {
        PowerModel::Options local = options();
        Bench::Options bench;
        bench.arguments = std::move(arguments);
        bench.httpPort = httpPort;
        bench.scpiPort = scpiPort;
        bench.supportDirectory = std::move(local.supportDirectory);
        bench.listPorts = std::move(local.listPorts);
        app_ = std::make_unique<VarekPowerStudioApp>(std::move(bench));
        app_->window().resize(1400, 920);
        app_->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&app_->window()));
    }

    PowerModel& model() { return app_->model(); }
    StudioWindow& window() { return app_->window(); }
    /// The window's child called `name` (a failure when there is none).
    template <class T>
    T* find(const QString& name) {
        T* child = app_->window().findChild<T*>(name);
        EXPECT_NE(child, nullptr) << name.toStdString();
        return child;
    }
    template <class T>
    T* find(const char* name) { return find<T>(QString::fromUtf8(name)); }
    QString text(const char* name) { return find<QLabel>(name)->text(); }

    /// Clicks an enabled button (a failure when it is disabled).
    void click(QAbstractButton* button) {
        ASSERT_TRUE(button->isEnabled()) << button->objectName().toStdString();
        QTest::mouseClick(button, Qt::LeftButton);
    }
    void click(const char* name) { click(find<QAbstractButton>(name)); }
    /// Types `text` over the field's text, one key event a character (any script).
    void type(QLineEdit* field, const QString& text) {
        field->setFocus();
        field->selectAll();
        for (const QChar c : text) QTest::sendKeyEvent(QTest::Click, field, Qt::Key_unknown, QString(c), Qt::NoModifier);
    }
    void type(const char* field, const QString& text) { type(find<QLineEdit>(field), text); }
    /// Runs the event loop until `condition` holds; false after a generous 30 s.
    static bool waitFor(const std::function<bool()>& condition) { return QTest::qWaitFor(condition, 30000); }

    /// Saves `widget` as `name` under $VAREK_SCREENSHOT_DIR (nothing when unset); an
    /// `overlay` (an alert) is laid over the centre with a title bar, which offscreen lacks.
    static void saveShot(QWidget* widget, const QString& name, QWidget* overlay = nullptr) {
        const QString dir = qEnvironmentVariable("VAREK_SCREENSHOT_DIR");
        if (dir.isEmpty()) return;
        QDir().mkpath(dir);
        QCoreApplication::processEvents();  // pending relayouts of labels that just changed
        QPixmap shot = widget->grab();
        if (overlay) {
            const QPixmap top = overlay->grab();
            QPainter p(&shot);
            p.fillRect(shot.rect(), QColor(0, 0, 0, 90));
            const QRect body((shot.width() - top.width()) / 2, shot.height() / 3, top.width(), top.height());
            const QRect bar(body.left(), body.top() - 28, body.width(), 28);
            p.fillRect(bar, QColor(38, 44, 54));
            p.setPen(QColor(230, 234, 240));
            p.drawText(bar, Qt::AlignCenter, overlay->windowTitle());
            p.drawPixmap(body.topLeft(), top);
        }
        ASSERT_TRUE(shot.save(QDir(dir).filePath(name)));
    }

    QTemporaryDir dir_;
    std::vector<std::unique_ptr<sim::SupplySimulator>> sims_;
    std::unique_ptr<VarekPowerStudioApp> app_;
};

}  // namespace varek::test
