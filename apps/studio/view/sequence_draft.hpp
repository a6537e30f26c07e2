#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace varek {

/// One row of the step editor as typed: cells stay text until they validate, so an
/// invalid value can be shown, marked and corrected where it was entered.
struct StepDraft {
    /// The output switch after the setpoints.
    enum class Output { unchanged, on, off };
    /// The end condition of the hold.
    enum class Until { none, currentBelow, currentAbove, voltageBelow, voltageAbove };

    std::string voltage;  ///< volts; empty keeps the setpoint in force
    std::string current;  ///< amperes; empty keeps the limit in force
    std::string ramp;     ///< seconds; empty for none
    Output output = Output::unchanged;
    std::string hold;     ///< seconds; empty for none
    Until until = Until::none;
    std::string threshold;  ///< the condition's value; ignored without a condition

    friend bool operator==(const StepDraft&, const StepDraft&) = default;
};

/// The profile being edited: its name, end behaviour and rows.
struct ProfileDraft {
    std::string name;
    bool offAtEnd = true;  ///< "on_end": "off"
    std::vector<StepDraft> steps;

    /// The profile file in the server's JSON format, one step a line. A cell that is not
    /// a number is written as a string, so that validation refuses it with its own message.
    std::string text() const;
    /// The draft a profile file shows: every valid profile, and every file this editor
    /// wrote, valid or not (a cell's text comes back as it was). None for JSON the table
    /// cannot show (unknown fields, a step that is not an object, ...). Saving the draft
    /// again gives the same profile.
    static std::optional<ProfileDraft> read(std::string_view text);

    friend bool operator==(const ProfileDraft&, const ProfileDraft&) = default;
};

/// The JSON key of a condition ("current_below_A", ...); empty for none.
std::string_view untilKey(StepDraft::Until until);

}  // namespace varek
