#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>

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

// QUILLMERE_SOURCE_DIR and QUILLMERE_BUILD_DIR of the test environment; the current
// test fails (and an empty path comes back) when they are not set.
std::filesystem::path sourceDirectory();
std::filesystem::path buildDirectory();

// The real codex command-line tool pinned in package-lock.json.
std::filesystem::path realCodex();
// tests/setup_core/fake_codex.sh.
std::filesystem::path fakeCodex();

// The permission bits of path (links not followed).
mode_t permissions(const std::filesystem::path& path);

// Waits (up to ten seconds) until pid has ended: gone, or a zombie nobody reaps.
bool processEnds(pid_t pid);

}  // namespace quillmere::setup::testing
