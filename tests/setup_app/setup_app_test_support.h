#pragma once

#include <QString>
#include <deque>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "setup_app/file_picker.h"
#include "setup_app/setup_model.h"
#include "tests/support/temp_dir.h"

namespace quillmere::testing {

// A FilePicker that answers from a queue of canned paths (nullopt: a cancelled panel)
// and remembers the prompts it was shown. An empty queue answers as cancelled.
class CannedPicker : public app::FilePicker {
  public:
    std::deque<std::optional<std::filesystem::path>> answers;
    std::vector<std::string> directoryPrompts;
    std::vector<std::string> filePrompts;

    std::optional<std::filesystem::path> chooseDirectory(const std::string& message) override;
    std::optional<std::filesystem::path> chooseFile(const std::string& message) override;

  private:
    std::optional<std::filesystem::path> next();
};

// A throw-away world for one model: a home directory, an application directory holding an
// executable bin/quillmere-mcp, an AgentLibrary folder, and a PATH directory that holds
// the codex stand-in unless told otherwise.
class SetupSandbox {
  public:
    explicit SetupSandbox(bool withCodex = true);

    std::filesystem::path home() const { return dir_ / "home"; }
    std::filesystem::path applicationDirectory() const { return dir_ / "app"; }
    std::filesystem::path server() const { return applicationDirectory() / "bin/quillmere-mcp"; }
    std::filesystem::path library() const { return dir_ / "iCloud/Quillmere/AgentLibrary"; }
    std::filesystem::path pathDirectory() const { return dir_ / "path"; }
    std::filesystem::path codex() const { return pathDirectory() / "codex"; }
    std::filesystem::path codexHome() const { return home() / ".codex"; }
    std::filesystem::path cursorConfiguration() const { return home() / ".cursor/mcp.json"; }
    std::filesystem::path root() const { return dir_.path(); }

    // PATH = pathDirectory, HOME = home; add CODEX_HOME and the like before creating a model.
    app::SetupEnvironment environment;

  private:
    TempDir dir_;
};

// Puts an executable copy of the codex stand-in script at path.
void installCodexStandIn(const std::filesystem::path& path);

// Runs the event loop until the model's install has ended (busy false), at most 60 s.
// Returns whether it ended.
bool waitUntilIdle(const app::SetupModel& model);

}  // namespace quillmere::testing

// Readable QString values in GoogleTest failure messages.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}
