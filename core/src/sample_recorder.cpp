#include "varek/sample_recorder.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <string_view>
#include <system_error>

#include "varek/error.hpp"
#include "varek/format.hpp"
#include "varek/sample_csv.hpp"

namespace varek {
namespace {

constexpr std::size_t tailChunk = 4096;

/// Closes a descriptor on every path out of a scope.
struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

/// True when `text` is a real calendar date written "YYYY-MM-DD".
bool isDate(std::string_view text) {
    constexpr std::string_view shape = "dddd-dd-dd";
    if (text.size() != shape.size()) return false;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (shape[i] == 'd' ? !digit : text[i] != shape[i]) return false;
    }
    const auto number = [&](std::size_t at, std::size_t length) {
        int value = 0;
        for (std::size_t i = at; i < at + length; ++i) value = value * 10 + (text[i] - '0');
        return value;
    };
    const std::chrono::year_month_day date{std::chrono::year(number(0, 4)),
                                           std::chrono::month(static_cast<unsigned>(number(5, 2))),
                                           std::chrono::day(static_cast<unsigned>(number(8, 2)))};
    return date.ok();
}

/// "YYYY-MM-DD" when `name` is exactly "<prefix>YYYY-MM-DD.csv" with a real date, else
/// empty: retention deletes by this answer, so anything else in the directory is kept.
std::string dayOf(std::string_view name, std::string_view prefix) {
    constexpr std::string_view suffix = ".csv";
    if (name.size() < prefix.size() + suffix.size() || !name.starts_with(prefix) || !name.ends_with(suffix)) return {};
    const auto day = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    return isDate(day) ? std::string(day) : std::string();
}

/// Opens a recording file without following a link and without blocking (a FIFO
/// planted at the path would otherwise hang the recorder); anything but a regular
/// file is refused, so nothing is ever written through a link or into a device.
int openRecording(const std::filesystem::path& path, int flags) {
    const int fd = ::open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) return fd;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

}  // namespace

SampleRecorder::SampleRecorder(Options options) : options_(std::move(options)) {}

SampleRecorder::~SampleRecorder() { close(); }

std::filesystem::path SampleRecorder::fileFor(const std::string& day) const {
    return options_.directory / ("varek-" + std::to_string(options_.serial) + "-" + day + ".csv");
}

std::uintmax_t SampleRecorder::repair(const std::filesystem::path& path) {
    Descriptor file{openRecording(path, O_RDWR)};
    if (file.fd < 0) {
        if (errno == ENOENT) return 0;
        throw VarekError::ioErrno("无法打开记录文件", errno);
    }
    struct stat info {};
    if (::fstat(file.fd, &info) != 0) throw VarekError::ioErrno("无法读取记录文件", errno);
    const auto size = static_cast<std::uintmax_t>(info.st_size);
    // Walk back from the end a chunk at a time until a newline turns up: rows are
    // short, so this reads one chunk unless the file holds no newline at all.
    std::uintmax_t end = size;
    std::uintmax_t keep = 0;
    std::array<char, tailChunk> buffer{};
    while (end > 0) {
        const std::uintmax_t start = end > tailChunk ? end - tailChunk : 0;
        const auto length = static_cast<std::size_t>(end - start);
        const ssize_t n = ::pread(file.fd, buffer.data(), length, static_cast<off_t>(start));
        if (n != static_cast<ssize_t>(length)) throw VarekError::ioErrno("无法读取记录文件", n < 0 ? errno : EIO);
        if (const std::size_t whole = SampleCsv::wholeLines({buffer.data(), length})) {
            keep = start + whole;
            break;
        }
        end = start;
    }
    if (keep != size && ::ftruncate(file.fd, static_cast<off_t>(keep)) != 0) {
        throw VarekError::ioErrno("无法修复记录文件", errno);
    }
    return keep;
}

std::optional<RecorderEvent> SampleRecorder::record(const PowerSample& sample) {
    const Timestamp now = options_.clock();
    // A retry time far ahead can only come from a clock set back: retry now.
    if (paused_ && now < retryAt_ && retryAt_ - now <= options_.retryDelay) return std::nullopt;
    const std::string day = utcDate(sample.time);
    bool reopened = false;
    try {
        if (descriptor_ >= 0 && day == day_) reopened = followName(now);
        if (descriptor_ < 0 || day != day_) openDay(day);
        append(SampleCsv::row(sample));
    } catch (const VarekError& error) {
        return fail(fileFor(day), error.description());
    }
    if (now - lastSync_ >= options_.syncInterval) {
        sync();
        lastSync_ = now;
    }
    if (!paused_ && !reopened) return std::nullopt;
    paused_ = false;
    return RecorderEvent{RecorderEvent::Kind::resumed, fileFor(day_), {}};
}

