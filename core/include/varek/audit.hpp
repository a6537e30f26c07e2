#pragma once

#include <string>

#include "varek/device.hpp"
#include "varek/format.hpp"

namespace varek {

/// Who asked for a write and what: "<channel> <client or -> <asked>". The same words
/// attribute a write that takes effect late (SerialSession::WriteAttribution).
inline std::string auditSubject(const std::string& channel, const std::string& client, const std::string& asked) {
    return channel + " " + (client.empty() ? "-" : client) + " " + asked;
}

/// One audit line for a write made for a client: when, over which channel, from
/// where, what was asked and whether the supply confirmed it. Under systemd these
/// lines are the journal a lab reads when it asks who changed the output.
inline std::string auditLine(const std::string& channel, const std::string& client, const std::string& asked,
                             bool confirmed, const std::string& why = {}) {
    std::string line = "Audit " + iso8601Millis(SystemClock::now()) + " " + auditSubject(channel, client, asked) +
                       ": " + (confirmed ? "confirmed" : "not confirmed");
    if (!confirmed && !why.empty()) line += " (" + why + ")";
    return line;
}

/// The second line for a write reported not confirmed (its reply timed out) that a
/// later read showed to have taken effect after all.
inline std::string lateAuditLine(const std::string& subject) {
    return "Audit " + iso8601Millis(SystemClock::now()) + " " + (subject.empty() ? "- - write" : subject) +
           ": took effect late";
}

}  // namespace varek
