#include "mcp_server/confinement.h"

#include <fcntl.h>
#include <linux/landlock.h>
#include <seccomp.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <memory>

namespace quillmere::mcp {

namespace fs = std::filesystem;

// Sanitizer builds (tests only): LeakSanitizer stops every thread with ptrace
// at exit and reads /proc/self to find them. Decided when compiling, so no
// product build carries the exception.
#if defined(__SANITIZE_ADDRESS__)
#define QUILLMERE_SANITIZER_RUNTIME 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUILLMERE_SANITIZER_RUNTIME 1
#endif
#endif
#ifndef QUILLMERE_SANITIZER_RUNTIME
#define QUILLMERE_SANITIZER_RUNTIME 0
#endif

namespace {

// System files read after confinement: the number of CPUs online (the refresh
// workers, the allocator's arenas).
std::vector<fs::path> systemFiles() {
    std::vector<fs::path> files{"/sys/devices/system/cpu/online"};
    if (QUILLMERE_SANITIZER_RUNTIME) files.emplace_back("/proc");
    return files;
}

// ---- Landlock, through its system calls; the installed headers may be older
// than the kernel, so the newer rights are spelled out here.

constexpr std::uint64_t fsTruncate = 1ULL << 14;               // ABI 3
constexpr std::uint64_t fsIoctlDev = 1ULL << 15;               // ABI 5
constexpr std::uint64_t netBindTcp = 1ULL << 0;                // ABI 4
constexpr std::uint64_t netConnectTcp = 1ULL << 1;             // ABI 4
constexpr std::uint64_t scopeAbstractUnixSocket = 1ULL << 0;   // ABI 6
constexpr std::uint64_t scopeSignal = 1ULL << 1;               // ABI 6

// The ruleset attribute of ABI 6; older kernels are given the prefix they know.
struct RulesetAttributes {
    std::uint64_t handledAccessFs = 0;
    std::uint64_t handledAccessNet = 0;
    std::uint64_t scoped = 0;
};

constexpr std::uint64_t readRights = LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR;
constexpr std::uint64_t writeRights =
    LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_REMOVE_DIR | LANDLOCK_ACCESS_FS_REMOVE_FILE |
    LANDLOCK_ACCESS_FS_MAKE_DIR | LANDLOCK_ACCESS_FS_MAKE_REG | LANDLOCK_ACCESS_FS_REFER | fsTruncate;
// The only rights a rule on a file rather than a directory may carry.
constexpr std::uint64_t fileRights = LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE |
                                     LANDLOCK_ACCESS_FS_READ_FILE | fsTruncate | fsIoctlDev;

int landlockVersion() {
    long version = ::syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    return version < 0 ? 0 : static_cast<int>(version);
}

// Every file-system right the kernel's version knows, so each is refused
// unless a rule grants it.
std::uint64_t handledFs(int version) {
    std::uint64_t rights = (LANDLOCK_ACCESS_FS_MAKE_SYM << 1) - 1;  // ABI 1: bits 0-12
    constexpr std::pair<int, std::uint64_t> later[] = {{2, LANDLOCK_ACCESS_FS_REFER}, {3, fsTruncate}, {5, fsIoctlDev}};
    for (const auto& [since, right] : later)
        if (version >= since) rights |= right;
    return rights;
}

class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

void grant(int ruleset, const fs::path& path, std::uint64_t rights, std::uint64_t handled) {
    Descriptor beneath(::open(path.c_str(), O_PATH | O_CLOEXEC));
    struct stat info {};
    if (beneath.get() < 0 || ::fstat(beneath.get(), &info) != 0) return;
    landlock_path_beneath_attr rule{};
    rule.allowed_access = rights & handled & (S_ISDIR(info.st_mode) ? ~0ULL : fileRights);
    rule.parent_fd = beneath.get();
    ::syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0);
}

// Restricts the process to the policy; appends what is not enforced.
void applyLandlock(const ConfinementPolicy& policy, std::vector<std::string>& missing) {
    const int version = landlockVersion();
    if (version < 1) {
        missing.emplace_back("file access, TCP and signals (no Landlock)");
        return;
    }
    RulesetAttributes attributes{.handledAccessFs = handledFs(version)};
    std::size_t size = sizeof attributes.handledAccessFs;
    if (version >= 4) {
        attributes.handledAccessNet = netBindTcp | netConnectTcp;
        size += sizeof attributes.handledAccessNet;
    }
    if (version >= 6) {
        attributes.scoped = scopeAbstractUnixSocket | scopeSignal;
        size += sizeof attributes.scoped;
    }
    Descriptor ruleset(static_cast<int>(::syscall(SYS_landlock_create_ruleset, &attributes, size, 0)));
    if (ruleset.get() < 0) {
        missing.emplace_back("file access, TCP and signals (Landlock refused the ruleset)");
        return;
    }
    for (const fs::path& path : policy.readable)
        grant(ruleset.get(), path, readRights, attributes.handledAccessFs);
    for (const fs::path& path : policy.writable)
        grant(ruleset.get(), path, readRights | writeRights, attributes.handledAccessFs);
    if (::syscall(SYS_landlock_restrict_self, ruleset.get(), 0) != 0) {
        missing.emplace_back("file access, TCP and signals (Landlock could not be applied)");
        return;
    }
    constexpr std::pair<int, const char*> later[] = {{3, "truncating files (Landlock 3)"},
                                                     {4, "TCP (Landlock 4)"},
                                                     {5, "device ioctls (Landlock 5)"},
                                                     {6, "signals and abstract sockets (Landlock 6)"}};
    for (const auto& [since, what] : later)
        if (version < since) missing.emplace_back(what);
}

// ---- seccomp

// Refused with EPERM: running programs, making or joining sockets, reaching
// into other processes, and administering the machine.
constexpr const char* refusedCalls[] = {
    "execve", "execveat",
    "socket", "socketpair", "connect", "bind", "listen", "accept", "accept4",
#if !QUILLMERE_SANITIZER_RUNTIME
    "ptrace",
#endif
    "process_vm_readv", "process_vm_writev", "pidfd_getfd",
    "mount", "umount2", "pivot_root", "chroot", "move_mount", "open_tree", "fsopen", "fsconfig",
    "fsmount", "fspick", "mount_setattr", "unshare", "setns",
    "bpf", "perf_event_open", "userfaultfd", "io_uring_setup", "io_uring_enter", "io_uring_register",
    "kexec_load", "kexec_file_load", "init_module", "finit_module", "delete_module",
    "reboot", "swapon", "swapoff", "acct", "quotactl", "sethostname", "setdomainname",
    "settimeofday", "clock_settime", "clock_adjtime", "adjtimex", "iopl", "ioperm",
    "keyctl", "add_key", "request_key", "name_to_handle_at", "open_by_handle_at", "uselib",
};

// The flags by which clone makes new namespaces.
constexpr std::uint64_t namespaceFlags[] = {CLONE_NEWNS,  CLONE_NEWCGROUP, CLONE_NEWUTS, CLONE_NEWIPC,
                                            CLONE_NEWUSER, CLONE_NEWPID,   CLONE_NEWNET};

bool filterSystemCalls() {
    std::unique_ptr<void, decltype(&seccomp_release)> filter(seccomp_init(SCMP_ACT_ALLOW), seccomp_release);
    if (!filter) return false;
    for (const char* name : refusedCalls) {
        int call = seccomp_syscall_resolve_name(name);
        if (call == __NR_SCMP_ERROR) continue;  // not a call of this architecture
        if (seccomp_rule_add(filter.get(), SCMP_ACT_ERRNO(EPERM), call, 0) != 0) return false;
    }
    // clone3 passes its flags in memory a filter cannot read: ENOSYS makes the
    // C library start threads with clone, whose flags it can.
    if (seccomp_rule_add(filter.get(), SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0) != 0) return false;
    for (std::uint64_t flag : namespaceFlags) {
        const scmp_arg_cmp flagSet{.arg = 0, .op = SCMP_CMP_MASKED_EQ, .datum_a = flag, .datum_b = flag};
        if (seccomp_rule_add_array(filter.get(), SCMP_ACT_ERRNO(EPERM), SCMP_SYS(clone), 1, &flagSet) != 0)
            return false;
    }
    return seccomp_load(filter.get()) == 0;
}

std::vector<fs::path> joined(std::vector<fs::path> paths, const std::vector<fs::path>& more) {
    paths.insert(paths.end(), more.begin(), more.end());
    return paths;
}

}  // namespace

ConfinementPolicy readingPolicy(const fs::path& root, const UserDirectories& directories) {
    return {.readable = joined({root}, systemFiles()), .writable = {directories.ownCache}};
}

ConfinementPolicy servingPolicy(const fs::path& root, const UserDirectories& directories) {
    return {.readable = joined({root}, systemFiles()),
            .writable = {directories.cache, directories.ownCache}};
}

ConfinementPolicy folderChoicePolicy(const UserDirectories& directories) {
    return {.readable = joined({"/dev/tty"}, systemFiles()), .writable = {directories.support}};
}

std::string confine(const ConfinementPolicy& policy) {
    std::vector<std::string> missing;
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        missing.emplace_back("everything (no_new_privs refused)");
    } else {
        applyLandlock(policy, missing);
        if (!filterSystemCalls()) missing.emplace_back("system call filter (no seccomp)");
    }
    if (missing.empty()) return {};
    std::string sentence = "Confinement not enforced on this kernel: ";
    for (std::size_t i = 0; i < missing.size(); ++i) sentence += (i ? ", " : "") + missing[i];
    return sentence + ". Serving anyway.";
}

}  // namespace quillmere::mcp
