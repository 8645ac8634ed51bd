// Where the server's library meets these (a manifest still in the cloud, audio
// copied into the cache over a damaged copy) and where the publisher writes
// whole files over longer ones, they are tested there.
#include "sync_core/cloud_files.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>

#include "sync_core/sync_failure.h"
#include "sync_core/sync_format.h"
#include "tests/support/failure_kind.h"
#include "tests/support/fake_cloud.h"
#include "tests/support/temp_dir.h"

namespace quillmere::sync {
namespace {

namespace fs = std::filesystem;
using testing::failureOf;
using testing::listDirectory;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;
constexpr auto invalidData = SyncFailure::Kind::invalidData;
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

TEST(CloudFilesRead, LimitsAndWhatIsNotARegularFile) {
    TempDir dir;
    writeFile(dir / "f", "12345");
    writeFile(dir / "empty", "");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    fs::create_directory(dir / "d");
    EXPECT_EQ(CloudFiles::read(dir / "f", 5), "12345");
    EXPECT_EQ(CloudFiles::read(dir / "empty", 0), "");
    // Refused without blocking on the FIFO.
    for (const auto& [name, limit] : {std::pair<const char*, std::int64_t>{"f", 4}, {"empty", -1}, {"fifo", 100}, {"d", 1 << 20}}) {
        EXPECT_EQ(failureOf<SyncFailure>([&] { CloudFiles::read(dir / name, limit); }), invalidData) << name << " " << limit;
    }
    try {
        CloudFiles::read(dir / "missing", 100);
        ADD_FAILURE() << "a missing file was read";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code(), std::errc::no_such_file_or_directory);
    }
    {
        testing::FakeCloud cloud;
        cloud.markCurrent(dir / "f");
        EXPECT_EQ(failureOf<SyncFailure>([&] { CloudFiles::read(dir / "f", 4); }), invalidData);
        EXPECT_TRUE(cloud.downloadRequests().empty());
    }
    // Bytes read beyond the limit are refused whatever size was reported.
    StaleSizeProvider provider;
    ScopedItemStatusProvider installed(provider);
    EXPECT_EQ(failureOf<SyncFailure>([&] { CloudFiles::read(dir / "f", 4); }), invalidData);
    EXPECT_EQ(CloudFiles::read(dir / "f", 5), "12345");
}

TEST(CloudFilesWrite, ReplacesALinkRatherThanWritingThroughIt) {
    TempDir dir;
    writeFile(dir / "target", "keep");
    fs::create_symlink(dir / "target", dir / "link");
    CloudFiles::write("new", dir / "link");
    EXPECT_EQ(readFile(dir / "target"), "keep");
    EXPECT_EQ(readFile(dir / "link"), "new");
}

TEST(CloudFilesCancellation, WriteAndCopyCreateNothing) {
    TempDir dir;
    writeFile(dir / "src", "audio");
    std::stop_source stop;
    stop.request_stop();
    EXPECT_THROW(CloudFiles::write("x", dir / "a" / "b" / "f", stop.get_token()), Cancelled);
    EXPECT_THROW(CloudFiles::copy(dir / "src", dir / "c" / "f", std::nullopt, std::nullopt, stop.get_token()), Cancelled);
    EXPECT_EQ(listDirectory(dir.path()), std::vector<std::string>{"src"});
}

TEST(CloudFilesCopy, FailuresLeaveTheOldDestinationAndNoStagingFile) {
    TempDir dir;
    writeFile(dir / "src", "changed bytes");
    writeFile(dir / "dest" / "f", "old");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    EXPECT_EQ(failureOf<SyncFailure>([&] { CloudFiles::copy(dir / "src", dir / "dest" / "f", SyncFormat::digest("expected")); }), changedSource);
    EXPECT_EQ(failureOf<SyncFailure>([&] { CloudFiles::copy(dir / "fifo", dir / "dest" / "f", std::nullopt); }), invalidData);
    EXPECT_THROW(CloudFiles::copy(dir / "missing", dir / "dest" / "f", std::nullopt, std::nullopt), std::system_error);
    EXPECT_EQ(readFile(dir / "dest" / "f"), "old");
    EXPECT_EQ(listDirectory(dir / "dest"), std::vector<std::string>{"f"});
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

TEST(CloudFilesCopy, OneDirectoryReachedThroughALinkIsLockedOnce) {
    TempDir dir;
    writeFile(dir / "audio" / "src", "bytes");
    fs::create_directory_symlink(dir / "audio", dir / "linked");
    // Two flocks on one directory through two descriptors would block this process forever.
    CloudFiles::copy(dir / "linked" / "src", dir / "audio" / "copy", SyncFormat::digest("bytes"));
    EXPECT_EQ(readFile(dir / "audio" / "copy"), "bytes");
}

// Runs f in a child process, as an unprivileged user when this one is root (whom
// permission bits do not stop), and returns whether it returned normally.
bool succeedsUnprivileged(const fs::path& owned, const std::function<void()>& f) {
    const pid_t child = ::fork();
    if (child == 0) {
        if (::geteuid() == 0 && (::chown(owned.c_str(), 65534, 65534) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(2);
        try {
            f();
        } catch (...) {
            ::_exit(1);
        }
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(CloudFilesWrite, ADirectoryThatCannotBeSyncedDoesNotUndoTheReportOfADoneWrite) {
    TempDir dir;
    fs::permissions(dir.path(), fs::perms::all);
    const fs::path folder = dir / "writable but not readable";
    fs::create_directory(folder);
    fs::permissions(folder, fs::perms::owner_write | fs::perms::owner_exec | fs::perms::group_write |
                                fs::perms::group_exec | fs::perms::others_write | fs::perms::others_exec);
    EXPECT_TRUE(succeedsUnprivileged(folder, [&] { CloudFiles::write("new", folder / "manifest.json"); }));
    EXPECT_EQ(readFile(folder / "manifest.json"), "new");
}

}  // namespace
}  // namespace quillmere::sync
