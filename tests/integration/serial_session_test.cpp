// SerialSession over a real pseudo-terminal against the simulated supply.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>

#include <gtest/gtest.h>

#include "varek/serial_session.hpp"
#include "varek/sim/supply_simulator.hpp"
#include "temp_dir.hpp"
#include "varek_test_support.hpp"

namespace varek {
namespace {

using sim::SupplySimulator;
using test::caughtVarekError;
using test::expectVarekError;
using test::statusRead;

constexpr int baud = 115200;


class SessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        identity = session.connect(supply.path(), baud, 1);
        supply.clearRequests();
    }

    SupplySimulator supply{sim::SimulatorOptions{.serial = 4242, .firmwareHundredths = 205, .loadOhms = 10}};
    SerialSession session;
    DeviceIdentity identity;
};

TEST_F(SessionTest, IdentityAndStatusFollowTheSupply) {
    EXPECT_EQ(identity.model, 60301);
    EXPECT_EQ(identity.serial, 4242u);
    EXPECT_DOUBLE_EQ(identity.firmware, 2.05);

    EXPECT_DOUBLE_EQ(session.setValues(1500, 1000).voltageSet, 15.0);  // into 10 ohms: 1.5 A, below the limit
    PowerSample s = session.setOutput(true);
    EXPECT_TRUE(s.outputEnabled);
    EXPECT_DOUBLE_EQ(s.voltage, 15.0);
    EXPECT_DOUBLE_EQ(s.current, 1.5);
    EXPECT_DOUBLE_EQ(s.power, 22.5);
    EXPECT_EQ(s.modeName(), "恒压 CV");

    supply.setReg(4, 1);  // staged on the panel: -7 degrees, over-current protection
    supply.setReg(5, 7);
    supply.setReg(16, 2);
    s = session.sample();
    EXPECT_DOUBLE_EQ(s.temperature, -7);
    EXPECT_EQ(s.protectionName(), "过流保护");
    EXPECT_GT(s.inputVoltage, 60.0);
}

