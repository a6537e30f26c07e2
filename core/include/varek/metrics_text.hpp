#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "varek/device.hpp"
#include "varek/error.hpp"

namespace varek {

/// Everything one scrape reports, gathered without touching the serial line.
struct MetricsSnapshot {
    /// The latest poll succeeded and is recent enough; readings are shown only then.
    bool up = false;
    std::optional<PowerSample> sample;
    DeviceIdentity identity;
    std::string sourceSHA;
    /// Transactions on the port by result label ("ok", "timeout", ...).
    std::map<std::string, std::uint64_t> transactions;
    std::uint64_t reconnects = 0;
    /// HTTP replies by status code.
    std::map<int, std::uint64_t> httpRequests;
    std::size_t scpiConnections = 0;
};

/// The Prometheus label of a transaction's result: "ok" without an error, else the
/// error's case ("timeout", "crc", "exception", "io", "identity_changed", ...).
std::string_view transactionLabel(const std::optional<VarekError>& error) noexcept;
/// Every transaction label, so a counter is exposed before it first counts.
const std::map<std::string, std::uint64_t>& zeroTransactionCounts();
/// The snapshot in the Prometheus text exposition format 0.0.4, HELP and TYPE first.
std::string metricsExposition(const MetricsSnapshot& snapshot);

}  // namespace varek
