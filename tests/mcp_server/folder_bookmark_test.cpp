#include "mcp_server/folder_bookmark.h"

#include <gtest/gtest.h>

#include <system_error>

#include "base/json_text.h"
#include "tests/support/temp_dir.h"

namespace quillmere::mcp {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

TEST(FolderBookmark, ResolvesToTheSameDirectoryAfterARoundTrip) {
    TempDir home;
    fs::create_directories(home / "Sync/AgentLibrary");
    FolderBookmark made = FolderBookmark::create(home / "Sync/AgentLibrary");
    FolderBookmark read = FolderBookmark::decode(made.encode());
    EXPECT_EQ(read.path, (home / "Sync/AgentLibrary").string());
    FolderBookmark::Resolution resolution = read.resolve();
    EXPECT_EQ(resolution.directory, home / "Sync/AgentLibrary");
    EXPECT_FALSE(resolution.stale);
}

TEST(FolderBookmark, IsStaleWhenThePathNamesAnotherDirectory) {
    TempDir home;
    fs::create_directories(home / "AgentLibrary");
    FolderBookmark bookmark = FolderBookmark::create(home / "AgentLibrary");
    // The old directory stays alive elsewhere, so the new one cannot reuse its inode.
    fs::rename(home / "AgentLibrary", home / "Old");
    fs::create_directories(home / "AgentLibrary");
    EXPECT_TRUE(bookmark.resolve().stale);
    fs::remove(home / "AgentLibrary");
    testing::writeFile(home / "AgentLibrary", "a file now");
    EXPECT_TRUE(bookmark.resolve().stale);
}

TEST(FolderBookmark, FailsToResolveAGonePath) {
    TempDir home;
    fs::create_directories(home / "AgentLibrary");
    FolderBookmark bookmark = FolderBookmark::create(home / "AgentLibrary");
    fs::remove(home / "AgentLibrary");
    EXPECT_THROW(bookmark.resolve(), std::system_error);
}

TEST(FolderBookmark, RefusesMalformedData) {
    for (std::string_view data : {
             "",
             "not json",
             "[]",
             R"({"path":"/a","device":1})",
             R"({"path":"relative/AgentLibrary","device":1,"inode":2})",
             R"({"path":"","device":1,"inode":2})",
             R"({"path":7,"device":1,"inode":2})",
             R"({"path":"/a","device":-1,"inode":2})",
             R"({"path":"/a","device":1.5,"inode":2})",
             R"({"path":"/a","device":"1","inode":2})",
         }) {
        EXPECT_THROW(FolderBookmark::decode(data), base::DecodingError) << data;
    }
}

TEST(FolderBookmark, CannotBeMadeForSomethingThatIsNotADirectory) {
    TempDir home;
    testing::writeFile(home / "AgentLibrary", "x");
    try {
        FolderBookmark::create(home / "AgentLibrary");
        FAIL();
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code(), std::errc::not_a_directory);
    }
    EXPECT_THROW(FolderBookmark::create(home / "missing"), std::system_error);
}

}  // namespace
}  // namespace quillmere::mcp
