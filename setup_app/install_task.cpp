#include "setup_app/install_task.h"

#include <exception>

#include "setup_core/setup_failure.h"

namespace quillmere::app {

using setup::SetupFailure;

InstallOutcome performInstall(const InstallRequest& request) {
    InstallOutcome outcome;
    try {
        outcome.receipt = request.configuration.install(request.client, request.cli, request.configurationURL,
                                                        request.home, request.codexHome, request.replace);
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
