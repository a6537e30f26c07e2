#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace varek {

/// The options of varek-server for leaving it running: listen address, polling,
/// recording and metrics.
struct ServiceOptions {
    static constexpr std::string_view anyAddress = "0.0.0.0";

    std::string bindAddress{anyAddress};
    std::optional<int> pollHertz;
    std::optional<std::filesystem::path> recordDirectory;
    std::optional<int> recordDays;
    std::optional<std::uint16_t> metricsPort;

    /// The poller's rate: --poll, else 1 Hz when recording or metrics need samples.
    std::optional<int> pollRate() const {
        if (pollHertz) return pollHertz;
        if (recordDirectory || metricsPort) return 1;
        return std::nullopt;
    }
};

/// Nothing when `name` is not one of these options; else whether `value` was valid
/// (and then applied: the last one wins).
std::optional<bool> applyServiceOption(ServiceOptions& options, std::string_view name, std::string_view value);

}  // namespace varek
