// SerialSession over a real pseudo-terminal against the simulated supply.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "varek/serial_session.hpp"
#include "varek/sim/supply_simulator.hpp"
#include "varek_test_support.hpp"

namespace varek {
namespace {

using sim::SupplySimulator;
using test::caughtVarekError;
using test::expectVarekError;

constexpr int baud = 115200;

Bytes statusRead() { return Modbus::read(1, 4, 38); }

sim::SimulatorOptions options(std::uint32_t serial = 4242, std::uint16_t firmware = 205) {
    sim::SimulatorOptions o;
    o.serial = serial;
    o.firmwareHundredths = firmware;
    o.loadOhms = 10;
    return o;
}

class SessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        identity = session.connect(supply.path(), baud, 1);
        supply.clearRequests();
    }

    SupplySimulator supply{options()};
    SerialSession session;
    DeviceIdentity identity;
};

TEST_F(SessionTest, IdentityAndStatusFollowTheSupply) {
    EXPECT_EQ(identity.model, 60301);
    EXPECT_EQ(identity.serial, 4242u);
    EXPECT_DOUBLE_EQ(identity.firmware, 2.05);

    PowerSample s = session.setValues(1500, 1000);  // 15 V into 10 ohms: 1.5 A, below the limit
    EXPECT_TRUE(!s.outputEnabled);
    s = session.setOutput(true);
    EXPECT_TRUE(s.outputEnabled);
    EXPECT_DOUBLE_EQ(s.voltageSet, 15.0);
    EXPECT_DOUBLE_EQ(s.currentSet, 10.0);
    EXPECT_DOUBLE_EQ(s.voltage, 15.0);
    EXPECT_DOUBLE_EQ(s.current, 1.5);
    EXPECT_DOUBLE_EQ(s.power, 22.5);
    EXPECT_EQ(s.modeName(), "恒压 CV");

    s = session.setCurrent(100);  // 1 A limit: constant current, 10 V across the load
    EXPECT_DOUBLE_EQ(s.current, 1.0);
    EXPECT_DOUBLE_EQ(s.voltage, 10.0);
    EXPECT_EQ(s.modeName(), "恒流 CC");

    supply.setReg(4, 1);  // staged on the panel: -7 degrees, over-current protection
    supply.setReg(5, 7);
    supply.setReg(16, 2);
    s = session.sample();
    EXPECT_DOUBLE_EQ(s.temperature, -7);
    EXPECT_EQ(s.protectionName(), "过流保护");
    EXPECT_GT(s.inputVoltage, 60.0);
}

TEST_F(SessionTest, SetOperationsSendExactFrames) {
    const std::uint16_t pair[] = {1234, 250};
    const std::uint16_t keepCurrent[] = {1234, 100};
    const std::uint16_t keepVoltage[] = {500, 250};
    struct Case {
        const char* name;
        std::function<PowerSample()> operation;
        std::vector<Bytes> frames;
    } cases[] = {
        {"output on", [&] { return session.setOutput(true); },
         {Modbus::write(1, 18, 1), Modbus::read(1, 18, 1), statusRead()}},
        {"output off", [&] { return session.setOutput(false); },
         {Modbus::write(1, 18, 0), Modbus::read(1, 18, 1), statusRead()}},
        {"both values", [&] { return session.setValues(1234, 250); },
         {Modbus::multiple(1, 8, pair), Modbus::read(1, 8, 2), statusRead()}},
        {"voltage alone", [&] { return session.setVoltage(1234); },
         {Modbus::read(1, 8, 2), Modbus::multiple(1, 8, keepCurrent), Modbus::read(1, 8, 2), statusRead()}},
        {"current alone", [&] { return session.setCurrent(250); },
         {Modbus::read(1, 8, 2), Modbus::multiple(1, 8, keepVoltage), Modbus::read(1, 8, 2), statusRead()}},
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
    expectVarekError([&] { session.setVoltage(6001); }, VarekError::invalid("Voltage outside 0-60V"));
    expectVarekError([&] { session.setCurrent(3001); }, VarekError::invalid("Current outside 0-30A"));
    const VarekError range = VarekError::invalid("RD6030 / Max 范围为 0–60V、0–30A。");
    expectVarekError([&] { session.setValues(6001, 0); }, range);
    expectVarekError([&] { session.setValues(0, 3001); }, range);
    EXPECT_EQ(supply.requestCount(), 0u);
}

TEST_F(SessionTest, OutputThatDoesNotFollowIsReadBackMismatch) {
    supply.setOutputStuck(true);
    expectVarekError([&] { session.setOutput(true); }, VarekError::readback());
    EXPECT_EQ(supply.requests(), (std::vector<Bytes>{Modbus::write(1, 18, 1), Modbus::read(1, 18, 1)}));
    EXPECT_TRUE(session.isOpen());
}

TEST_F(SessionTest, ExceptionReplyPassesThroughAndPortStaysOpen) {
    supply.setExceptionCode(4);
    expectVarekError([&] { session.setOutput(true); }, VarekError::exception(4));
    supply.setExceptionCode(std::nullopt);
    EXPECT_NO_THROW(session.sample());
}

TEST_F(SessionTest, SilenceTimesOutAndLeavesThePortOpen) {
    supply.setSilent(true);
    const auto start = std::chrono::steady_clock::now();
    expectVarekError([&] { session.sample(); }, VarekError::timeout());
    // The deadline is counted from the start of the transaction, so never less than 2 s.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1990));
    EXPECT_TRUE(session.isOpen());
    EXPECT_EQ(supply.requests(), std::vector<Bytes>{statusRead()});
    supply.setSilent(false);
    EXPECT_NO_THROW(session.sample());
}

TEST_F(SessionTest, StrayBytesAndSplitRepliesAreRecognised) {
    supply.setStrayBytes({0xFF, 0x00, 0x01, 0x05});
    supply.setSplitReply(5);
    const PowerSample s = session.setOutput(true);
    EXPECT_TRUE(s.outputEnabled);
    EXPECT_EQ(supply.requestCount(), 3u);
}

TEST_F(SessionTest, BadCrcFailsWithoutWaitingForTheDeadline) {
    supply.corruptNextCrc(1);
    const auto start = std::chrono::steady_clock::now();
    expectVarekError([&] { session.sample(); }, VarekError::crc());
    // Loose bound only: a wait for the 2 s deadline would take at least 2 s.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    EXPECT_EQ(supply.requestCount(), 1u);
    EXPECT_NO_THROW(session.sample());
}

TEST_F(SessionTest, RecoveryChecksTheIdentity) {
    EXPECT_NO_THROW(session.verifiedRecoverySample(identity));
    EXPECT_EQ(supply.requests(), (std::vector<Bytes>{Modbus::read(1, 0, 4), statusRead()}));

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
    auto switcher = std::async(std::launch::async, [&] {
        for (int i = 0; i < 15; ++i) session.setOutput(i % 2 == 0);
    });
    auto poller = std::async(std::launch::async, [&] {
        for (int i = 0; i < 30; ++i) session.sample();
    });
    switcher.get();
    poller.get();
    const auto frames = supply.requests();
    ASSERT_EQ(frames.size(), 15u * 3 + 30);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        if (frames[i][1] != Modbus::writeSingle) continue;
        ASSERT_LT(i + 2, frames.size());
        EXPECT_EQ(frames[i + 1], Modbus::read(1, 18, 1));
        EXPECT_EQ(frames[i + 2], statusRead());
    }
}

