#include "mcp_server/folder_choice.h"

#include <gtest/gtest.h>

#include <system_error>

#include "mcp_server/folder_bookmark.h"
#include "mcp_server/tool_failure.h"
#include "mcp_server/user_directories.h"
#include "base/json_text.h"
#include "tests/support/temp_dir.h"

namespace quillmere::mcp {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

// ---- typed paths

TEST(ExpandTypedPath, ExpandsHomeTrimsAndNormalises) {
    fs::path cwd = fs::current_path();
    struct Row {
        std::string typed;
        fs::path expected;
    };
    for (const Row& row : std::vector<Row>{
             {"~", "/home/ann"},
             {"~/", "/home/ann"},
             {" ~/Sync/AgentLibrary/ \r", "/home/ann/Sync/AgentLibrary"},
             {"/a/./b/../AgentLibrary//", "/a/AgentLibrary"},
             {"/", "/"},
             {"~other/AgentLibrary", cwd / "~other/AgentLibrary"},
             {"rel/AgentLibrary", cwd / "rel/AgentLibrary"},
         }) {
        EXPECT_EQ(expandTypedPath(row.typed, "/home/ann"), row.expected) << row.typed;
    }
}

// ---- saving a choice

class SaveFolderChoice : public ::testing::Test {
  protected:
    SaveFolderChoice() {
        directories_.home = home_.path();
        directories_.support = home_ / "config/QuillmereBridge";
        directories_.configURL = directories_.support / "folder.bookmark";
        directories_.cache = home_ / "cache";
    }

    FolderBookmark saved() const {
        return FolderBookmark::decode(testing::readFile(directories_.configURL));
    }

    TempDir home_;
    UserDirectories directories_;
};

TEST_F(SaveFolderChoice, SavesAnAgentLibraryFolderCreatingTheSupportDirectory) {
    fs::create_directories(home_ / "Sync/AgentLibrary");
    saveFolderChoice(home_ / "Sync/AgentLibrary", directories_);
    EXPECT_EQ(saved().resolve().directory, home_ / "Sync/AgentLibrary");
    EXPECT_FALSE(saved().resolve().stale);
    // A new choice replaces the old one.
    fs::create_directories(home_ / "Other/AgentLibrary");
    saveFolderChoice(home_ / "Other/AgentLibrary", directories_);
    EXPECT_EQ(saved().path, (home_ / "Other/AgentLibrary").string());
    EXPECT_EQ(testing::listDirectory(directories_.support),
              std::vector<std::string>{"folder.bookmark"});
}

TEST_F(SaveFolderChoice, AFolderOfAnotherNameFailsAndKeepsTheEarlierChoice) {
    fs::create_directories(home_ / "AgentLibrary");
    saveFolderChoice(home_ / "AgentLibrary", directories_);
    std::string before = testing::readFile(directories_.configURL);
    for (std::string_view name : {"agentlibrary", "AgentLibrary2", "Agent Library"}) {
        fs::create_directories(home_ / name);
        try {
            saveFolderChoice(home_ / name, directories_);
            FAIL() << name;
        } catch (const ToolFailure& failure) {
            EXPECT_EQ(failure.code(), "folder");
            EXPECT_EQ(failure.message(), "请选择 AgentLibrary 文件夹。");
        }
    }
    EXPECT_EQ(testing::readFile(directories_.configURL), before);
}

TEST_F(SaveFolderChoice, AMissingFolderIsAFileSystemFailure) {
    EXPECT_THROW(saveFolderChoice(home_ / "AgentLibrary", directories_), std::system_error);
    EXPECT_FALSE(fs::exists(directories_.configURL));
}

TEST_F(SaveFolderChoice, ASupportDirectoryThatCannotBeMadeIsAFileSystemFailure) {
    fs::create_directories(home_ / "AgentLibrary");
    // A file where the support directory's parent should be stops even root.
    testing::writeFile(home_ / "config", "not a directory");
    EXPECT_THROW(saveFolderChoice(home_ / "AgentLibrary", directories_), std::system_error);
}

}  // namespace
}  // namespace quillmere::mcp
