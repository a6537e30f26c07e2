#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "varek/device.hpp"

namespace varek {

/// What recording reports to its owner, who words it.
struct RecorderEvent {
    enum class Kind { paused, resumed };
    Kind kind = Kind::paused;
    /// The file concerned.
    std::filesystem::path file;
    /// The system's description of the failure (paused), else empty.
    std::string reason;
};

/// Appends samples to one CSV file per UTC day, DIR/varek-<serial>-<YYYY-MM-DD>.csv,
/// in the desktop export's format. Append-only: a file is never rewritten, only a
/// row torn by a crash is cut off before appending. Follows the name, not the open
/// file: once renamed, removed or replaced, the name is opened again. Not
/// thread-safe: one caller.
class SampleRecorder {
public:
    struct Options {
        std::filesystem::path directory;
        std::uint32_t serial = 0;
        /// Files of this serial dated more than this many days before today are deleted.
        std::optional<int> keepDays;
        /// "Now" for syncing, retrying and pruning (a test seam).
        std::function<Timestamp()> clock = [] { return SystemClock::now(); };
        std::chrono::milliseconds syncInterval{1000};
        std::chrono::milliseconds retryDelay{3000};
        /// How often the open file is compared with the file at its name.
        std::chrono::milliseconds checkInterval{1000};
    };

    explicit SampleRecorder(Options options);
    /// Syncs and closes the open file.
    ~SampleRecorder();
    SampleRecorder(const SampleRecorder&) = delete;
    SampleRecorder& operator=(const SampleRecorder&) = delete;

    /// Appends one whole, flushed row to the file of the sample's UTC day (header
    /// first when the file is new). While paused, samples are dropped until the retry
    /// delay has passed. Reports a change between recording and paused, and a file
    /// opened again at its name after the open one was moved away (resumed).
    std::optional<RecorderEvent> record(const PowerSample& sample);
    /// Syncs the open file to disk now.
    void sync() noexcept;
    /// True while the last attempt failed.
    bool paused() const noexcept { return paused_; }
    /// The file of `day` ("YYYY-MM-DD").
    std::filesystem::path fileFor(const std::string& day) const;

    /// Cuts a torn last row off the file at `path` (nothing after its last newline
    /// survives). Returns the resulting length; throws VarekError::io on failure.
    static std::uintmax_t repair(const std::filesystem::path& path);

private:
    void openDay(const std::string& day);
    bool followName(Timestamp now);
    void append(const std::string& text);
    void close() noexcept;
    void prune(const std::string& today);
    std::optional<RecorderEvent> fail(std::filesystem::path file, const std::string& reason);

    Options options_;
    int descriptor_ = -1;
    std::string day_;
    std::uintmax_t size_ = 0;
    bool paused_ = false;
    bool dirty_ = false;
    Timestamp lastSync_{};
    Timestamp retryAt_{};
    std::int64_t checkSlot_ = -1;
};

}  // namespace varek
