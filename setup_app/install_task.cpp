#include "setup_app/install_task.h"

#include <exception>

#include "setup_core/setup_failure.h"

namespace quillmere::app {

using setup::SetupFailure;

InstallOutcome performInstall(const InstallRequest& request) {
    InstallOutcome outcome;
    try {
        if (request.client == setup::AgentClient::codex) {
            if (!request.cli) throw SetupFailure(SetupFailure::Kind::cliMissing);
            outcome.receipt = request.configuration.installCodex(
                *request.cli, request.home, request.codexHome, request.replace);
        } else {
            outcome.receipt =
                request.configuration.installJSON(request.configurationURL, request.replace);
        }
    } catch (const SetupFailure& failure) {
        if (failure.kind() == SetupFailure::Kind::conflict) {
            outcome.conflict = true;
        } else {
            outcome.message = failure.errorDescription();
        }
    } catch (const std::exception& error) {
        outcome.message = error.what();
    } catch (...) {
        outcome.message = "unknown error";
    }
    return outcome;
}

}  // namespace quillmere::app
