#pragma once

#include <filesystem>
#include <string>

namespace varek {

/// The per-user API token file "<support>/VAREK Studio/API/access-token".
struct ApiToken {
    std::string token;
    std::filesystem::path path;

    /// Reads and validates the token file under `supportDirectory`, or creates it
    /// (64 lower-case hex digits and LF, file 0600, written atomically; the support
    /// directory is created if missing). "VAREK Studio", "API" and the file are never
    /// followed as symbolic links; the two directories are made 0700 and the file is
    /// reset to 0600 on every call. Throws VarekError::io "API令牌目录不安全：<dir>（…）"
    /// or "API令牌文件不安全：<path>（…）" for anything there that is not a directory,
    /// or regular file, of the effective user; "API令牌文件格式无效。" for content that
    /// is not a token or a file over 4 KiB; "无法生成API令牌。"; or the system's
    /// description for directory, read, write and permission failures.
    static ApiToken loadOrCreate(const std::filesystem::path& supportDirectory);
    /// True for exactly 64 hexadecimal digits (either case).
    static bool valid(const std::string& token) noexcept;
};

}  // namespace varek
