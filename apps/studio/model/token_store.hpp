#pragma once

#include <QString>

#include <filesystem>
#include <map>
#include <optional>

namespace varek {

/// The API tokens of remote varek-servers, by URL, in one file only its user may read
/// (mode 0600, directory 0700, in the application's data directory): never in the
/// preferences, a log, a command line or a URL.
class TokenStore {
public:
    /// The file "<supportDirectory>/VAREK Studio/remotes/tokens.json".
    explicit TokenStore(const std::filesystem::path& supportDirectory);

    /// The token kept for `url`, if any.
    std::optional<QString> token(const QString& url) const;
    /// Keeps `token` for `url`; the failure's description when the file cannot be written.
    std::optional<QString> keep(const QString& url, const QString& token);
    /// Forgets the token of `url`.
    void forget(const QString& url);
    const std::filesystem::path& path() const { return path_; }

private:
    std::map<QString, QString> read() const;
    std::optional<QString> write(const std::map<QString, QString>& tokens);

    std::filesystem::path path_;
};

}  // namespace varek