/// errno of an open of `path` by an unprivileged user (0 when it opens). As root the
/// open happens in a child that gives up root, since root may ignore TIOCEXCL.
int unprivilegedOpenError(const std::string& path) {
    if (::geteuid() != 0) {
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd < 0) return errno;
        ::close(fd);
        return 0;
    }
    ::chmod(path.c_str(), 0666);
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(255);
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ::_exit(fd >= 0 ? 0 : errno & 0x7F);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 254;
}

TEST_F(SessionTest, SecondSessionIsRefusedWhileTheFirstHoldsThePort) {
    SerialSession second;
    const VarekError refused = caughtVarekError([&] { second.connect(supply.path(), baud, 1); });
    const std::string text = refused.description();
    EXPECT_TRUE(text.starts_with("无法打开串口：") || text.starts_with("串口已被占用：")) << text;
    EXPECT_FALSE(second.isOpen());
    EXPECT_NO_THROW(session.sample());  // the refused opener took nothing from the holder
    EXPECT_EQ(unprivilegedOpenError(supply.path()), EBUSY);

    session.disconnect();
    // Exclusivity ends with the session even though the simulator keeps the terminal open.
    EXPECT_EQ(unprivilegedOpenError(supply.path()), 0);
    EXPECT_NO_THROW(second.connect(supply.path(), baud, 1));
}

TEST(SessionConnect, RefusalsLeaveThePortClosed) {
    SupplySimulator supply;
    // A plain file opens and locks like a port but is no terminal.
    const auto plain = std::filesystem::temp_directory_path() / ("varek-plain-" + std::to_string(::getpid()));
    std::ofstream(plain).put('\n');
    struct Case {
        const char* name;
        std::string path;
        int baud;
        std::uint8_t station;
        VarekError error;
    } cases[] = {
        {"station 0", supply.path(), baud, 0, VarekError::invalid("站号须为 1–247。")},
        {"station 248", supply.path(), baud, 248, VarekError::invalid("站号须为 1–247。")},
        {"baud 4800", supply.path(), 4800, 1, VarekError::invalid("不支持的波特率。")},
        {"missing", "/nonexistent/tty", baud, 1, VarekError::ioErrno("无法打开串口", ENOENT)},
        {"not a terminal", plain.string(), baud, 1, VarekError::ioErrno("串口已被占用", ENOTTY)},
        {"other model", "", baud, 1, VarekError::unsupported(60300)},
    };
    SerialSession session;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        session.connect(supply.path(), baud, 1);
        ASSERT_TRUE(session.isOpen());
        if (c.error == VarekError::unsupported(60300)) supply.setReg(0, 60300);
        expectVarekError([&] { session.connect(c.path.empty() ? supply.path() : c.path, c.baud, c.station); },
                         c.error);
        EXPECT_FALSE(session.isOpen());
        supply.setReg(0, 60301);
    }
    expectVarekError([&] { session.sample(); }, VarekError::io("串口已断开。"));
    std::filesystem::remove(plain);
}

TEST(SessionPorts, UsbAdaptersThenModemsEachInByteOrder) {
    const auto dir = std::filesystem::temp_directory_path() / ("varek-ports-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    for (const char* name : {"ttyACM1", "ttyUSB2", "ttyS0", "ttyACM0", "ttyUSB10", "xttyUSB0", "ttyUSB"}) {
        std::ofstream(dir / name).put('\n');
    }
    const std::string d = dir.string();
    EXPECT_EQ(SerialSession::ports(d), (std::vector<std::string>{d + "/ttyUSB", d + "/ttyUSB10", d + "/ttyUSB2",
                                                                 d + "/ttyACM0", d + "/ttyACM1"}));
    std::filesystem::remove_all(dir);
    EXPECT_TRUE(SerialSession::ports(d).empty());
}

}  // namespace
}  // namespace varek
