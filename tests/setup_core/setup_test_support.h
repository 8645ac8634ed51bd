#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// Helpers shared by the setup core's tests.
namespace quillmere::setup::testing {

// Sets (or, with nullopt, unsets) one variable of this process's environment and puts
// the old value back on destruction. installCodex hands the whole environment to codex.
class ScopedEnvironment {
  public:
    ScopedEnvironment(std::string name, const std::optional<std::string>& value);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

  private:
    std::string name_;
    std::optional<std::string> previous_;
};

// QUILLMERE_BUILD_DIR of the test environment (set by ctest).
std::filesystem::path buildDirectory();
// The real command-line tool name (codex, claude, gemini) pinned in package-lock.json,
// in QUILLMERE_SOURCE_DIR.
std::filesystem::path realTool(const std::string& name);

// The permission bits of path (links not followed).
mode_t permissions(const std::filesystem::path& path);
// The lines of a text file; none when it is missing.
std::vector<std::string> lines(const std::filesystem::path& file);
// Names in directory that start with prefix + ".quillmere-backup-".
std::vector<std::string> backupsOf(const std::filesystem::path& directory, const std::string& prefix);
// Waits (up to ten seconds) until pid has ended: gone, or a zombie nobody reaps.
bool processEnds(pid_t pid);

}  // namespace quillmere::setup::testing
