#include "varek/serial_session.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <optional>
#include <string_view>
#include <utility>

namespace varek {
namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr std::size_t readChunk = 512;
constexpr int shortestWaitMs = 1;
constexpr int longestWaitMs = 100;

#if defined(__APPLE__)
constexpr std::string_view firstGroup = "cu.usbserial";
constexpr std::string_view secondGroup = "cu.usbmodem";
#else
constexpr std::string_view firstGroup = "ttyUSB";
constexpr std::string_view secondGroup = "ttyACM";
#endif

std::optional<speed_t> lineSpeed(int baud) {
    switch (baud) {
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return std::nullopt;
    }
}

/// 0 for a USB serial adapter, 1 for a USB modem-class device, nothing otherwise.
std::optional<int> portGroup(std::string_view name) {
    if (name.starts_with(firstGroup)) return 0;
    if (name.starts_with(secondGroup)) return 1;
    return std::nullopt;
}

thread_local std::string currentAttribution;

bool sameModelAndSerial(const DeviceIdentity& a, const DeviceIdentity& b) {
    return a.model == b.model && a.serial == b.serial;
}

/// Index into the known values of a register the system writes, or -1.
int knownIndex(std::uint16_t address) {
    switch (address) {
    case Register::voltageSet: return 0;
    case Register::currentSet: return 1;
    case Register::output: return 2;
    default: return -1;
    }
}

bool overlaps(std::uint16_t start, std::size_t count, std::uint16_t otherStart, std::size_t otherCount) {
    return start < otherStart + otherCount && otherStart < start + count;
}

int waitSliceMs(SteadyClock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
    return static_cast<int>(std::clamp<long long>(left.count(), shortestWaitMs, longestWaitMs));
}

}  // namespace

SerialSession::WriteAttribution::WriteAttribution(std::string who)
    : previous_(std::exchange(currentAttribution, std::move(who))) {}

SerialSession::WriteAttribution::~WriteAttribution() { currentAttribution = std::move(previous_); }

SerialSession::~SerialSession() {
    std::lock_guard lock(mutex_);
    closeLocked();
}

std::vector<std::string> SerialSession::ports() { return ports("/dev"); }

std::vector<std::string> SerialSession::ports(const std::string& directory) {
    std::vector<std::pair<int, std::string>> found;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (const auto group = portGroup(name)) found.emplace_back(*group, std::move(name));
    }
    // Byte order within a group, the same on every locale.
    std::stable_sort(found.begin(), found.end());
    std::vector<std::string> paths;
    paths.reserve(found.size());
    for (const auto& entry : found) paths.push_back(directory + "/" + entry.second);
    return paths;
}

DeviceIdentity SerialSession::connect(const std::string& path, int baud, std::uint8_t station) {
    std::lock_guard lock(mutex_);
    closeLocked();
    if (refusing_) throw VarekError::disconnected();
    Modbus::validateStation(station);
    if (!lineSpeed(baud)) throw VarekError::invalid("不支持的波特率。");

    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throw VarekError::ioErrno("无法打开串口", errno);
    descriptor_ = fd;
    station_ = station;
    doubtful_ = false;
    try {
        configureLocked(baud);
        const auto sent = SteadyClock::now();
        const DeviceIdentity identity = readIdentityLocked();
        provenIdentity_ = identity;
        provenAt_ = sent;
        return identity;
    } catch (...) {
        closeLocked();
        throw;
    }
}

void SerialSession::configureLocked(int baud) {
    const speed_t speed = *lineSpeed(baud);
    // The advisory lock comes first: it is what refuses a privileged second opener,
    // and only its holder may later lift the terminal's exclusive flag.
    if (::flock(descriptor_, LOCK_EX | LOCK_NB) != 0) throw VarekError::ioErrno("串口已被占用", errno);
    if (::ioctl(descriptor_, TIOCEXCL) != 0) throw VarekError::ioErrno("串口已被占用", errno);
    exclusive_ = true;

    termios settings{};
    if (::tcgetattr(descriptor_, &settings) != 0) throw VarekError::ioErrno("无法读取串口配置", errno);
    ::cfmakeraw(&settings);
    settings.c_cflag = CS8 | CREAD | CLOCAL;
    ::cfsetispeed(&settings, speed);
    ::cfsetospeed(&settings, speed);
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    if (::tcsetattr(descriptor_, TCSANOW, &settings) != 0) throw VarekError::ioErrno("无法配置串口", errno);
}

