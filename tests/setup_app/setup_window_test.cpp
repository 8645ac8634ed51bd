#include "setup_app/setup_window.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>
#include <QTimer>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <deque>
#include <memory>
#include <span>
#include <nlohmann/json.hpp>

#include "setup_app/dialog_file_picker.h"
#include "setup_app/file_picker.h"
#include "setup_core/agent_client.h"
#include "setup_app/qt_translations.h"
#include "setup_app/setup_texts.h"
#include "setup_app/setup_widgets.h"
#include "tests/support/codex_stand_in.h"
#include "tests/support/temp_dir.h"

// Readable QString values in GoogleTest failure messages.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace quillmere::testing {
namespace {

namespace fs = std::filesystem;
namespace texts = app::texts;

// Answers the window's panels from a queue of canned paths; nullopt, or an empty queue,
// is a cancelled panel.
class CannedPicker : public app::FilePicker {
  public:
    std::deque<std::optional<fs::path>> answers;

    std::optional<fs::path> chooseDirectory(const std::string&) override { return next(); }
    std::optional<fs::path> chooseFile(const std::string&) override { return next(); }

  private:
    std::optional<fs::path> next() {
        if (answers.empty()) return std::nullopt;
        auto answer = answers.front();
        answers.pop_front();
        return answer;
    }
};

// A setup window over a throw-away world: a home with the codex stand-in in ~/.local/bin
// (a fixed location, searched before PATH and before the machine's own installs), an
// application directory with an executable bin/quillmere-mcp, an AgentLibrary folder,
// canned panels and a file manager that only records what it was asked to show.
class SetupWindowTest : public ::testing::Test {
  protected:
    SetupWindowTest() {
        fs::create_directories(library);
        writeFile(server, "#!/bin/sh\n");
        fs::permissions(server, fs::perms::owner_all);
        installCodex(home / ".local/bin/codex");
        environment = {home, {{"HOME", home.string()}, {"PATH", (root / "path").string()}}, root / "app"};
    }

    static void installCodex(const fs::path& at) {
        fs::create_directories(at.parent_path());
        fs::create_symlink(codexStandIn(), at);
    }
    void open() {
        window = std::make_unique<app::SetupWindow>(environment, &picker,
                                                    [this](const fs::path& file) { revealed.push_back(file); });
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }

    template <typename T = QWidget>
    T* child(const char* name) {
        T* found = window->findChild<T*>(name);
        if (!found) throw std::runtime_error(std::string("no widget ") + name);
        return found;
    }
    QString text(const char* name) { return shown(name) ? child<QLabel>(name)->text() : QString(); }  // as seen
    bool shown(const char* name) { return child(name)->isVisible(); }
    QPushButton* mainButton() { return child<QPushButton>("mainButton"); }

    void click(const char* name) {
        QPushButton* button = child<QPushButton>(name);
        ASSERT_TRUE(button->isVisible() && button->isEnabled()) << name;
        QTest::mouseClick(button, Qt::LeftButton);
    }
    void choose(const char* button, const std::optional<fs::path>& answer) {
        picker.answers.push_back(answer);
        click(button);
    }
    // Opens the fourth segment's menu and clicks the item of the client raw.
    void chooseMore(const char* raw) {
        click("segment_more");
        auto* menu = child<QMenu>("moreMenu");
        ASSERT_TRUE(QTest::qWaitFor([&] { return menu->isVisible(); }));
        EXPECT_FALSE(child<QPushButton>("segment_more")->isChecked()) << "an open menu chooses nothing yet";
        QAction* action = menu->findChild<QAction*>(QString("menu_") + raw);
        ASSERT_TRUE(action) << raw;
        QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(action).center());
        EXPECT_FALSE(menu->isVisible());
    }
    bool idle() { return QTest::qWaitFor([&] { return !window->model().busy(); }, 60000); }
    void connectAndWait() {
        click("mainButton");
        ASSERT_TRUE(idle());
    }

    TempDir root;
    const fs::path home = root / "home", library = root / "iCloud/Quillmere/AgentLibrary";
    const fs::path server = root / "app/bin/quillmere-mcp", cursorFile = home / ".cursor/mcp.json";
    app::SetupEnvironment environment;
    CannedPicker picker;
    std::vector<fs::path> revealed;
    std::unique_ptr<app::SetupWindow> window;
};

