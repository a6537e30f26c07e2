// Feeds arbitrary bytes to the two automation body parsers (profiles and setpoint
// requests): they may only refuse with VarekError::invalid, and whatever they accept
// must keep the limits that the runner and the supply rely on. The editor's check
// must agree with the parser, and a plan's time must never run backwards.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <variant>

#include "varek/error.hpp"
#include "varek/http.hpp"
#include "varek/setpoints.hpp"
#include "varek/sequence_plan.hpp"
#include "varek/sequence_profile.hpp"

namespace {

using namespace varek;

const SafetyCeilings ceilings{1200, 500};

void checkProfile(const SequenceProfile& profile) {
    if (profile.name.empty() || profile.name.size() > SequenceProfile::nameLimit) std::abort();
    if (profile.steps.empty() || profile.steps.size() > SequenceProfile::stepLimit) std::abort();
    const auto longest = std::chrono::milliseconds(static_cast<long long>(SequenceProfile::durationLimit * 1000));
    for (const SequenceStep& step : profile.steps) {
        if (step.voltage && *step.voltage > ceilings.voltageCenti) std::abort();
        if (step.current && *step.current > ceilings.currentCenti) std::abort();
        if (step.ramp.count() < 0 || step.ramp > longest || step.hold.count() < 0 || step.hold > longest) std::abort();
        if (step.until && step.hold.count() == 0) std::abort();
        // Progress bodies carry the name: it must serialise.
        (void)apiJson(Json{{"name", profile.name}});
    }
}

void checkPlan(const SequenceProfile& profile) {
    const SequencePlan plan = SequencePlan::of(profile);
    if (plan.steps.size() != profile.steps.size() || plan.points.empty()) std::abort();
    for (std::size_t i = 1; i < plan.points.size(); ++i) {
        if (plan.points[i].time < plan.points[i - 1].time) std::abort();
    }
    if (plan.points.back().time != plan.total) std::abort();
}

/// `check` accepts what `parse` accepts and refuses with the same message otherwise.
void checkAgreement(std::string_view bytes) {
    const ProfileCheck checked = SequenceProfile::check(bytes, ceilings);
    try {
        const SequenceProfile parsed = SequenceProfile::parse(bytes, ceilings);
        if (!std::holds_alternative<SequenceProfile>(checked) || std::get<SequenceProfile>(checked) != parsed) {
            std::abort();
        }
        checkPlan(parsed);
    } catch (const VarekError& error) {
        const auto* refusal = std::get_if<ProfileRefusal>(&checked);
        if (!refusal || refusal->message != error.text()) std::abort();
        if (refusal->step && *refusal->step >= SequenceProfile::stepLimit) std::abort();
    }
}

template <typename Parse>
void expectOnlyInvalid(Parse parse) {
    try {
        parse();
    } catch (const VarekError& error) {
        if (error.kind() != VarekError::Case::invalid || error.text().empty()) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    expectOnlyInvalid([&] { checkProfile(SequenceProfile::parse(bytes, ceilings)); });
    checkAgreement(bytes);
    expectOnlyInvalid([&] {
        const SetpointRequest request = SetpointRequest::parse(bytes, ceilings);
        if (!request.voltage && !request.current) std::abort();
        if (request.voltage.value_or(0) > ceilings.voltageCenti || request.current.value_or(0) > ceilings.currentCenti) {
            std::abort();
        }
    });
    return 0;
}
