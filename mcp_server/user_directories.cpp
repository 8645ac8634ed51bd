#include "mcp_server/user_directories.h"

#include <pwd.h>
#include <sys/stat.h>
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
    directories.ownCache =
        absoluteValue(get, "XDG_CACHE_HOME").value_or(directories.home / ".cache") / "QuillmereBridge";
    directories.cache = cacheRoot ? fs::path(*cacheRoot) : directories.ownCache / "Audio";
    directories.ownsCache = !cacheRoot;
    directories.index = directories.ownCache / "Index";
    return directories;
}

void UserDirectories::keepCachePrivate() const {
    std::vector<fs::path> folders{ownCache};
    if (ownsCache) folders.push_back(cache);
    for (const fs::path& folder : folders) {
        struct stat info {};
        // Only a real folder of this user: a link is followed by chmod, to whatever it names.
        if (::lstat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() &&
            (info.st_mode & 077) != 0) {
            ::chmod(folder.c_str(), 0700);
        }
    }
}

}  // namespace quillmere::mcp
