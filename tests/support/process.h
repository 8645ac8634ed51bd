#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillmere::testing {

// What to start and how to talk to it. Only program is required.
struct ProcessOptions {
    // A path, or a bare name looked up in PATH.
    std::filesystem::path program;
    // Arguments after the program name.
    std::vector<std::string> arguments;

    // The child's environment: the parent's (unless inheritEnvironment is
    // false), minus unsetEnvironment, plus environment (which wins).
    bool inheritEnvironment = true;
    std::map<std::string, std::string> environment;
    std::vector<std::string> unsetEnvironment;

    // Empty: the parent's working directory.
    std::filesystem::path workingDirectory;

    // Written to standard input one chunk after another, with pause between
    // chunks (not before the first), so a reader sees them in separate reads.
    // Standard input is closed after the last chunk unless keepInputOpen is set,
    // in which case it is closed only once the child has ended or the time
    // limit is reached.
    std::vector<std::string> inputChunks;
    std::chrono::milliseconds pause{50};
    bool keepInputOpen = false;

    // How the child's standard output is connected: a pipe that is read
    // (capture), a pipe whose reading end is already closed, so every write
    // fails with EPIPE / SIGPIPE (brokenPipe), or no descriptor 1 at all
    // (closed, writes fail with EBADF).
    enum class Output { capture, brokenPipe, closed };
    Output output = Output::capture;

    // Killed with SIGKILL when still running after this long.
    std::chrono::milliseconds timeLimit{30'000};

    // RLIMIT_FSIZE for the child, with SIGXFSZ ignored: writes past it fail
    // with EFBIG as on a full file system.
    std::optional<std::uint64_t> fileSizeLimit;
};

struct ProcessResult {
    std::string standardOutput;
    std::string standardError;
    // Set when the child exited normally.
    std::optional<int> exitStatus;
    // Set when a signal ended the child (SIGKILL after a timeout included).
    std::optional<int> terminatingSignal;
    bool timedOut = false;
    // Bytes of inputChunks the child never read because it closed its input
    // or ended first.
    std::size_t unwrittenInput = 0;

    // "exit 0", "signal 13", "timed out": for failure messages.
    std::string describe() const;
};

// Starts the program in a new session (so it has no controlling terminal and
// /dev/tty cannot be opened), with the default disposition of every signal and
// an empty signal mask, feeds its input, collects both output streams until it
// ends and returns what happened. Throws std::system_error when the process
// cannot be started (an exec failure is reported as exit status 127 instead).
// Ignores SIGPIPE in the calling process, where writing to an ended child
// would otherwise kill the test.
ProcessResult runProcess(const ProcessOptions& options);

// A started child driven one exchange at a time, for a test that changes the
// world between two requests. Started as runProcess starts it (inputChunks,
// output and timeLimit do not apply); killed with SIGKILL if still running
// when the object goes away.
class ChildProcess {
  public:
    explicit ChildProcess(const ProcessOptions& options);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Writes all of bytes to the child's standard input.
    void write(std::string_view bytes);
    // The next line of standard output without its line feed; nullopt when
    // the output ends or no whole line arrives within limit.
    std::optional<std::string> readLine(std::chrono::milliseconds limit);
    // Closes standard input and waits for the end, killing the child after
    // limit (then timedOut is set); the output not read yet is collected.
    ProcessResult finish(std::chrono::milliseconds limit);
    // Standard error so far.
    const std::string& standardError();

  private:
    // Reads what is ready (waiting up to limit for something); false at the
    // end of standard output.
    bool pump(std::chrono::milliseconds limit);

    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    int error_ = -1;
    std::string pending_;
    std::string standardError_;
};

// Runs work in a forked child of this test process and kills the child with
// SIGKILL after delay: a crash at an arbitrary point of work. Returns true when
// the kill landed first; a child that finished on its own must have succeeded
// (work returned without throwing), which is checked as a test failure.
bool killedAfter(const std::function<void()>& work, std::chrono::microseconds delay);

}  // namespace quillmere::testing
