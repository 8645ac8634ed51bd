// What reaches these through the server (special files, files at and past the
// read limit, failed or mismatched copies into the cache) is tested there,
// through the server or its library.
#include "sync_core/cloud_files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <seccomp.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <optional>
#include <thread>

#include "base/directory_lock.h"
#include "sync_core/item_status.h"
#include "sync_core/sync_failure.h"
#include "sync_core/sync_format.h"
#include "tests/support/failure_kind.h"
#include "tests/support/fake_cloud.h"
#include "tests/support/temp_dir.h"

namespace quillmere::sync {
namespace {

namespace fs = std::filesystem;
using namespace quillmere::testing;
constexpr auto changedSource = SyncFailure::Kind::changedSource;

// Reports a stale, small size, as when a file grows between the size query and the read.
class StaleSizeProvider : public LocalItemStatusProvider {
public:
    ItemStatus status(const fs::path& item) override {
        ItemStatus s = LocalItemStatusProvider::status(item);
        s.fileSize = 1;
        return s;
    }
};

TEST(CloudFilesRead, AsksForWhatIsStillInTheCloudAndRefusesBytesPastTheLimit) {
    TempDir dir;
    writeFile(dir / "f", "12345");
    {
        testing::FakeCloud cloud;
        cloud.markNotCurrent(dir / "f");
        EXPECT_EQ(failureOf<SyncFailure>([&] { CloudFiles::read(dir / "f", 5); }), SyncFailure::Kind::notDownloaded);
        // Downloaded now: read without asking again.
        EXPECT_EQ(CloudFiles::read(dir / "f", 5), "12345");
        EXPECT_EQ(cloud.downloadRequests().size(), 1u);
    }
    // Bytes read beyond the limit are refused whatever size was reported.
    StaleSizeProvider provider;
    ScopedItemStatusProvider installed(provider);
    EXPECT_EQ(failureOf<SyncFailure>([&] { CloudFiles::read(dir / "f", 4); }), SyncFailure::Kind::invalidData);
    EXPECT_EQ(CloudFiles::read(dir / "f", 5), "12345");
}

// Where the kernel refuses to copy between the two files (another file
// system, an old kernel, a file system without the call), the bytes go
// through a buffer; any other error fails the copy. Each row in a child of
// its own, whose copy_file_range fails with that error.
TEST(CloudFilesCopy, FallsBackToABufferOnlyWhereTheKernelCannotCopy) {
    TempDir dir;
    const std::string bytes = std::string(3 << 20, 'b') + "end";
    writeFile(dir / "src", bytes);
    const std::pair<int, bool> rows[] = {{0, true}, {EXDEV, true}, {ENOSYS, true}, {EINVAL, true}, {EOPNOTSUPP, true}, {EIO, false}};
    for (const auto& [error, copies] : rows) {
        const fs::path dest = dir / "dest" / std::to_string(error);
        const pid_t child = ::fork();
        if (child == 0) {
            scmp_filter_ctx filter = ::seccomp_init(SCMP_ACT_ALLOW);
            if (error) ::seccomp_rule_add(filter, SCMP_ACT_ERRNO(error), SCMP_SYS(copy_file_range), 0);
            if (::seccomp_load(filter) != 0) ::_exit(3);
            try {
                CloudFiles::copy(dir / "src", dest, SyncFormat::digest(bytes), bytes.size());
                ::_exit(0);
            } catch (const std::system_error&) {
                ::_exit(1);
            }
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_EQ(WEXITSTATUS(status), copies ? 0 : 1) << error;
        EXPECT_EQ(fs::exists(dest) && readFile(dest) == bytes, copies) << error;
    }
}

TEST(CloudFilesCopy, StopsOneBytePastTheExpectedSize) {
    TempDir dir;
    writeFile(dir / "src", std::string(1 << 20, 'a'));
    // Writes past 64 KiB fail with EFBIG: a copy to the end would be a system error.
    rlimit previous{};
    ::getrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limited{64 * 1024, previous.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    for (std::int64_t expected : {1000, 0}) {
        EXPECT_EQ(failureOf<SyncFailure>([&] { CloudFiles::copy(dir / "src", dir / "dest" / "f", std::nullopt, expected); }), changedSource);
    }
    ::setrlimit(RLIMIT_FSIZE, &previous);
    EXPECT_TRUE(listDirectory(dir / "dest").empty());
}

// A writer holding the source's folder keeps a copy out of it until it lets go.
TEST(CloudFilesCopy, WaitsForAWriterInTheSourceFolder) {
    TempDir dir;
    writeFile(dir / "in" / "src", "x");
    std::optional<base::DirectoryLock> writer(std::in_place, dir / "in", base::DirectoryLock::Mode::exclusive);
    std::atomic<bool> copied = false;
    std::thread copy([&] { CloudFiles::copy(dir / "in" / "src", dir / "out" / "f", std::nullopt, 1), copied = true; });
    const std::string waiting = "-> FLOCK  ADVISORY  READ " + std::to_string(::getpid()) + " ";
    // Whichever comes first, the copy seen waiting or the copy done: only the wait is correct.
    const auto seenWaiting = [&] { while (!copied && readFile("/proc/locks").find(waiting) == std::string::npos) std::this_thread::yield(); return !copied; };
    EXPECT_TRUE(seenWaiting());
    // A signal whose handler does not restart calls interrupts the wait: it goes on waiting.
    static std::atomic<bool> interrupted = false;
    struct sigaction action {};
    action.sa_handler = [](int) { interrupted = true; };
    ::sigaction(SIGUSR1, &action, nullptr);
    ::pthread_kill(copy.native_handle(), SIGUSR1);
    while (!interrupted) std::this_thread::yield();
    EXPECT_TRUE(seenWaiting());
    writer.reset(), copy.join();
}

// Every read and write goes through this lock: while it is held, another
// holder of the directory (here a second open file description) is kept out
// as the mode says, and let in once it is released.
TEST(DirectoryLock, KeepsOthersOutUntilReleased) {
    TempDir dir;
    const auto othersCanTake = [&](int operation) {
        const int fd = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
        const bool taken = ::flock(fd, operation | LOCK_NB) == 0;
        ::close(fd);
        return taken;
    };
    using Mode = base::DirectoryLock::Mode;
    const std::tuple<Mode, int, bool> rows[] = {{Mode::exclusive, LOCK_SH, false}, {Mode::shared, LOCK_SH, true}, {Mode::shared, LOCK_EX, false}};
    for (const auto& [mode, operation, admitted] : rows) {
        {
            const base::DirectoryLock lock(dir.path(), mode);
            EXPECT_EQ(othersCanTake(operation), admitted) << operation;
        }
        EXPECT_TRUE(othersCanTake(LOCK_EX)) << "released with its holder";
    }
}

}  // namespace
}  // namespace quillmere::sync
