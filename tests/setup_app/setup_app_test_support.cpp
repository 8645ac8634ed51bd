#include "tests/setup_app/setup_app_test_support.h"

#include <QTest>

namespace quillmere::testing {

namespace fs = std::filesystem;

std::optional<fs::path> CannedPicker::next() {
    if (answers.empty()) return std::nullopt;
    auto answer = answers.front();
    answers.pop_front();
    return answer;
}

std::optional<fs::path> CannedPicker::chooseDirectory(const std::string& message) {
    directoryPrompts.push_back(message);
    return next();
}

std::optional<fs::path> CannedPicker::chooseFile(const std::string& message) {
    filePrompts.push_back(message);
    return next();
}

void installCodexStandIn(const fs::path& path) {
    fs::create_directories(path.parent_path());
    fs::copy_file(fs::path(QUILLMERE_SETUP_APP_TEST_DIR) / "codex_stand_in.sh", path,
                  fs::copy_options::overwrite_existing);
    fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
}

SetupSandbox::SetupSandbox(bool withCodex) {
    fs::create_directories(home());
    fs::create_directories(library());
    fs::create_directories(pathDirectory());
    writeFile(server(), "#!/bin/sh\nexit 0\n");
    fs::permissions(server(), fs::perms::owner_all);
    if (withCodex) installCodexStandIn(codex());
    environment.home = home();
    environment.applicationDirectory = applicationDirectory();
    environment.variables = {{"HOME", home().string()}, {"PATH", pathDirectory().string()}};
}

bool waitUntilIdle(const app::SetupModel& model) {
    return QTest::qWaitFor([&] { return !model.busy(); }, 60000);
}

}  // namespace quillmere::testing
