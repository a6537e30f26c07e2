#pragma once

#include <string>
#include <string_view>

#include "varek/protocol.hpp"
#include "varek/sim/supply_simulator.hpp"

namespace varek::sim {

/// What the varek-sim command line asks for.
struct ProgramOptions {
    SimulatorOptions simulator;
    std::string linkPath;
    std::string logPath;
};

/// Parses varek-sim's options; false on anything unknown, missing or out of range.
bool parseOptions(int argc, char** argv, ProgramOptions& options);
/// Runs one control line against `simulator`: "ok", a value, or "error: <reason>".
std::string runCommand(SupplySimulator& simulator, std::string_view line);
/// Upper-case hex bytes separated by single spaces ("01 03 00 04").
std::string hexLine(ByteView bytes);

}  // namespace varek::sim