void SerialSession::refuseTransactions() noexcept { refusing_ = true; }

void SerialSession::disconnect() noexcept {
    std::lock_guard lock(mutex_);
    closeLocked();
}

bool SerialSession::isOpen() const {
    std::lock_guard lock(mutex_);
    return descriptor_ >= 0;
}

bool SerialSession::linkDown() const {
    std::lock_guard lock(mutex_);
    if (descriptor_ < 0) return true;
    pollfd fd{descriptor_, 0, 0};
    return ::poll(&fd, 1, 0) > 0 && (fd.revents & (POLLERR | POLLHUP | POLLNVAL));
}

void SerialSession::closeLocked() noexcept {
    if (descriptor_ < 0) return;
    // The exclusive flag belongs to the terminal, not to this descriptor: left set,
    // it would outlive us while any other descriptor to the terminal stays open.
    if (exclusive_) ::ioctl(descriptor_, TIOCNXCL);
    ::close(descriptor_);
    descriptor_ = -1;
    exclusive_ = false;
    // What was in doubt belonged to this link; a new one starts from what it reads.
    provenIdentity_.reset();
    doubtfulWrites_.clear();
    known_ = {};
}

void SerialSession::setTransactionObserver(TransactionObserver observer) {
    std::lock_guard lock(mutex_);
    observer_ = std::move(observer);
}

void SerialSession::guardIdentity(const DeviceIdentity& expected) {
    std::lock_guard lock(mutex_);
    guarded_ = expected;
}

void SerialSession::limitSetpoints(const SafetyCeilings& ceilings) noexcept {
    ceilings_ = (std::uint32_t{ceilings.voltageCenti} << 16) | ceilings.currentCenti;
}

void SerialSession::setLateWriteObserver(LateWriteObserver observer) {
    std::lock_guard lock(mutex_);
    lateObserver_ = std::move(observer);
}

Bytes SerialSession::transactLocked(const Bytes& request) {
    // A supply that stopped answering may have been swapped behind an adapter that
    // stayed plugged in: it proves who it is before anything else is sent.
    if (guarded_ && doubtful_ && descriptor_ >= 0 && !refusing_) confirmIdentityLocked();
    return observedLocked(request);
}

Bytes SerialSession::observedLocked(const Bytes& request) {
    try {
        Bytes reply = exchangeLocked(request);
        if (observer_) observer_({});
        return reply;
    } catch (const VarekError& error) {
        if (error.kind() == VarekError::Case::timeout) {
            doubtful_ = true;
            // Whatever the driver still holds of the request must not reach the supply later.
            if (descriptor_ >= 0) ::tcflush(descriptor_, TCOFLUSH);
        }
        if (observer_ && !refusing_) observer_({error, std::nullopt});
        throw;
    }
}

void SerialSession::confirmIdentityLocked() {
    const auto sent = SteadyClock::now();
    const Bytes reply = observedLocked(Modbus::read(station_, DeviceIdentity::start, DeviceIdentity::count));
    // A reply that is no identity block at all (a late answer to an earlier request)
    // proves nothing either way: the error passes on and the doubt stays.
    const auto registers = Modbus::registers(reply, station_, DeviceIdentity::count);
    std::optional<DeviceIdentity> found;
    try {
        found = DeviceIdentity::fromRegisters(registers);
    } catch (const VarekError&) {
        // Another model is another supply just the same.
    }
    doubtful_ = false;
    if (found && sameModelAndSerial(*found, *guarded_)) {
        provenIdentity_ = found;
        provenAt_ = sent;
        return;
    }
    closeLocked();
    if (observer_) observer_({VarekError::identityChanged(), found});
    throw VarekError::identityChanged();
}

