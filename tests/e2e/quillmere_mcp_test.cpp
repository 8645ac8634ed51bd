// The built quillmere-mcp, started as a client or a person would start it.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace quillmere {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::ProcessOptions;
using testing::ProcessResult;
using testing::TempDir;

constexpr std::size_t maxLine = 1'048'576;

const std::string noFolderDiagnostic =
    "尚未配置共享目录。先运行 quillmere-mcp --choose-folder，或传入 --cloud-root "
    "/绝对路径/AgentLibrary。\n";

fs::path serverPath() {
    const char* build = std::getenv("QUILLMERE_BUILD_DIR");
    if (build == nullptr) throw std::runtime_error("QUILLMERE_BUILD_DIR is not set");
    return fs::path(build) / "bin" / "quillmere-mcp";
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        result.push_back(text.substr(start, end - start));
    }
    EXPECT_EQ(start, text.size()) << "output does not end with a line feed";
    return result;
}

std::string request(const json& id, std::string_view method, const json& params = nullptr) {
    json message = {{"jsonrpc", "2.0"}, {"id", id}, {"method", method}};
    if (!params.is_null()) message["params"] = params;
    return message.dump() + "\n";
}

std::string pong(int id) {
    return R"({"id":)" + std::to_string(id) + R"(,"jsonrpc":"2.0","result":{}})";
}

// A user account of its own: empty home, no XDG variables, a shared folder.
class QuillmereMCP : public ::testing::Test {
  protected:
    QuillmereMCP() { fs::create_directories(library()); }

    fs::path library() const { return home_ / "Sync/AgentLibrary"; }

    ProcessOptions options(std::vector<std::string> arguments) const {
        ProcessOptions options;
        options.program = serverPath();
        options.arguments = std::move(arguments);
        options.environment = {{"HOME", home_.path().string()}};
        options.unsetEnvironment = {"XDG_CONFIG_HOME", "XDG_CACHE_HOME"};
        options.workingDirectory = home_.path();
        options.timeLimit = std::chrono::seconds(60);
        return options;
    }

    ProcessResult run(std::vector<std::string> arguments, std::vector<std::string> input = {}) {
        ProcessOptions o = options(std::move(arguments));
        o.inputChunks = std::move(input);
        return testing::runProcess(o);
    }

    // Serves over --cloud-root; the input arrives in the given chunks.
    ProcessResult serve(std::vector<std::string> input) {
        return run({"--stdio", "--cloud-root", library().string()}, std::move(input));
    }

    ProcessResult chooseFolder(const std::string& typed) {
        return run({"--choose-folder"}, {typed});
    }

    TempDir home_;
};

// ---- help and precedence

TEST_F(QuillmereMCP, HelpPrintsTheSixLinesAndWinsOverEveryOtherMode) {
    const std::string help =
        "quillmere-mcp --choose-folder       Choose iCloud Drive/Quillmere/AgentLibrary once\n"
        "quillmere-mcp --stdio               Serve read-only MCP using the saved folder\n"
        "quillmere-mcp --status              Print local sync status\n"
        "quillmere-mcp --stdio --cloud-root /absolute/path/AgentLibrary\n"
        "Optional: --cache-root /absolute/path (audio cache only)\n"
        "Transport: newline-delimited JSON-RPC over stdio. No network listener.\n";
    for (const auto& arguments : std::vector<std::vector<std::string>>{
             {"--help"},
             {"--status", "--help"},
             {"--choose-folder", "--help"},
             {"--cloud-root", "--help"},
             {"extra", "--help", "--unknown"},
         }) {
        ProcessResult result = run(arguments);
        EXPECT_EQ(result.exitStatus, 0) << result.describe();
        EXPECT_EQ(result.standardOutput, help);
        EXPECT_EQ(result.standardError, "");
    }
}

TEST_F(QuillmereMCP, WithoutAKnownFolderItSaysSoAndExitsOne) {
    for (const auto& arguments : std::vector<std::vector<std::string>>{
             {},
             {"--stdio"},
             {"--status"},
             {"--stdio", "--cloud-root", "relative/AgentLibrary"},
             {"--stdio", "--cloud-root"},
             {"--cloud-root", "~/Sync/AgentLibrary", "--stdio"},
         }) {
        ProcessResult result = run(arguments, {request(1, "ping")});
        EXPECT_EQ(result.exitStatus, 1) << result.describe();
        EXPECT_EQ(result.standardOutput, "");
        EXPECT_EQ(result.standardError, noFolderDiagnostic);
    }
}

TEST_F(QuillmereMCP, StatusPrintsOneJSONObjectLine) {
    ProcessResult result = run({"--status", "--cloud-root", library().string()});
    EXPECT_EQ(result.exitStatus, 0) << result.describe() << result.standardError;
    auto output = lines(result.standardOutput);
    ASSERT_EQ(output.size(), 1u);
    EXPECT_TRUE(json::parse(output[0]).is_object());
}

// ---- folder choice

