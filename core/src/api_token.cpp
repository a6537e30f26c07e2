#include "varek/api_token.hpp"

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "varek/error.hpp"
#include "varek/platform.hpp"

namespace varek {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view malformedMessage = "API令牌文件格式无效。";
constexpr std::size_t tokenBytes = 32;

[[noreturn]] void failWithErrno(int err) { throw VarekError::io(std::strerror(err)); }

/// Closes a descriptor on every path out of a scope.
struct Descriptor {
    int fd = -1;
    explicit Descriptor(int fd) : fd(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

/// Creates each missing component with 0700; components that exist stay as they are.
void createPrivateDirectories(const fs::path& directory) {
    fs::path partial;
    for (const auto& component : directory) {
        partial /= component;
        struct stat existing {};
        if (::stat(partial.c_str(), &existing) == 0) continue;
        if (::mkdir(partial.c_str(), 0700) == 0) {
            // The umask may have narrowed the mode below what the owner needs.
            if (::chmod(partial.c_str(), 0700) != 0) failWithErrno(errno);
        } else if (errno != EEXIST) {
            failWithErrno(errno);
        }
    }
    struct stat info {};
    if (::stat(directory.c_str(), &info) != 0) failWithErrno(errno);
    if (!S_ISDIR(info.st_mode)) failWithErrno(ENOTDIR);
}

std::string readAll(int fd) {
    std::string content;
    std::array<char, 4096> chunk{};
    for (;;) {
        const ssize_t n = ::read(fd, chunk.data(), chunk.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            failWithErrno(errno);
        }
        if (n == 0) return content;
        content.append(chunk.data(), static_cast<std::size_t>(n));
    }
}

/// Whitespace and line breaks trimmed from both ends of the file, including the
/// Unicode spaces an editor may leave behind.
constexpr std::array<std::string_view, 25> trimmable = {
    " ", "\t", "\n", "\v", "\f", "\r", "\u0085", "\u00A0", "\u1680", "\u2000", "\u2001", "\u2002", "\u2003",
    "\u2004", "\u2005", "\u2006", "\u2007", "\u2008", "\u2009", "\u200A", "\u2028", "\u2029", "\u202F",
    "\u205F", "\u3000"};

std::string_view trimWhitespace(std::string_view text) {
    for (bool changed = true; changed && !text.empty();) {
        changed = false;
        for (const auto space : trimmable) {
            if (text.starts_with(space)) {
                text.remove_prefix(space.size());
                changed = true;
            }
            if (text.ends_with(space)) {
                text.remove_suffix(space.size());
                changed = true;
            }
        }
    }
    return text;
}

std::string readExisting(int fd) {
    // Content that is not UTF-8 can never trim down to 64 hex digits, so it is
    // refused by the same check as any other malformed file.
    const std::string token(trimWhitespace(readAll(fd)));
    if (!ApiToken::valid(token)) throw VarekError::io(std::string(malformedMessage));
    return token;
}

std::string generateToken() {
    std::array<std::byte, tokenBytes> random{};
    if (!platform::secureRandom(random)) throw VarekError::io("无法生成API令牌。");
    constexpr std::string_view digits = "0123456789abcdef";
    std::string token;
    token.reserve(2 * tokenBytes);
    for (const std::byte b : random) {
        const auto value = std::to_integer<unsigned>(b);
        token += digits[value >> 4];
        token += digits[value & 0x0F];
    }
    return token;
}

void writeFully(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            failWithErrno(errno);
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
}

/// Writes a complete temporary file and links it into place. Returns false when
/// another process created the token file first; its token is then the one to use.
bool publishAtomically(const fs::path& path, std::string_view content) {
    std::string temporary = (path.parent_path() / ".access-token.XXXXXX").string();
    const int raw = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (raw < 0) failWithErrno(errno);
    try {
        Descriptor file(raw);
        if (::fchmod(file.fd, 0600) != 0) failWithErrno(errno);
        writeFully(file.fd, content);
        if (::fsync(file.fd) != 0) failWithErrno(errno);
        // link() never replaces an existing file, so two programs starting at once
        // cannot overwrite each other's token; rename() is the fallback for file
        // systems without hard links.
        if (::link(temporary.c_str(), path.c_str()) != 0) {
            const int err = errno;
            if (err == EEXIST) {
                ::unlink(temporary.c_str());
                return false;
            }
            if (::rename(temporary.c_str(), path.c_str()) != 0) failWithErrno(errno);
        } else {
            ::unlink(temporary.c_str());
        }
    } catch (...) {
        ::unlink(temporary.c_str());
        throw;
    }
    const Descriptor directory(::open(path.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.fd >= 0) ::fsync(directory.fd);
    return true;
}

}  // namespace

bool ApiToken::valid(const std::string& token) noexcept {
    if (token.size() != 2 * tokenBytes) return false;
    for (const char c : token) {
        const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!hex) return false;
    }
    return true;
}

ApiToken ApiToken::loadOrCreate(const std::filesystem::path& supportDirectory) {
    try {
        const fs::path directory = fs::absolute(supportDirectory) / "VAREK Studio" / "API";
        createPrivateDirectories(directory);
        ApiToken result{{}, directory / "access-token"};
        for (;;) {
            const Descriptor existing(::open(result.path.c_str(), O_RDONLY | O_CLOEXEC));
            if (existing.fd >= 0) {
                result.token = readExisting(existing.fd);
                if (::fchmod(existing.fd, 0600) != 0) failWithErrno(errno);
                return result;
            }
            if (errno != ENOENT) failWithErrno(errno);
            result.token = generateToken();
            if (publishAtomically(result.path, result.token + "\n")) {
                if (::chmod(result.path.c_str(), 0600) != 0) failWithErrno(errno);
                return result;
            }
        }
    } catch (const fs::filesystem_error& error) {
        throw VarekError::io(error.code().message());
    }
}

}  // namespace varek
