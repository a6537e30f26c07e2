#pragma once

#include <cstddef>
#include <filesystem>
#include <span>
#include <string>

namespace varek::platform {

/// The per-user application-support directory: $XDG_DATA_HOME, else
/// $HOME/.local/share (macOS: $HOME/Library/Application Support). Not created.
std::filesystem::path applicationSupportDirectory();
/// Fills `out` from the operating system's cryptographic generator; false on failure.
bool secureRandom(std::span<std::byte> out) noexcept;
/// The source revision stamped at build time, or "development" when none was.
std::string sourceSHA();
/// Names the calling thread (cut to the 15 bytes Linux allows).
void nameThisThread(const std::string& name) noexcept;
/// Blocks SIGINT and SIGTERM in the calling thread. Called first thing in main, so
/// every thread started later inherits the mask and neither default action can run
/// (Linux discards a signal that is merely ignored, so they are blocked and taken).
void blockShutdownSignals() noexcept;
/// Waits for SIGINT or SIGTERM, which must be blocked, and returns which arrived.
int waitForShutdownSignal() noexcept;

}  // namespace varek::platform