TEST_F(QuillmereMCP, AChosenFolderIsUsedWhenNoAbsoluteCloudRootIsGiven) {
    const mode_t umask = ::umask(022);
    ProcessResult chosen = chooseFolder("~/Sync/AgentLibrary\n");
    ::umask(umask);
    EXPECT_EQ(chosen.exitStatus, 0) << chosen.describe();
    EXPECT_EQ(chosen.standardOutput, "");
    EXPECT_EQ(chosen.standardError,
              "选择 iCloud Drive → Quillmere → AgentLibrary。手机首次成功发布后才会出现。\n"
              "已保存共享目录。现在可使用 --stdio 接入 MCP 客户端。\n");
    // The user's own whatever the umask: the choice names a folder of private recordings.
    EXPECT_EQ(fs::status(home_ / ".config/QuillmereBridge").permissions() & fs::perms::all,
              fs::perms::owner_all);
    EXPECT_EQ(fs::status(home_ / ".config/QuillmereBridge/folder.bookmark").permissions() &
                  fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);

    for (const auto& arguments : std::vector<std::vector<std::string>>{
             {},
             {"--stdio"},
             {"--stdio", "--cloud-root", "relative/AgentLibrary"},
             {"--cloud-root"},
         }) {
        ProcessResult served = run(arguments, {request(1, "ping")});
        EXPECT_EQ(served.exitStatus, 0) << served.describe() << served.standardError;
        EXPECT_EQ(served.standardOutput, pong(1) + "\n");
    }
}

TEST_F(QuillmereMCP, AStaleOrBrokenSavedChoiceCountsAsNone) {
    ASSERT_EQ(chooseFolder(library().string() + "\n").exitStatus, 0);
    fs::rename(library(), home_ / "Sync/Moved");
    fs::create_directories(library());
    ProcessResult stale = run({"--stdio"}, {request(1, "ping")});
    EXPECT_EQ(stale.exitStatus, 1);
    EXPECT_EQ(stale.standardError, noFolderDiagnostic);

    testing::writeFile(home_ / ".config/QuillmereBridge/folder.bookmark", "garbage");
    ProcessResult broken = run({"--stdio"}, {request(1, "ping")});
    EXPECT_EQ(broken.exitStatus, 1);
    EXPECT_EQ(broken.standardError, noFolderDiagnostic);
}

TEST_F(QuillmereMCP, ChoosingAFolderOfAnotherNameFailsAndKeepsTheEarlierChoice) {
    ASSERT_EQ(chooseFolder(library().string() + "\n").exitStatus, 0);
    fs::path bookmark = home_ / ".config/QuillmereBridge/folder.bookmark";
    std::string before = testing::readFile(bookmark);
    fs::create_directories(home_ / "Sync/Other");
    ProcessResult result = chooseFolder("~/Sync/Other\n");
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.standardOutput, "");
    EXPECT_EQ(result.standardError,
              "选择 iCloud Drive → Quillmere → AgentLibrary。手机首次成功发布后才会出现。\n"
              "无法保存目录选择：请选择 AgentLibrary 文件夹。\n");
    EXPECT_EQ(testing::readFile(bookmark), before);
}

TEST_F(QuillmereMCP, ChoosingAMissingFolderReportsTheSystemsReason) {
    ProcessResult result = chooseFolder("~/Nowhere/AgentLibrary\n");
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(lines(result.standardError).back(), "无法保存目录选择：No such file or directory");
    EXPECT_FALSE(fs::exists(home_ / ".config/QuillmereBridge/folder.bookmark"));
}

TEST_F(QuillmereMCP, AnEmptyAnswerOrEndOfInputCancelsSilently) {
    for (const std::string& typed : {std::string("\n"), std::string("   \n"), std::string()}) {
        ProcessResult result = chooseFolder(typed);
        EXPECT_EQ(result.exitStatus, 1);
        EXPECT_EQ(result.standardOutput, "");
        EXPECT_EQ(lines(result.standardError).size(), 1u) << "only the prompt";
    }
    EXPECT_FALSE(fs::exists(home_ / ".config/QuillmereBridge"));
}

TEST_F(QuillmereMCP, TheChoiceFollowsXDGConfigHome) {
    ProcessOptions o = options({"--choose-folder"});
    o.environment["XDG_CONFIG_HOME"] = (home_ / "xdg").string();
    o.unsetEnvironment = {};
    o.inputChunks = {library().string() + "\n"};
    ASSERT_EQ(testing::runProcess(o).exitStatus, 0);
    EXPECT_TRUE(fs::is_regular_file(home_ / "xdg/QuillmereBridge/folder.bookmark"));
}

// ---- framing over real pipes

TEST_F(QuillmereMCP, AnswersInitializeAndToolsListAsCompactLines) {
    ProcessResult result = serve(
        {request(1, "initialize", {{"protocolVersion", "2025-06-18"}}) + request(2, "tools/list")});
    EXPECT_EQ(result.exitStatus, 0) << result.describe();
    EXPECT_EQ(result.standardError, "");
    auto output = lines(result.standardOutput);
    ASSERT_EQ(output.size(), 2u);
    json initialized = json::parse(output[0]);
    EXPECT_EQ(initialized["id"], 1);
    EXPECT_EQ(initialized["result"]["protocolVersion"], "2025-06-18");
    json listed = json::parse(output[1]);
    EXPECT_EQ(listed["id"], 2);
    EXPECT_EQ(listed["result"]["tools"].size(), 5u);
    for (const std::string& line : output) {
        // Compact, and keys in ascending order: dumping the parsed value again
        // gives the same bytes.
        EXPECT_EQ(json::parse(line).dump(), line);
    }
}

