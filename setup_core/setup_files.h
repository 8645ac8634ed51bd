#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace quillmere::setup {

// The read-if-present rule: the whole file, or nullopt when it does not exist (ENOENT).
// Opened without blocking and read to at most bound bytes (a client row's readBound):
// anything but a regular file (a FIFO, a link to /dev/zero) or a longer file throws
// base::FileRefused, whose message says which. Every other failure (permissions, ...)
// throws std::system_error unchanged.
std::optional<std::string> readIfPresent(const std::filesystem::path& path, std::size_t bound);

// The absolute form of path with every symbolic link resolved, the last component
// included, also where the link's destination does not exist yet, so that writing to
// the result keeps the link. Components from the first missing one on are appended
// lexically. Throws std::system_error(ELOOP) for a link cycle.
//   resolveSymbolicLinks("/home/u/.cursor/mcp.json") with mcp.json -> ../dotfiles/mcp.json
//   gives "/home/u/dotfiles/mcp.json", whether or not that file exists.
std::filesystem::path resolveSymbolicLinks(const std::filesystem::path& path);

// Creates path, which must not exist yet, holding exactly bytes with the given
// permissions (umask not applied), synced to disk. A partly written file is removed.
// Throws std::system_error.
void createFile(const std::filesystem::path& path, std::string_view bytes, mode_t mode);

// True for a regular file (links followed) that the current user may execute.
bool isExecutableFile(const std::filesystem::path& path);

}  // namespace quillmere::setup
