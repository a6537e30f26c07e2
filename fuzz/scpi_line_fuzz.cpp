// Lines from the network straight into the processor. The session was never
// connected, so every device command fails fast instead of waiting on a port, and
// leaves "Device operation failed" behind: a line the server would answer on its io
// thread (needsDevice false) must never leave it, or that thread would wait on the supply.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "varek/device.hpp"
#include "varek/error.hpp"
#include "varek/scpi_instrument.hpp"
#include "varek/serial_session.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static varek::SerialSession session;
    // One instrument across inputs, so the error queue's limits are exercised too.
    static varek::SCPIInstrument instrument(
        session, varek::DeviceIdentity{varek::DeviceIdentity::supportedModel, 12345, 1.23});
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    if (auto reply = instrument.process(text)) {
        if (reply->empty() || reply->back() != '\n') __builtin_trap();
    }
    if (instrument.errors().size() > varek::SCPIInstrument::errorQueueLimit) __builtin_trap();

    if (!varek::SCPIInstrument::needsDevice(text)) {
        varek::SCPIInstrument fresh(session, varek::DeviceIdentity{varek::DeviceIdentity::supportedModel, 1, 1.0});
        const std::string reply = fresh.process(text).value_or("");
        const auto errors = fresh.errors();
        // Past the queue's limit a device failure could have been dropped unseen.
        if (errors.size() < varek::SCPIInstrument::errorQueueLimit - 1) {
            bool touched = reply.find("Device operation failed") != std::string::npos;
            for (const auto& entry : errors) touched = touched || entry.message == "Device operation failed";
            if (touched) __builtin_trap();
        }
    }

    const std::string header = varek::SCPIInstrument::normalize(text);
    if (header.find("::") != std::string::npos || (!header.empty() && header.front() == ':')) {
        __builtin_trap();
    }
    try {
        using varek::Supply::voltageCentiMax, varek::Supply::voltageMax;
        if (varek::SCPIInstrument::centi(text, 'V', voltageMax) > voltageCentiMax) __builtin_trap();
    } catch (const varek::SCPIError&) {
    } catch (const varek::VarekError&) {
    }
    return 0;
}
