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
#include "tests/support/fake_cloud.h"
#include "tests/support/temp_dir.h"

namespace quillmere::sync {
namespace {

namespace fs = std::filesystem;
using testing::FakeCloud;
using testing::listDirectory;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

template <class F>
SyncFailure::Kind failureOf(F&& f) {
    try {
        f();
    } catch (const SyncFailure& failure) {
        return failure.kind();
    }
    ADD_FAILURE() << "no SyncFailure";
    return SyncFailure::Kind::noCloud;
}

TEST(CloudFilesRead, LimitIsInclusiveAndNegativeRefusesEverything) {
    TempDir dir;
    writeFile(dir / "f", "12345");
    EXPECT_EQ(CloudFiles::read(dir / "f", 5), "12345");
    EXPECT_EQ(failureOf([&] { CloudFiles::read(dir / "f", 4); }), SyncFailure::Kind::invalidData);
    writeFile(dir / "empty", "");
    EXPECT_EQ(CloudFiles::read(dir / "empty", 0), "");
    EXPECT_EQ(failureOf([&] { CloudFiles::read(dir / "empty", -1); }), SyncFailure::Kind::invalidData);
}

TEST(CloudFilesRead, MissingFileIsThePlatformsNoSuchFileError) {
    TempDir dir;
    try {
        CloudFiles::read(dir / "missing", 100);
        FAIL();
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code(), std::errc::no_such_file_or_directory);
    }
}

TEST(CloudFilesRead, RefusesFifosAndDirectoriesWithoutBlocking) {
    TempDir dir;
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    EXPECT_EQ(failureOf([&] { CloudFiles::read(dir / "fifo", 100); }), SyncFailure::Kind::invalidData);
    fs::create_directory(dir / "d");
    EXPECT_EQ(failureOf([&] { CloudFiles::read(dir / "d", 1 << 20); }), SyncFailure::Kind::invalidData);
}

TEST(CloudFilesRead, CloudFileNotCurrentRequestsDownloadThenReads) {
    TempDir dir;
    FakeCloud cloud;
    writeFile(dir / "manifest.json", "{}");
    cloud.markNotCurrent(dir / "manifest.json");
    EXPECT_EQ(failureOf([&] { CloudFiles::read(dir / "manifest.json", 100); }), SyncFailure::Kind::notDownloaded);
    ASSERT_EQ(cloud.downloadRequests().size(), 1u);
    EXPECT_EQ(cloud.downloadRequests()[0], dir / "manifest.json");
    EXPECT_EQ(CloudFiles::read(dir / "manifest.json", 100), "{}");
    EXPECT_EQ(cloud.downloadRequests().size(), 1u);
}

TEST(CloudFilesRead, OversizedCloudFileIsInvalidEvenWhenCurrent) {
    TempDir dir;
    FakeCloud cloud;
    writeFile(dir / "big", std::string(11, 'x'));
    cloud.markCurrent(dir / "big");
    EXPECT_EQ(failureOf([&] { CloudFiles::read(dir / "big", 10); }), SyncFailure::Kind::invalidData);
    EXPECT_TRUE(cloud.downloadRequests().empty());
}

// Reports a stale, small size, as when a file grows between the size query and the read.
class StaleSizeProvider : public LocalItemStatusProvider {
public:
    ItemStatus status(const fs::path& item) override {
        ItemStatus s = LocalItemStatusProvider::status(item);
        s.fileSize = 1;
        return s;
    }
};

TEST(CloudFilesRead, BytesReadBeyondTheLimitAreRefusedWhateverTheReportedSize) {
    TempDir dir;
    writeFile(dir / "grown", std::string(100, 'x'));
    StaleSizeProvider provider;
    ScopedItemStatusProvider installed(provider);
    EXPECT_EQ(failureOf([&] { CloudFiles::read(dir / "grown", 10); }), SyncFailure::Kind::invalidData);
    EXPECT_EQ(CloudFiles::read(dir / "grown", 100).size(), 100u);
}

TEST(CloudFilesWrite, CreatesTheDirectoryChainAndReplacesWholeFiles) {
    TempDir dir;
    fs::path file = dir / "S" / "records" / "R.json";
    CloudFiles::write("first", file);
    EXPECT_EQ(readFile(file), "first");
    CloudFiles::write("second, longer", file);
    EXPECT_EQ(readFile(file), "second, longer");
    CloudFiles::write("x", file);
    EXPECT_EQ(readFile(file), "x");
    EXPECT_EQ(listDirectory(file.parent_path()), std::vector<std::string>{"R.json"});
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

TEST(CloudFilesCopy, VerifiedCopyOntoMissingAndExistingDestinations) {
    TempDir dir;
    std::string bytes(3 << 20, 'a');
    bytes[12345] = 'b';
    writeFile(dir / "src.m4a", bytes);
    fs::path dest = dir / "cache" / "x.m4a";
    CloudFiles::copy(dir / "src.m4a", dest, SyncFormat::digest(bytes));
    EXPECT_EQ(readFile(dest), bytes);
    writeFile(dir / "src2", "other");
    CloudFiles::copy(dir / "src2", dest, std::nullopt);
    EXPECT_EQ(readFile(dest), "other");
    EXPECT_EQ(listDirectory(dest.parent_path()), std::vector<std::string>{"x.m4a"});
}

TEST(CloudFilesCopy, WrongDigestLeavesTheOldDestinationAndNoStagingFile) {
    TempDir dir;
    writeFile(dir / "src", "changed bytes");
    writeFile(dir / "dest" / "f", "old");
    EXPECT_EQ(failureOf([&] { CloudFiles::copy(dir / "src", dir / "dest" / "f", SyncFormat::digest("expected")); }),
              SyncFailure::Kind::changedSource);
    EXPECT_EQ(readFile(dir / "dest" / "f"), "old");
    EXPECT_EQ(listDirectory(dir / "dest"), std::vector<std::string>{"f"});
}

TEST(CloudFilesCopy, FailuresLeaveNoStagingFile) {
    TempDir dir;
    fs::create_directories(dir / "dest");
    EXPECT_THROW(CloudFiles::copy(dir / "missing", dir / "dest" / "f", std::nullopt, std::nullopt), std::system_error);
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    EXPECT_EQ(failureOf([&] { CloudFiles::copy(dir / "fifo", dir / "dest" / "f", std::nullopt); }),
              SyncFailure::Kind::invalidData);
    EXPECT_TRUE(listDirectory(dir / "dest").empty());
}

TEST(CloudFilesCopy, StopsOneBytePastTheExpectedSize) {
    TempDir dir;
    writeFile(dir / "src", std::string(1 << 20, 'a'));
    // Writes past 64 KiB fail with EFBIG: a copy to the end would be a system error.
    rlimit previous{};
    ::getrlimit(RLIMIT_FSIZE, &previous);
    auto restore = [&] { ::setrlimit(RLIMIT_FSIZE, &previous); };
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited{64 * 1024, previous.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    for (std::optional<std::int64_t> expected : {std::optional<std::int64_t>(1000), std::optional<std::int64_t>(0)}) {
        EXPECT_EQ(failureOf([&] { CloudFiles::copy(dir / "src", dir / "dest" / "f", std::nullopt, expected); }),
                  SyncFailure::Kind::changedSource);
    }
    restore();
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

// Runs f as an unprivileged user (in a child process when this one is root, whom
// permission bits do not stop) and returns whether it returned normally.
bool succeedsUnprivileged(const fs::path& owned, const std::function<void()>& f) {
    if (::geteuid() != 0) {
        try {
            f();
            return true;
        } catch (const std::exception& e) {
            ADD_FAILURE() << e.what();
            return false;
        }
    }
    const pid_t child = ::fork();
    if (child == 0) {
        if (::chown(owned.c_str(), 65534, 65534) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
        try {
            f();
            ::_exit(0);
        } catch (...) {
            ::_exit(1);
        }
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
