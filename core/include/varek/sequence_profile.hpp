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
    /// The measured value compared: current_A or voltage_V.
    enum class Quantity { current, voltage };
    Quantity quantity = Quantity::current;
    bool below = true;  ///< met while the reading is below (else above) the threshold
    double threshold = 0;  ///< amperes or volts

    /// True when `sample`'s measured value is strictly beyond the threshold.
    bool met(const PowerSample& sample) const noexcept;
    friend bool operator==(const StepCondition&, const StepCondition&) = default;
};

/// One validated step: setpoints (hundredths) reached at once or by a ramp, an
/// optional output switch, then a hold that a condition may end early.
struct SequenceStep {
    std::optional<std::uint16_t> voltage;  ///< voltage setpoint, hundredths of a volt
    std::optional<std::uint16_t> current;  ///< current limit, hundredths of an ampere
    std::chrono::milliseconds ramp{0};     ///< 0: the setpoints are written at once
    std::optional<bool> output;            ///< switched after the setpoints
    std::chrono::milliseconds hold{0};     ///< after the ramp; the time limit of `until`
    std::optional<StepCondition> until;

    friend bool operator==(const SequenceStep&, const SequenceStep&) = default;
};

/// A timed profile, validated whole before anything runs.
struct SequenceProfile {
    /// Longest profile text in bytes (the HTTP body limit).
    static constexpr std::size_t sizeLimit = 4096;
    /// Most steps and longest name accepted.
    static constexpr std::size_t stepLimit = 100;
    static constexpr std::size_t nameLimit = 100;
    /// Longest ramp or hold of one step.
    static constexpr double durationLimit = 86400;

    std::string name;       ///< 1 to nameLimit bytes of UTF-8
    bool offAtEnd = false;  ///< "on_end": "off"
    std::vector<SequenceStep> steps;  ///< 1 to stepLimit steps
    /// The ceilings the steps were validated against; a ramp never starts above them.
    SafetyCeilings ceilings;

    /// Parses and validates JSON text of at most sizeLimit bytes. Throws
    /// VarekError::invalid with a message naming the field, and "step N" (from 1)
    /// for an error inside a step.
    static SequenceProfile parse(std::string_view text, const SafetyCeilings& ceilings = {});
};

}  // namespace varek
