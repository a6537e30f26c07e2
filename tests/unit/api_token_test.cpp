#include "varek/api_token.hpp"

#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "varek/error.hpp"

namespace varek {
namespace {

namespace fs = std::filesystem;

class ApiTokenTest : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "varek-token-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
    }
    void TearDown() override { fs::remove_all(root_); }

    fs::path support() const { return root_ / "share"; }
    fs::path tokenFile() const { return support() / "VAREK Studio" / "API" / "access-token"; }

    static unsigned mode(const fs::path& path) {
        struct stat info {};
        EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
        return info.st_mode & 07777;
    }
    static std::string contents(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream out;
        out << in.rdbuf();
        return out.str();
    }
    void writeToken(const std::string& content, unsigned permissions = 0644) {
        fs::create_directories(tokenFile().parent_path());
        std::ofstream(tokenFile(), std::ios::binary) << content;
        fs::permissions(tokenFile(), static_cast<fs::perms>(permissions));
    }

    fs::path root_;
};

TEST_F(ApiTokenTest, FirstStartCreatesPrivateDirectoriesAndFile) {
    fs::create_directories(support());
    fs::permissions(support(), static_cast<fs::perms>(0755));

    const ApiToken created = ApiToken::loadOrCreate(support());

    EXPECT_EQ(created.path, tokenFile());
    EXPECT_EQ(mode(support()), 0755u) << "an existing directory is left as it is";
    EXPECT_EQ(mode(support() / "VAREK Studio"), 0700u);
    EXPECT_EQ(mode(support() / "VAREK Studio" / "API"), 0700u);
    EXPECT_EQ(mode(tokenFile()), 0600u);
    const std::string content = contents(tokenFile());
    ASSERT_EQ(content.size(), 65u);
    EXPECT_EQ(content, created.token + "\n");
    EXPECT_EQ(created.token.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(std::distance(fs::directory_iterator(tokenFile().parent_path()), fs::directory_iterator()), 1)
        << "no temporary file is left behind";
}

TEST_F(ApiTokenTest, LaterStartsReadTheTokenBackAndResetPermissions) {
    const ApiToken first = ApiToken::loadOrCreate(support());
    const std::string content = contents(tokenFile());
    fs::permissions(tokenFile(), static_cast<fs::perms>(0644));

    const ApiToken second = ApiToken::loadOrCreate(support());

    EXPECT_EQ(second.token, first.token);
    EXPECT_EQ(contents(tokenFile()), content);
    EXPECT_EQ(mode(tokenFile()), 0600u);
}

TEST_F(ApiTokenTest, ValidFilesAreUsedExactlyAsWritten) {
    const std::string upper = std::string(32, 'A') + std::string(32, 'f');
    const std::pair<std::string, std::string> cases[] = {
        {"\n\n  " + upper + " \r\n\n\t", upper},
        {"\xc2\xa0" + upper + "\xe3\x80\x80\n", upper},  // no-break and ideographic spaces
        {std::string(64, '0'), std::string(64, '0')},
    };
    for (const auto& [content, token] : cases) {
        writeToken(content);
        EXPECT_EQ(ApiToken::loadOrCreate(support()).token, token);
        EXPECT_EQ(contents(tokenFile()), content);
        EXPECT_EQ(mode(tokenFile()), 0600u);
    }
}

TEST_F(ApiTokenTest, MalformedFilesAreRefusedAndLeftUntouched) {
    const std::string hex(64, 'a');
    const std::string cases[] = {
        hex.substr(1) + "\n",
        hex + "a\n",
        hex.substr(0, 10) + "g" + hex.substr(11),
        hex.substr(0, 32) + " " + hex.substr(32),
        "Bearer " + hex,
        "",
        hex.substr(1) + "\xff",
        "\xef\xbc\x91" + hex.substr(1),  // a full-width digit one
    };
    for (const auto& content : cases) {
        SCOPED_TRACE(content);
        writeToken(content, 0644);
        try {
            ApiToken::loadOrCreate(support());
            ADD_FAILURE() << "accepted";
        } catch (const VarekError& error) {
            EXPECT_EQ(error, VarekError::io("API令牌文件格式无效。"));
        }
        EXPECT_EQ(contents(tokenFile()), content);
        EXPECT_EQ(mode(tokenFile()), 0644u);
    }
}

TEST_F(ApiTokenTest, SystemFailuresCarryTheSystemDescription) {
    std::ofstream(root_ / "plain-file") << "x";
    const std::pair<fs::path, std::string> cases[] = {
        {root_ / "plain-file" / "share", "Not a directory"},
        {root_ / "dir-token", "Is a directory"},
    };
    fs::create_directories(root_ / "dir-token" / "VAREK Studio" / "API" / "access-token");
    for (const auto& [directory, message] : cases) {
        try {
            ApiToken::loadOrCreate(directory);
            ADD_FAILURE() << "succeeded for " << directory;
        } catch (const VarekError& error) {
            EXPECT_EQ(error, VarekError::io(message));
        }
    }
}

TEST_F(ApiTokenTest, SimultaneousFirstStartsAgreeOnOneToken) {
    constexpr int starters = 8;
    std::vector<std::string> tokens(starters);
    std::vector<std::thread> threads;
    for (int i = 0; i < starters; ++i) {
        threads.emplace_back([&, i] { tokens[i] = ApiToken::loadOrCreate(support()).token; });
    }
    for (auto& thread : threads) thread.join();
    for (const auto& token : tokens) EXPECT_EQ(token, tokens.front());
    EXPECT_EQ(contents(tokenFile()), tokens.front() + "\n");
}

}  // namespace
}  // namespace varek
