#include "tests/support/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <system_error>
#include <thread>

extern char** environ;

namespace quillmere::testing {

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void throwErrno(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

struct Pipe {
    int read = -1;
    int write = -1;
};

Pipe makePipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throwErrno("pipe2");
    return {fds[0], fds[1]};
}

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

void setNonBlocking(int fd) {
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) throwErrno("fcntl");
}

std::vector<std::string> environmentFor(const ProcessOptions& options) {
    std::map<std::string, std::string> variables;
    if (options.inheritEnvironment) {
        for (char** entry = environ; *entry != nullptr; ++entry) {
            std::string text(*entry);
            auto equals = text.find('=');
            if (equals != std::string::npos)
                variables[text.substr(0, equals)] = text.substr(equals + 1);
        }
    }
    for (const std::string& name : options.unsetEnvironment) variables.erase(name);
    for (const auto& [name, value] : options.environment) variables[name] = value;
    std::vector<std::string> entries;
    for (const auto& [name, value] : variables) entries.push_back(name + "=" + value);
    return entries;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (std::string& s : strings) result.push_back(s.data());
    result.push_back(nullptr);
    return result;
}

// Runs in the forked child: only async-signal-safe calls until exec.
[[noreturn]] void becomeChild(const ProcessOptions& options, char** argv, char** envp,
                              const Pipe& input, const Pipe& output, const Pipe& error,
                              const rlimit& fileSize) {
    ::setsid();
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal) ::sigaction(signal, &defaults, nullptr);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (options.fileSizeLimit) {
        ::signal(SIGXFSZ, SIG_IGN);
        if (::setrlimit(RLIMIT_FSIZE, &fileSize) != 0) ::_exit(126);
    }

    if (::dup2(input.read, STDIN_FILENO) < 0) ::_exit(127);
    if (options.output == ProcessOptions::Output::closed) {
        ::close(STDOUT_FILENO);
    } else if (::dup2(output.write, STDOUT_FILENO) < 0) {
        ::_exit(127);
    }
    if (::dup2(error.write, STDERR_FILENO) < 0) ::_exit(127);
    if (!options.workingDirectory.empty() && ::chdir(options.workingDirectory.c_str()) != 0) {
        ::_exit(127);
    }
    if (std::strchr(argv[0], '/') != nullptr) {
        ::execve(argv[0], argv, envp);
    } else {
        ::execvpe(argv[0], argv, envp);
    }
    ::_exit(127);
}

// Forks and executes the child; the pipes are left with the parent's ends
// open, non-blocking.
pid_t spawn(const ProcessOptions& options, Pipe& input, Pipe& output, Pipe& error) {
    std::signal(SIGPIPE, SIG_IGN);
    // Everything the child needs is prepared before fork: between fork and
    // exec only async-signal-safe calls are made.
    std::vector<std::string> argumentStrings = {options.program.string()};
    argumentStrings.insert(argumentStrings.end(), options.arguments.begin(),
                           options.arguments.end());
    std::vector<std::string> environmentStrings = environmentFor(options);
    std::vector<char*> argv = pointers(argumentStrings);
    std::vector<char*> envp = pointers(environmentStrings);
    const rlim_t limit = options.fileSizeLimit.value_or(RLIM_INFINITY);
    const rlimit fileSize{limit, limit};

    input = makePipe();
    output = makePipe();
    error = makePipe();
    pid_t pid = ::fork();
    if (pid < 0) throwErrno("fork");
    if (pid == 0) becomeChild(options, argv.data(), envp.data(), input, output, error, fileSize);

    closeFd(input.read);
    closeFd(output.write);
    closeFd(error.write);
    if (options.output != ProcessOptions::Output::capture) closeFd(output.read);
    setNonBlocking(input.write);
    if (output.read >= 0) setNonBlocking(output.read);
    setNonBlocking(error.read);
    return pid;
}

// Waits for pid until deadline, then kills it; records how it ended.
void reap(pid_t pid, Clock::time_point deadline, ProcessResult& result) {
    int status = 0;
    for (;;) {
        pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (done < 0 && errno != EINTR) throwErrno("waitpid");
        if (!result.timedOut && Clock::now() >= deadline) {
            result.timedOut = true;
            ::kill(pid, SIGKILL);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.terminatingSignal = WTERMSIG(status);
}

// Appends what one read of fd gives; closes fd at its end or on an error.
void drain(int& fd, std::string& into) {
    char bytes[65536];
    ssize_t got = ::read(fd, bytes, sizeof bytes);
    if (got > 0) {
        into.append(bytes, static_cast<std::size_t>(got));
    } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
        closeFd(fd);
    }
}

}  // namespace

std::string ProcessResult::describe() const {
    if (timedOut) return "timed out";
    if (exitStatus) return "exit " + std::to_string(*exitStatus);
    if (terminatingSignal) return "signal " + std::to_string(*terminatingSignal);
    return "unknown end";
}