TEST_F(SessionTest, SetOperationsSendExactFrames) {
    const std::uint16_t pair[] = {1234, 250}, keepCurrent[] = {1234, 100}, keepVoltage[] = {500, 250};
    const struct {
        const char* name;
        std::function<PowerSample()> operation;
        std::vector<Bytes> frames;
    } cases[] = {
        {"output on", [&] { return session.setOutput(true); }, {Modbus::write(1, 18, 1), Modbus::read(1, 18, 1), statusRead}},
        {"output off", [&] { return session.setOutput(false); }, {Modbus::write(1, 18, 0), Modbus::read(1, 18, 1), statusRead}},
        {"both values", [&] { return session.setValues(1234, 250); }, {Modbus::multiple(1, 8, pair), Modbus::read(1, 8, 2), statusRead}},
        {"voltage alone", [&] { return session.setVoltage(1234); },
         {Modbus::read(1, 8, 2), Modbus::multiple(1, 8, keepCurrent), Modbus::read(1, 8, 2), statusRead}},
        {"current alone", [&] { return session.setCurrent(250); },
         {Modbus::read(1, 8, 2), Modbus::multiple(1, 8, keepVoltage), Modbus::read(1, 8, 2), statusRead}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        supply.setReg(8, 500);
        supply.setReg(9, 100);
        supply.clearRequests();
        c.operation();
        EXPECT_EQ(supply.requests(), c.frames);
    }
}

TEST_F(SessionTest, RangeChecksSendNothing) {
    const VarekError both = VarekError::invalid("RD6030 / Max 范围为 0–60V、0–30A。");
    const struct {
        const char* name;
        std::function<void()> operation;
        VarekError expected;
    } cases[] = {
        {"voltage alone", [&] { session.setVoltage(6001); }, VarekError::invalid("Voltage outside 0-60V")},
        {"current alone", [&] { session.setCurrent(3001); }, VarekError::invalid("Current outside 0-30A")},
        {"both, voltage high", [&] { session.setValues(6001, 0); }, both},
        {"both, current high", [&] { session.setValues(0, 3001); }, both},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        expectVarekError(c.operation, c.expected);
        EXPECT_EQ(supply.requestCount(), 0u);
        EXPECT_TRUE(session.isOpen());
    }
}

TEST_F(SessionTest, OutputThatDoesNotFollowIsReadBackMismatch) {
    supply.setOutputStuck(true);
    expectVarekError([&] { session.setOutput(true); }, VarekError::readback());
    EXPECT_EQ(supply.requests(), (std::vector<Bytes>{Modbus::write(1, 18, 1), Modbus::read(1, 18, 1)}));
    EXPECT_TRUE(session.isOpen());
}

TEST_F(SessionTest, SilenceTimesOutAfterTwoSecondsButABadCrcFailsAtOnce) {
    const auto timed = [&](const VarekError& expected) {
        supply.clearRequests();
        const auto start = std::chrono::steady_clock::now();
        expectVarekError([&] { session.sample(); }, expected);
        EXPECT_TRUE(session.isOpen());
        EXPECT_EQ(supply.requests(), std::vector<Bytes>{statusRead});
        return std::chrono::steady_clock::now() - start;
    };
    supply.setSilent(true);
    // The deadline is counted from the start of the transaction, so never less than 2 s.
    EXPECT_GE(timed(VarekError::timeout()), std::chrono::milliseconds(1990));
    supply.setSilent(false);
    supply.corruptNextCrc(1);
    // A session that skipped the bad frame and waited on would end in timeout instead.
    timed(VarekError::crc());
    EXPECT_NO_THROW(session.sample());
}

TEST_F(SessionTest, StrayBytesAndSplitRepliesAreRecognised) {
    supply.setStrayBytes({0xFF, 0x00, 0x01, 0x05});
    supply.setSplitReply(5);
    EXPECT_TRUE(session.setOutput(true).outputEnabled);
    EXPECT_EQ(supply.requestCount(), 3u);
}

TEST_F(SessionTest, RecoveryChecksTheIdentity) {
    EXPECT_NO_THROW(session.verifiedRecoverySample(identity));
    EXPECT_EQ(supply.requests(), (std::vector<Bytes>{Modbus::read(1, 0, 4), statusRead}));
    supply.setSerial(4243);
    expectVarekError([&] { session.verifiedRecoverySample(identity); }, VarekError::identityChanged());
    EXPECT_FALSE(session.isOpen());
    expectVarekError([&] { session.sample(); }, VarekError::io("串口已断开。"));
}

TEST_F(SessionTest, HangUpDuringATransactionIsALostConnection) {
    supply.setSilent(true);
    auto pending = std::async(std::launch::async, [&] { return caughtVarekError([&] { session.sample(); }); });
    ASSERT_TRUE(supply.waitForRequests(1, std::chrono::seconds(20)));
    supply.hangUp();
    EXPECT_EQ(pending.get(), VarekError::io("电源连接已断开。"));
}

TEST_F(SessionTest, OperationsFromSeveralThreadsNeverInterleave) {
    auto switcher = std::async(std::launch::async, [&] { for (int i = 0; i < 15; ++i) session.setOutput(i % 2 == 0); });
    for (int i = 0; i < 30; ++i) session.sample();
    switcher.get();
    const auto frames = supply.requests();
    ASSERT_EQ(frames.size(), 15u * 3 + 30);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        if (frames[i][1] != Modbus::writeSingle) continue;
        ASSERT_LT(i + 2, frames.size());
        EXPECT_EQ(frames[i + 1], Modbus::read(1, 18, 1));
        EXPECT_EQ(frames[i + 2], statusRead);
    }
}

