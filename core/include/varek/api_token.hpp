#pragma once

#include <filesystem>
#include <string>

namespace varek {

/// The per-user API token file "<support>/VAREK Studio/API/access-token".
struct ApiToken {
    std::string token;
    std::filesystem::path path;

    /// Reads and validates the token file under `supportDirectory`, or creates it
    /// (directories 0700, file 0600, 64 lower-case hex digits and LF, written
    /// atomically). Resets the file to 0600 on every call. Throws VarekError::io
    /// "API令牌文件格式无效。" / "无法生成API令牌。", or VarekError::io with the
    /// system's description for directory, read, write and permission failures.
    static ApiToken loadOrCreate(const std::filesystem::path& supportDirectory);
    /// True for exactly 64 hexadecimal digits (either case).
    static bool valid(const std::string& token) noexcept;
};

}  // namespace varek
