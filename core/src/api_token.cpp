#include "varek/api_token.hpp"

#include <array>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

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
/// The token with generous blank lines around it fits; a larger file is not a token file.
constexpr std::size_t maxFileBytes = 4096;
/// Reads after losing the creation race to another program before giving up.
constexpr int createAttempts = 3;

[[noreturn]] void failWithErrno(int err) { throw VarekError::io(std::strerror(err)); }

[[noreturn]] void failUnsafeFile(const fs::path& path) {
    throw VarekError::io("API令牌文件不安全：" + path.string() + "（不是本用户的普通文件）");
}

[[noreturn]] void failUnsafeDirectory(const fs::path& path) {
    throw VarekError::io("API令牌目录不安全：" + path.string() + "（不是本用户的目录）");
}

/// Closes a descriptor on every path out of a scope.
struct Descriptor {
    int fd = -1;
    explicit Descriptor(int fd) : fd(fd) {}
    Descriptor(Descriptor&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

/// Creates each missing component of the support directory with 0700; components
/// that exist stay as they are (the support directory is shared with other programs).
void createMissingDirectories(const fs::path& directory) {
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
}

/// Opens (creating it if missing) the directory `path`, named relative to `parent`,
/// without following a symbolic link, and makes it private. Anything but a directory
/// of this user there would let someone else read or replace the token.
Descriptor openPrivateDirectory(int parent, const fs::path& path) {
    const fs::path leaf = path.filename();
    const char* name = leaf.c_str();
    if (::mkdirat(parent, name, 0700) != 0 && errno != EEXIST) failWithErrno(errno);
    Descriptor directory(::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat info {};
    if (directory.fd < 0) {
        const int err = errno;
        if (err == ELOOP || err == ENOTDIR) failUnsafeDirectory(path);
        // A directory this user cannot even open may be someone else's.
        if (err == EACCES && ::fstatat(parent, name, &info, AT_SYMLINK_NOFOLLOW) == 0 && info.st_uid != ::geteuid())
            failUnsafeDirectory(path);
        failWithErrno(err);
    }
    if (::fstat(directory.fd, &info) != 0) failWithErrno(errno);
    if (info.st_uid != ::geteuid()) failUnsafeDirectory(path);
    // Also tightens a directory left open by hand or by an older version.
    if ((info.st_mode & 07777) != 0700 && ::fchmod(directory.fd, 0700) != 0) failWithErrno(errno);
    return directory;
}

bool ownRegularFile(const struct stat& info) { return S_ISREG(info.st_mode) && info.st_uid == ::geteuid(); }

/// Reads the whole file, or fails as malformed once it is larger than a token file can be.
std::string readBounded(int fd) {
    std::string content(maxFileBytes + 1, '\0');
    std::size_t used = 0;
    while (used < content.size()) {
        const ssize_t n = ::read(fd, content.data() + used, content.size() - used);
        if (n < 0) {
            if (errno == EINTR) continue;
            failWithErrno(errno);
        }
        if (n == 0) break;
        used += static_cast<std::size_t>(n);
    }
    if (used > maxFileBytes) throw VarekError::io(std::string(malformedMessage));
    content.resize(used);
    return content;
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

std::string parseToken(const std::string& content) {
    // Content that is not UTF-8 can never trim down to 64 hex digits, so it is
    // refused by the same check as any other malformed file.
    const std::string token(trimWhitespace(content));
    if (!ApiToken::valid(token)) throw VarekError::io(std::string(malformedMessage));
    return token;
}

/// The token in the file at `path` (named relative to `directory`), or nothing when
/// there is no file. Only a regular file of this user is opened: a device could act
/// on being opened, a FIFO could block, a link could lead anywhere.
std::optional<std::string> readExisting(int directory, const fs::path& path) {
    const fs::path leaf = path.filename();
    struct stat info {};
    if (::fstatat(directory, leaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) return std::nullopt;
        failWithErrno(errno);
    }
    if (!ownRegularFile(info)) failUnsafeFile(path);
    const Descriptor file(::openat(directory, leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (file.fd < 0) {
        if (errno == ENOENT) return std::nullopt;
        if (errno == ELOOP) failUnsafeFile(path);
        failWithErrno(errno);
    }
    // Checked again on what was opened: the file may have been replaced meanwhile.
    if (::fstat(file.fd, &info) != 0) failWithErrno(errno);
    if (!ownRegularFile(info)) failUnsafeFile(path);
    std::string token = parseToken(readBounded(file.fd));
    if (::fchmod(file.fd, 0600) != 0) failWithErrno(errno);
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

/// A new, uniquely named file in the API directory, removed on every path out of scope.
struct TemporaryFile {
    int directory;
    std::string name;
    Descriptor file{-1};

    explicit TemporaryFile(int directory) : directory(directory) {
        static std::atomic<unsigned> counter{0};
        // The name is only ever created here, so a taken name is a stale file of
        // a crashed program with the same process id: try the next one.
        for (int attempt = 0; attempt < 16; ++attempt) {
            name = ".access-token." + std::to_string(::getpid()) + "." + std::to_string(counter++);
            file.fd = ::openat(directory, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (file.fd >= 0) return;
            if (errno != EEXIST) failWithErrno(errno);
        }
        failWithErrno(EEXIST);
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile() { ::unlinkat(directory, name.c_str(), 0); }
};

/// Writes a complete temporary file and links it into place as `name`. Returns false
/// when another program created the token file first; its token is then the one to use.
bool publishAtomically(int directory, const char* name, std::string_view content) {
    {
        const TemporaryFile temporary(directory);
        // The umask may have narrowed the mode.
        if (::fchmod(temporary.file.fd, 0600) != 0) failWithErrno(errno);
        writeFully(temporary.file.fd, content);
        if (::fsync(temporary.file.fd) != 0) failWithErrno(errno);
        // linkat() never replaces an existing file, so two programs starting at once
        // cannot overwrite each other's token; renameat() is the fallback for file
        // systems without hard links.
        if (::linkat(directory, temporary.name.c_str(), directory, name, 0) != 0) {
            const int err = errno;
            if (err == EEXIST) return false;
            if (err != EPERM && err != ENOTSUP && err != EOPNOTSUPP) failWithErrno(err);
            if (::renameat(directory, temporary.name.c_str(), directory, name) != 0) failWithErrno(errno);
        }
    }
    ::fsync(directory);
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
        const fs::path support = fs::absolute(supportDirectory);
        createMissingDirectories(support);
        const Descriptor base(::open(support.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC));
        if (base.fd < 0) failWithErrno(errno);
        ApiToken result{{}, support / "VAREK Studio" / "API" / "access-token"};
        const Descriptor studio = openPrivateDirectory(base.fd, result.path.parent_path().parent_path());
        const Descriptor api = openPrivateDirectory(studio.fd, result.path.parent_path());
        for (int attempt = 0; attempt < createAttempts; ++attempt) {
            if (auto existing = readExisting(api.fd, result.path)) {
                result.token = std::move(*existing);
                return result;
            }
            result.token = generateToken();
            const fs::path leaf = result.path.filename();
            if (publishAtomically(api.fd, leaf.c_str(), result.token + "\n")) return result;
        }
        // Each time another program's new file was gone again before it could be read.
        failWithErrno(EEXIST);
    } catch (const fs::filesystem_error& error) {
        throw VarekError::io(error.code().message());
    }
}

}  // namespace varek
