#pragma once

#include <string>

#include "varek/http.hpp"

namespace varek {

/// varek-server's 502: the write or its read-back failed; `message` says why.
inline ControlHTTPReply notConfirmed(const std::string& message) {
    return ControlHTTPReply(502, Json{{"ok", false},
                                      {"verified", false},
                                      {"error", "device_confirmation_failed"},
                                      {"message", message}});
}

/// varek-server's 503. The failure's text stays on the server: clients only learn
/// that the supply is away.
inline ControlHTTPReply unavailable() {
    return ControlHTTPReply(503, Json{{"ok", false}, {"connected", false}, {"error", "power_supply_unavailable"}});
}

}  // namespace varek