/// A session whose terminal the test holds too, opened first so the session's
/// exclusivity leaves it usable: it stops the session's output (flow control) and
/// watches the terminal's input.
class HeldTerminalTest : public ::testing::Test {
protected:
    void SetUp() override {
        held = ::open(supply.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(held, 0);
        session.connect(supply.path(), baud, 1);
        supply.clearRequests();
    }
    void TearDown() override { ::close(held); }
    int inputWaiting() const {
        int bytes = 0;
        return ::ioctl(held, TIOCINQ, &bytes) == 0 ? bytes : -1;
    }

    SupplySimulator supply;
    SerialSession session;
    int held = -1;
};

TEST_F(HeldTerminalTest, ARequestThatCannotBeSentTimesOutAndNothingOfItFollowsLater) {
    ASSERT_EQ(::tcflow(held, TCOOFF), 0);
    expectVarekError([&] { session.setOutput(true); }, VarekError::timeout());
    ASSERT_EQ(::tcflow(held, TCOON), 0);
    EXPECT_FALSE(session.sample().outputEnabled);
    EXPECT_EQ(supply.requests(), std::vector<Bytes>{statusRead});
    EXPECT_EQ(supply.reg(18), 0);
}

TEST_F(HeldTerminalTest, AHangUpWhileARequestWaitsToBeSentIsAWriteError) {
    // A reply later than its request's deadline waits in the terminal's input; it goes
    // when the next transaction flushes the input, the step just before it sends.
    supply.setLatency(std::chrono::milliseconds(2500));
    expectVarekError([&] { session.sample(); }, VarekError::timeout());
    ASSERT_TRUE(test::waitUntil([&] { return inputWaiting() > 0; }));
    ASSERT_EQ(::tcflow(held, TCOOFF), 0);
    auto pending = std::async(std::launch::async, [&] { return caughtVarekError([&] { session.setOutput(true); }); });
    ASSERT_TRUE(test::waitUntil([&] { return inputWaiting() == 0; }));
    supply.hangUp();
    EXPECT_EQ(pending.get(), VarekError::ioErrno("发送读取或控制请求失败", EIO));
    EXPECT_EQ(supply.requests(), std::vector<Bytes>{statusRead});
}

/// errno of an unprivileged open of `path` (0 when it opens). As root the open happens
/// in a child that gives up root, since root may ignore TIOCEXCL.
int unprivilegedOpenError(const std::string& path) {
    const bool root = ::geteuid() == 0;
    if (root) ::chmod(path.c_str(), 0666);
    const pid_t child = root ? ::fork() : 0;
    if (child == 0) {
        if (root && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(255);
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        const int error = fd >= 0 ? ::close(fd) : errno;
        if (!root) return error;
        ::_exit(error & 0x7F);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 254;
}

TEST_F(SessionTest, SecondSessionIsRefusedWhileTheFirstHoldsThePort) {
    SerialSession second;
    const std::string text = caughtVarekError([&] { second.connect(supply.path(), baud, 1); }).description();
    EXPECT_TRUE(text.starts_with("无法打开串口：") || text.starts_with("串口已被占用：")) << text;
    EXPECT_FALSE(second.isOpen());
    EXPECT_NO_THROW(session.sample());  // the refused opener took nothing from the holder
    EXPECT_EQ(unprivilegedOpenError(supply.path()), EBUSY);

    session.disconnect();
    // Exclusivity ends with the session even though the simulator keeps the terminal open.
    EXPECT_EQ(unprivilegedOpenError(supply.path()), 0);
    EXPECT_NO_THROW(second.connect(supply.path(), baud, 1));
}

TEST(SessionConnect, RefusalsCloseThePreviousPortAndSendNothing) {
    SupplySimulator supply;
    SerialSession session;
    const std::string missing = "/nonexistent/tty";
    const VarekError station = VarekError::invalid("站号须为 1–247。");
    const struct {
        std::string path;
        int baud;
        std::uint8_t station;
        VarekError expected;
    } cases[] = {
        // A missing path proves each check runs before the open: the open would fail otherwise.
        {missing, baud, 0, station},
        {missing, 4800, 0, station},
        {supply.path(), baud, 0, station},
        {supply.path(), baud, 248, station},
        {missing, 4800, 1, VarekError::invalid("不支持的波特率。")},
        {missing, baud, 1, VarekError::ioErrno("无法打开串口", ENOENT)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path + " at " + std::to_string(c.baud) + ", station " + std::to_string(c.station));
        session.connect(supply.path(), baud, 1);
        supply.clearRequests();
        expectVarekError([&] { session.connect(c.path, c.baud, c.station); }, c.expected);
        EXPECT_FALSE(session.isOpen());
        EXPECT_EQ(supply.requestCount(), 0u);
    }
}

TEST(SessionConnect, UnsupportedModelClosesThePort) {
    SupplySimulator supply;
    SerialSession session;
    supply.setReg(0, 60300);
    expectVarekError([&] { session.connect(supply.path(), baud, 1); }, VarekError::unsupported(60300));
    EXPECT_FALSE(session.isOpen());
    expectVarekError([&] { session.sample(); }, VarekError::io("串口已断开。"));
}

TEST(SessionPorts, UsbAdaptersThenModemsEachInByteOrder) {
    const test::TempDir temp;
    const auto dir = temp.path() / "dev";
    std::filesystem::create_directory(dir);
    for (const char* name : {"ttyACM1", "ttyUSB2", "ttyS0", "ttyACM0", "ttyUSB10", "xttyUSB0", "ttyUSB"}) std::ofstream(dir / name).put('\n');
    const std::string d = dir.string();
    EXPECT_EQ(SerialSession::ports(d), (std::vector<std::string>{d + "/ttyUSB", d + "/ttyUSB10", d + "/ttyUSB2", d + "/ttyACM0", d + "/ttyACM1"}));
    std::filesystem::remove_all(dir);
    EXPECT_TRUE(SerialSession::ports(d).empty());
}

}  // namespace
}  // namespace varek
