#include "setup_app/setup_model.h"

#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>
#include <filesystem>
#include <system_error>

#include "setup_core/client_configuration.h"
#include "tests/setup_app/setup_app_test_support.h"
#include "tests/support/temp_dir.h"

namespace quillmere::testing {
namespace {

namespace fs = std::filesystem;
using app::SetupModel;
using setup::AgentClient;

constexpr const char* wrongFolderName = "请选择名为 AgentLibrary 的共享文件夹。";
constexpr const char* serverMissing = "未找到 MCP 服务，请重新安装完整安装包。";
constexpr const char* folderUnreadable = "无法读取共享目录，请等待 iCloud 下载后重新选择。";
constexpr const char* timedOut = "操作超时，请稍后重试。";
constexpr const char* cliMissing =
    "未找到 Codex 命令行工具。请安装 Codex，或选择本机的 codex 可执行文件。";
constexpr const char* folderPanelMessage =
    "选择 iCloud Drive → Quillmere → AgentLibrary。手机首次发布后才会出现。";
constexpr const char* cliPanelMessage = "选择本机的 codex 可执行文件。";

// Snapshot of every observable field, to tell "nothing changed" apart from a change.
struct Fields {
    AgentClient client;
    std::optional<fs::path> folder, cli;
    bool busy, conflict;
    std::optional<std::string> message;
    std::optional<setup::ConfigurationReceipt> receipt;
    bool operator==(const Fields&) const = default;
};

Fields fields(const SetupModel& model) {
    return {model.client(),   model.folder(),  model.cli(),    model.busy(),
            model.conflict(), model.message(), model.receipt()};
}

void chooseLibrary(SetupModel& model, CannedPicker& picker, const fs::path& folder) {
    picker.answers.push_back(folder);
    model.chooseFolder();
    ASSERT_EQ(model.folder(), folder);
}

// Installs for Cursor into the sandbox's home and waits for the outcome.
void installForCursor(SetupModel& model, CannedPicker& picker, const SetupSandbox& sandbox) {
    model.setClient(AgentClient::cursor);
    chooseLibrary(model, picker, sandbox.library());
    model.connect(false);
    ASSERT_TRUE(waitUntilIdle(model));
    ASSERT_TRUE(model.receipt().has_value()) << model.message().value_or("no message");
}

TEST(SetupModelCreation, StartsWithCodexNoFolderAndTheToolFoundOnPath) {
    SetupSandbox sandbox;
    CannedPicker picker;
    SetupModel model(sandbox.environment, picker);
    EXPECT_EQ(model.client(), AgentClient::codex);
    EXPECT_FALSE(model.folder());
    EXPECT_EQ(model.cli(), sandbox.codex());
    EXPECT_FALSE(model.busy());
    EXPECT_FALSE(model.conflict());
    EXPECT_FALSE(model.message());
    EXPECT_FALSE(model.receipt());
    EXPECT_EQ(model.home(), sandbox.home());
    EXPECT_EQ(model.codexHome(), sandbox.home() / ".codex");
    EXPECT_EQ(model.configurationURL(), sandbox.home() / ".codex/config.toml");
    EXPECT_EQ(model.executable(), sandbox.applicationDirectory() / "bin/quillmere-mcp");
}

TEST(SetupModelCreation, NoCodexAnywhereLeavesTheToolAbsent) {
    SetupSandbox sandbox(/*withCodex=*/false);
    if (setup::ClientConfiguration::findCodex(sandbox.home(), {}))
        GTEST_SKIP() << "this machine has codex in a fixed location";
    CannedPicker picker;
    SetupModel model(sandbox.environment, picker);
    EXPECT_FALSE(model.cli());
}

TEST(SetupModelCreation, CodexHomeComesFromTheEnvironment) {
    SetupSandbox sandbox;
    const fs::path custom = sandbox.root() / "elsewhere/codex-home";
    sandbox.environment.variables["CODEX_HOME"] = custom.string();
    CannedPicker picker;
    SetupModel model(sandbox.environment, picker);
    EXPECT_EQ(model.codexHome(), custom);
    EXPECT_EQ(model.configurationURL(), custom / "config.toml");
    model.setClient(AgentClient::cursor);
    EXPECT_EQ(model.configurationURL(), sandbox.home() / ".cursor/mcp.json");
}

TEST(SetupModelCreation, EmptyCodexHomeMeansTheDefault) {
    SetupSandbox sandbox;
    sandbox.environment.variables["CODEX_HOME"] = "";
    CannedPicker picker;
    SetupModel model(sandbox.environment, picker);
    EXPECT_EQ(model.codexHome(), sandbox.home() / ".codex");
}

TEST(SetupModelChooseFolder, ShowsTheFolderPromptAndTakesAnAgentLibrary) {
    SetupSandbox sandbox;
    CannedPicker picker;
    SetupModel model(sandbox.environment, picker);
    QSignalSpy changed(&model, &SetupModel::changed);
    picker.answers.push_back(sandbox.library());
    model.chooseFolder();
    EXPECT_EQ(picker.directoryPrompts, std::vector<std::string>{folderPanelMessage});
    EXPECT_EQ(model.folder(), sandbox.library());
    EXPECT_FALSE(model.message());
    EXPECT_GE(changed.count(), 1);
}

TEST(SetupModelChooseFolder, OnlyTheExactNameIsAccepted) {
    const struct {
        const char* name;
        bool accepted;
    } rows[] = {
        {"AgentLibrary", true},   {"agentlibrary", false},  {"AGENTLIBRARY", false},
        {"AgentLibrary2", false}, {"Agent Library", false}, {"AgentLibrar", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        SetupSandbox sandbox;
        CannedPicker picker;
        SetupModel model(sandbox.environment, picker);
        const fs::path chosen = sandbox.root() / row.name;
        fs::create_directories(chosen);
        picker.answers.push_back(chosen);
        model.chooseFolder();
        if (row.accepted) {
            EXPECT_EQ(model.folder(), chosen);
            EXPECT_FALSE(model.message());
        } else {
            EXPECT_FALSE(model.folder());
            EXPECT_EQ(model.message(), wrongFolderName);
        }
    }
}

TEST(SetupModelChooseFolder, RejectedNameKeepsTheEarlierFolderAndReceipt) {
    SetupSandbox sandbox;
    CannedPicker picker;
    SetupModel model(sandbox.environment, picker);
    installForCursor(model, picker, sandbox);
    const auto receipt = model.receipt();

    picker.answers.push_back(sandbox.root() / "agentlibrary");
    model.chooseFolder();
    EXPECT_EQ(model.message(), wrongFolderName);
    EXPECT_EQ(model.folder(), sandbox.library());
    EXPECT_EQ(model.receipt(), receipt);
}

TEST(SetupModelChooseFolder, ValidChoiceClearsMessageAndReceipt) {
    SetupSandbox sandbox;
    CannedPicker picker;
    SetupModel model(sandbox.environment, picker);
    installForCursor(model, picker, sandbox);
    picker.answers.push_back(sandbox.root() / "wrong");
    model.chooseFolder();
    ASSERT_TRUE(model.message());

    chooseLibrary(model, picker, sandbox.library());
    EXPECT_FALSE(model.message());
    EXPECT_FALSE(model.receipt());
}

TEST(SetupModelChooseFolder, CancelledPanelChangesNothing) {
    SetupSandbox sandbox;
    CannedPicker picker;
    SetupModel model(sandbox.environment, picker);
    chooseLibrary(model, picker, sandbox.library());
    const Fields before = fields(model);
    QSignalSpy changed(&model, &SetupModel::changed);
    picker.answers.push_back(std::nullopt);
    model.chooseFolder();
    EXPECT_EQ(fields(model), before);
    EXPECT_EQ(changed.count(), 0);
}

TEST(SetupModelChooseCLI, ExecutableFileBecomesTheToolAndClearsTheMessage) {
    SetupSandbox sandbox(/*withCodex=*/false);
    CannedPicker picker;
    SetupModel model(sandbox.environment, picker);
    picker.answers.push_back(sandbox.root() / "wrong");
    model.chooseFolder();
    ASSERT_TRUE(model.message());

    const fs::path chosen = sandbox.root() / "tools/my-codex";
    installCodexStandIn(chosen);
    picker.answers.push_back(chosen);
    model.chooseCLI();
    EXPECT_EQ(picker.filePrompts, std::vector<std::string>{cliPanelMessage});
    EXPECT_EQ(model.cli(), chosen);
    EXPECT_FALSE(model.message());
}

TEST(SetupModelChooseCLI, NonExecutableOrCancelledChangesNothing) {
    SetupSandbox sandbox;
    CannedPicker picker;
    SetupModel model(sandbox.environment, picker);
    picker.answers.push_back(sandbox.root() / "wrong");
    model.chooseFolder();  // leaves a message that must survive
    const fs::path plain = sandbox.root() / "codex.txt";
    writeFile(plain, "not a program");
    fs::permissions(plain, fs::perms::owner_read | fs::perms::owner_write);

    for (const auto& answer : {std::optional<fs::path>(plain), std::optional<fs::path>(),
                               std::optional<fs::path>(sandbox.root() / "missing"),
                               std::optional<fs::path>(sandbox.root())}) {
        const Fields before = fields(model);
        QSignalSpy changed(&model, &SetupModel::changed);
        picker.answers.push_back(answer);
        model.chooseCLI();
        EXPECT_EQ(fields(model), before) << answer.value_or("cancelled");
        EXPECT_EQ(changed.count(), 0);
    }
}

TEST(SetupModelClient, SwitchingClearsReceiptAndMessageButKeepsFolderAndTool) {
    SetupSandbox sandbox;
    CannedPicker picker;
    SetupModel model(sandbox.environment, picker);
    installForCursor(model, picker, sandbox);
    const auto cli = model.cli();

    model.setClient(AgentClient::claude);
    EXPECT_FALSE(model.receipt());
    EXPECT_FALSE(model.message());
    EXPECT_EQ(model.folder(), sandbox.library());
    EXPECT_EQ(model.cli(), cli);

    picker.answers.push_back(sandbox.root() / "wrong");
    model.chooseFolder();
    model.setClient(AgentClient::codex);
    EXPECT_FALSE(model.message());
}

TEST(SetupModelConnect, WithoutAFolderChangesNothing) {
    SetupSandbox sandbox;
    CannedPicker picker;
    SetupModel model(sandbox.environment, picker);
    const Fields before = fields(model);
    QSignalSpy changed(&model, &SetupModel::changed);
    model.connect(false);
    QTest::qWait(50);
    EXPECT_EQ(fields(model), before);
    EXPECT_EQ(changed.count(), 0);
}

TEST(SetupModelConnect, MissingOrNonExecutableServerIsReported) {
    for (const bool present : {false, true}) {
        SCOPED_TRACE(present ? "not executable" : "missing");
        SetupSandbox sandbox;
        fs::remove(sandbox.server());
        if (present) writeFile(sandbox.server(), "#!/bin/sh\n");
        CannedPicker picker;
        SetupModel model(sandbox.environment, picker);
        model.setClient(AgentClient::cursor);
        chooseLibrary(model, picker, sandbox.library());
        model.connect(false);
        EXPECT_EQ(model.message(), serverMissing);
        EXPECT_FALSE(model.busy());
        QTest::qWait(50);
        EXPECT_FALSE(fs::exists(sandbox.cursorConfiguration()));
    }
}

TEST(SetupModelConnect, FolderGoneSinceChoosingIsReportedAsUnreadable) {
    SetupSandbox sandbox;
    CannedPicker picker;
    SetupModel model(sandbox.environment, picker);
    model.setClient(AgentClient::cursor);
    chooseLibrary(model, picker, sandbox.library());
    fs::remove_all(sandbox.library());
    model.connect(false);
    EXPECT_EQ(model.message(), folderUnreadable);
    EXPECT_FALSE(model.busy());
    QTest::qWait(50);
    EXPECT_FALSE(fs::exists(sandbox.cursorConfiguration()));
}

TEST(SetupModelConnect, CursorInstallWritesTheEntryAndClearsBusyLast) {
    SetupSandbox sandbox;
    CannedPicker picker;
    SetupModel model(sandbox.environment, picker);
    model.setClient(AgentClient::cursor);
    chooseLibrary(model, picker, sandbox.library());
    picker.answers.push_back(sandbox.root() / "wrong");
    model.chooseFolder();  // a message the connect must clear

    std::vector<Fields> seen;
    QObject::connect(&model, &SetupModel::changed, [&] { seen.push_back(fields(model)); });
    model.connect(false);
    EXPECT_TRUE(model.busy());
    EXPECT_FALSE(model.message());
    ASSERT_TRUE(waitUntilIdle(model));

    ASSERT_TRUE(model.receipt());
    EXPECT_TRUE(model.receipt()->changed);
    EXPECT_FALSE(model.receipt()->backup);
    EXPECT_EQ(model.receipt()->configuration, sandbox.cursorConfiguration());
    const std::string written = readFile(sandbox.cursorConfiguration());
    EXPECT_NE(written.find(sandbox.server().string()), std::string::npos);
    EXPECT_NE(written.find(sandbox.library().string()), std::string::npos);

    // Whenever busy reads false after the start, the outcome is already there.
    ASSERT_FALSE(seen.empty());
    EXPECT_TRUE(seen.front().busy);
    for (const Fields& state : seen) {
        if (!state.busy) {
            EXPECT_TRUE(state.receipt.has_value());
        }
    }
}

TEST(SetupModelConnect, ConflictAsksThenConfirmedReplaceBacksUp) {
    SetupSandbox sandbox;
    const std::string previous =
        R"({"mcpServers": {"quillmere": {"command": "/old/quillmere-mcp", "args": ["--stdio"]}}})";
    writeFile(sandbox.cursorConfiguration(), previous);
    CannedPicker picker;
    SetupModel model(sandbox.environment, picker);
    model.setClient(AgentClient::cursor);
    chooseLibrary(model, picker, sandbox.library());

    model.connect(false);
    ASSERT_TRUE(waitUntilIdle(model));
    EXPECT_TRUE(model.conflict());
    EXPECT_FALSE(model.message());
    EXPECT_FALSE(model.receipt());
    EXPECT_EQ(readFile(sandbox.cursorConfiguration()), previous);

    model.setConflict(false);
    model.connect(true);
    ASSERT_TRUE(waitUntilIdle(model));
    EXPECT_FALSE(model.conflict());
    ASSERT_TRUE(model.receipt()) << model.message().value_or("");
    EXPECT_TRUE(model.receipt()->changed);
    ASSERT_TRUE(model.receipt()->backup);
    EXPECT_EQ(readFile(*model.receipt()->backup), previous);
    EXPECT_NE(readFile(sandbox.cursorConfiguration()).find(sandbox.server().string()),
              std::string::npos);
}

TEST(SetupModelConnect, BusyStaysTrueWhileTheInstallRuns) {
    SetupSandbox sandbox;
    writeFile(sandbox.codexHome() / "gate", "");
    CannedPicker picker;
    SetupModel model(sandbox.environment, picker);
    chooseLibrary(model, picker, sandbox.library());

    model.connect(false);
    EXPECT_TRUE(model.busy());
    QTest::qWait(300);  // the stand-in holds the install open until the gate is gone
    EXPECT_TRUE(model.busy());
    EXPECT_FALSE(model.receipt());

    fs::remove(sandbox.codexHome() / "gate");
    ASSERT_TRUE(waitUntilIdle(model));
    ASSERT_TRUE(model.receipt()) << model.message().value_or("");
    EXPECT_TRUE(model.receipt()->changed);
    EXPECT_EQ(model.receipt()->configuration, sandbox.codexHome() / "config.toml");
}

TEST(SetupModelConnect, CodexWithoutToolReportsItMissing) {
    SetupSandbox sandbox(/*withCodex=*/false);
    if (setup::ClientConfiguration::findCodex(sandbox.home(), {}))
        GTEST_SKIP() << "this machine has codex in a fixed location";
    CannedPicker picker;
    SetupModel model(sandbox.environment, picker);
    chooseLibrary(model, picker, sandbox.library());
    model.connect(false);
    ASSERT_TRUE(waitUntilIdle(model));
    EXPECT_EQ(model.message(), cliMissing);
    EXPECT_FALSE(model.receipt());
}

TEST(SetupModelConnect, TimedOutCodexRunIsReported) {
    SetupSandbox sandbox;
    writeFile(sandbox.codexHome() / "hang", "");
    CannedPicker picker;
    SetupModel model(sandbox.environment, picker);
    chooseLibrary(model, picker, sandbox.library());
    model.connect(false);
    ASSERT_TRUE(waitUntilIdle(model));
    EXPECT_EQ(model.message(), timedOut);
    EXPECT_FALSE(model.busy());
    EXPECT_FALSE(model.receipt());
}

TEST(SetupModelConnect, FileSystemErrorShowsTheSystemsDescription) {
    SetupSandbox sandbox;
    writeFile(sandbox.home() / ".cursor", "a file where the directory should be");
    CannedPicker picker;
    SetupModel model(sandbox.environment, picker);
    model.setClient(AgentClient::cursor);
    chooseLibrary(model, picker, sandbox.library());
    model.connect(false);
    ASSERT_TRUE(waitUntilIdle(model));
    ASSERT_TRUE(model.message());
    EXPECT_NE(model.message()->find(std::generic_category().message(ENOTDIR)), std::string::npos)
        << *model.message();
    EXPECT_FALSE(model.receipt());
    EXPECT_FALSE(model.conflict());
}

}  // namespace
}  // namespace quillmere::testing
