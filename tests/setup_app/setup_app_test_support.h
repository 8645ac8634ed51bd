#pragma once

#include <gtest/gtest.h>

#include <QColor>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <deque>
#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <vector>

#include "setup_app/file_picker.h"
#include "setup_app/setup_window.h"
#include "tests/support/codex_stand_in.h"
#include "tests/support/temp_dir.h"

// Readable QString values in GoogleTest failure messages.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace quillmere::testing {

// Answers the window's panels from a queue of canned paths; nullopt, or an empty queue,
// is a cancelled panel.
class CannedPicker : public app::FilePicker {
  public:
    std::deque<std::optional<std::filesystem::path>> answers;

    std::optional<std::filesystem::path> chooseDirectory(const std::string&) override { return next(); }
    std::optional<std::filesystem::path> chooseFile(const std::string&) override { return next(); }

  private:
    std::optional<std::filesystem::path> next() {
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
        std::filesystem::create_directories(library);
        writeFile(server, "#!/bin/sh\n");
        std::filesystem::permissions(server, std::filesystem::perms::owner_all);
        installCodex(home / ".local/bin/codex");
        environment = {home, {{"HOME", home.string()}, {"PATH", (root / "path").string()}}, root / "app"};
    }

    static void installCodex(const std::filesystem::path& at) {
        std::filesystem::create_directories(at.parent_path());
        std::filesystem::create_symlink(codexStandIn(), at);
    }
    void open() {
        window = std::make_unique<app::SetupWindow>(environment, &picker,
                                                    [this](const std::filesystem::path& file) { revealed.push_back(file); });
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }

    template <typename T = QWidget>
    T* child(const char* name) {
        T* found = window->findChild<T*>(name);
        if (!found) throw std::runtime_error(std::string("no widget ") + name);
        return found;
    }
    QString text(const char* name) { return child<QLabel>(name)->text(); }
    bool shown(const char* name) { return child(name)->isVisible(); }
    QColor color(const char* name) { return child(name)->palette().color(QPalette::WindowText); }
    QPushButton* mainButton() { return child<QPushButton>("mainButton"); }

    void click(const char* name) {
        QPushButton* button = child<QPushButton>(name);
        ASSERT_TRUE(button->isVisible() && button->isEnabled()) << name;
        QTest::mouseClick(button, Qt::LeftButton);
    }
    void choose(const char* button, const std::optional<std::filesystem::path>& answer) {
        picker.answers.push_back(answer);
        click(button);
    }
    bool idle() { return QTest::qWaitFor([&] { return !window->model().busy(); }, 60000); }
    void connectAndWait() {
        click("mainButton");
        ASSERT_TRUE(idle());
    }

    TempDir root;
    const std::filesystem::path home = root / "home", library = root / "iCloud/Quillmere/AgentLibrary";
    const std::filesystem::path server = root / "app/bin/quillmere-mcp", cursorFile = home / ".cursor/mcp.json";
    app::SetupEnvironment environment;
    CannedPicker picker;
    std::vector<std::filesystem::path> revealed;
    std::unique_ptr<app::SetupWindow> window;
};

}  // namespace quillmere::testing
