#include "sync_core/cloud_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
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
    EXPECT_THROW(CloudFiles::copy(dir / "src", dir / "c" / "f", std::nullopt, stop.get_token()), Cancelled);
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
    EXPECT_THROW(CloudFiles::copy(dir / "missing", dir / "dest" / "f", std::nullopt), std::system_error);
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    EXPECT_EQ(failureOf([&] { CloudFiles::copy(dir / "fifo", dir / "dest" / "f", std::nullopt); }),
              SyncFailure::Kind::invalidData);
    EXPECT_TRUE(listDirectory(dir / "dest").empty());
}

}  // namespace
}  // namespace quillmere::sync
