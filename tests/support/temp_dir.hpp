#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace varek::test {

/// A fresh private directory under /tmp for one test, removed with all its
/// contents on destruction, so parallel test runs never share files.
class TempDir {
public:
    /// Creates /tmp/varek-test-XXXXXX; throws std::system_error when it cannot.
    TempDir() {
        std::string pattern = "/tmp/varek-test-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::system_error(errno, std::generic_category(), "mkdtemp");
        }
        path_ = pattern;
    }
    /// Removes the directory tree; failures are ignored, as a destructor cannot report them.
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    /// The directory's absolute path.
    const std::filesystem::path& path() const noexcept { return path_; }

private:
    std::filesystem::path path_;
};

}  // namespace varek::test
