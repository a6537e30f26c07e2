#pragma once

#include <nlohmann/json.hpp>

namespace varek {

/// JSON values: objects keep their keys sorted, so every body and file is written the same way.
using Json = nlohmann::json;

}  // namespace varek
