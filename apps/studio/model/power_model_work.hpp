#pragma once

// Internal helpers of PowerModel's sources: running session work off the GUI thread
// and carrying its outcome back.

#include <QObject>
#include <QString>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <exception>
#include <optional>
#include <utility>

#include "varek/error.hpp"
#include "varek/safety_ceilings.hpp"

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

/// Runs `work` on `pool` and then `done(result)` on `context`'s thread; the
/// continuation is dropped when `context` no longer exists.
template <typename Work, typename Done>
void runThen(QThreadPool& pool, QObject* context, Work work, Done done) {
    QtConcurrent::run(&pool, std::move(work)).then(context, std::move(done));
}

}  // namespace varek::detail
