#include "mcp_server/user_directories.h"

#include <gtest/gtest.h>

#include <map>

namespace quillmere::mcp {
namespace {

namespace fs = std::filesystem;

struct Row {
    std::map<std::string, std::string> environment;
    std::optional<std::string> cacheRoot;
    fs::path support;
    fs::path cache;
};

TEST(UserDirectories, FollowTheXDGRulesAndTheCacheRoot) {
    const std::string config = "/home/ann/.config/QuillmereBridge", cache = "/home/ann/.cache/QuillmereBridge/Audio";
    for (const Row& row : std::vector<Row>{
             {{{"HOME", "/home/ann"}}, {}, config, cache},
             {{{"HOME", "/home/ann"}, {"XDG_CONFIG_HOME", "/cfg"}, {"XDG_CACHE_HOME", "/c"}}, {}, "/cfg/QuillmereBridge", "/c/QuillmereBridge/Audio"},
             // Empty or relative XDG values are ignored.
             {{{"HOME", "/home/ann"}, {"XDG_CONFIG_HOME", ""}, {"XDG_CACHE_HOME", "rel"}}, {}, config, cache},
             // The cache root is taken unchanged, relative or not.
             {{{"HOME", "/home/ann"}, {"XDG_CACHE_HOME", "/c"}}, "audio", config, "audio"},
             {{{"HOME", "/home/ann"}}, "/srv/audio/", config, "/srv/audio/"},
         }) {
        UserDirectories directories = UserDirectories::find(row.cacheRoot, [&](const char* name) {
            auto found = row.environment.find(name);
            return found == row.environment.end() ? nullptr : found->second.c_str();
        });
        EXPECT_EQ(directories.configURL, row.support / "folder.bookmark");
        EXPECT_EQ(directories.cache, row.cache);
    }
}

TEST(UserDirectories, WithoutAUsableHomeFallBackToTheAccountsHome) {
    for (const char* home : {static_cast<const char*>(nullptr), "", "relative"}) {
        UserDirectories directories = UserDirectories::find({}, [&](const char* name) -> const char* {
            return std::string_view(name) == "HOME" ? home : nullptr;
        });
        EXPECT_TRUE(directories.home.is_absolute());
        EXPECT_EQ(directories.support, directories.home / ".config/QuillmereBridge");
    }
}

}  // namespace
}  // namespace quillmere::mcp
