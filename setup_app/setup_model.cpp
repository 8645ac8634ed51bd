#include "setup_app/setup_model.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QMetaObject>
#include <QPointer>
#include <thread>
#include <utility>

#include "setup_app/file_picker.h"
#include "setup_app/setup_texts.h"
#include "setup_core/install_checks.h"
#include "setup_core/setup_files.h"

extern char** environ;

namespace quillmere::app {
namespace {

namespace fs = std::filesystem;

}  // namespace

SetupEnvironment SetupEnvironment::current() {
    SetupEnvironment environment;
    environment.home = QDir::homePath().toStdString();
    for (char** entry = environ; entry && *entry; ++entry) {
        const std::string text(*entry);
        const auto equals = text.find('=');
        if (equals == std::string::npos) continue;
        environment.variables.emplace(text.substr(0, equals), text.substr(equals + 1));
    }
    environment.applicationDirectory = QCoreApplication::applicationDirPath().toStdString();
    return environment;
}

SetupModel::SetupModel(SetupEnvironment environment, FilePicker& picker, QObject* parent)
    : QObject(parent),
      picker_(picker),
      home_(environment.home),
      variables_(environment.variables),
      codexHome_(setup::codexHome(environment.home, environment.variables)),
      executable_(environment.applicationDirectory / "bin" / "quillmere-mcp") {
    for (const setup::ClientTool& tool : setup::clientTools) tools_[tool.install] = tool.find(home_, variables_);
}

const std::optional<fs::path>& SetupModel::cli() const {
    static const std::optional<fs::path> none;
    const auto found = tools_.find(setup::describe(client_).install);
    return found == tools_.end() ? none : found->second;
}

void SetupModel::setClient(setup::AgentClient client) {
    if (client == client_) return;
    client_ = client;
    receipt_.reset();
    message_.reset();
    emit changed();
}

void SetupModel::setConflict(bool conflict) {
    if (conflict == conflict_) return;
    conflict_ = conflict;
    emit changed();
}

fs::path SetupModel::configurationURL() const {
    return setup::configurationURL(client_, home_, variables_);
}

void SetupModel::chooseFolder() {
    const auto chosen = picker_.chooseDirectory(texts::folderPanelMessage);
    if (!chosen) return;
    const std::optional<fs::path> folder = setup::sharedFolder(*chosen);
    if (!folder) {
        message_ = std::string(setup::wrongFolderNameMessage);
        emit changed();
        return;
    }
    folder_ = folder;
    receipt_.reset();
    message_.reset();
    emit changed();
}

void SetupModel::chooseCLI() {
    const setup::ClientTool* tool = setup::toolOf(client_);
    if (!tool) return;
    const auto chosen = picker_.chooseFile(std::string(texts::cliPanelPrefix) + tool->program +
                                           texts::cliPanelSuffix);
    if (!chosen || !setup::isExecutableFile(*chosen)) return;
    tools_[tool->install] = *chosen;
    message_.reset();
    emit changed();
}

void SetupModel::connect(bool replace) {
    if (!folder_) return;
    if (const auto problem = setup::installProblem(executable_, *folder_)) {
        message_ = std::string(*problem);
        emit changed();
        return;
    }

    InstallRequest request{
        .client = client_,
        .configurationURL = configurationURL(),
        .cli = cli(),
        .home = home_,
        .codexHome = codexHome_,
        .replace = replace,
        .configuration = {.executable = executable_, .cloudRoot = folder_},
    };

    busy_ = true;
    message_.reset();
    receipt_.reset();
    emit changed();

    // The thread owns its copy of the request and reaches back only through a queued call
    // on the application object, which outlives the model; the weak pointer is read on
    // the main thread alone, so a model gone meanwhile simply drops the outcome.
    QPointer<SetupModel> self(this);
    std::thread([request = std::move(request), self]() mutable {
        InstallOutcome outcome = performInstall(request);
        QCoreApplication* application = QCoreApplication::instance();
        if (!application) return;
        QMetaObject::invokeMethod(
            application,
            [self = std::move(self), outcome = std::move(outcome)]() mutable {
                if (self) self->finish(std::move(outcome));
            },
            Qt::QueuedConnection);
    }).detach();
}

void SetupModel::finish(InstallOutcome outcome) {
    if (outcome.receipt) {
        receipt_ = std::move(outcome.receipt);
        emit changed();
    } else if (outcome.conflict) {
        conflict_ = true;
        emit changed();
    } else {
        message_ = std::move(outcome.message);
        emit changed();
    }
    busy_ = false;
    emit changed();
}

}  // namespace quillmere::app
