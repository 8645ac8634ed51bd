#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>

namespace quillmere::testing {

// tests/support/codex_stand_in.sh of the source tree ctest names in QUILLMERE_SOURCE_DIR.
inline std::filesystem::path codexStandIn() {
    const char* source = std::getenv("QUILLMERE_SOURCE_DIR");
    return std::filesystem::path(source ? source : ".") / "tests/support/codex_stand_in.sh";
}

// The codex installed in a fixed location that a search outside any home finds first on
// this machine. No test can hide it, so tests that need "no codex" expect this instead.
inline std::optional<std::filesystem::path> machineCodex() {
    for (const char* path : {"/Applications/ChatGPT.app/Contents/Resources/codex-cli/bin/codex",
                             "/Applications/Codex.app/Contents/Resources/codex-cli/bin/codex",
                             "/Applications/Codex.app/Contents/Resources/codex",
                             "/opt/homebrew/bin/codex", "/usr/local/bin/codex"}) {
        if (std::filesystem::is_regular_file(path) && ::access(path, X_OK) == 0) return path;
    }
    return std::nullopt;
}

}  // namespace quillmere::testing
