#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace quillmere::mcp {

// The per-user places of the server, after the XDG base directory rules:
// support = $XDG_CONFIG_HOME (default ~/.config) + "QuillmereBridge",
// configURL = support + "folder.bookmark" (the saved folder choice),
// cache = the --cache-root value unchanged, else $XDG_CACHE_HOME (default
// ~/.cache) + "QuillmereBridge/Audio",
// index = $XDG_CACHE_HOME (default ~/.cache) + "QuillmereBridge/Index" (the
// record index; --cache-root leaves it where it is).
// An XDG variable that is empty or not absolute is ignored, as the rules ask.
// Home is $HOME when absolute, else the password database's entry, else "/".
struct UserDirectories {
    std::filesystem::path home;
    std::filesystem::path support;
    std::filesystem::path configURL;
    std::filesystem::path cache;
    std::filesystem::path index;

    // lookup reads one environment variable (nullptr when unset); the default
    // reads the process environment.
    using Lookup = std::function<const char*(const char* name)>;
    static UserDirectories find(const std::optional<std::string>& cacheRoot,
                                const Lookup& lookup = {});
};

}  // namespace quillmere::mcp
