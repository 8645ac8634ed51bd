#include "mcp_server/user_directories.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace quillmere::mcp {

namespace fs = std::filesystem;

namespace {

std::optional<fs::path> absoluteValue(const UserDirectories::Lookup& lookup, const char* name) {
    const char* value = lookup(name);
    if (value == nullptr || value[0] != '/') return std::nullopt;
    return fs::path(value);
}

fs::path homeDirectory(const UserDirectories::Lookup& lookup) {
    if (auto home = absoluteValue(lookup, "HOME")) return *home;
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> storage(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, storage.data(), storage.size(), &found) == 0 &&
        found != nullptr && found->pw_dir != nullptr && found->pw_dir[0] == '/') {
        return fs::path(found->pw_dir);
    }
    return fs::path("/");
}

}  // namespace

UserDirectories UserDirectories::find(const std::optional<std::string>& cacheRoot,
                                      const Lookup& lookup) {
    const Lookup& get =
        lookup ? lookup : Lookup([](const char* name) { return std::getenv(name); });
    UserDirectories directories;
    directories.home = homeDirectory(get);
    fs::path config = absoluteValue(get, "XDG_CONFIG_HOME").value_or(directories.home / ".config");
    directories.support = config / "QuillmereBridge";
    directories.configURL = directories.support / "folder.bookmark";
    const fs::path own =
        absoluteValue(get, "XDG_CACHE_HOME").value_or(directories.home / ".cache") /
        "QuillmereBridge";
    directories.cache = cacheRoot ? fs::path(*cacheRoot) : own / "Audio";
    directories.index = own / "Index";
    return directories;
}

}  // namespace quillmere::mcp
