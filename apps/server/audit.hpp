#pragma once

#include <string>

#include "varek/device.hpp"
#include "varek/format.hpp"

namespace varek {

/// One audit line for a write made for a client: when, over which channel, from
/// where, what was asked and whether the supply confirmed it. Under systemd these
/// lines are the journal a lab reads when it asks who changed the output.
inline std::string auditLine(const std::string& channel, const std::string& client, const std::string& asked,
                             bool confirmed, const std::string& why = {}) {
    std::string line = "Audit " + iso8601Millis(SystemClock::now()) + " " + channel + " " +
                       (client.empty() ? "-" : client) + " " + asked + ": " +
                       (confirmed ? "confirmed" : "not confirmed");
    if (!confirmed && !why.empty()) line += " (" + why + ")";
    return line;
}

}  // namespace varek