Bytes SerialSession::exchangeLocked(const Bytes& request) {
    if (descriptor_ < 0 || refusing_) throw VarekError::disconnected();
    if (::tcflush(descriptor_, TCIFLUSH) != 0) throw VarekError::ioErrno("串口已不可用", errno);
    const auto deadline = SteadyClock::now() + transactionDeadline;

    for (std::size_t written = 0; written < request.size();) {
        const ssize_t n = ::write(descriptor_, request.data() + written, request.size() - written);
        if (n > 0) {
            written += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            throw VarekError::ioErrno("发送读取或控制请求失败", errno);
        }
        if (SteadyClock::now() >= deadline) throw VarekError::timeout();
        ::usleep(1000);
    }

    FrameBuffer buffer;
    if (SteadyClock::now() >= deadline) throw VarekError::timeout();
    const std::uint8_t function = request.size() > 1 ? request[1] : 0;
    for (;;) {
        if (auto frame = receiveLocked(buffer, function, deadline)) return std::move(*frame);
        if (SteadyClock::now() >= deadline) throw VarekError::timeout();
    }
}

std::optional<Bytes> SerialSession::receiveLocked(FrameBuffer& buffer, std::uint8_t function,
                                                  std::chrono::steady_clock::time_point deadline) {
    // A shutdown does not wait out a silent supply's deadline.
    if (refusing_) throw VarekError::disconnected();
    pollfd fd{descriptor_, POLLIN, 0};
    const int ready = ::poll(&fd, 1, waitSliceMs(deadline));
    if (ready < 0) {
        if (errno != EINTR) throw VarekError::ioErrno("串口读取失败", errno);
        return std::nullopt;
    }
    if (fd.revents & (POLLERR | POLLHUP | POLLNVAL)) throw VarekError::io("电源连接已断开。");
    if (!(fd.revents & POLLIN)) return std::nullopt;

    std::uint8_t chunk[readChunk];
    const ssize_t n = ::read(descriptor_, chunk, sizeof chunk);
    if (n < 0) {
        if (errno != EAGAIN && errno != EINTR) throw VarekError::ioErrno("串口读取失败", errno);
        return std::nullopt;
    }
    if (n == 0) return std::nullopt;
    buffer.append(ByteView(chunk, static_cast<std::size_t>(n)));
    return buffer.next(station_, function);
}

std::vector<std::uint16_t> SerialSession::readRegistersLocked(std::uint16_t start, std::uint16_t count) {
    const Bytes reply = transactLocked(Modbus::read(station_, start, count));
    auto values = Modbus::registers(reply, station_, count);
    settleLateWritesLocked(start, values);
    return values;
}

void SerialSession::settleLateWritesLocked(std::uint16_t start, std::span<const std::uint16_t> values) {
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (const int index = knownIndex(static_cast<std::uint16_t>(start + i)); index >= 0) known_[index] = values[i];
    }
    // The first read that covers a write in doubt decides it, either way.
    std::erase_if(doubtfulWrites_, [&](const DoubtfulWrite& write) {
        if (write.start < start || write.start + write.values.size() > start + values.size()) return false;
        const bool tookEffect = std::equal(write.values.begin(), write.values.end(), values.begin() + (write.start - start));
        if (tookEffect && lateObserver_) lateObserver_({write.request, write.attribution});
        return true;
    });
}

void SerialSession::writeLocked(const Bytes& request, std::uint16_t start, std::span<const std::uint16_t> values) {
    // A newer write to the same registers decides what they hold: older doubts lapse.
    std::erase_if(doubtfulWrites_, [&](const DoubtfulWrite& write) {
        return overlaps(write.start, write.values.size(), start, values.size());
    });
    bool changes = false;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const int index = knownIndex(static_cast<std::uint16_t>(start + i));
        changes = changes || index < 0 || known_[index] != values[i];
    }
    try {
        Modbus::writeAcknowledgement(transactLocked(request), request);
    } catch (const VarekError& error) {
        // The request was on the line: the supply may still carry it out after the
        // deadline. A write that would change nothing cannot be told apart, so it is
        // not watched.
        if (error.kind() == VarekError::Case::timeout && changes && descriptor_ >= 0) {
            doubtfulWrites_.push_back({request, start, {values.begin(), values.end()}, currentAttribution});
        }
        throw;
    }
}

