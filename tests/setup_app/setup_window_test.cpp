#include "setup_app/setup_window.h"

#include <gtest/gtest.h>

#include <QMessageBox>
#include <QTextDocument>
#include <functional>
#include <nlohmann/json.hpp>
#include <system_error>

#include "setup_app/qt_translations.h"
#include "setup_app/setup_texts.h"
#include "setup_app/setup_widgets.h"
#include "setup_core/install_checks.h"
#include "setup_core/setup_failure.h"
#include "tests/setup_app/setup_app_test_support.h"

namespace quillmere::testing {
namespace {

namespace fs = std::filesystem;
namespace texts = app::texts;
using setup::SetupFailure;

TEST_F(SetupWindowTest, FreshStartOffersTheClientsInOrderAndWaitsForAFolder) {
    open();
    EXPECT_LT(child("segment_codex")->x(), child("segment_claude")->x());
    EXPECT_LT(child("segment_claude")->x(), child("segment_cursor")->x());
    EXPECT_TRUE(child<QPushButton>("segment_codex")->isChecked());
    EXPECT_TRUE(shown("cliRow") && !shown("installHint"));
    EXPECT_FALSE(mainButton()->isEnabled());
    EXPECT_FALSE(shown("spinner") || shown("receiptBlock"));
    EXPECT_EQ(text("messageLine"), texts::reassurance);
    EXPECT_EQ(color("messageLine"), color("footerHint")) << "the secondary colour";
    EXPECT_NE(color("messageLine"), window->palette().color(QPalette::WindowText));

    click("segment_claude");
    EXPECT_FALSE(child<QPushButton>("segment_codex")->isChecked() || shown("cliRow"));
    EXPECT_TRUE(shown("installHint") && text("installHint").contains("Claude Desktop"));
    EXPECT_TRUE(mainButton()->text().contains("Claude Desktop"));
}

TEST_F(SetupWindowTest, AFolderPathLongerThanThreeLinesIsElidedInTheMiddle) {
    fs::path folder = root.path();
    for (int i = 0; i < 30; ++i) folder /= "a-rather-long-folder-name-" + std::to_string(i);
    fs::create_directories(folder /= "AgentLibrary");
    open();
    choose("chooseFolder", folder);
    const auto* line = child<app::PathLine>("folderLine");
    const QString whole = QString::fromStdString(folder.string()), shown = line->toPlainText();
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

// Without a codex the button waits for one (unless this machine has its own in a fixed
// location); a choice that is no executable file changes nothing, not even the message.
TEST_F(SetupWindowTest, CodexNeedsAToolThatCanBeChosenOtherClientsDoNot) {
    fs::remove(home / ".local/bin/codex");
    writeFile(root / "plain", "");
    const bool machineHasOne = machineCodex().has_value();
    open();
    choose("chooseFolder", library);
    EXPECT_EQ(mainButton()->isEnabled(), machineHasOne);
    choose("chooseFolder", root / "wrong");
    const QString wrongName = text("messageLine");
    for (const auto& answer : {std::optional<fs::path>(root / "plain"), std::optional<fs::path>(),
                               std::optional<fs::path>(root / "missing"), std::optional<fs::path>(root.path())}) {
        choose("chooseTool", answer);
        EXPECT_EQ(mainButton()->isEnabled(), machineHasOne) << answer.value_or("cancelled");
        EXPECT_EQ(text("messageLine"), wrongName);
    }
    installCodex(root / "tools/codex");
    choose("chooseTool", root / "tools/codex");
    EXPECT_TRUE(mainButton()->isEnabled());
    EXPECT_EQ(text("cliStatus"), texts::cliFound);
    EXPECT_EQ(text("messageLine"), texts::reassurance) << "a chosen tool clears the message";
    click("segment_cursor");
    EXPECT_TRUE(mainButton()->isEnabled());
}

TEST_F(SetupWindowTest, InstallShowsItsReceiptWhichACancelledOrRejectedChoiceKeeps) {
    open();
    click("segment_cursor");
    choose("chooseFolder", library);
    // Whenever the install reads as over, its outcome is already there.
    const auto watch = QObject::connect(&window->model(), &app::SetupModel::changed, [&] {
        EXPECT_TRUE(window->model().busy() || shown("receiptBlock"));
    });
    connectAndWait();
    QObject::disconnect(watch);
    EXPECT_FALSE(shown("messageLine"));
    EXPECT_EQ(text("receiptLabel"), texts::savedLabel);
    EXPECT_TRUE(text("reopenLine").contains("Cursor"));
    EXPECT_FALSE(shown("revealBackup"));
    EXPECT_TRUE(mainButton()->isEnabled());
    click("revealConfiguration");
    EXPECT_EQ(revealed, std::vector<fs::path>{cursorFile});
    EXPECT_EQ(nlohmann::json::parse(readFile(cursorFile))["mcpServers"]["quillmere"],
              (nlohmann::json{{"command", server.string()}, {"args", {"--stdio", "--cloud-root", library.string()}}}));
    connectAndWait();
    EXPECT_EQ(text("receiptLabel"), texts::readyLabel);

    for (const auto& answer : {std::optional<fs::path>(), std::optional<fs::path>(root / "agentlibrary")}) {
        choose("chooseFolder", answer);
        EXPECT_TRUE(shown("receiptBlock"));
        EXPECT_EQ(child<app::PathLine>("folderLine")->path(), QString::fromStdString(library.string()));
    }
    choose("chooseFolder", library);
    EXPECT_FALSE(shown("receiptBlock"));
    connectAndWait();
    click("segment_claude");
    EXPECT_FALSE(shown("receiptBlock")) << "another client starts afresh";
    EXPECT_EQ(text("messageLine"), texts::reassurance);
}

TEST_F(SetupWindowTest, ConflictAsksCancelLeavesTheFileReplaceBacksItUp) {
    const std::string previous = R"({"mcpServers": {"quillmere": {"command": "/old/quillmere-mcp", "args": []}}})";
    writeFile(cursorFile, previous);
    open();
    click("segment_cursor");
    choose("chooseFolder", library);
    const auto answer = [&](const char* button) {
        connectAndWait();
        auto* box = window->findChild<QMessageBox*>("conflictAlert");
        ASSERT_TRUE(box && QTest::qWaitFor([&] { return box->isVisible(); }));
        EXPECT_EQ(box->buttonRole(box->findChild<QPushButton*>("conflictReplace")), QMessageBox::DestructiveRole);
        QTest::mouseClick(box->findChild<QPushButton*>(button), Qt::LeftButton);
        ASSERT_TRUE(idle());
        EXPECT_FALSE(box->isVisible());
    };
    answer("conflictCancel");
    EXPECT_EQ(readFile(cursorFile), previous);
    EXPECT_FALSE(shown("receiptBlock"));
    EXPECT_EQ(text("messageLine"), texts::reassurance);

    answer("conflictReplace");
    const std::vector<std::string> names = listDirectory(cursorFile.parent_path());
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(text("receiptLabel"), texts::savedLabel);
    click("revealBackup");
    EXPECT_EQ(revealed, std::vector<fs::path>{cursorFile.parent_path() / names[1]});
    EXPECT_EQ(readFile(cursorFile.parent_path() / names[1]), previous);
}

// Each step breaks one more thing; the message stays until the next good choice.
TEST_F(SetupWindowTest, WhatStopsAnInstallIsShownInRedUntilTheNextGoodChoice) {
    const std::tuple<const char*, std::function<void()>, std::string> steps[] = {
        {"segment_cursor", [&] { writeFile(home / ".cursor", ""); }, std::generic_category().message(ENOTDIR)},
        {"segment_codex", [&] { writeFile(home / ".codex/stand-in/list-status", "1"); }, SetupFailure(SetupFailure::Kind::cliFailed).what()},
        {"segment_codex", [&] { fs::remove_all(library); }, std::string(setup::folderUnreadableMessage)},
        {"segment_codex", [&] { fs::permissions(server, fs::perms::owner_read); }, std::string(setup::serverMissingMessage)},
        {"segment_codex", [&] { fs::remove(server); }, std::string(setup::serverMissingMessage)},
    };
    open();
    const QColor secondary = color("messageLine");
    choose("chooseFolder", library);
    for (const auto& [segment, breakSomething, message] : steps) {
        SCOPED_TRACE(message);
        click(segment);
        breakSomething();
        connectAndWait();
        EXPECT_TRUE(shown("messageLine") && text("messageLine").contains(QString::fromStdString(message))) << text("messageLine").toStdString();
        const QColor red = color("messageLine");
        EXPECT_TRUE(red.red() > red.green() + 60 && red.red() > red.blue() + 60) << red.name().toStdString();
    }
    choose("chooseFolder", root / "agentlibrary");
    EXPECT_EQ(text("messageLine"), setup::wrongFolderNameMessage.data());
    click("segment_claude");
    EXPECT_EQ(text("messageLine"), texts::reassurance) << "another client starts afresh";
    choose("chooseFolder", root / "agentlibrary");
    fs::create_directories(library);
    choose("chooseFolder", library);
    EXPECT_EQ(text("messageLine"), texts::reassurance);
    EXPECT_EQ(color("messageLine"), secondary);
}

// Return presses the main button; the install runs off the event loop, in the CODEX_HOME
// the window was started with; the close key closes the window (and so quits).
TEST_F(SetupWindowTest, WhileBusyTheButtonWaitsAndTheRestStaysUsable) {
    const fs::path codexHome = root / "elsewhere/codex";
    environment.variables["CODEX_HOME"] = codexHome.string();
    writeFile(codexHome / "stand-in/gate", "");
    open();
    choose("chooseFolder", library);
    QTest::keyClick(window.get(), Qt::Key_Return);
    ASSERT_TRUE(QTest::qWaitFor([&] { return window->model().busy(); }));
    EXPECT_FALSE(mainButton()->isEnabled());
    EXPECT_EQ(mainButton()->text(), texts::busyButton);
    EXPECT_TRUE(shown("spinner"));
    for (const char* name : {"chooseFolder", "chooseTool", "segment_cursor"}) EXPECT_TRUE(child(name)->isEnabled()) << name;

    fs::remove(codexHome / "stand-in/gate");
    ASSERT_TRUE(idle());
    EXPECT_FALSE(shown("spinner"));
    EXPECT_EQ(text("receiptLabel"), texts::savedLabel);
    click("revealConfiguration");
    EXPECT_EQ(revealed, std::vector<fs::path>{codexHome / "config.toml"});
    QTest::keySequence(window.get(), QKeySequence::Close);
    EXPECT_FALSE(window->isVisible());
}

}  // namespace
}  // namespace quillmere::testing
