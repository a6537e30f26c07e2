#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "varek/device.hpp"
#include "varek/safety_ceilings.hpp"

namespace varek {

/// A threshold on a measured value that ends a step's hold early.
struct StepCondition {
    enum class Quantity { current, voltage };
    Quantity quantity = Quantity::current;
    bool below = true;  ///< met while the reading is below (else above) the threshold
    double threshold = 0;

    /// True when `sample`'s measured value is strictly beyond the threshold.
    bool met(const PowerSample& sample) const noexcept;
    friend bool operator==(const StepCondition&, const StepCondition&) = default;
};

/// One validated step: setpoints (hundredths) reached at once or by a ramp, an
/// optional output switch, then a hold that a condition may end early.
struct SequenceStep {
    std::optional<std::uint16_t> voltage;
    std::optional<std::uint16_t> current;
    std::chrono::milliseconds ramp{0};
    std::optional<bool> output;
    std::chrono::milliseconds hold{0};
    std::optional<StepCondition> until;

    friend bool operator==(const SequenceStep&, const SequenceStep&) = default;
};

/// A timed profile, validated whole before anything runs.
struct SequenceProfile {
    static constexpr std::size_t sizeLimit = 4096;
    static constexpr std::size_t stepLimit = 100;
    static constexpr std::size_t nameLimit = 100;
    /// Longest ramp or hold of one step.
    static constexpr double durationLimit = 86400;

    std::string name;
    bool offAtEnd = false;  ///< "on_end": "off"
    std::vector<SequenceStep> steps;

    /// Parses and validates JSON text of at most sizeLimit bytes. Throws
    /// VarekError::invalid with a message naming the field, and "step N" (from 1)
    /// for an error inside a step.
    static SequenceProfile parse(std::string_view text, const SafetyCeilings& ceilings = {});
};

}  // namespace varek
