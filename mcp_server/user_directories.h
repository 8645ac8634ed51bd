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
// ownCache = $XDG_CACHE_HOME (default ~/.cache) + "QuillmereBridge", whatever
// the --cache-root value.
// index = ownCache + "Index" (the record index; --cache-root leaves it where it is).
// An XDG variable that is empty or not absolute is ignored, as the rules ask.
// Home is $HOME when absolute, else the password database's entry, else "/".
struct UserDirectories {
    std::filesystem::path home;
    std::filesystem::path support;
    std::filesystem::path configURL;
    std::filesystem::path cache;
    std::filesystem::path ownCache;
    // True for the default cache, whose Audio folder is the server's.
    bool ownsCache = false;

    // Makes ownCache, and an owned cache, the owner's alone (0700) where they exist and
    // allow more: earlier versions left them readable by others. A --cache-root keeps
    // its mode. Failures are ignored; the cache still works.
    void keepCachePrivate() const;
    std::filesystem::path index;

    // lookup reads one environment variable (nullptr when unset); the default
    // reads the process environment.
    using Lookup = std::function<const char*(const char* name)>;
    static UserDirectories find(const std::optional<std::string>& cacheRoot,
                                const Lookup& lookup = {});
};

}  // namespace quillmere::mcp
