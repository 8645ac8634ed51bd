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
    std::vector<std::string> arguments;
    // The child's environment: the parent's minus unsetEnvironment, plus environment.
    std::map<std::string, std::string> environment;
    std::vector<std::string> unsetEnvironment;
    // Empty: the parent's working directory.
    std::filesystem::path workingDirectory;

    // Written to standard input 50 ms apart, so a reader sees them in separate
    // reads. Standard input is then closed, or with keepInputOpen only once the
    // child has ended.
    std::vector<std::string> inputChunks;
    bool keepInputOpen = false;

    // Standard output: a pipe that is read (capture), a pipe whose reading end
    // is closed, so writes fail with EPIPE (brokenPipe), or no descriptor 1 at
    // all (closed, writes fail with EBADF).
    enum class Output { capture, brokenPipe, closed };
    Output output = Output::capture;

    // Killed with SIGKILL when still running after this long.
    std::chrono::milliseconds timeLimit{30'000};
};

struct ProcessResult {
    std::string standardOutput;
    std::string standardError;
    // Set when the child exited normally.
    std::optional<int> exitStatus;
    // Set when a signal ended the child (SIGKILL after a timeout included).
    std::optional<int> terminatingSignal;
    bool timedOut = false;

    // "exit 0", "signal 13", "timed out": for failure messages.
    std::string describe() const;
};

// Starts the program in a new session (no controlling terminal), with default
// signal dispositions and an empty mask; an exec failure is exit status 127.
// Ignores SIGPIPE in the calling process, where writing to an ended child would
// otherwise kill the test.
class ChildProcess {
  public:
    explicit ChildProcess(const ProcessOptions& options);
    // Kills the child with SIGKILL if it still runs.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Writes all of bytes to standard input; false when the child closed it,
    // ended, or did not read for the time limit.
    bool write(std::string_view bytes);
    // The next line of standard output without its line feed; nullopt when
    // the output ends or no whole line arrives within limit.
    std::optional<std::string> readLine(std::chrono::milliseconds limit);
    // Closes standard input (unless keepInputOpen) and waits for the end,
    // killing the child after limit; the output not read yet is collected.
    ProcessResult finish(std::chrono::milliseconds limit, bool keepInputOpen = false);
    // Standard error so far.
    const std::string& standardError();
    pid_t pid() const { return pid_; }

  private:
    // Reads what is ready, waiting up to limit; false at the end of standard output.
    bool pump(std::chrono::milliseconds limit);

    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    int error_ = -1;
    std::chrono::milliseconds timeLimit_;
    std::string pending_;
    std::string standardError_;
};

// A ChildProcess fed options.inputChunks and run to its end.
ProcessResult runProcess(const ProcessOptions& options);

// Runs work in a forked child of this test process and kills the child with
// SIGKILL after delay: a crash at an arbitrary point of work. Returns true when
// the kill landed first; a child that finished on its own must have succeeded
// (work returned without throwing), which is checked as a test failure.
bool killedAfter(const std::function<void()>& work, std::chrono::microseconds delay);

}  // namespace quillmere::testing