// Zed keeps its settings as JSON with comments: only the entry changes.
TEST_F(SetupWindowTest, ZedChosenFromTheMenuGetsTheEntryBesideItsComments) {
    const fs::path zedFile = home / ".config/zed/settings.json";
    writeFile(zedFile, "// mine\n{\"theme\": \"One\"}\n");
    open();
    EXPECT_FALSE(mainButton()->isEnabled()) << "no folder yet";
    EXPECT_TRUE(mainButton()->isDefault()) << "Return presses it";
    // The text styles: title larger and bold, headings bold, hints and the folder smaller.
    const auto font = [&](const char* name) { return child(name)->font(); };
    const qreal body = window->font().pointSizeF();
    EXPECT_TRUE(font("headerTitle").bold() && font("headerTitle").pointSizeF() > body);
    EXPECT_TRUE(font("clientHeading").bold() && font("clientHeading").pointSizeF() == body);
    EXPECT_LT(font("installHint").pointSizeF(), font("folderLine").pointSizeF());
    EXPECT_LT(font("folderLine").pointSizeF(), body);
    EXPECT_FALSE(font("folderLine").bold());
    choose("chooseFolder", library);
    chooseMore("zed");
    EXPECT_EQ(child<QPushButton>("segment_more")->text(), "Zed ▾");
    EXPECT_TRUE(shown("installHint") && !shown("cliRow"));
    EXPECT_EQ(text("installHint"), "请先安装 Zed。配置完成后重新打开客户端。");
    connectAndWait();
    EXPECT_EQ(text("receiptLabel"), texts::savedLabel);
    EXPECT_TRUE(text("reopenLine").contains("Zed"));
    click("revealConfiguration");
    EXPECT_EQ(revealed, std::vector<fs::path>{zedFile});
    const std::string written = readFile(zedFile);
    EXPECT_TRUE(written.starts_with("// mine\n")) << written;
    const auto settings = nlohmann::json::parse(written, nullptr, true, true);
    EXPECT_EQ(settings["theme"], "One");
    EXPECT_EQ(settings["context_servers"]["quillmere"]["command"], server.string());
    connectAndWait();
    EXPECT_EQ(text("receiptLabel"), texts::readyLabel);

    click("segment_codex");
    EXPECT_TRUE(!shown("receiptBlock") && child<QPushButton>("segment_codex")->isChecked()) << "another client, shown chosen, starts afresh";
    EXPECT_EQ(child<QPushButton>("segment_more")->text(), "更多…");
    chooseMore("zed");
    EXPECT_EQ(child<QPushButton>("segment_more")->text(), "Zed ▾");
}

// The menu offers every client beyond the three segments, in table order; the last one
// is chosen like the first and its segment keeps to the 600 px window.
TEST_F(SetupWindowTest, MenuListsTheOtherClientsInTableOrder) {
    open();
    QStringList listed, expected;
    for (const QAction* action : child<QMenu>("moreMenu")->actions()) listed << action->objectName();
    for (const setup::ClientDescription& row : std::span(setup::clientTable).subspan(3))
        expected << "menu_" + QString::fromUtf8(row.raw.data(), static_cast<qsizetype>(row.raw.size()));
    EXPECT_EQ(listed, expected);
    chooseMore("goose");
    const QPushButton* more = child<QPushButton>("segment_more");
    EXPECT_EQ(more->text(), "Goose ▾");
    for (const QPushButton* segment : window->findChildren<QPushButton*>(QRegularExpression("^segment_")))
        EXPECT_EQ(std::pair(segment->isChecked(), segment->palette().button() != window->palette().button()), std::pair(segment == more, segment == more)) << segment->objectName().toStdString();
    EXPECT_LE(more->mapTo(window.get(), QPoint(more->width(), 0)).x(), window->width());
    // A new font (or palette, or style) restyles the window: the title grows with it.
    const qreal title = child<QLabel>("headerTitle")->font().pointSizeF();
    window->setFont(QFont(window->font().family(), static_cast<int>(window->font().pointSizeF() * 2)));
    EXPECT_GT(child<QLabel>("headerTitle")->font().pointSizeF(), title * 1.5);
}

