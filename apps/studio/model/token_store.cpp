#include "token_store.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "varek/json.hpp"

namespace varek {

TokenStore::TokenStore(const std::filesystem::path& supportDirectory)
    : path_(supportDirectory / "VAREK Studio" / "remotes" / "tokens.json") {}

std::map<QString, QString> TokenStore::read() const {
    std::map<QString, QString> tokens;
    // Only a regular file of this user's is believed; anything else is as if empty.
    struct stat info {};
    if (::lstat(path_.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::getuid()) return tokens;
    std::ifstream file(path_);
    std::stringstream text;
    text << file.rdbuf();
    const Json stored = Json::parse(text.str(), nullptr, false);
    if (!stored.is_object()) return tokens;
    for (const auto& [url, token] : stored.items()) {
        if (token.is_string()) tokens[QString::fromStdString(url)] = QString::fromStdString(token.get<std::string>());
    }
    return tokens;
}

std::optional<QString> TokenStore::token(const QString& url) const {
    const auto tokens = read();
    const auto found = tokens.find(url);
    if (found == tokens.end()) return std::nullopt;
    return found->second;
}

std::optional<QString> TokenStore::keep(const QString& url, const QString& token) {
    auto tokens = read();
    tokens[url] = token;
    return write(tokens);
}

void TokenStore::forget(const QString& url) {
    auto tokens = read();
    if (tokens.erase(url)) (void)write(tokens);
}

std::optional<QString> TokenStore::write(const std::map<QString, QString>& tokens) {
    std::error_code error;
    std::filesystem::create_directories(path_.parent_path(), error);
    if (error) return QString::fromStdString(error.message());
    ::chmod(path_.parent_path().c_str(), 0700);
    Json stored = Json::object();
    for (const auto& [url, token] : tokens) stored[url.toStdString()] = token.toStdString();
    const std::string text = stored.dump(2) + "\n";
    // Written whole beside the file, readable by the user only from its first byte, then renamed over it.
    const std::filesystem::path temporary = path_.string() + ".new";
    ::unlink(temporary.c_str());
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return QString::fromLocal8Bit(std::strerror(errno));
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && ::fsync(fd) == 0;
    const int failure = errno;
    ::close(fd);
    if (!written || ::rename(temporary.c_str(), path_.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return QString::fromLocal8Bit(std::strerror(written ? errno : failure));
    }
    return std::nullopt;
}

}  // namespace varek
