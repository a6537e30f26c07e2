#include "varek/api_token.hpp"

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "varek/error.hpp"

namespace varek {
namespace {

namespace fs = std::filesystem;

unsigned mode(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

std::string contents(const fs::path& path) {
    std::ostringstream out;
    out << std::ifstream(path, std::ios::binary).rdbuf();
    return out.str();
}

struct ApiTokenTest : testing::Test {
    ApiTokenTest() {
        std::string pattern = (fs::temp_directory_path() / "varek-token-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        share = fs::path(pattern) / "share";
    }
    ~ApiTokenTest() override { fs::remove_all(share.parent_path()); }

    fs::path share;
    fs::path tokenFile() const { return share / "VAREK Studio" / "API" / "access-token"; }
};

TEST_F(ApiTokenTest, CreatedPrivatelyThenReadBackWithPermissionsReset) {
    fs::create_directories(share);
    fs::permissions(share, static_cast<fs::perms>(0755));
    const ApiToken created = ApiToken::loadOrCreate(share);
    EXPECT_EQ(created.path, tokenFile());
    EXPECT_EQ(mode(share), 0755u) << "an existing directory is left as it is";
    EXPECT_EQ(mode(share / "VAREK Studio"), 0700u);
    EXPECT_EQ(mode(share / "VAREK Studio" / "API"), 0700u);
    EXPECT_EQ(mode(tokenFile()), 0600u);
    const std::string content = contents(tokenFile());
    ASSERT_EQ(content.size(), 65u);
    EXPECT_EQ(content, created.token + "\n");
    EXPECT_EQ(created.token.find_first_not_of("0123456789abcdef"), std::string::npos);

    fs::permissions(tokenFile(), static_cast<fs::perms>(0644));
    EXPECT_EQ(ApiToken::loadOrCreate(share).token, created.token);
    EXPECT_EQ(contents(tokenFile()), content);
    EXPECT_EQ(mode(tokenFile()), 0600u);

    const std::string written = "\n  " + std::string(32, 'A') + std::string(32, 'f') + " \r\n";  // used as written
    std::ofstream(tokenFile(), std::ios::binary) << written;
    EXPECT_EQ(ApiToken::loadOrCreate(share).token, written.substr(3, 64));
    EXPECT_EQ(contents(tokenFile()), written);
}

TEST_F(ApiTokenTest, MalformedFilesAreRefusedAndLeftUntouched) {
    const std::string hex(64, 'a');
    const std::string cases[] = {
        hex.substr(1) + "\n", hex + "a\n", hex.substr(0, 10) + "g" + hex.substr(11),
        hex.substr(0, 32) + " " + hex.substr(32), "Bearer " + hex, "",
    };
    fs::create_directories(tokenFile().parent_path());
    for (const auto& content : cases) {
        SCOPED_TRACE(content);
        std::ofstream(tokenFile(), std::ios::binary) << content;
        fs::permissions(tokenFile(), static_cast<fs::perms>(0644));
        try {
            ApiToken::loadOrCreate(share);
            ADD_FAILURE() << "accepted";
        } catch (const VarekError& error) {
            EXPECT_EQ(error, VarekError::io("API令牌文件格式无效。"));
        }
        EXPECT_EQ(contents(tokenFile()), content);
        EXPECT_EQ(mode(tokenFile()), 0644u);
    }
}

TEST_F(ApiTokenTest, SimultaneousFirstStartsAgreeOnOneToken) {
    std::vector<std::string> tokens(8);
    std::vector<std::thread> threads;
    for (auto& token : tokens) threads.emplace_back([&] { token = ApiToken::loadOrCreate(share).token; });
    for (auto& thread : threads) thread.join();
    for (const auto& token : tokens) EXPECT_EQ(token, tokens.front());
    EXPECT_EQ(contents(tokenFile()), tokens.front() + "\n");
}

}  // namespace
}  // namespace varek