bool SampleRecorder::followName(Timestamp now) {
    // Once per interval of the clock (a clock set back counts as a new interval): two
    // stats, so a row written at 10 Hz pays for them once a second only.
    const auto slot = now.time_since_epoch() / std::max(options_.checkInterval, std::chrono::milliseconds(1));
    if (slot == checkSlot_) return false;
    checkSlot_ = slot;
    const std::string day = day_;
    struct stat open {};
    struct stat named {};
    const bool same = ::fstat(descriptor_, &open) == 0 && open.st_nlink > 0 &&
                      ::lstat(fileFor(day).c_str(), &named) == 0 && named.st_dev == open.st_dev &&
                      named.st_ino == open.st_ino;
    if (same && static_cast<std::uintmax_t>(open.st_size) == size_) return false;
    // Renamed (a log rotator), removed with or without its directory, or replaced: the
    // name is opened again as at the start of a day. A file whose length changed under
    // us (cut short by copytruncate) is reopened too: it starts with a header again,
    // and a torn write is never rolled back to a length the file no longer has.
    openDay(day);
    return !same;
}

void SampleRecorder::sync() noexcept {
    if (descriptor_ >= 0 && dirty_) ::fdatasync(descriptor_);
    dirty_ = false;
}

void SampleRecorder::openDay(const std::string& day) {
    // The directory and the file are made as at start whenever they are missing; the
    // directory's own path is followed (a link there is the owner's choice of place),
    // the file's name never is.
    close();
    std::error_code error;
    std::filesystem::create_directories(options_.directory, error);
    if (error) throw VarekError::io("无法创建记录目录：" + error.message());
    const auto path = fileFor(day);
    repair(path);
    descriptor_ = openRecording(path, O_WRONLY | O_CREAT | O_APPEND);
    if (descriptor_ < 0) throw VarekError::ioErrno("无法打开记录文件", errno);
    struct stat info {};
    if (::fstat(descriptor_, &info) != 0) throw VarekError::ioErrno("无法读取记录文件", errno);
    size_ = static_cast<std::uintmax_t>(info.st_size);
    day_ = day;
    if (size_ == 0) append(std::string(SampleCsv::header));
    prune(day);
}

void SampleRecorder::append(const std::string& text) {
    for (std::size_t written = 0; written < text.size();) {
        const ssize_t n = ::write(descriptor_, text.data() + written, text.size() - written);
        if (n > 0) {
            written += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        const int cause = n < 0 ? errno : ENOSPC;
        // A row that went out in part (disk full, size limit) is taken back, so the
        // file keeps only whole rows.
        if (written > 0 && ::ftruncate(descriptor_, static_cast<off_t>(size_)) != 0) {
            throw VarekError::ioErrno("无法写入记录文件", errno);
        }
        throw VarekError::ioErrno("无法写入记录文件", cause);
    }
    size_ += text.size();
    dirty_ = true;
}

void SampleRecorder::close() noexcept {
    if (descriptor_ < 0) return;
    sync();
    ::close(descriptor_);
    descriptor_ = -1;
    day_.clear();
}

void SampleRecorder::prune(const std::string& today) {
    if (!options_.keepDays) return;
    const std::string oldestKept = utcDate(options_.clock() - std::chrono::hours(24) * *options_.keepDays);
    const std::string prefix = "varek-" + std::to_string(options_.serial) + "-";
    std::error_code error;
    for (std::filesystem::directory_iterator it(options_.directory, error), end; !error && it != end;
         it.increment(error)) {
        const std::string day = dayOf(it->path().filename().string(), prefix);
        if (day.empty() || day >= oldestKept || day == today) continue;
        std::error_code ignored;
        if (it->symlink_status(ignored).type() == std::filesystem::file_type::regular) {
            std::filesystem::remove(it->path(), ignored);
        }
    }
}

std::optional<RecorderEvent> SampleRecorder::fail(std::filesystem::path file, const std::string& reason) {
    close();
    retryAt_ = options_.clock() + options_.retryDelay;
    if (paused_) return std::nullopt;
    paused_ = true;
    return RecorderEvent{RecorderEvent::Kind::paused, std::move(file), reason};
}

}  // namespace varek
