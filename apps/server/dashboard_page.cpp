#include "dashboard_page.hpp"

#include <string_view>

namespace varek {
namespace ui {
// Generated at build time from apps/server/ui/ (cmake/EmbedFiles.cmake).
const std::map<std::string, std::string_view>& embeddedFiles();
}  // namespace ui

std::map<std::string, ControlServer::StaticFile> dashboardFiles() {
    std::map<std::string, ControlServer::StaticFile> files;
    for (const auto& [name, body] : ui::embeddedFiles()) {
        files[std::string(dashboardPrefix) + name] = {StaticHTTPReply::contentTypeFor(name), body};
    }
    files[std::string(dashboardPrefix)] = files.at(std::string(dashboardPrefix) + "index.html");
    return files;
}

}  // namespace varek
