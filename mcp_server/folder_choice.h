#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "mcp_server/user_directories.h"

namespace quillmere::mcp {

// Asks the person at the terminal for the shared folder in place of an open
// panel: message on standard error, then one line from /dev/tty, or from
// standard input where the process has no terminal. Empty input or end of
// input is a cancelled panel (nullopt). Input longer than any path is kept
// as a marker that fails as ENAMETOOLONG.
std::optional<std::string> askForFolder(std::string_view message);

// The directory the typed text names: surrounding blanks trimmed, a leading
// "~" or "~/" replaced by home, made absolute against the working directory,
// "." and ".." and trailing slashes removed.
//   expandTypedPath(" ~/Sync/AgentLibrary/ ", "/home/ann") -> "/home/ann/Sync/AgentLibrary"
std::filesystem::path expandTypedPath(std::string_view typed, const std::filesystem::path& home);

// Saves chosen as the folder choice, replacing an earlier one atomically:
// chosen must be an existing directory named exactly AgentLibrary; support is
// created on the way. Throws ToolFailure ("folder") for another name,
// std::system_error for the file system, base::EncodingError for a path that
// is not UTF-8. On failure an earlier choice is left untouched.
void saveFolderChoice(const std::filesystem::path& chosen, const UserDirectories& directories);

// The whole --choose-folder mode with its diagnostics; returns the exit status.
int runFolderChoice(const UserDirectories& directories);

}  // namespace quillmere::mcp
