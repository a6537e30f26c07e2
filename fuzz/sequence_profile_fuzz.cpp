// Feeds arbitrary bytes to the two automation body parsers (profiles and setpoint
// requests): they may only refuse with VarekError::invalid, and whatever they accept
// must keep the limits that the runner and the supply rely on.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "varek/automation_api.hpp"
#include "varek/error.hpp"
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
    expectOnlyInvalid([&] {
        const SetpointRequest request = SetpointRequest::parse(bytes, ceilings);
        if (!request.voltage && !request.current) std::abort();
        if (request.voltage.value_or(0) > ceilings.voltageCenti || request.current.value_or(0) > ceilings.currentCenti) {
            std::abort();
        }
    });
    return 0;
}
