#include "setup_core/command_runner.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <system_error>
#include <thread>

#include "base/posix_file.h"
#include "base/uuid.h"
#include "setup_core/setup_failure.h"

extern char** environ;

namespace quillmere::setup {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto pollInterval = std::chrono::microseconds(20'000);
constexpr auto gracePeriod = std::chrono::microseconds(100'000);

[[noreturn]] void throwErrno(int error, const std::string& what) {
    throw std::system_error(error, std::generic_category(), what);
}

// Owns the output file: removes it and closes its descriptor on every path out.
class OutputFile {
  public:
    OutputFile()
        : path_(std::filesystem::temp_directory_path() /
                (std::string(CommandRunner::outputPrefix) + base::Uuid::random().text())),
          fd_(base::openOrThrow(path_, O_WRONLY | O_CREAT | O_EXCL, 0600)) {
        // A umask may take even the owner's bits, and the output is read back by path.
        if (::fchmod(fd_.get(), 0600) != 0) {
            const int error = errno;
            ::unlink(path_.c_str());
            throwErrno(error, "cannot set permissions of " + path_.string());
        }
    }
    ~OutputFile() { ::unlink(path_.c_str()); }
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    int fd() const { return fd_.get(); }
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
    base::FileDescriptor fd_;
};

// posix_spawn's attribute and file-action objects, destroyed on every path out.
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

void check(int result, const char* what) {
    if (result != 0) throwErrno(result, what);
}

// True while the child has not exited. Leaves an exited child unreaped, so that its
// process (and group) identifier cannot be reused before the group has been signalled.
bool running(pid_t pid) {
    for (;;) {
        siginfo_t info{};
        if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0) {
            return info.si_pid == 0;
        }
        if (errno != EINTR) return false;
    }
}

int reap(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return WTERMSIG(status);
    return status;
}

std::string readOutput(const std::filesystem::path& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throwErrno(errno, "cannot read " + path.string());
    std::string data;
    char buffer[65536];
    for (;;) {
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            int error = errno;
            ::close(fd);
            throwErrno(error, "cannot read " + path.string());
        }
        if (got == 0) break;
        data.append(buffer, static_cast<std::size_t>(got));
        // A grandchild may still be writing after the size check.
        if (data.size() > CommandRunner::outputLimit) {
            ::close(fd);
            throw SetupFailure(SetupFailure::Kind::cliFailed);
        }
    }
    ::close(fd);
    return data;
}

}  // namespace

CommandOutput CommandRunner::run(
    const std::filesystem::path& executable, const std::vector<std::string>& arguments,
    const std::optional<std::map<std::string, std::string>>& environment,
    const std::optional<std::filesystem::path>& directory, double timeout) {
    OutputFile output;

    SpawnSetup spawn;
    check(posix_spawn_file_actions_addopen(&spawn.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0),
          "posix_spawn_file_actions_addopen");
    check(posix_spawn_file_actions_adddup2(&spawn.actions, output.fd(), STDOUT_FILENO),
          "posix_spawn_file_actions_adddup2");
    check(posix_spawn_file_actions_addopen(&spawn.actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0),
          "posix_spawn_file_actions_addopen");
    if (directory) {
        check(posix_spawn_file_actions_addchdir_np(&spawn.actions, directory->c_str()),
              "posix_spawn_file_actions_addchdir_np");
    }

    // A group of its own, so the time-out reaches whatever the child starts; signals
    // this process ignores or blocks are not passed on.
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signal : {SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGTERM, SIGCHLD, SIGUSR1, SIGUSR2}) {
        sigaddset(&defaults, signal);
    }
    check(
        posix_spawnattr_setflags(&spawn.attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                                        POSIX_SPAWN_SETSIGDEF),
        "posix_spawnattr_setflags");
    check(posix_spawnattr_setpgroup(&spawn.attributes, 0), "posix_spawnattr_setpgroup");
    check(posix_spawnattr_setsigmask(&spawn.attributes, &none), "posix_spawnattr_setsigmask");
    check(posix_spawnattr_setsigdefault(&spawn.attributes, &defaults),
          "posix_spawnattr_setsigdefault");

    std::vector<std::string> argumentStrings;
    argumentStrings.reserve(arguments.size() + 1);
    argumentStrings.push_back(executable.string());
    argumentStrings.insert(argumentStrings.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : argumentStrings) argv.push_back(argument.data());
    argv.push_back(nullptr);

    std::vector<std::string> environmentStrings;
    std::vector<char*> envp;
    if (environment) {
        for (const auto& [name, value] : *environment)
            environmentStrings.push_back(name + "=" + value);
        for (std::string& entry : environmentStrings) envp.push_back(entry.data());
        envp.push_back(nullptr);
    }

    pid_t pid = -1;
    int launched = ::posix_spawn(&pid, executable.c_str(), &spawn.actions, &spawn.attributes,
                                 argv.data(), environment ? envp.data() : environ);
    if (launched != 0) throwErrno(launched, "cannot launch " + executable.string());

    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(timeout));
    while (running(pid) && Clock::now() < deadline) std::this_thread::sleep_for(pollInterval);

    if (running(pid)) {
        ::kill(-pid, SIGTERM);
        std::this_thread::sleep_for(gracePeriod);
        // Also when the child itself is gone: members of its group may have outlived it.
        ::kill(-pid, SIGKILL);
        reap(pid);
        throw SetupFailure(SetupFailure::Kind::timedOut);
    }
    int status = reap(pid);

    struct stat info {};
    if (::stat(output.path().c_str(), &info) != 0)
        throwErrno(errno, "cannot inspect " + output.path().string());
    if (static_cast<std::uintmax_t>(info.st_size) > outputLimit) {
        throw SetupFailure(SetupFailure::Kind::cliFailed);
    }
    return CommandOutput{status, readOutput(output.path())};
}

}  // namespace quillmere::setup
