#pragma once

#include "varek/device.hpp"
#include "varek/supply_api.hpp"
#include "varek/supply_engine.hpp"

namespace varek {

/// varek-server's part of its supply's API: the ten-key status body, read afresh for
/// each request, and the same body, verified, after a confirmed write.
SupplyApi::Policy serverPolicy(SupplyEngine& engine, const DeviceIdentity& identity);

}  // namespace varek