void SerialSession::proveBeforeWriteLocked() {
    if (!guarded_ || descriptor_ < 0 || refusing_) return;
    const bool fresh = provenIdentity_ && sameModelAndSerial(*provenIdentity_, *guarded_) &&
                       SteadyClock::now() - provenAt_ < identityFreshness;
    if (!fresh || doubtful_) confirmIdentityLocked();
}

void SerialSession::refuseAboveCeilings(std::uint16_t voltage, std::uint16_t current, int kept) const {
    const std::uint32_t packed = ceilings_.load();
    const SafetyCeilings ceilings{static_cast<std::uint16_t>(packed >> 16), static_cast<std::uint16_t>(packed & 0xFFFF)};
    if (const auto breach = ceilings.breach(voltage, current, kept == 1, kept == 2)) throw CeilingRefused(*breach);
}

DeviceIdentity SerialSession::readIdentityLocked() {
    return DeviceIdentity::fromRegisters(readRegistersLocked(DeviceIdentity::start, DeviceIdentity::count));
}

PowerSample SerialSession::sampleLocked() {
    const auto registers = readRegistersLocked(PowerSample::start, PowerSample::count);
    return PowerSample::fromRegisters(registers, SystemClock::now());
}

PowerSample SerialSession::sample() {
    std::lock_guard lock(mutex_);
    return sampleLocked();
}

PowerSample SerialSession::verifiedRecoverySample(const DeviceIdentity& expected) {
    std::lock_guard lock(mutex_);
    // This read is the proof the guard would ask for: no second identity read before it.
    doubtful_ = false;
    const auto sent = SteadyClock::now();
    const DeviceIdentity found = readIdentityLocked();
    if (!found.sameSupply(expected)) {
        closeLocked();
        throw VarekError::identityChanged();
    }
    provenIdentity_ = found;
    provenAt_ = sent;
    return sampleLocked();
}

PowerSample SerialSession::setValuesLocked(std::uint16_t voltage, std::uint16_t current, int kept) {
    if (voltage > Supply::voltageCentiMax || current > Supply::currentCentiMax) {
        throw VarekError::invalid(std::string(Supply::designation) + " 范围为 0–" + Supply::wholeLimit(true) + "V、0–" +
                                  Supply::wholeLimit(false) + "A。");
    }
    refuseAboveCeilings(voltage, current, kept);
    proveBeforeWriteLocked();
    const std::uint16_t values[] = {voltage, current};
    writeLocked(Modbus::multiple(station_, Register::voltageSet, values), Register::voltageSet, values);
    const auto readBack = readRegistersLocked(Register::voltageSet, 2);
    if (readBack[0] != voltage || readBack[1] != current) throw VarekError::readback();
    return sampleLocked();
}

PowerSample SerialSession::setValues(std::uint16_t voltage, std::uint16_t current) {
    std::lock_guard lock(mutex_);
    return setValuesLocked(voltage, current);
}

PowerSample SerialSession::setVoltage(std::uint16_t voltage) {
    std::lock_guard lock(mutex_);
    if (voltage > Supply::voltageCentiMax) throw VarekError::invalid("Voltage outside 0-" + Supply::wholeLimit(true) + "V");
    refuseAboveCeilings(voltage, 0, 0);
    proveBeforeWriteLocked();
    const auto setpoints = readRegistersLocked(Register::voltageSet, 2);
    return setValuesLocked(voltage, setpoints[1], 2);
}

PowerSample SerialSession::setCurrent(std::uint16_t current) {
    std::lock_guard lock(mutex_);
    if (current > Supply::currentCentiMax) throw VarekError::invalid("Current outside 0-" + Supply::wholeLimit(false) + "A");
    refuseAboveCeilings(0, current, 0);
    proveBeforeWriteLocked();
    const auto setpoints = readRegistersLocked(Register::voltageSet, 2);
    return setValuesLocked(setpoints[0], current, 1);
}

PowerSample SerialSession::setOutput(bool on) {
    std::lock_guard lock(mutex_);
    proveBeforeWriteLocked();
    const std::uint16_t value[] = {static_cast<std::uint16_t>(on ? 1 : 0)};
    writeLocked(Modbus::write(station_, Register::output, value[0]), Register::output, value);
    if (readRegistersLocked(Register::output, 1)[0] != (on ? 1 : 0)) throw VarekError::readback();
    return sampleLocked();
}

}  // namespace varek
