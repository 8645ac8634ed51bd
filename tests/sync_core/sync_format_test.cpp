#include "sync_core/sync_format.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <stop_token>

#include "sync_core/sync_failure.h"
#include "tests/support/temp_dir.h"

namespace quillmere::sync {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using testing::writeFile;

TEST(SyncFormatChild, RejectsNamesThatAreNotOneComponent) {
    TempDir dir;
    for (const std::string& name : std::vector<std::string>{"", ".", "..", "a/b", "a\\b", "/", std::string("a\0b", 3)}) {
        EXPECT_THROW(SyncFormat::child(name, dir.path()), SyncFailure) << name;
    }
    for (const char* name : {"...", ".hidden", "with space", "录音 é"}) {
        EXPECT_EQ(SyncFormat::child(name, dir.path()), dir.path() / name) << name;
    }
}

TEST(SyncFormatChild, ResolvesLinksAndRefusesEveryEscape) {
    TempDir dir;
    fs::path root = dir / "AgentLibrary";
    fs::create_directories(root / "sub");
    writeFile(dir / "outside.json", "{}");
    writeFile(root / "inside.json", "{}");
    fs::create_symlink(dir / "outside.json", root / "out");
    fs::create_symlink("inside.json", root / "in");
    fs::create_symlink("sub/../../outside.json", root / "relative-out");
    fs::create_symlink(dir / "not-there-yet", root / "dangling-out");
    fs::create_symlink("later.json", root / "dangling-in");
    fs::create_symlink(root / "sub", root / "into-sub");
    fs::create_symlink("loop", root / "loop");
    fs::create_symlink("sub/inner.json", root / "deep");

    EXPECT_THROW(SyncFormat::child("out", root), SyncFailure);
    EXPECT_THROW(SyncFormat::child("relative-out", root), SyncFailure);
    EXPECT_THROW(SyncFormat::child("dangling-out", root), SyncFailure);
    EXPECT_EQ(SyncFormat::child("in", root), root / "inside.json");
    EXPECT_EQ(SyncFormat::child("dangling-in", root), root / "later.json");
    EXPECT_EQ(SyncFormat::child("into-sub", root), root / "sub");
    // A link to a file one level down is not a child of root.
    EXPECT_THROW(SyncFormat::child("deep", root), SyncFailure);
    EXPECT_EQ(SyncFormat::child("sub", root), root / "sub");
    EXPECT_EQ(SyncFormat::child("new", root / "not" / "yet"), root / "not" / "yet" / "new");
    EXPECT_ANY_THROW(SyncFormat::child("loop", root));
}

TEST(SyncFormatChild, RootGivenThroughALinkYieldsThePathBelowTheRealDirectory) {
    TempDir dir;
    fs::create_directories(dir / "real" / "AgentLibrary");
    fs::create_directory_symlink(dir / "real" / "AgentLibrary", dir / "link");
    EXPECT_EQ(SyncFormat::child("manifest.json", dir / "link"), dir / "real" / "AgentLibrary" / "manifest.json");
    EXPECT_EQ(SyncFormat::child("x", dir / "real" / "." / "AgentLibrary" / "..//AgentLibrary"),
              dir / "real" / "AgentLibrary" / "x");
}

TEST(SyncFormatDigest, LowerCaseHexOfSha256) {
    EXPECT_EQ(SyncFormat::digest(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(SyncFormat::digest("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(SyncFormatFileDigest, EqualsDigestOfTheWholeAcrossChunkBoundaries) {
    TempDir dir;
    for (std::size_t size : {std::size_t{0}, std::size_t{1} << 20, (std::size_t{5} << 20) / 2, (std::size_t{1} << 20) + 1}) {
        std::string bytes(size, '\0');
        for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7919 % 251);
        writeFile(dir / "f", bytes);
        EXPECT_EQ(SyncFormat::fileDigest(dir / "f"), SyncFormat::digest(bytes)) << size;
    }
}

TEST(SyncFormatFileDigest, ErrorsAndCancellation) {
    TempDir dir;
    try {
        SyncFormat::fileDigest(dir / "missing");
        FAIL() << "a missing file was hashed";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code(), std::errc::no_such_file_or_directory);
    }
    writeFile(dir / "f", "bytes");
    writeFile(dir / "empty", "");
    std::stop_source stop;
    stop.request_stop();
    EXPECT_THROW(SyncFormat::fileDigest(dir / "f", stop.get_token()), Cancelled);
    // Cancellation is noticed after a chunk is read, so an empty file still hashes.
    EXPECT_EQ(SyncFormat::fileDigest(dir / "empty", stop.get_token()), SyncFormat::digest(""));
    // A FIFO where a file was expected does not block.
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    EXPECT_EQ(SyncFormat::fileDigest(dir / "fifo"), SyncFormat::digest(""));
}

TEST(SyncFormatValidHash, ExactlySixtyFourLowerCaseHexDigits) {
    std::string good(64, 'f');
    EXPECT_TRUE(SyncFormat::validHash(good));
    EXPECT_TRUE(SyncFormat::validHash(SyncFormat::digest("x")));
    EXPECT_FALSE(SyncFormat::validHash(good.substr(1)));
    EXPECT_FALSE(SyncFormat::validHash(good + "0"));
    EXPECT_FALSE(SyncFormat::validHash("A" + good.substr(1)));
    EXPECT_FALSE(SyncFormat::validHash("g" + good.substr(1)));
    EXPECT_FALSE(SyncFormat::validHash(""));
}

TEST(SyncFailureKinds, EqualByKindWithFixedMessages) {
    EXPECT_EQ(SyncFailure::notDownloaded(), SyncFailure::notDownloaded());
    EXPECT_FALSE(SyncFailure::notDownloaded() == SyncFailure::invalidData());
    EXPECT_FALSE(SyncFailure::notDownloaded() == SyncFailure::noCloud());
    EXPECT_FALSE(SyncFailure::notDownloaded() == SyncFailure::changedSource());
    EXPECT_EQ(std::hash<SyncFailure>()(SyncFailure::changedSource()), std::hash<SyncFailure>()(SyncFailure::changedSource()));
    EXPECT_STREQ(SyncFailure::invalidData().what(), "同步数据格式无效或版本不受支持。");
    EXPECT_STREQ(SyncFailure::notDownloaded().what(), "文件尚未下载完成，请稍后重试。");
    EXPECT_STREQ(SyncFailure::changedSource().what(), "录音文件已变化，本次未发布；稍后将重新同步。");
    EXPECT_STREQ(SyncFailure::noCloud().what(), "iCloud Drive 不可用。请检查账号、网络和 App 的 iCloud 权限。");
}

TEST(UuidText, CanonicalUpperCaseAndStrictParse) {
    auto id = Uuid::parse("6f9619ff-8b86-d011-b42d-00c04fc964ff");
    ASSERT_TRUE(id);
    EXPECT_EQ(id->text(), "6F9619FF-8B86-D011-B42D-00C04FC964FF");
    EXPECT_EQ(Uuid::parse(id->text()), id);
    for (const char* bad : {"6f9619ff-8b86-d011-b42d-00c04fc964f", "6f9619ff-8b86-d011-b42d-00c04fc964fff",
                            "6f9619ff8b86-d011-b42d-00c04fc964ff-", "6g9619ff-8b86-d011-b42d-00c04fc964ff",
                            "{6f9619ff-8b86-d011-b42d-00c04fc964f}"}) {
        EXPECT_FALSE(Uuid::parse(bad)) << bad;
    }
    Uuid a = Uuid::random(), b = Uuid::random();
    EXPECT_NE(a, b);
    EXPECT_EQ(a.text()[14], '4');
}

}  // namespace
}  // namespace quillmere::sync
