#include "varek/sample_recorder.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
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

/// "YYYY-MM-DD" when `name` is "varek-<serial>-YYYY-MM-DD.csv", else empty.
std::string dayOf(const std::string& name, const std::string& prefix) {
    constexpr std::size_t dateLength = 10;
    if (name.size() != prefix.size() + dateLength + 4 || !name.starts_with(prefix) || !name.ends_with(".csv")) {
        return {};
    }
    return name.substr(prefix.size(), dateLength);
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
    if (paused_ && now < retryAt_) return std::nullopt;
    const std::string day = utcDate(sample.time);
    try {
        if (descriptor_ < 0 || day != day_) openDay(day);
        append(SampleCsv::row(sample));
    } catch (const VarekError& error) {
        return fail(error.description());
    }
    if (now - lastSync_ >= options_.syncInterval) {
        sync();
        lastSync_ = now;
    }
    if (!paused_) return std::nullopt;
    paused_ = false;
    return RecorderEvent{RecorderEvent::Kind::resumed, fileFor(day_), {}};
}

void SampleRecorder::sync() noexcept {
    if (descriptor_ >= 0 && dirty_) ::fdatasync(descriptor_);
    dirty_ = false;
}

void SampleRecorder::openDay(const std::string& day) {
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
        std::error_code ignored;
        if (!day.empty() && day < oldestKept && day != today) std::filesystem::remove(it->path(), ignored);
    }
}

std::optional<RecorderEvent> SampleRecorder::fail(const std::string& reason) {
    const auto file = day_.empty() ? options_.directory : fileFor(day_);
    close();
    retryAt_ = options_.clock() + options_.retryDelay;
    if (paused_) return std::nullopt;
    paused_ = true;
    return RecorderEvent{RecorderEvent::Kind::paused, file, reason};
}

}  // namespace varek