ProcessResult runProcess(const ProcessOptions& options) {
    Pipe input, output, error;
    const pid_t pid = spawn(options, input, output, error);

    ProcessResult result;
    const auto deadline = Clock::now() + options.timeLimit;
    std::size_t chunk = 0;
    std::size_t offset = 0;
    auto nextChunkAt = Clock::now();
    auto finishInput = [&] {
        for (std::size_t i = chunk; i < options.inputChunks.size(); ++i) {
            result.unwrittenInput += options.inputChunks[i].size() - (i == chunk ? offset : 0);
        }
        chunk = options.inputChunks.size();
        closeFd(input.write);
    };
    if (options.inputChunks.empty() && !options.keepInputOpen) closeFd(input.write);

    while (output.read >= 0 || error.read >= 0) {
        auto now = Clock::now();
        if (now >= deadline) {
            result.timedOut = true;
            ::kill(pid, SIGKILL);
            break;
        }
        bool feeding = input.write >= 0 && chunk < options.inputChunks.size();
        bool due = feeding && now >= nextChunkAt;
        pollfd fds[3];
        nfds_t count = 0;
        int outputIndex = -1, errorIndex = -1, inputIndex = -1;
        if (output.read >= 0) outputIndex = count, fds[count++] = {output.read, POLLIN, 0};
        if (error.read >= 0) errorIndex = count, fds[count++] = {error.read, POLLIN, 0};
        if (due) inputIndex = count, fds[count++] = {input.write, POLLOUT, 0};
        auto wakeAt = feeding && !due ? std::min(deadline, nextChunkAt) : deadline;
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(wakeAt - now).count() + 1;
        if (::poll(fds, count, static_cast<int>(wait)) < 0) {
            if (errno == EINTR) continue;
            throwErrno("poll");
        }
        if (outputIndex >= 0 && fds[outputIndex].revents != 0)
            drain(output.read, result.standardOutput);
        if (errorIndex >= 0 && fds[errorIndex].revents != 0) drain(error.read, result.standardError);
        if (inputIndex >= 0 && fds[inputIndex].revents != 0) {
            const std::string& current = options.inputChunks[chunk];
            ssize_t written =
                current.size() == offset
                    ? 0
                    : ::write(input.write, current.data() + offset, current.size() - offset);
            if (written < 0 && errno != EAGAIN && errno != EINTR) {
                finishInput();  // the child closed its input or ended
            } else if (written >= 0) {
                offset += static_cast<std::size_t>(written);
                if (offset == current.size()) {
                    ++chunk;
                    offset = 0;
                    nextChunkAt = Clock::now() + options.pause;
                    if (chunk == options.inputChunks.size() && !options.keepInputOpen) {
                        closeFd(input.write);
                    }
                }
            }
        }
    }
    // Output is closed (or the limit passed); the child may still be running.
    reap(pid, deadline, result);
    if (input.write >= 0) finishInput();
    closeFd(output.read);
    closeFd(error.read);
    return result;
}

ChildProcess::ChildProcess(const ProcessOptions& options) {
    Pipe input, output, error;
    pid_ = spawn(options, input, output, error);
    input_ = input.write;
    output_ = output.read;
    error_ = error.read;
}

ChildProcess::~ChildProcess() {
    closeFd(input_);
    closeFd(output_);
    closeFd(error_);
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

void ChildProcess::write(std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(input_, bytes.data(), bytes.size());
        if (n < 0 && errno == EAGAIN) {
            pollfd writable{input_, POLLOUT, 0};
            ::poll(&writable, 1, 100);
            pump(std::chrono::milliseconds(0));  // a child blocked on its output cannot read
        } else if (n < 0 && errno != EINTR) {
            throwErrno("write to the child");
        } else if (n > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
    }
}

bool ChildProcess::pump(std::chrono::milliseconds limit) {
    pollfd fds[2] = {{output_, POLLIN, 0}, {error_, POLLIN, 0}};
    if (::poll(fds, error_ >= 0 ? 2 : 1, static_cast<int>(limit.count())) < 0 && errno != EINTR)
        throwErrno("poll");
    if (fds[1].revents != 0 && error_ >= 0) drain(error_, standardError_);
    if (fds[0].revents != 0) drain(output_, pending_);
    return output_ >= 0;
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        if (auto end = pending_.find('\n'); end != std::string::npos) {
            std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            return line;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (output_ < 0 || left.count() <= 0 || !pump(left)) return std::nullopt;
    }
}

ProcessResult ChildProcess::finish(std::chrono::milliseconds limit) {
    closeFd(input_);
    const auto deadline = Clock::now() + limit;
    while (output_ >= 0 && Clock::now() < deadline) pump(std::chrono::milliseconds(50));
    while (error_ >= 0 && Clock::now() < deadline) {
        pollfd ready{error_, POLLIN, 0};
        if (::poll(&ready, 1, 50) > 0) drain(error_, standardError_);
    }
    ProcessResult result;
    reap(pid_, deadline, result);
    pid_ = -1;
    result.standardOutput = std::move(pending_);
    result.standardError = standardError_;
    return result;
}

const std::string& ChildProcess::standardError() {
    while (error_ >= 0) {
        pollfd ready{error_, POLLIN, 0};
        if (::poll(&ready, 1, 0) <= 0) break;
        drain(error_, standardError_);
    }
    return standardError_;
}

bool killedAfter(const std::function<void()>& work, std::chrono::microseconds delay) {
    pid_t child = ::fork();
    if (child == 0) {
        try {
            work();
        } catch (...) {
            ::_exit(1);
        }
        ::_exit(0);
    }
    EXPECT_GT(child, 0);
    std::this_thread::sleep_for(delay);
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (WIFEXITED(status)) {
        EXPECT_EQ(WEXITSTATUS(status), 0) << "the work in the killed child failed on its own";
    }
    return WIFSIGNALED(status);
}

}  // namespace quillmere::testing
