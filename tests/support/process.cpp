#include "tests/support/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <system_error>
#include <thread>

extern char** environ;

namespace quillmere::testing {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

[[noreturn]] void throwErrno(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (std::string& s : strings) result.push_back(s.data());
    result.push_back(nullptr);
    return result;
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

ChildProcess::ChildProcess(const ProcessOptions& options) : timeLimit_(options.timeLimit) {
    std::signal(SIGPIPE, SIG_IGN);
    // Everything the child needs is prepared before fork: between fork and
    // exec only async-signal-safe calls are made.
    std::vector<std::string> argumentStrings = {options.program.string()}, environmentStrings;
    argumentStrings.insert(argumentStrings.end(), options.arguments.begin(), options.arguments.end());
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text(*entry), name = text.substr(0, text.find('='));
        if (!options.environment.contains(name) && std::ranges::count(options.unsetEnvironment, name) == 0)
            environmentStrings.push_back(text);
    }
    for (const auto& [name, value] : options.environment) environmentStrings.push_back(name + "=" + value);
    std::vector<char*> argv = pointers(argumentStrings), envp = pointers(environmentStrings);

    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
        throwErrno("pipe2");
    pid_ = ::fork();
    if (pid_ < 0) throwErrno("fork");
    if (pid_ == 0) {
        ::setsid();
        struct sigaction defaults {};
        defaults.sa_handler = SIG_DFL;
        for (int signal = 1; signal < NSIG; ++signal) ::sigaction(signal, &defaults, nullptr);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        if (::dup2(in[0], STDIN_FILENO) < 0 || ::dup2(err[1], STDERR_FILENO) < 0) ::_exit(127);
        if (options.output == ProcessOptions::Output::closed) {
            ::close(STDOUT_FILENO);
        } else if (::dup2(out[1], STDOUT_FILENO) < 0) {
            ::_exit(127);
        }
        if (!options.workingDirectory.empty() && ::chdir(options.workingDirectory.c_str()) != 0)
            ::_exit(127);
        ::execvpe(argv[0], argv.data(), envp.data());  // a name with a slash is not looked up
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    input_ = in[1], output_ = out[0], error_ = err[0];
    if (options.output != ProcessOptions::Output::capture) closeFd(output_);
    for (int fd : {input_, output_, error_})
        if (fd >= 0) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
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

bool ChildProcess::write(std::string_view bytes) {
    const auto deadline = Clock::now() + timeLimit_;
    while (!bytes.empty()) {
        ssize_t n = ::write(input_, bytes.data(), bytes.size());
        if (n > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
        } else if (n < 0 && errno == EAGAIN && Clock::now() < deadline) {
            pump(milliseconds(10));  // a child blocked on its output cannot read
        } else if (n < 0 && errno != EINTR) {
            return false;
        }
    }
    return true;
}

bool ChildProcess::pump(milliseconds limit) {
    pollfd fds[2] = {{output_, POLLIN, 0}, {error_, POLLIN, 0}};
    if (::poll(fds, 2, static_cast<int>(limit.count())) < 0 && errno != EINTR) throwErrno("poll");
    if (fds[0].revents != 0) drain(output_, pending_);
    if (fds[1].revents != 0) drain(error_, standardError_);
    return output_ >= 0;
}

std::optional<std::string> ChildProcess::readLine(milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        if (auto end = pending_.find('\n'); end != std::string::npos) {
            std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            return line;
        }
        auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        if (output_ < 0 || left.count() <= 0 || !pump(left)) return std::nullopt;
    }
}

ProcessResult ChildProcess::finish(milliseconds limit, bool keepInputOpen) {
    if (!keepInputOpen) closeFd(input_);
    const auto deadline = Clock::now() + limit;
    while ((output_ >= 0 || error_ >= 0) && Clock::now() < deadline) pump(milliseconds(50));
    ProcessResult result;
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
        if (!result.timedOut && Clock::now() >= deadline) {
            result.timedOut = true;
            ::kill(pid_, SIGKILL);
        }
        std::this_thread::sleep_for(milliseconds(2));
    }
    pid_ = -1;
    closeFd(input_);
    if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.terminatingSignal = WTERMSIG(status);
    result.standardOutput = std::move(pending_);
    result.standardError = standardError_;
    return result;
}

const std::string& ChildProcess::standardError() {
    pump(milliseconds(0));
    return standardError_;
}

ProcessResult runProcess(const ProcessOptions& options) {
    const auto deadline = Clock::now() + options.timeLimit;
    ChildProcess child(options);
    for (std::size_t i = 0; i < options.inputChunks.size(); ++i) {
        if (i > 0) std::this_thread::sleep_for(milliseconds(50));
        if (!child.write(options.inputChunks[i])) break;
    }
    return child.finish(std::chrono::duration_cast<milliseconds>(deadline - Clock::now()),
                        options.keepInputOpen);
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
