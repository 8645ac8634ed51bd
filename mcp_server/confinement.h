#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "mcp_server/user_directories.h"

namespace quillmere::mcp {

// What a confined process may still reach in the file system. Everything else
// is refused by the kernel, as are programs, TCP, ptrace, mounts and the like.
struct ConfinementPolicy {
    // Files read and directories listed beneath each.
    std::vector<std::filesystem::path> readable;
    // As readable, and files and directories created, written, renamed and
    // removed beneath each.
    std::vector<std::filesystem::path> writable;

    bool operator==(const ConfinementPolicy&) const = default;
};

// --status: the shared folder read-only; the server's own cache folder, where
// the record index lives, read-write.
ConfinementPolicy readingPolicy(const std::filesystem::path& root, const UserDirectories& directories);
// The stdio server: the shared folder read-only; the audio cache and the
// server's own cache folder read-write.
ConfinementPolicy servingPolicy(const std::filesystem::path& root, const UserDirectories& directories);
// --choose-folder: the terminal it asks on read-only, the support folder
// where the choice is saved read-write.
ConfinementPolicy folderChoicePolicy(const UserDirectories& directories);

// Confines the calling process for good; call it before any thread starts.
// Sets no_new_privs, grants the policy's paths through Landlock (a path that
// cannot be opened now is granted nothing) with no TCP, no signals or abstract
// sockets beyond the process, and filters out system calls it never needs
// (programs, sockets, ptrace, mounts, modules, namespaces...) with seccomp.
// Applies whatever the kernel offers and returns one sentence saying what is
// not enforced here, or "" when everything is.
std::string confine(const ConfinementPolicy& policy);

}  // namespace quillmere::mcp
