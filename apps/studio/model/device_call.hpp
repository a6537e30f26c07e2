#pragma once

// How the desktop model's parts reach their supply: session work runs on the engine's
// device thread, and its outcome comes back to the GUI thread.

#include <QCoreApplication>
#include <QObject>
#include <QPointer>
#include <QString>

#include <exception>
#include <functional>
#include <optional>
#include <utility>

#include "varek/error.hpp"
#include "varek/safety_ceilings.hpp"
#include "varek/supply_engine.hpp"

namespace varek::detail {

/// The result of one session operation: a value or the error that ended it.
template <typename T>
struct Outcome {
    std::optional<T> value;
    std::optional<VarekError> error;
    /// Set with `error` when a ceiling refused the write before anything was sent.
    std::optional<CeilingBreach> refused;
};

/// Runs `operation`, turning any exception into the error of the outcome.
template <typename F>
auto attempt(F&& operation) -> Outcome<decltype(operation())> {
    try {
        return {operation(), std::nullopt, std::nullopt};
    } catch (const CeilingRefused& e) {
        return {std::nullopt, VarekError::invalid(e.breach().alert()), e.breach()};
    } catch (const VarekError& e) {
        return {std::nullopt, e, std::nullopt};
    } catch (const std::exception& e) {
        return {std::nullopt, VarekError::io(e.what()), std::nullopt};
    }
}

/// Runs `work` on `owner`'s thread if `owner` still exists then. The hop goes through
/// the application object, which outlives every owner.
inline void hop(const QPointer<QObject>& owner, std::function<void()> work) {
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [owner, work = std::move(work)] {
            if (owner) work();
        },
        Qt::QueuedConnection);
}

/// Runs `work` (returning an Outcome) on `engine`'s device thread, then `done(outcome)`
/// on `owner`'s thread, dropped when `owner` is gone. Work that never gets its turn
/// (the engine closed) ends as "串口已断开。".
template <typename Work, typename Done>
void onDevice(SupplyEngine& engine, QObject* owner, Work work, Done done) {
    using Result = decltype(work());
    const QPointer<QObject> guard(owner);
    auto job = [guard, work = std::move(work), done](bool run) mutable {
        Result result{std::nullopt, VarekError::disconnected(), std::nullopt};
        if (run) result = work();
        hop(guard, [done, result] { done(result); });
    };
    if (!engine.post(job)) job(false);
}

/// A decimal integer: an optional sign, then digits only (no spaces, not empty).
inline std::optional<long long> parseDecimal(const QString& text) {
    qsizetype i = 0;
    const bool negative = !text.isEmpty() && text[0] == QLatin1Char('-');
    if (!text.isEmpty() && (text[0] == QLatin1Char('+') || negative)) i = 1;
    if (i == text.size()) return std::nullopt;
    long long value = 0;
    for (; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c < u'0' || c > u'9') return std::nullopt;
        if (value > 1'000'000'000) return std::nullopt;  // far beyond any value we accept
        value = value * 10 + (c - u'0');
    }
    return negative ? -value : value;
}

/// The description of `error` as a QString.
inline QString text(const VarekError& error) { return QString::fromStdString(error.description()); }

}  // namespace varek::detail
