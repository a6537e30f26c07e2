#include "varek/api_token.hpp"

#include <algorithm>
#include <csignal>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "varek/error.hpp"

namespace varek {
namespace {

namespace fs = std::filesystem;

constexpr uid_t foreignUser = 65534;

unsigned mode(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

std::string contents(const fs::path& path) {
    std::ostringstream out;
    out << std::ifstream(path, std::ios::binary).rdbuf();
    return out.str();
}

void write(const fs::path& path, const std::string& content, unsigned permissions) {
    std::ofstream(path, std::ios::binary) << content;
    fs::permissions(path, static_cast<fs::perms>(permissions));
}

/// Leaves exactly `count` descriptors free in this process (a child's).
void leaveFreeDescriptors(int count) {
    int highest = 0;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        highest = std::max(highest, std::stoi(entry.path().filename().string()));
    }
    for (int filler; (filler = ::open("/dev/null", O_RDONLY)) >= 0;) {
        if (filler > highest) {
            ::close(filler);
            break;
        }
    }
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = static_cast<rlim_t>(highest) + 1 + static_cast<rlim_t>(count);
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

/// Runs loadOrCreate in a child that a blocking open, an endless loop or an
/// endless read cannot keep alive, after `constrain` limited the child: the token,
/// the error's description, or how it died.
std::string loadInChild(const fs::path& share, const std::function<void()>& constrain = {}) {
    int out[2];
    if (::pipe(out) != 0) throw std::runtime_error("pipe failed");
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(out[0]);
        ::alarm(5);
#if !defined(__SANITIZE_ADDRESS__)
        const rlimit memory{512u << 20, 512u << 20};  // sanitizers reserve far more address space
        ::setrlimit(RLIMIT_AS, &memory);
#endif
        if (constrain) constrain();
        std::string result;
        try {
            result = "token " + ApiToken::loadOrCreate(share).token;
        } catch (const std::exception& error) {
            result = error.what();
        }
        (void)!::write(out[1], result.data(), result.size());
        ::_exit(0);
    }
    ::close(out[1]);
    std::string result;
    char chunk[512];
    for (ssize_t n; (n = ::read(out[0], chunk, sizeof chunk)) > 0;) result.append(chunk, static_cast<std::size_t>(n));
    ::close(out[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFSIGNALED(status) ? "killed by signal " + std::to_string(WTERMSIG(status)) : result;
}

fs::path temporaryDirectory() {
    std::string pattern = (fs::temp_directory_path() / "varek-token-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

struct ApiTokenTest : testing::Test {
    ~ApiTokenTest() override { fs::remove_all(root); }

    /// Fails for every temporary file left anywhere under the test directory.
    void expectNoTemporaryLeft() const {
        for (const auto& entry : fs::recursive_directory_iterator(root))
            EXPECT_FALSE(entry.path().filename().string().starts_with(".access-token")) << entry.path();
    }

    fs::path root = temporaryDirectory();
    fs::path share = root / "share";
    fs::path studio = share / "VAREK Studio";
    fs::path api = studio / "API";
    fs::path file = api / "access-token";
    fs::path outside = root / "outside";  // what a planted link points at
};

TEST_F(ApiTokenTest, CreatedPrivatelyThenReadBackWithPermissionsTightened) {
    const ApiToken created = ApiToken::loadOrCreate(share);
    EXPECT_EQ(created.path, file);
    EXPECT_EQ(mode(share), 0700u);
    EXPECT_EQ(mode(studio), 0700u);
    EXPECT_EQ(mode(api), 0700u);
    EXPECT_EQ(mode(file), 0600u);
    const std::string content = contents(file);
    ASSERT_EQ(content.size(), 65u);
    EXPECT_EQ(content, created.token + "\n");
    EXPECT_EQ(created.token.find_first_not_of("0123456789abcdef"), std::string::npos);

    // Left open by hand or by an older version: ours are tightened, the
    // support directory belongs to the whole desktop and stays as it is.
    fs::permissions(share, static_cast<fs::perms>(0755));
    for (const auto& directory : {studio, api}) fs::permissions(directory, static_cast<fs::perms>(0777));
    fs::permissions(file, static_cast<fs::perms>(0644));
    EXPECT_EQ(ApiToken::loadOrCreate(share).token, created.token);
    EXPECT_EQ(contents(file), content);
    EXPECT_EQ(mode(share), 0755u);
    EXPECT_EQ(mode(studio), 0700u);
    EXPECT_EQ(mode(api), 0700u);
    EXPECT_EQ(mode(file), 0600u);

    // Used as written, in a file at the 4 KiB limit.
    std::string written = "\n  " + std::string(32, 'A') + std::string(32, 'f') + " \r\n";
    written.resize(4096, '\n');
    write(file, written, 0600);
    EXPECT_EQ(ApiToken::loadOrCreate(share).token, written.substr(3, 64));
    EXPECT_EQ(contents(file), written);
    expectNoTemporaryLeft();
}

TEST_F(ApiTokenTest, MalformedFilesAreRefusedAndLeftUntouched) {
    const std::string hex(64, 'a');
    std::string oversize = hex + "\n";
    oversize.resize(4097, '\n');
    const std::string cases[] = {
        hex.substr(1) + "\n", hex + "a\n", hex.substr(0, 10) + "g" + hex.substr(11),
        hex.substr(0, 32) + " " + hex.substr(32), "Bearer " + hex, "", oversize,
    };
    fs::create_directories(api);
    for (const auto& content : cases) {
        SCOPED_TRACE(content.substr(0, 80));
        write(file, content, 0644);
        try {
            ApiToken::loadOrCreate(share);
            ADD_FAILURE() << "accepted";
        } catch (const VarekError& error) {
            EXPECT_EQ(error, VarekError::io("API令牌文件格式无效。"));
        }
        EXPECT_EQ(contents(file), content);
        EXPECT_EQ(mode(file), 0644u);
    }
}

TEST_F(ApiTokenTest, AnythingButOurOwnFileAndDirectoriesStopsStartUp) {
    const std::string planted(64, 'b');
    const std::string unsafeFile = "API令牌文件不安全：" + file.string() + "（不是本用户的普通文件）";
    const auto unsafeDirectory = [](const fs::path& path) {
        return "API令牌目录不安全：" + path.string() + "（不是本用户的目录）";
    };
    struct Case {
        const char* name;
        std::function<void()> plant;
        std::string message;
    };
    const Case cases[] = {
        {"dangling symlink", [&] { fs::create_symlink(root / "missing", file); }, unsafeFile},
        {"symlink to another file", [&] { fs::create_symlink(outside, file); }, unsafeFile},
        {"FIFO", [&] { ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0); }, unsafeFile},
        {"symlink to /dev/zero", [&] { fs::create_symlink("/dev/zero", file); }, unsafeFile},
        {"directory", [&] { fs::create_directory(file); }, unsafeFile},
        {"foreign token file",
         [&] {
             write(file, planted + "\n", 0644);
             ASSERT_EQ(::chown(file.c_str(), foreignUser, foreignUser), 0);
         },
         unsafeFile},
        {"foreign API directory", [&] { ASSERT_EQ(::chown(api.c_str(), foreignUser, foreignUser), 0); },
         unsafeDirectory(api)},
        {"symlinked API directory",
         [&] {
             fs::remove(api);
             fs::remove(outside);
             fs::create_directory(outside);
             fs::create_symlink(outside, api);
         },
         unsafeDirectory(api)},
        {"symlinked studio directory",
         [&] {
             fs::remove_all(studio);
             fs::remove(outside);
             fs::create_directory(outside);
             fs::create_symlink(outside, studio);
         },
         unsafeDirectory(studio)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(share);
        fs::remove_all(outside);
        fs::create_directories(api);
        write(outside, planted + "\n", 0644);
        c.plant();
        EXPECT_EQ(loadInChild(share), c.message);
        if (fs::is_regular_file(fs::symlink_status(outside))) {
            EXPECT_EQ(contents(outside), planted + "\n");
            EXPECT_EQ(mode(outside), 0644u);
        } else {
            EXPECT_TRUE(fs::is_empty(outside)) << "nothing is created through a linked directory";
        }
        if (fs::is_regular_file(fs::symlink_status(file))) {
            EXPECT_EQ(contents(file), planted + "\n");
            EXPECT_EQ(mode(file), 0644u);
        }
        expectNoTemporaryLeft();
    }
}

// What the system refuses on the way is reported in its words, and no temporary file
// or half-made token is left behind; an existing token stays as it was.
TEST_F(ApiTokenTest, SystemFailuresAreReportedAndLeaveNothingHalfMade) {
    std::ofstream(root / "plain") << "in the way\n";
    const auto free = [](int count) { return [count] { leaveFreeDescriptors(count); }; };
    const struct {
        const char* name;
        fs::path share;
        std::function<void()> constrain;
        int error;
    } cases[] = {
        {"support directory below a file", root / "plain" / "share", {}, ENOTDIR},
        {"no descriptor for the support directory", share, free(0), EMFILE},
        {"none for \"VAREK Studio\"", share, free(1), EMFILE},
        {"none for \"API\"", share, free(2), EMFILE},
        {"none for the new file", share, free(3), EMFILE},
        {"a file size limit",
         share,
         [] {
             std::signal(SIGXFSZ, SIG_IGN);
             const rlimit none{0, 0};
             ::setrlimit(RLIMIT_FSIZE, &none);
         },
         EFBIG},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(share);
        EXPECT_EQ(loadInChild(c.share, c.constrain), std::strerror(c.error));
        EXPECT_FALSE(fs::exists(file));
        expectNoTemporaryLeft();
    }
    const std::string token = ApiToken::loadOrCreate(share).token;
    EXPECT_EQ(loadInChild(share, free(3)), std::strerror(EMFILE));
    EXPECT_EQ(contents(file), token + "\n");
    EXPECT_EQ(loadInChild(share, free(4)), "token " + token);
}

TEST_F(ApiTokenTest, SimultaneousFirstStartsAgreeOnOneToken) {
    std::vector<std::string> tokens(8);
    std::vector<std::thread> threads;
    for (auto& token : tokens) threads.emplace_back([&] { token = ApiToken::loadOrCreate(share).token; });
    for (auto& thread : threads) thread.join();
    for (const auto& token : tokens) EXPECT_EQ(token, tokens.front());
    EXPECT_EQ(contents(file), tokens.front() + "\n");
    expectNoTemporaryLeft();
}

}  // namespace
}  // namespace varek
