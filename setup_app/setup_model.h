#pragma once

#include <QObject>
#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "setup_app/install_task.h"
#include "setup_core/agent_client.h"
#include "setup_core/client_configuration.h"

namespace quillmere::app {

class FilePicker;

// What the model reads from the process once, at creation; tests hand in their own.
struct SetupEnvironment {
    // The current user's home directory.
    std::filesystem::path home;
    // The process's environment variables (CODEX_HOME, PATH, ...).
    std::map<std::string, std::string> variables;
    // The directory that holds the application; the server ships at bin/quillmere-mcp in it.
    std::filesystem::path applicationDirectory;

    // This process's: $HOME, the environment, and the directory of the running executable.
    static SetupEnvironment current();
};

// Everything the setup window shows and every action it offers, without widgets.
//
// Lives on the main thread and is touched only there. Every store into an observable
// field (client, folder, cli, busy, conflict, message, receipt) emits changed(), so the
// window can re-read the whole state. Nothing is kept between launches: each model starts
// with Codex, no folder and a freshly searched program for each client tool (codex, claude).
class SetupModel : public QObject {
    Q_OBJECT

  public:
    // The picker must outlive the model.
    SetupModel(SetupEnvironment environment, FilePicker& picker, QObject* parent = nullptr);

    setup::AgentClient client() const { return client_; }
    // Storing a different client clears receipt and message; conflict keeps its value.
    void setClient(setup::AgentClient client);

    // The chosen AgentLibrary folder, as picked (not resolved).
    const std::optional<std::filesystem::path>& folder() const { return folder_; }
    // The program of the chosen client's own command-line tool (codex for Codex, claude for
    // Claude Code); always nullopt for a client installed through its file.
    const std::optional<std::filesystem::path>& cli() const;
    // An install is running.
    bool busy() const { return busy_; }
    // The last install stopped at a differing "quillmere" entry; the window asks whether to
    // replace it while this is true and clears it when the question is answered.
    bool conflict() const { return conflict_; }
    void setConflict(bool conflict);
    // The last validation or failure message (UTF-8).
    const std::optional<std::string>& message() const { return message_; }
    // The result of the last successful install.
    const std::optional<setup::ConfigurationReceipt>& receipt() const { return receipt_; }

    const std::filesystem::path& home() const { return home_; }
    // $CODEX_HOME when set and not empty (made absolute), else home/.codex.
    const std::filesystem::path& codexHome() const { return codexHome_; }
    // applicationDirectory/bin/quillmere-mcp: the server written into the configurations.
    const std::filesystem::path& executable() const { return executable_; }
    // The selected client's configuration file under this model's home and codexHome.
    std::filesystem::path configurationURL() const;

    // The three actions below run on the model's own thread, the window's.

    // Opens the folder panel. A folder not named exactly "AgentLibrary" only sets the
    // message; a valid one becomes folder and clears receipt and message. A cancelled
    // panel changes nothing.
    void chooseFolder();
    // Opens the file panel for the chosen client's tool (nothing for a client without one).
    // An executable file becomes cli, for every client of that tool, and clears the message;
    // a cancelled panel or a file that cannot be executed changes nothing at all.
    void chooseCLI();
    // Checks the choices and starts one install on a thread of its own, returning at once.
    // Without a folder nothing changes; a missing server program or an unreadable folder
    // only sets the message. Otherwise busy is set, message and receipt are cleared, and
    // when the install ends its receipt, conflict or message is applied here on the main
    // thread, busy being cleared last. replace is true only after the user confirmed
    // replacing a conflicting entry. Does not refuse to run while busy; the window does.
    void connect(bool replace);

  signals:
    // Some observable field was stored.
    void changed();

  private:
    void finish(InstallOutcome outcome);

    FilePicker& picker_;
    std::filesystem::path home_;
    std::map<std::string, std::string> variables_;
    std::filesystem::path codexHome_;
    std::filesystem::path executable_;

    setup::AgentClient client_ = setup::AgentClient::codex;
    std::optional<std::filesystem::path> folder_;
    // By the install path that runs the tool.
    std::map<setup::InstallPath, std::optional<std::filesystem::path>> tools_;
    bool busy_ = false;
    bool conflict_ = false;
    std::optional<std::string> message_;
    std::optional<setup::ConfigurationReceipt> receipt_;
};

}  // namespace quillmere::app
