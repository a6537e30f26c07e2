#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

namespace varek {

/// The one error type of the core library: a case, a payload, and one fixed
/// user-facing message composed when the error is raised.
class VarekError : public std::exception {
public:
    enum class Case { invalid, io, exception, unsupported, timeout, crc, readback, identityChanged };

    /// A request or reply broke a rule; `text` is the complete message.
    static VarekError invalid(std::string text);
    /// The port, a file or the link failed; `text` is the complete message.
    static VarekError io(std::string text);
    /// `io` with `prefix` + "：" + strerror(err), the rule for serial-port failures.
    static VarekError ioErrno(std::string_view prefix, int err);
    /// The supply answered with a Modbus exception reply.
    static VarekError exception(std::uint8_t code);
    /// The identity names a model other than the supported one.
    static VarekError unsupported(std::uint16_t model);
    /// `io` "串口已断开。": no open port, or device work that will never get its turn.
    static VarekError disconnected();
    static VarekError timeout();
    static VarekError crc();
    static VarekError readback();
    static VarekError identityChanged();

    Case kind() const noexcept { return kind_; }
    /// Payload text of `invalid` and `io`; empty for the other cases.
    const std::string& text() const noexcept { return text_; }
    /// Payload code of `exception` and `unsupported`; 0 for the other cases.
    std::uint16_t code() const noexcept { return code_; }

    /// The fixed user-facing message (UTF-8).
    const std::string& description() const noexcept { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

    /// Same case and equal payloads; `invalid` and `io` with one text differ.
    friend bool operator==(const VarekError& a, const VarekError& b) noexcept {
        return a.kind_ == b.kind_ && a.text_ == b.text_ && a.code_ == b.code_;
    }

private:
    VarekError(Case kind, std::string text, std::uint16_t code);

    Case kind_;
    std::string text_;
    std::uint16_t code_;
    std::string description_;
};

}  // namespace varek
