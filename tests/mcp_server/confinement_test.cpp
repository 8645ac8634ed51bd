// The server's confinement, applied in a forked child with the policy the
// server computes: the kernel refuses every attempt but reading the library,
// writing the caches and starting threads.

#include "mcp_server/confinement.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <functional>
#include <thread>

#include "tests/support/temp_dir.h"

namespace quillmere {
namespace {

namespace fs = std::filesystem;

// A home with a library, the server's caches, a private key, and a TCP
// listener on the loopback address.
struct Place {
    fs::path home;
    fs::path library = home / "Sync/AgentLibrary";
    sockaddr_in listener{};
};

bool opens(const fs::path& path, int flags) {
    int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0600);
    if (fd >= 0) ::close(fd);
    return fd >= 0;
}

struct Attempt {
    const char* name;
    std::function<bool(const Place&)> succeeds;
    bool allowed;
};

// 0: the attempt succeeded, 1: it was refused, 2: the confinement was incomplete.
int confinedAttempt(const Attempt& attempt, const Place& place) {
    pid_t child = ::fork();
    if (child == 0) {
        auto lookup = [&](const char* name) { return std::string_view(name) == "HOME" ? place.home.c_str() : nullptr; };
        const mcp::UserDirectories directories = mcp::UserDirectories::find((place.home / "cache").string(), lookup);
        if (!mcp::confine(mcp::servingPolicy(place.library, directories)).empty()) ::_exit(2);
        ::_exit(attempt.succeeds(place) ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(Confinement, TheKernelRefusesAllButTheServersOwnWork) {
    testing::TempDir dir;
    Place place{.home = dir.path()};
    testing::writeFile(place.library / "record.json", "{}");
    testing::writeFile(dir / ".ssh/id_ed25519", "private");
    fs::create_symlink(dir / ".ssh/id_ed25519", place.library / "key.json");
    fs::create_directories(dir / "cache");
    fs::create_directories(dir / ".cache/QuillmereBridge");
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    place.listener = {.sin_family = AF_INET, .sin_port = 0, .sin_addr = {htonl(INADDR_LOOPBACK)}};
    socklen_t length = sizeof place.listener;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&place.listener), length), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&place.listener), &length), 0);

    using P = const Place&;
    for (const Attempt& attempt : std::vector<Attempt>{
             {"read inside the library", [](P p) { return opens(p.library / "record.json", O_RDONLY); }, true},
             {"write inside the cache", [](P p) { return opens(p.home / "cache/track.m4a", O_WRONLY | O_CREAT); }, true},
             {"write the server's own cache", [](P p) { return opens(p.home / ".cache/QuillmereBridge/lock", O_RDWR | O_CREAT); }, true},
             {"start a thread", [](P) { bool ran = false; std::thread([&] { ran = true; }).join(); return ran; }, true},
             {"read a private key", [](P p) { return opens(p.home / ".ssh/id_ed25519", O_RDONLY); }, false},
             {"follow a link out of the library", [](P p) { return opens(p.library / "key.json", O_RDONLY); }, false},
             {"write into the library", [](P p) { return opens(p.library / "record.json", O_WRONLY); }, false},
             {"create in the library", [](P p) { return opens(p.library / "new.json", O_WRONLY | O_CREAT); }, false},
             {"write beside the cache", [](P p) { return opens(p.home / "cache-beside", O_WRONLY | O_CREAT); }, false},
             {"run a program", [](P) { ::execl("/bin/true", "true", nullptr); return false; }, false},
             {"connect over TCP", [](P p) { int fd = ::socket(AF_INET, SOCK_STREAM, 0); return fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&p.listener), sizeof p.listener) == 0; }, false},
             {"trace the parent", [](P) { return ::ptrace(PTRACE_SEIZE, ::getppid(), nullptr, nullptr) == 0; }, false},
             {"signal the parent", [](P) { return ::kill(::getppid(), 0) == 0; }, false},
             {"make a user namespace", [](P) { return ::unshare(CLONE_NEWUSER) == 0; }, false},
         }) {
        EXPECT_EQ(confinedAttempt(attempt, place), attempt.allowed ? 0 : 1) << attempt.name;
    }
    ::close(listener);
}

}  // namespace
}  // namespace quillmere
