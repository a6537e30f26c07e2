#include "varek/sim/supply_simulator.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <system_error>
#include <thread>

#include "request_splitter.hpp"
#include "supply_model.hpp"

namespace varek::sim {
namespace {

using Clock = std::chrono::steady_clock;

// With no bytes for this long the line counts as idle: a half request is dead.
constexpr std::chrono::milliseconds idleGap{20};
// Gap between the pieces of a split reply, so a reader sees them separately.
constexpr std::chrono::milliseconds pieceGap{2};

[[noreturn]] void fail(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

void closeFd(int& fd) noexcept {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

struct Faults {
    bool silent = false;
    std::chrono::microseconds latency{0};
    int wireBaud = 0;
    Bytes stray;
    int splitParts = 1;
    int corruptReplies = 0;
    std::optional<std::uint8_t> exceptionCode;
};

/// The reply cut into the pieces written one by one: stray bytes, then the parts.
std::vector<Bytes> pieces(const Faults& faults, Bytes reply) {
    std::vector<Bytes> out;
    if (!faults.stray.empty()) out.push_back(faults.stray);
    const std::size_t parts = std::clamp<std::size_t>(faults.splitParts, 1, reply.size());
    std::size_t begin = 0;
    for (std::size_t i = 0; i < parts; ++i) {
        const std::size_t end = reply.size() * (i + 1) / parts;
        out.emplace_back(reply.begin() + static_cast<std::ptrdiff_t>(begin),
                         reply.begin() + static_cast<std::ptrdiff_t>(end));
        begin = end;
    }
    return out;
}

}  // namespace

struct SupplySimulator::Impl {
    explicit Impl(const SimulatorOptions& options) : model(options) {
        faults.latency = options.latency;
        faults.wireBaud = options.wireBaud;
    }

    void openPair();
    void serve();
    void receive();
    void process(bool gap);
    void answer(const Bytes& request, Clock::time_point received);
    bool sleepUntil(Clock::time_point until);
    bool writePiece(const Bytes& bytes);
    bool sendPaced(const std::vector<Bytes>& out, Clock::time_point start, int baud,
                   Clock::time_point received);
    void noteFirstByte(Clock::time_point received);
    void closeSides();
    void wake() const {
        const std::uint64_t one = 1;
        [[maybe_unused]] auto n = ::write(wakeFd, &one, sizeof one);
    }

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    SupplyModel model;
    Faults faults;
    std::vector<Bytes> log;
    std::function<void(const Bytes&)> callback;
    double turnaroundSum = 0;
    std::size_t turnaroundCount = 0;
    bool hungUp = false;

    std::atomic<bool> stopping{false};
    std::atomic<bool> hangUpWanted{false};
    int master = -1;
    int slave = -1;
    int wakeFd = -1;
    std::string path;
    RequestSplitter splitter;
    bool firstByteNoted = false;
    std::thread thread;
};

void SupplySimulator::Impl::openPair() {
    master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) fail("posix_openpt");
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0) fail("grantpt/unlockpt");
    char name[PATH_MAX];
    if (::ptsname_r(master, name, sizeof name) != 0) fail("ptsname_r");
    path = name;
    if (::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK) != 0) fail("fcntl");
    // Holding the terminal side open keeps the controller side from reporting a
    // hang-up whenever a client closes its port.
    slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave < 0) fail("open terminal side");
    termios settings{};
    if (::tcgetattr(slave, &settings) != 0) fail("tcgetattr");
    ::cfmakeraw(&settings);
    if (::tcsetattr(slave, TCSANOW, &settings) != 0) fail("tcsetattr");
    wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) fail("eventfd");
}

void SupplySimulator::Impl::closeSides() {
    closeFd(master);
    closeFd(slave);
    std::lock_guard lock(mutex);
    hungUp = true;
    changed.notify_all();
}

void SupplySimulator::Impl::serve() {
    // Wire pacing sleeps for fractions of a millisecond; the default 50 us timer
    // slack would be a visible share of each byte's 87 us at 115200 baud.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    while (!stopping) {
        pollfd fds[2] = {{wakeFd, POLLIN, 0}, {master, POLLIN, 0}};
        const int ready = ::poll(fds, master >= 0 ? 2 : 1, static_cast<int>(idleGap.count()));
        if (ready < 0 && errno != EINTR) break;
        if (fds[0].revents & POLLIN) {
            std::uint64_t count;
            [[maybe_unused]] auto n = ::read(wakeFd, &count, sizeof count);
            if (hangUpWanted && master >= 0) closeSides();
            continue;
        }
        if (ready > 0 && master >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            receive();
        } else if (ready == 0 && !splitter.empty()) {
            process(true);
        }
    }
}

