#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
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

/// Why a profile text is refused, and where, so that an editor can mark the place.
struct ProfileRefusal {
    std::string message;              ///< the text `SequenceProfile::parse` throws
    std::optional<std::size_t> step;  ///< the step the message names, from 0
    /// The field the message is about ("name", "voltage_V", "until", "until.current_below_A", ...);
    /// empty when it names none (not JSON, too large, or a step that is not an object).
    std::string field;

    friend bool operator==(const ProfileRefusal&, const ProfileRefusal&) = default;
};

struct SequenceProfile;
/// A validated profile, or why it is refused.
using ProfileCheck = std::variant<SequenceProfile, ProfileRefusal>;

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
    /// The same validation without throwing: the profile, or the refusal `parse` would
    /// throw with the step and field it names.
    static ProfileCheck check(std::string_view text, const SafetyCeilings& ceilings = {});

    friend bool operator==(const SequenceProfile&, const SequenceProfile&) = default;
};

}  // namespace varek