// Too long for its lines, a path keeps as much of both ends as fits, split
// evenly around "…", and never half of a surrogate pair.
TEST(PathLine, ATooLongPathKeepsBothEndsAroundAnEllipsis) {
    app::PathLine line(2);
    line.show();  // a hidden widget gets its resize only when shown
    const QString plain = "/home/user/" + QString("folder-name/").repeated(40) + "AgentLibrary";
    for (const QString& path : {"/home/user/" + QString::fromUtf8("很长的文件夹名😀").repeated(40) + "/AgentLibrary", plain}) {
        // Widths a pixel apart: every place of the cut within the repeated name.
        for (int width = 240; width < 340; ++width) {
            line.resize(width, 100);
            line.setPath(path);
            const QString shown = line.toPlainText();
            const qsizetype cut = shown.indexOf(QChar(0x2026));
            ASSERT_GT(cut, 0) << shown.toStdString();
            const QString head = shown.left(cut), tail = shown.mid(cut + 1);
            EXPECT_TRUE(path.startsWith(head) && path.endsWith(tail)) << shown.toStdString();
            // An odd character goes before "…"; keeping a surrogate pair whole moves one more.
            const qsizetype lean = head.size() - tail.size();
            EXPECT_TRUE(path == plain ? lean == 0 || lean == 1 : std::abs(lean) <= 2) << shown.toStdString();
            EXPECT_GT(shown.size(), 20);
            EXPECT_TRUE(shown.isValidUtf16());
            EXPECT_EQ(line.path(), path);
        }
    }
}

// Qt's own panel, as where the desktop offers none: the prompt in bold above
// its contents, folders alone when a folder is asked for, and the choice or
// nothing given back.
TEST(DialogFilePicker, PromptsOnTopAndGivesBackTheChoice) {
    TempDir dir;
    writeFile(dir / "tool", "#!/bin/sh\n");
    struct Row { bool folder; fs::path choice; bool accepted; };
    for (const Row& row : {Row{true, dir.path(), true}, Row{false, dir / "tool", true}, Row{true, dir.path(), false}}) {
        QFileDialog* panel = nullptr;
        QTimer::singleShot(0, [&] {
            for (QWidget* widget : QApplication::topLevelWidgets())
                if (auto* found = qobject_cast<QFileDialog*>(widget); found && found->isVisible()) panel = found;
            if (!panel) return;
            const auto* grid = qobject_cast<QGridLayout*>(panel->layout());
            const auto* prompt = qobject_cast<QLabel*>(grid->itemAtPosition(0, 0)->widget());
            EXPECT_TRUE(prompt && prompt->text() == "选一个" && prompt->font().bold());
            EXPECT_EQ(grid->itemAtPosition(0, grid->columnCount() - 1)->widget(), prompt);
            EXPECT_EQ(panel->testOption(QFileDialog::ShowDirsOnly), row.folder);
            panel->selectFile(QString::fromStdString(row.choice.string()));
            QMetaObject::invokeMethod(panel, row.accepted ? "accept" : "reject");
        });
        app::DialogFilePicker picker(nullptr);
        const auto chosen = row.folder ? picker.chooseDirectory("选一个") : picker.chooseFile("选一个");
        ASSERT_TRUE(panel);
        EXPECT_EQ(chosen, row.accepted ? std::optional(row.choice) : std::nullopt) << row.choice;
    }
}

TEST(SetupEnvironment, TheWindowsOwnRunReadsTheProcesssEnvironment) {
    ::setenv("QUILLMERE_PROBE", "a=b", 1);
    const app::SetupEnvironment current = app::SetupEnvironment::current();
    EXPECT_EQ(current.variables.at("QUILLMERE_PROBE"), "a=b");
    EXPECT_EQ(current.home, QDir::homePath().toStdString());
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
    EXPECT_EQ(text("cliStatus"), "已找到 Codex 命令行工具");
    EXPECT_EQ(text("messageLine"), texts::reassurance) << "a chosen tool clears the message";
    click("segment_cursor");
    EXPECT_TRUE(mainButton()->isEnabled());
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
