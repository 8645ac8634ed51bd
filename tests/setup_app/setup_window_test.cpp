#include "setup_app/setup_window.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTextEdit>
#include <filesystem>
#include <vector>

#include "setup_app/qt_translations.h"
#include "setup_app/setup_widgets.h"
#include "tests/setup_app/setup_app_test_support.h"
#include "tests/support/temp_dir.h"

namespace quillmere::testing {
namespace {

namespace fs = std::filesystem;
using app::SetupWindow;
using setup::AgentClient;

// A window over a sandbox with canned panels and a recorded file manager.
class SetupWindowTest : public ::testing::Test {
  protected:
    explicit SetupWindowTest(bool withCodex = true) : sandbox(withCodex) {}

    void open() {
        window = std::make_unique<SetupWindow>(
            sandbox.environment, &picker,
            [this](const fs::path& file) { revealed.push_back(file); });
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }

    template <typename T = QWidget>
    T* child(const char* name) {
        T* found = window->findChild<T*>(name);
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    QString text(const char* name) { return child<QLabel>(name)->text(); }
    bool shown(const char* name) { return child(name)->isVisible(); }
    QPushButton* mainButton() { return child<QPushButton>("mainButton"); }
    QColor color(const char* name) { return child(name)->palette().color(QPalette::WindowText); }

    void click(const char* name) {
        QPushButton* button = child<QPushButton>(name);
        ASSERT_TRUE(button->isVisible() && button->isEnabled()) << name;
        QTest::mouseClick(button, Qt::LeftButton);
    }
    void chooseLibrary() {
        picker.answers.push_back(sandbox.library());
        click("chooseFolder");
    }
    void connectAndWait() {
        click("mainButton");
        ASSERT_TRUE(waitUntilIdle(window->model()));
    }
    QMessageBox* alert() { return window->findChild<QMessageBox*>("conflictAlert"); }

    SetupSandbox sandbox;
    CannedPicker picker;
    std::vector<fs::path> revealed;
    std::unique_ptr<SetupWindow> window;
};

class SetupWindowWithoutCodex : public SetupWindowTest {
  protected:
    SetupWindowWithoutCodex() : SetupWindowTest(false) {}
};

const std::string previousCursorConfiguration =
    R"({"mcpServers": {"quillmere": {"command": "/old/quillmere-mcp", "args": []}}})";

TEST_F(SetupWindowTest, FreshStartShowsTheGuideAndADisabledButton) {
    open();
    EXPECT_EQ(window->windowTitle(), "连接 AI 客户端");
    EXPECT_EQ(window->size(), QSize(600, 610));
    EXPECT_EQ(window->minimumSize(), window->maximumSize());
    EXPECT_EQ(text("headerTitle"), "让 AI 读取你的录音");
    EXPECT_EQ(text("headerSubtitle"), "Quillmere MCP · 本机只读访问");
    EXPECT_EQ(text("clientHeading"), "1. 选择 AI 客户端");
    EXPECT_EQ(text("folderHeading"), "2. 选择录音共享目录");
    EXPECT_EQ(text("folderHint"), "先在 iPhone 发布录音，再等待 iCloud 同步到这台 Mac。");
    EXPECT_EQ(text("footerHint"), "可再次打开此引导，连接另一个客户端。");
    EXPECT_EQ(child<QPushButton>("chooseFolder")->text(), "选择文件夹…");
    EXPECT_EQ(child<QPushButton>("chooseTool")->text(), "选择工具…");
    EXPECT_EQ(child<QTextEdit>("folderLine")->toPlainText(),
              "iCloud Drive → Quillmere → AgentLibrary");
    EXPECT_EQ(text("cliStatus"), "已找到 Codex 命令行工具");

    const std::vector<std::pair<const char*, const char*>> segments = {
        {"segment_codex", "Codex"},
        {"segment_claude", "Claude Desktop"},
        {"segment_cursor", "Cursor"}};
    int previousX = -1;
    for (const auto& [name, title] : segments) {
        QPushButton* segment = child<QPushButton>(name);
        EXPECT_EQ(segment->text(), title);
        EXPECT_GT(segment->x(), previousX) << "segments follow the clients' order";
        previousX = segment->x();
    }
    EXPECT_TRUE(child<QPushButton>("segment_codex")->isChecked());
    EXPECT_EQ(child("clientPicker")->accessibleName(), "客户端");

    EXPECT_EQ(mainButton()->text(), "连接 Codex");
    EXPECT_FALSE(mainButton()->isEnabled());
    EXPECT_TRUE(mainButton()->isDefault());
    EXPECT_FALSE(shown("spinner"));
    EXPECT_FALSE(shown("receiptBlock"));
    EXPECT_TRUE(shown("messageLine"));
    EXPECT_EQ(text("messageLine"),
              "自动保留其他 MCP 服务；修改已有配置前会创建备份。录音内容不会上传给配置工具。");
    EXPECT_EQ(color("messageLine"), color("footerHint")) << "the secondary colour";
    EXPECT_NE(color("messageLine"), window->palette().color(QPalette::WindowText));
}

TEST_F(SetupWindowTest, AFolderPathLongerThanThreeLinesIsElidedInTheMiddle) {
    fs::path folder = sandbox.root();
    for (int i = 0; i < 30; ++i) folder /= "a-rather-long-folder-name-" + std::to_string(i);
    folder /= "AgentLibrary";
    fs::create_directories(folder);
    open();
    picker.answers.push_back(folder);
    click("chooseFolder");
    const auto* line = child<app::PathLine>("folderLine");
    const QString whole = QString::fromStdString(folder.string());
    const QString shown = line->toPlainText();
    EXPECT_TRUE(shown.startsWith(whole.left(10)) && shown.endsWith("/AgentLibrary")) << shown.toStdString();
    EXPECT_TRUE(shown.contains(QChar(0x2026))) << shown.toStdString();
    EXPECT_LE(line->document()->size().height(), 3 * line->fontMetrics().lineSpacing());
    EXPECT_EQ(line->toolTip(), whole);
    EXPECT_EQ(line->path(), whole);
}

TEST(QtTranslations, QtsOwnDialogsSpeakTheLocalesLanguage) {
    ASSERT_TRUE(app::installQtTranslations(*QCoreApplication::instance(), QLocale("zh_CN")));
    EXPECT_EQ(QCoreApplication::translate("QFileDialog", "Look in:"), QString::fromUtf8("查找范围："));
}

TEST_F(SetupWindowWithoutCodex, ButtonWaitsForATool) {
    if (setup::ClientConfiguration::findCodex(sandbox.home(), {}))
        GTEST_SKIP() << "this machine has codex in a fixed location";
    open();
    EXPECT_EQ(text("cliStatus"), "未找到 Codex 命令行工具");
    chooseLibrary();
    EXPECT_EQ(child<QTextEdit>("folderLine")->toPlainText(),
              QString::fromStdString(sandbox.library().string()));
    EXPECT_FALSE(mainButton()->isEnabled());

    const fs::path tool = sandbox.root() / "tools/codex";
    installCodexStandIn(tool);
    picker.answers.push_back(tool);
    click("chooseTool");
    EXPECT_EQ(text("cliStatus"), "已找到 Codex 命令行工具");
    EXPECT_TRUE(mainButton()->isEnabled());

    // Another client needs no tool at all.
    click("segment_cursor");
    EXPECT_TRUE(mainButton()->isEnabled());
}

TEST_F(SetupWindowTest, ClaudeDesktopShowsTheInstallHintInsteadOfTheToolRow) {
    open();
    click("segment_claude");
    EXPECT_TRUE(child<QPushButton>("segment_claude")->isChecked());
    EXPECT_FALSE(child<QPushButton>("segment_codex")->isChecked());
    EXPECT_FALSE(shown("cliRow"));
    EXPECT_TRUE(shown("installHint"));
    EXPECT_EQ(text("installHint"), "请先安装 Claude Desktop。配置完成后重新打开客户端。");
    EXPECT_EQ(mainButton()->text(), "连接 Claude Desktop");
    EXPECT_EQ(window->model().client(), AgentClient::claude);
}

TEST_F(SetupWindowTest, NewConfigurationShowsSavedWithOneFinderButton) {
    open();
    click("segment_cursor");
    chooseLibrary();
    ASSERT_TRUE(mainButton()->isEnabled());
    connectAndWait();

    EXPECT_TRUE(shown("receiptBlock"));
    EXPECT_FALSE(shown("messageLine"));
    EXPECT_EQ(text("receiptLabel"), "配置已保存");
    EXPECT_EQ(text("reopenLine"),
              "重新打开 Cursor，在客户端允许使用 quillmere 工具。尚未验证客户端连接。");
    EXPECT_EQ(child<QPushButton>("revealConfiguration")->text(), "在 Finder 查看配置");
    EXPECT_TRUE(shown("revealConfiguration"));
    EXPECT_FALSE(shown("revealBackup"));
    EXPECT_EQ(mainButton()->text(), "连接 Cursor");
    EXPECT_TRUE(mainButton()->isEnabled());

    click("revealConfiguration");
    EXPECT_EQ(revealed, std::vector<fs::path>{sandbox.cursorConfiguration()});

    // A different client is a fresh start for the outcome block.
    click("segment_claude");
    EXPECT_FALSE(shown("receiptBlock"));
    EXPECT_EQ(text("messageLine"),
              "自动保留其他 MCP 服务；修改已有配置前会创建备份。录音内容不会上传给配置工具。");
}

TEST_F(SetupWindowTest, SecondInstallFindsTheEntryReady) {
    open();
    click("segment_cursor");
    chooseLibrary();
    connectAndWait();
    connectAndWait();
    EXPECT_EQ(text("receiptLabel"), "配置已就绪，无需修改");
    EXPECT_FALSE(shown("revealBackup"));
    EXPECT_TRUE(shown("revealConfiguration"));
}

TEST_F(SetupWindowTest, ConflictAlertCancelLeavesTheFileAlone) {
    writeFile(sandbox.cursorConfiguration(), previousCursorConfiguration);
    open();
    click("segment_cursor");
    chooseLibrary();
    connectAndWait();

    QMessageBox* box = alert();
    ASSERT_NE(box, nullptr);
    ASSERT_TRUE(QTest::qWaitFor([&] { return box->isVisible(); }));
    EXPECT_EQ(box->text(), "替换已有的 quillmere 服务？");
    EXPECT_EQ(box->informativeText(),
              "只替换这个同名服务，保留其他服务和客户端设置。原配置会保存为同目录下的备份文件。");
    QList<QString> buttons;
    for (QAbstractButton* button : box->buttons()) buttons.push_back(button->text());
    EXPECT_TRUE(buttons.contains("取消"));
    EXPECT_TRUE(buttons.contains("备份并替换"));
    EXPECT_EQ(box->buttonRole(box->findChild<QPushButton*>("conflictReplace")),
              QMessageBox::DestructiveRole);

    QTest::mouseClick(box->findChild<QPushButton*>("conflictCancel"), Qt::LeftButton);
    EXPECT_FALSE(box->isVisible());
    EXPECT_FALSE(window->model().conflict());
    EXPECT_FALSE(window->model().busy());
    EXPECT_EQ(readFile(sandbox.cursorConfiguration()), previousCursorConfiguration);
    EXPECT_FALSE(shown("receiptBlock"));
    EXPECT_EQ(text("messageLine"),
              "自动保留其他 MCP 服务；修改已有配置前会创建备份。录音内容不会上传给配置工具。");
}

TEST_F(SetupWindowTest, ConflictAlertReplaceBacksUpAndShowsBothFinderButtons) {
    writeFile(sandbox.cursorConfiguration(), previousCursorConfiguration);
    open();
    click("segment_cursor");
    chooseLibrary();
    connectAndWait();
    QMessageBox* box = alert();
    ASSERT_NE(box, nullptr);
    ASSERT_TRUE(QTest::qWaitFor([&] { return box->isVisible(); }));

    QTest::mouseClick(box->findChild<QPushButton*>("conflictReplace"), Qt::LeftButton);
    EXPECT_FALSE(window->model().conflict());
    ASSERT_TRUE(waitUntilIdle(window->model()));
    EXPECT_FALSE(box->isVisible());
    EXPECT_EQ(text("receiptLabel"), "配置已保存");
    EXPECT_TRUE(shown("revealConfiguration"));
    ASSERT_TRUE(shown("revealBackup"));
    EXPECT_EQ(child<QPushButton>("revealBackup")->text(), "查看原配置备份");

    click("revealBackup");
    const auto& receipt = window->model().receipt();
    ASSERT_TRUE(receipt && receipt->backup);
    EXPECT_EQ(revealed, std::vector<fs::path>{*receipt->backup});
    EXPECT_EQ(readFile(*receipt->backup), previousCursorConfiguration);
}

TEST_F(SetupWindowTest, FailureIsShownInRedUntilTheNextGoodChoice) {
    writeFile(sandbox.home() / ".cursor", "a file where the directory should be");
    open();
    click("segment_cursor");
    chooseLibrary();
    connectAndWait();

    ASSERT_TRUE(window->model().message());
    EXPECT_TRUE(shown("messageLine"));
    EXPECT_EQ(text("messageLine"), QString::fromStdString(*window->model().message()));
    const QColor red = color("messageLine");
    EXPECT_GT(red.red(), red.green() + 60);
    EXPECT_GT(red.red(), red.blue() + 60);

    picker.answers.push_back(sandbox.root() / "agentlibrary");
    click("chooseFolder");
    EXPECT_EQ(text("messageLine"), "请选择名为 AgentLibrary 的共享文件夹。");
    EXPECT_EQ(color("messageLine"), red);

    chooseLibrary();
    EXPECT_EQ(text("messageLine"),
              "自动保留其他 MCP 服务；修改已有配置前会创建备份。录音内容不会上传给配置工具。");
    EXPECT_EQ(color("messageLine"), color("footerHint"));
}

TEST_F(SetupWindowTest, WhileBusyTheButtonWaitsAndTheRestStaysUsable) {
    writeFile(sandbox.codexHome() / "gate", "");
    open();
    chooseLibrary();
    click("mainButton");
    EXPECT_EQ(mainButton()->text(), "正在配置…");
    EXPECT_FALSE(mainButton()->isEnabled());
    EXPECT_TRUE(shown("spinner"));
    EXPECT_TRUE(child("chooseFolder")->isEnabled());
    EXPECT_TRUE(child("chooseTool")->isEnabled());
    EXPECT_TRUE(child("segment_cursor")->isEnabled());

    fs::remove(sandbox.codexHome() / "gate");
    ASSERT_TRUE(waitUntilIdle(window->model()));
    EXPECT_FALSE(shown("spinner"));
    EXPECT_EQ(mainButton()->text(), "连接 Codex");
    EXPECT_EQ(text("receiptLabel"), "配置已保存");
    EXPECT_EQ(text("reopenLine"),
              "重新打开 Codex，在客户端允许使用 quillmere 工具。尚未验证客户端连接。");
}

TEST_F(SetupWindowTest, ReturnKeyPressesTheMainButtonOnlyWhenEnabled) {
    open();
    click("segment_cursor");
    QTest::keyClick(window.get(), Qt::Key_Return);
    QTest::qWait(50);
    EXPECT_FALSE(window->model().busy());
    EXPECT_FALSE(fs::exists(sandbox.cursorConfiguration()));

    chooseLibrary();
    QTest::keyClick(window.get(), Qt::Key_Return);
    ASSERT_TRUE(QTest::qWaitFor([&] { return window->model().receipt().has_value(); }, 30000));
    EXPECT_TRUE(fs::exists(sandbox.cursorConfiguration()));
}

// Closing the window is what quits the application (main keeps Qt's quit-on-last-window).
TEST_F(SetupWindowTest, CloseKeyClosesTheWindow) {
    open();
    QTest::keySequence(window.get(), QKeySequence::Close);
    EXPECT_FALSE(window->isVisible());
}

}  // namespace
}  // namespace quillmere::testing
