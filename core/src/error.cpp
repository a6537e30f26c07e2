#include "varek/error.hpp"

#include <system_error>
#include <utility>

namespace varek {
namespace {

std::string describe(VarekError::Case kind, const std::string& text, std::uint16_t code) {
    switch (kind) {
    case VarekError::Case::invalid:
    case VarekError::Case::io:
        return text;
    case VarekError::Case::exception:
        return "电源拒绝请求（错误码 " + std::to_string(code) + "）。";
    case VarekError::Case::unsupported:
        return "暂不支持此电源型号（识别码 " + std::to_string(code) + "）。";
    case VarekError::Case::timeout:
        return "电源未响应，请检查接口模式、波特率和站号。";
    case VarekError::Case::crc:
        return "收到的通讯数据校验失败。";
    case VarekError::Case::readback:
        return "电源读回值与请求不一致，请检查面板。";
    case VarekError::Case::identityChanged:
        return "电源身份已变化，请重新连接。";
    }
    return text;
}

}  // namespace

VarekError::VarekError(Case kind, std::string text, std::uint16_t code)
    : kind_(kind), text_(std::move(text)), code_(code), description_(describe(kind_, text_, code_)) {}

VarekError VarekError::invalid(std::string text) { return {Case::invalid, std::move(text), 0}; }
VarekError VarekError::io(std::string text) { return {Case::io, std::move(text), 0}; }
VarekError VarekError::ioErrno(std::string_view prefix, int err) {
    std::string message(prefix);
    message += "：";
    // generic_category() uses strerror_r: the same text, without strerror's shared buffer.
    message += std::error_code(err, std::generic_category()).message();
    return io(std::move(message));
}
VarekError VarekError::exception(std::uint8_t code) { return {Case::exception, {}, code}; }
VarekError VarekError::unsupported(std::uint16_t model) { return {Case::unsupported, {}, model}; }
VarekError VarekError::timeout() { return {Case::timeout, {}, 0}; }
VarekError VarekError::crc() { return {Case::crc, {}, 0}; }
VarekError VarekError::readback() { return {Case::readback, {}, 0}; }
VarekError VarekError::disconnected() { return io("串口已断开。"); }

VarekError VarekError::identityChanged() { return {Case::identityChanged, {}, 0}; }

}  // namespace varek
