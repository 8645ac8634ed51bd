// The server's pieces a whole process cannot reach: the stdio transport on a
// client's non-blocking pipe or an unreadable input, and where the files live.

#include "mcp_server/mcp_server.h"

#include <fcntl.h>
#include <pwd.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <thread>

#include "base/json_text.h"
#include "mcp_server/emit.h"
#include "mcp_server/folder_bookmark.h"
#include "mcp_server/stdio_loop.h"
#include "mcp_server/user_directories.h"
#include "tests/support/temp_dir.h"

namespace quillmere::mcp {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// Far more than a pipe holds, so writes come back partial or EAGAIN; a value
// without a JSON form writes nothing.
TEST(Emit, DeliversEveryByteThroughAFullNonBlockingPipe) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::fcntl(fds[1], F_SETFL, ::fcntl(fds[1], F_GETFL) | O_NONBLOCK);
    json value = {{"text", std::string(4 << 20, 'q')}};
    std::string received;
    std::thread reader([&] {
        char chunk[65536];
        for (ssize_t got; (got = ::read(fds[0], chunk, sizeof chunk)) > 0;) received.append(chunk, got);
    });
    EXPECT_TRUE(emit(value, fds[1]));
    EXPECT_FALSE(emit(json{{"bad", "\xff"}}, fds[1]));
    EXPECT_TRUE(emit(json{{"id", 2}}, fds[1]));
    ::close(fds[1]);
    reader.join();
    ::close(fds[0]);
    EXPECT_EQ(received, "{\"text\":\"" + std::string(4 << 20, 'q') + "\"}\n{\"id\":2}\n");
}

TEST(ServeStdio, AnUnreadableInputEndsWithStatusOne) {
    testing::TempDir folder;
    Library library(folder / "AgentLibrary", folder / "cache");
    MCPServer server(library);
    int writeOnly = ::open("/dev/null", O_WRONLY);
    int output = ::open("/dev/null", O_WRONLY);
    EXPECT_EQ(serveStdio(server, writeOnly, output), 1);
    ::close(writeOnly);
    ::close(output);
}

struct Row {
    std::map<std::string, std::string> environment;
    std::optional<std::string> cacheRoot;
    fs::path support;
    fs::path cache;
    fs::path index = "/home/ann/.cache/QuillmereBridge/Index";
};

TEST(UserDirectories, FollowTheXDGRulesAndTheCacheRoot) {
    const std::string config = "/home/ann/.config/QuillmereBridge", cache = "/home/ann/.cache/QuillmereBridge/Audio";
    for (const Row& row : std::vector<Row>{
             {{{"HOME", "/home/ann"}}, {}, config, cache},
             {{{"HOME", "/home/ann"}, {"XDG_CONFIG_HOME", "/cfg"}, {"XDG_CACHE_HOME", "/c"}}, {}, "/cfg/QuillmereBridge", "/c/QuillmereBridge/Audio", "/c/QuillmereBridge/Index"},
             // Empty or relative XDG values are ignored.
             {{{"HOME", "/home/ann"}, {"XDG_CONFIG_HOME", ""}, {"XDG_CACHE_HOME", "rel"}}, {}, config, cache},
             // A relative cache root is taken unchanged.
             {{{"HOME", "/home/ann"}, {"XDG_CACHE_HOME", "/c"}}, "audio", config, "audio", "/c/QuillmereBridge/Index"},
         }) {
        UserDirectories directories = UserDirectories::find(row.cacheRoot, [&](const char* name) {
            auto found = row.environment.find(name);
            return found == row.environment.end() ? nullptr : found->second.c_str();
        });
        EXPECT_EQ(directories.configURL, row.support / "folder.bookmark");
        EXPECT_EQ(directories.cache, row.cache);
        EXPECT_EQ(directories.index, row.index);
    }
}

TEST(UserDirectories, WithoutAUsableHomeFallBackToTheAccountsHome) {
    for (const char* home : {static_cast<const char*>(nullptr), "", "relative"}) {
        UserDirectories directories = UserDirectories::find({}, [&](const char* name) -> const char* {
            return std::string_view(name) == "HOME" ? home : nullptr;
        });
        EXPECT_EQ(directories.home, std::filesystem::path(::getpwuid(::getuid())->pw_dir));
        EXPECT_EQ(directories.support, directories.home / ".config/QuillmereBridge");
    }
    // An account without a password entry, as a container may run one, falls back to "/"
    // (root only: it alone can switch to such an account).
    if (::geteuid() == 0) {
        EXPECT_EXIT(::_exit(::setuid(54321) != 0 || UserDirectories::find({}, [](const char*) -> const char* { return nullptr; }).home != "/"), ::testing::ExitedWithCode(0), "");
    }
}

// A saved choice without an absolute "path" is malformed data, not some other
// failure on the way to reading it.
TEST(FolderBookmark, WithoutAnAbsolutePathIsMalformed) {
    for (const char* data : {R"({"device": 1})", R"({"path": 5})", R"({"path": ""})", R"({"path": "relative"})"})
        EXPECT_THROW(FolderBookmark::decode(data), base::DecodingError) << data;
}

}  // namespace
}  // namespace quillmere::mcp