void SupplySimulator::Impl::receive() {
    std::uint8_t buffer[512];
    const ssize_t n = ::read(master, buffer, sizeof buffer);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) {  // the terminal side is gone; nothing more can arrive
        closeSides();
        return;
    }
    splitter.append(ByteView(buffer, static_cast<std::size_t>(n)));
    process(false);
}

void SupplySimulator::Impl::process(bool gap) {
    while (auto request = splitter.next(gap)) {
        const auto received = Clock::now();
        std::function<void(const Bytes&)> notify;
        {
            std::lock_guard lock(mutex);
            log.push_back(*request);
            notify = callback;
            changed.notify_all();
        }
        if (notify) notify(*request);
        answer(*request, received);
        if (stopping || master < 0) return;
    }
}

void SupplySimulator::Impl::answer(const Bytes& request, Clock::time_point received) {
    Faults now;
    std::optional<Bytes> reply;
    {
        std::lock_guard lock(mutex);
        now = faults;
        if (now.silent) return;
        if (now.exceptionCode && request[0] == model.station()) {
            reply = SupplyModel::exceptionReply(request, *now.exceptionCode);
        } else {
            reply = model.handle(request, received);
        }
        if (!reply) return;
        if (faults.corruptReplies > 0) {
            --faults.corruptReplies;
            reply->back() ^= 0xFF;
        }
    }
    // On the wire the request itself takes time to arrive before the supply can answer.
    const auto byteTime = now.wireBaud > 0 ? std::chrono::nanoseconds(10'000'000'000LL / now.wireBaud)
                                           : std::chrono::nanoseconds(0);
    const auto start = received + byteTime * request.size() + now.latency;
    if (!sleepUntil(start)) return;
    firstByteNoted = false;
    sendPaced(pieces(now, std::move(*reply)), start, now.wireBaud, received);
}

void SupplySimulator::Impl::noteFirstByte(Clock::time_point received) {
    if (firstByteNoted) return;
    firstByteNoted = true;
    const double micros = std::chrono::duration<double, std::micro>(Clock::now() - received).count();
    std::lock_guard lock(mutex);
    turnaroundSum += micros;
    ++turnaroundCount;
}

bool SupplySimulator::Impl::sendPaced(const std::vector<Bytes>& out, Clock::time_point start,
                                      int baud, Clock::time_point received) {
    if (baud <= 0) {
        for (std::size_t i = 0; i < out.size(); ++i) {
            if (i > 0 && !sleepUntil(Clock::now() + pieceGap)) return false;
            noteFirstByte(received);
            if (!writePiece(out[i])) return false;
        }
        return true;
    }
    // Each byte leaves when its 10 bits have passed; write in chunks of about a
    // millisecond so the pace holds without a system call per byte.
    const long long bytesPerSecond = std::max(1, baud / 10);
    const std::size_t chunk = static_cast<std::size_t>(std::max(1LL, bytesPerSecond / 1000));
    std::size_t sent = 0;
    for (const Bytes& piece : out) {
        for (std::size_t offset = 0; offset < piece.size();) {
            const std::size_t n = std::min(chunk, piece.size() - offset);
            const auto due = start + std::chrono::nanoseconds(
                                         static_cast<long long>(sent + n) * 1'000'000'000LL / bytesPerSecond);
            if (!sleepUntil(due)) return false;
            noteFirstByte(received);
            if (!writePiece(Bytes(piece.begin() + static_cast<std::ptrdiff_t>(offset),
                                  piece.begin() + static_cast<std::ptrdiff_t>(offset + n)))) {
                return false;
            }
            offset += n;
            sent += n;
        }
    }
    return true;
}

bool SupplySimulator::Impl::sleepUntil(Clock::time_point until) {
    for (;;) {
        if (stopping || hangUpWanted) return false;
        const auto left = until - Clock::now();
        if (left <= Clock::duration::zero()) return true;
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        const timespec wait{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
        pollfd fd{wakeFd, POLLIN, 0};
        if (::ppoll(&fd, 1, &wait, nullptr) > 0) return false;  // stop or hang-up asked
    }
}

bool SupplySimulator::Impl::writePiece(const Bytes& bytes) {
    std::size_t done = 0;
    const auto giveUp = Clock::now() + std::chrono::milliseconds(200);
    while (done < bytes.size()) {
        const ssize_t n = ::write(master, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        // Nobody drains the terminal side: wait a little, then drop the reply.
        if (Clock::now() >= giveUp) return false;
        pollfd fds[2] = {{master, POLLOUT, 0}, {wakeFd, POLLIN, 0}};
        if (::poll(fds, 2, 10) > 0 && (fds[1].revents & POLLIN)) return false;
    }
    return true;
}

SupplySimulator::SupplySimulator(SimulatorOptions options) : impl_(std::make_unique<Impl>(options)) {
    try {
        impl_->openPair();
    } catch (...) {
        closeFd(impl_->master);
        closeFd(impl_->slave);
        closeFd(impl_->wakeFd);
        throw;
    }
    impl_->thread = std::thread([impl = impl_.get()] { impl->serve(); });
}

SupplySimulator::~SupplySimulator() {
    impl_->stopping = true;
    impl_->wake();
    impl_->thread.join();
    closeFd(impl_->master);
    closeFd(impl_->slave);
    closeFd(impl_->wakeFd);
}

const std::string& SupplySimulator::path() const noexcept { return impl_->path; }

std::uint16_t SupplySimulator::reg(std::uint16_t address) const {
    std::lock_guard lock(impl_->mutex);
    impl_->model.update(Clock::now());
    return impl_->model.reg(address);
}

void SupplySimulator::setReg(std::uint16_t address, std::uint16_t value) {
    std::lock_guard lock(impl_->mutex);
    impl_->model.update(Clock::now());
    impl_->model.setReg(address, value);
    impl_->model.update(Clock::now());
}

void SupplySimulator::setSilent(bool silent) {
    std::lock_guard lock(impl_->mutex);
    impl_->faults.silent = silent;
}

void SupplySimulator::setLatency(std::chrono::microseconds latency) {
    std::lock_guard lock(impl_->mutex);
    impl_->faults.latency = std::max(latency, std::chrono::microseconds(0));
}

void SupplySimulator::setWireBaud(int baud) {
    std::lock_guard lock(impl_->mutex);
    impl_->faults.wireBaud = std::max(baud, 0);
}

void SupplySimulator::setStrayBytes(Bytes bytes) {
    std::lock_guard lock(impl_->mutex);
    impl_->faults.stray = std::move(bytes);
}

void SupplySimulator::setSplitReply(int parts) {
    std::lock_guard lock(impl_->mutex);
    impl_->faults.splitParts = std::max(parts, 1);
}

void SupplySimulator::corruptNextCrc(int replies) {
    std::lock_guard lock(impl_->mutex);
    impl_->faults.corruptReplies = std::max(replies, 0);
}

void SupplySimulator::setExceptionCode(std::optional<std::uint8_t> code) {
    std::lock_guard lock(impl_->mutex);
    impl_->faults.exceptionCode = code;
}

void SupplySimulator::setOutputStuck(bool stuck) {
    std::lock_guard lock(impl_->mutex);
    impl_->model.setOutputStuck(stuck);
}

void SupplySimulator::setSetpointsStuck(bool stuck) {
    std::lock_guard lock(impl_->mutex);
    impl_->model.setSetpointsStuck(stuck);
}

void SupplySimulator::setSerial(std::uint32_t serial) {
    std::lock_guard lock(impl_->mutex);
    impl_->model.setSerial(serial);
}

void SupplySimulator::hangUp() {
    impl_->hangUpWanted = true;
    impl_->wake();
    std::unique_lock lock(impl_->mutex);
    impl_->changed.wait(lock, [&] { return impl_->hungUp; });
}

std::vector<Bytes> SupplySimulator::requests() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->log;
}

std::size_t SupplySimulator::requestCount() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->log.size();
}

void SupplySimulator::clearRequests() {
    std::lock_guard lock(impl_->mutex);
    impl_->log.clear();
}

bool SupplySimulator::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(impl_->mutex);
    return impl_->changed.wait_for(lock, timeout, [&] { return impl_->log.size() >= count; });
}

void SupplySimulator::onRequest(std::function<void(const Bytes&)> callback) {
    std::lock_guard lock(impl_->mutex);
    impl_->callback = std::move(callback);
}

double SupplySimulator::meanTurnaroundMicros() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->turnaroundCount == 0 ? 0.0 : impl_->turnaroundSum / impl_->turnaroundCount;
}

}  // namespace varek::sim
