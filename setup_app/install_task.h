#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "setup_core/agent_client.h"
#include "setup_core/client_configuration.h"

namespace quillmere::app {

// Everything one install needs, copied out of the model when connect starts, so the
// thread that runs it shares nothing with the model.
struct InstallRequest {
    setup::AgentClient client = setup::AgentClient::codex;
    std::filesystem::path configurationURL;
    // The chosen client's own command-line tool, when it installs through one.
    std::optional<std::filesystem::path> cli;
    std::filesystem::path home;
    std::filesystem::path codexHome;
    bool replace = false;
    setup::ClientConfiguration configuration;
};

// How an install ended, already in the model's terms: exactly one of a receipt, the
// conflict flag, or a message is set.
struct InstallOutcome {
    std::optional<setup::ConfigurationReceipt> receipt;
    bool conflict = false;
    std::optional<std::string> message;
};

// Runs the install for the request's client, by its row's install path, and blocks until
// it ends (up to three tool runs of 20 s each): installCodex or installClaudeCode with cli
// (without one SetupFailure::cliMissing or claudeCliMissing), else installFile at
// configurationURL. Never throws: a SetupFailure becomes
// its fixed message (conflict becomes the flag), any other error the system's own
// description.
InstallOutcome performInstall(const InstallRequest& request);

}  // namespace quillmere::app
