#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quillmere::setup {

// What a finished child left behind.
struct CommandOutput {
    // The exit status, or the number of the signal that ended the child. Callers only
    // compare it with zero.
    std::int32_t status = 0;
    // Everything the child wrote to standard output, in order.
    std::string data;
};

// Runs one child process under a hard time limit and collects its standard output.
//
// The child is started directly with posix_spawn, never through a shell, in a process
// group of its own. Its standard output goes to a private file
// (<temporary directory>/quillmere-setup-<UUID>, mode 0600, removed on every path out),
// never a pipe, so a large output cannot stall it; standard input and standard error
// are the null device. The call polls every 20 ms; at the deadline the whole process
// group is asked to terminate (SIGTERM), given 100 ms, then killed (SIGKILL), so that
// nothing the call started, grandchildren of launcher scripts included, outlives it.
class CommandRunner {
  public:
    static constexpr const char* outputPrefix = "quillmere-setup-";
    static constexpr std::uintmax_t outputLimit = 8 * 1024 * 1024;  // exactly this is accepted

    CommandRunner() = delete;

    // Blocks for at most about timeout + 100 ms + the final wait. environment, when
    // given, is the child's complete environment (else it inherits this process's);
    // directory, when given, its working directory. A non-zero exit status is returned,
    // not thrown. Throws SetupFailure::timedOut at the deadline, SetupFailure::cliFailed
    // for output above outputLimit, and std::system_error when the output file cannot be
    // made or read or the program cannot be launched (missing, not executable, bad
    // working directory).
    static CommandOutput run(const std::filesystem::path& executable,
                             const std::vector<std::string>& arguments,
                             const std::optional<std::map<std::string, std::string>>& environment,
                             const std::optional<std::filesystem::path>& directory, double timeout);
};

}  // namespace quillmere::setup