TEST_F(QuillmereMCP, SeveralRequestsInOneWriteAreAnsweredInOrder) {
    std::string input;
    for (int id = 1; id <= 50; ++id) input += request(id, "ping");
    ProcessResult result = serve({input});
    auto output = lines(result.standardOutput);
    ASSERT_EQ(output.size(), 50u);
    for (int id = 1; id <= 50; ++id) EXPECT_EQ(output[id - 1], pong(id));
}

TEST_F(QuillmereMCP, ARequestSplitAcrossWritesIsAssembled) {
    std::string ping = request(7, "ping");
    ProcessResult result = serve({ping.substr(0, 5), ping.substr(5, 10), ping.substr(15)});
    EXPECT_EQ(result.standardOutput, pong(7) + "\n");
    EXPECT_EQ(result.exitStatus, 0);
}

TEST_F(QuillmereMCP, LinesUpToOneMebibyteAreServedAndLongerOnesRefusedOnce) {
    std::string ping = R"({"jsonrpc":"2.0","id":1,"method":"ping"})";
    std::string exact = ping + std::string(maxLine - ping.size(), ' ');
    std::string over = exact + " ";
    ASSERT_EQ(exact.size(), maxLine);
    ProcessResult result = serve({exact + "\n", over + "\n", request(2, "ping")});
    EXPECT_EQ(result.exitStatus, 0) << result.describe();
    auto output = lines(result.standardOutput);
    ASSERT_EQ(output.size(), 3u);
    EXPECT_EQ(output[0], pong(1));
    EXPECT_EQ(
        output[1],
        R"({"error":{"code":-32600,"message":"Request exceeds 1 MiB"},"id":null,"jsonrpc":"2.0"})");
    EXPECT_EQ(output[2], pong(2));
}

TEST_F(QuillmereMCP, EmptyLinesAndNotificationsWriteNothingAndBlankLinesAreParseErrors) {
    ProcessResult result =
        serve({"\n\n" + json{{"jsonrpc", "2.0"}, {"method", "notifications/initialized"}}.dump() +
               "\n  \n"});
    EXPECT_EQ(
        lines(result.standardOutput),
        std::vector<std::string>{
            R"({"error":{"code":-32700,"message":"Parse error"},"id":null,"jsonrpc":"2.0"})"});
}

TEST_F(QuillmereMCP, EndOfInputInMidLineDropsThePartialLine) {
    ProcessResult result =
        serve({request(1, "ping") + R"({"jsonrpc":"2.0","id":2,"method":"ping"})"});
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.standardOutput, pong(1) + "\n");
}

TEST_F(QuillmereMCP, DeeplyNestedInputIsAParseErrorAndServingGoesOn) {
    std::string deep = std::string(500'000, '[') + std::string(500'000, ']');
    ProcessResult result = serve({deep + "\n" + request(3, "ping")});
    EXPECT_EQ(result.exitStatus, 0) << result.describe();
    auto output = lines(result.standardOutput);
    ASSERT_EQ(output.size(), 2u);
    EXPECT_EQ(output[0],
              R"({"error":{"code":-32700,"message":"Parse error"},"id":null,"jsonrpc":"2.0"})");
    EXPECT_EQ(output[1], pong(3));
}

TEST_F(QuillmereMCP, SlashesInStringsAreEscapedOnTheWire) {
    ProcessResult result = serve({request("a/b", "ping")});
    EXPECT_EQ(result.standardOutput, R"({"id":"a\/b","jsonrpc":"2.0","result":{}})"
                                     "\n");
}

TEST_F(QuillmereMCP, AClosedStandardOutputEndsTheServerWithoutASignal) {
    for (auto output : {ProcessOptions::Output::brokenPipe, ProcessOptions::Output::closed}) {
        ProcessOptions o = options({"--stdio", "--cloud-root", library().string()});
        o.output = output;
        o.inputChunks = {request(1, "ping"), request(2, "ping")};
        o.keepInputOpen = true;
        ProcessResult result = testing::runProcess(o);
        EXPECT_FALSE(result.terminatingSignal) << result.describe();
        EXPECT_EQ(result.exitStatus, 1) << result.describe();
        EXPECT_EQ(result.standardError, "Unable to write MCP stdout.\n");
    }
}

TEST_F(QuillmereMCP, HelpToAClosedStandardOutputIsReportedNotKilled) {
    ProcessOptions o = options({"--help"});
    o.output = ProcessOptions::Output::brokenPipe;
    ProcessResult result = testing::runProcess(o);
    EXPECT_FALSE(result.terminatingSignal) << result.describe();
    EXPECT_EQ(result.exitStatus, 1);
}

}  // namespace
}  // namespace quillmere
