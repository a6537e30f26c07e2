#pragma once

#include <map>
#include <string>

#include "varek/control_server.hpp"

namespace varek {

/// Where the dashboard's files are served, without a token.
inline constexpr std::string_view dashboardPrefix = "/ui/";

/// The dashboard's files built into the program, by request path, with their
/// content types; "/ui/" is the page itself.
std::map<std::string, ControlServer::StaticFile> dashboardFiles();

}  // namespace varek
