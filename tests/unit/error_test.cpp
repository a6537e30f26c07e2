#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "varek/error.hpp"

namespace varek {
namespace {

TEST(VarekError, Messages) {
    const struct { VarekError error; std::string message; } cases[] = {
        {VarekError::exception(255), "电源拒绝请求（错误码 255）。"},
        {VarekError::unsupported(65535), "暂不支持此电源型号（识别码 65535）。"},
        {VarekError::io("串口已断开。"), "串口已断开。"},
        {VarekError::timeout(), "电源未响应，请检查接口模式、波特率和站号。"},
        {VarekError::crc(), "收到的通讯数据校验失败。"},
        {VarekError::readback(), "电源读回值与请求不一致，请检查面板。"},
        {VarekError::identityChanged(), "电源身份已变化，请重新连接。"},
        {VarekError::ioErrno("无法打开串口", EBUSY), std::string("无法打开串口：") + std::strerror(EBUSY)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.error.description(), c.message);
        EXPECT_STREQ(c.error.what(), c.message.c_str());
    }
    EXPECT_EQ(VarekError::ioErrno("无法打开串口", EBUSY).kind(), VarekError::Case::io);
}

TEST(VarekError, EqualityIsCaseAndPayload) {
    EXPECT_EQ(VarekError::invalid("a"), VarekError::invalid("a"));
    EXPECT_NE(VarekError::invalid("x"), VarekError::io("x"));
    EXPECT_NE(VarekError::exception(1), VarekError::exception(2));
    EXPECT_NE(VarekError::exception(7), VarekError::unsupported(7));
    EXPECT_NE(VarekError::crc(), VarekError::readback());
}

}  // namespace
}  // namespace varek
