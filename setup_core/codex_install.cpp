#include "setup_core/codex_install.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "base/json_text.h"
#include "setup_core/command_runner.h"
#include "setup_core/setup_failure.h"
#include "setup_core/setup_files.h"

extern char** environ;

namespace quillmere::setup {
namespace codex {

std::vector<std::string> listArguments() {
    return {"mcp", "list", "--json"};
}

std::vector<std::string> addArguments(const ClientConfiguration& configuration) {
    std::vector<std::string> result{"mcp", "add", ClientConfiguration::serverName, "--",
                                    configuration.executable.string()};
    for (std::string& argument : configuration.arguments()) result.push_back(std::move(argument));
    return result;
}

std::vector<std::string> getArguments() {
    return {"mcp", "get", ClientConfiguration::serverName, "--json"};
}

bool registrationMatches(const nlohmann::json& registration,
                         const ClientConfiguration& configuration) {
    if (!registration.is_object()) return false;
    if (auto enabled = registration.find("enabled");
        enabled != registration.end() && enabled->is_boolean() && !enabled->get<bool>()) {
        return false;
    }
    auto transport = registration.find("transport");
    if (transport == registration.end() || !transport->is_object()) return false;
    auto command = transport->find("command");
    if (command == transport->end() || !command->is_string() ||
        command->get_ref<const std::string&>() != configuration.executable.string()) {
        return false;
    }
    auto args = transport->find("args");
    if (args == transport->end() || !args->is_array()) return false;
    const std::vector<std::string> wanted = configuration.arguments();
    if (args->size() != wanted.size()) return false;
    for (std::size_t i = 0; i < wanted.size(); ++i) {
        const nlohmann::json& argument = (*args)[i];
        if (!argument.is_string() || argument.get_ref<const std::string&>() != wanted[i])
            return false;
    }
    return true;
}

}  // namespace codex

namespace {

// Parsed codex output, or a discarded value when it is not JSON.
nlohmann::json parseOutput(const std::string& data) {
    try {
        return base::parseJSON(data);
    } catch (const base::DecodingError&) {
        return nlohmann::json(nlohmann::json::value_t::discarded);
    }
}

std::map<std::string, std::string> environmentWith(const std::string& name,
                                                   const std::string& value) {
    std::map<std::string, std::string> result;
    for (char** entry = environ; entry && *entry; ++entry) {
        std::string text(*entry);
        std::size_t equals = text.find('=');
        if (equals == std::string::npos) continue;
        result.emplace(text.substr(0, equals), text.substr(equals + 1));
    }
    result[name] = value;
    return result;
}

// The first executable candidate, then the first executable PATH entry + "/" + name.
std::optional<std::filesystem::path> findProgram(std::vector<std::filesystem::path> candidates,
                                                 const std::string& name,
                                                 const std::map<std::string, std::string>& environment) {
    if (auto path = environment.find("PATH"); path != environment.end()) {
        const std::string& value = path->second;
        std::size_t start = 0;
        while (start <= value.size()) {
            std::size_t end = value.find(':', start);
            if (end == std::string::npos) end = value.size();
            if (end > start) candidates.emplace_back(value.substr(start, end - start) + "/" + name);
            start = end + 1;
        }
    }
    for (const std::filesystem::path& candidate : candidates) {
        if (isExecutableFile(candidate)) return candidate;
    }
    return std::nullopt;
}

// The "quillmere" entry of a Claude Code user configuration; nullopt when there is none.
std::optional<nlohmann::json> claudeCodeEntry(const std::optional<std::string>& bytes) {
    if (!bytes) return std::nullopt;
    nlohmann::json top;
    try {
        top = base::parseJSON(*bytes);
    } catch (const base::DecodingError&) {
        throw SetupFailure(SetupFailure::Kind::malformed);
    }
    const nlohmann::json* found = registeredEntry(top, std::string(describe(AgentClient::claudeCode).container),
                                                  SetupFailure(SetupFailure::Kind::malformed));
    return found ? std::optional<nlohmann::json>(*found) : std::nullopt;
}

}  // namespace

std::optional<std::filesystem::path> ClientConfiguration::findCodex(
    const std::filesystem::path& home, const std::map<std::string, std::string>& environment) {
    return findProgram({"/Applications/ChatGPT.app/Contents/Resources/codex-cli/bin/codex",
                        "/Applications/Codex.app/Contents/Resources/codex-cli/bin/codex",
                        "/Applications/Codex.app/Contents/Resources/codex", home / ".local/bin/codex",
                        "/opt/homebrew/bin/codex", "/usr/local/bin/codex"},
                       "codex", environment);
}

std::optional<std::filesystem::path> ClientConfiguration::findClaude(
    const std::filesystem::path& home, const std::map<std::string, std::string>& environment) {
    // ~/.local/bin is where its own installer puts it, ~/.claude/local its older local install.
    return findProgram({home / ".local/bin/claude", home / ".claude/local/claude", "/usr/local/bin/claude"},
                       "claude", environment);
}

std::filesystem::path ClientConfiguration::claudeCodeFile(const std::filesystem::path& home,
                                                         const std::map<std::string, std::string>& environment) {
    const std::filesystem::path usual = configurationURL(AgentClient::claudeCode, home, environment);
    const auto variable = environment.find("CLAUDE_CONFIG_DIR");
    const bool set = variable != environment.end() && !variable->second.empty();
    const std::filesystem::path own = set ? usual.parent_path() : home / ".claude";
    const std::filesystem::path legacy = own / ".config.json";
    struct stat info {}, usualInfo {};
    if (::stat(legacy.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return usual;
    if (info.st_size > 0) return legacy;
    if ((info.st_mode & 0222) == 0) return usual;
    if (::stat(usual.c_str(), &usualInfo) != 0) return legacy;
    const bool placeholder = S_ISREG(usualInfo.st_mode) && usualInfo.st_size == 0 &&
                             (usualInfo.st_mode & 0222) == 0 && usualInfo.st_nlink == 1;
    return placeholder ? legacy : usual;
}

ConfigurationReceipt ClientConfiguration::installClaudeCode(const std::filesystem::path& cli,
                                                            const std::filesystem::path& home,
                                                            bool replace) const {
    auto environment = environmentWith("HOME", home.string());
    const std::filesystem::path file = claudeCodeFile(home, environment);
    // claude runs in home, where a relative folder would name another one than read here.
    if (const auto folder = environment.find("CLAUDE_CONFIG_DIR"); folder != environment.end() && !folder->second.empty())
        folder->second = std::filesystem::absolute(folder->second).string();
    // Only read: running sessions rewrite the file, so no lock or comparison of ours holds.
    const std::size_t bound = describe(AgentClient::claudeCode).rules.readBound;
    const std::filesystem::path target = resolveSymbolicLinks(file);
    const std::optional<std::string> previous = readIfPresent(target, bound);
    const std::optional<nlohmann::json> existing = claudeCodeEntry(previous);
    if (existing && matches(*existing, AgentClient::claudeCode))
        return ConfigurationReceipt{target, std::nullopt, false};
    if (existing && !replace) throw SetupFailure(SetupFailure::Kind::conflict);

    std::optional<std::filesystem::path> saved;
    auto runClaude = [&](std::vector<std::string> arguments) {
        return CommandRunner::run(cli, arguments, environment, home, codex::runTimeout).status == 0;
    };
    const auto addJSON = [&](const nlohmann::json& value) {
        return runClaude({"mcp", "add-json", "--scope", "user", serverName, value.dump()});
    };
    const SetupFailure failed = SetupFailure(SetupFailure::Kind::claudeCliFailed);
    bool removed = false;
    try {
        if (existing) {
            saved = backup(previous, target);
            if (!runClaude({"mcp", "remove", "--scope", "user", serverName})) throw failed;
            removed = true;
        }
        if (!addJSON(entry(AgentClient::claudeCode))) throw failed;
    } catch (const SetupFailure& failure) {
        try {
            if (removed) addJSON(*existing);  // what was there before stays registered
        } catch (const SetupFailure&) {
        }
        throw failure.naming(saved);
    }

    std::optional<nlohmann::json> written;
    try {
        written = claudeCodeEntry(readIfPresent(target, bound));
    } catch (const SetupFailure&) {
    }
    if (!written || !matches(*written, AgentClient::claudeCode))
        throw SetupFailure(SetupFailure::Kind::verification).naming(saved);
    return ConfigurationReceipt{target, std::move(saved), true};
}

ConfigurationReceipt ClientConfiguration::installCodex(const std::filesystem::path& cli,
                                                       const std::filesystem::path& home,
                                                       const std::filesystem::path& givenCodexHome,
                                                       bool replace) const {
    // Absolute, because codex runs in home: a relative CODEX_HOME would name another
    // folder there than the one read and backed up here.
    const std::filesystem::path codexHome = std::filesystem::absolute(givenCodexHome);
    const std::filesystem::path file = codexHome / "config.toml";
    struct stat info {};
    if (::lstat(file.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
        throw SetupFailure(SetupFailure::Kind::linkedCodexConfig);
    }
    const std::filesystem::path target = resolveSymbolicLinks(file.parent_path()) / file.filename();
    const std::size_t bound = describe(AgentClient::codex).rules.readBound;
    const std::optional<std::string> previous = readIfPresent(target, bound);

    std::filesystem::create_directories(codexHome);
    const auto environment = environmentWith("CODEX_HOME", codexHome.string());
    auto runCodex = [&](const std::vector<std::string>& arguments) {
        return CommandRunner::run(cli, arguments, environment, home, codex::runTimeout);
    };

    const CommandOutput listed = runCodex(codex::listArguments());
    const nlohmann::json list = parseOutput(listed.data);
    if (listed.status != 0 || !list.is_array()) throw SetupFailure(SetupFailure::Kind::cliFailed);
    for (const nlohmann::json& element : list) {
        if (!element.is_object()) throw SetupFailure(SetupFailure::Kind::cliFailed);
    }
    for (const nlohmann::json& element : list) {
        auto name = element.find("name");
        if (name == element.end() || !name->is_string() ||
            name->get_ref<const std::string&>() != serverName) {
            continue;
        }
        if (codex::registrationMatches(element, *this)) {
            return ConfigurationReceipt{target, std::nullopt, false};
        }
        if (!replace) throw SetupFailure(SetupFailure::Kind::conflict);
        break;
    }

    if (readIfPresent(target, bound) != previous) throw SetupFailure(SetupFailure::Kind::changed);
    std::filesystem::create_directories(target.parent_path());
    std::optional<std::filesystem::path> saved = backup(previous, target);

    try {
        if (runCodex(codex::addArguments(*this)).status != 0) throw SetupFailure(SetupFailure::Kind::cliFailed);
        const CommandOutput got = runCodex(codex::getArguments());
        if (got.status != 0 || !codex::registrationMatches(parseOutput(got.data), *this))
            throw SetupFailure(SetupFailure::Kind::verification);
    } catch (const SetupFailure& failure) {
        throw failure.naming(saved);  // a timeout too
    }
    return ConfigurationReceipt{target, std::move(saved), true};
}

}  // namespace quillmere::setup
