#include "setup_core/client_configuration.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <exception>
#include <system_error>

#include "base/json_text.h"
#include "base/directory_lock.h"
#include "base/posix_file.h"
#include "base/uuid.h"
#include "setup_core/jsonc_text.h"
#include "setup_core/setup_failure.h"
#include "setup_core/setup_files.h"
#include "setup_core/yaml_text.h"

namespace quillmere::setup {
namespace {

nlohmann::json parseStrictly(const std::string& bytes) {
    try {
        return base::parseJSON(bytes);
    } catch (const base::DecodingError&) {
        throw SetupFailure(SetupFailure::Kind::malformed);
    }
}

// The number a JSON number's text denotes, as sign, significant digits without
// leading or trailing zeros, and the power of ten of the last digit; zero has no
// sign. Exponents are saturated far beyond what any double reaches.
struct DecimalValue {
    bool negative = false;
    std::string digits;
    long long exponent = 0;
    bool operator==(const DecimalValue&) const = default;
};

DecimalValue decimalValue(std::string_view text) {
    DecimalValue value;
    std::size_t i = 0;
    if (text.starts_with('-')) {
        value.negative = true;
        ++i;
    }
    bool fraction = false;
    for (; i < text.size() && text[i] != 'e' && text[i] != 'E'; ++i) {
        if (text[i] == '.') {
            fraction = true;
        } else {
            value.digits += text[i];
            if (fraction) --value.exponent;
        }
    }
    if (i < text.size()) {
        ++i;
        bool negativeExponent = false;
        if (text[i] == '+' || text[i] == '-') negativeExponent = text[i++] == '-';
        long long written = 0;
        for (; i < text.size(); ++i) written = std::min(written * 10 + (text[i] - '0'), 1'000'000'000LL);
        value.exponent += negativeExponent ? -written : written;
    }
    const std::size_t first = value.digits.find_first_not_of('0');
    if (first == std::string::npos) return DecimalValue{};
    value.digits.erase(0, first);
    while (value.digits.back() == '0') {
        value.digits.pop_back();
        ++value.exponent;
    }
    return value;
}

// True when every number of the valid JSON text is written back by the serializer
// as the same number: integers beyond 64 bits and decimals with more digits than a
// double holds are not, and neither is a magnitude beyond a double's range.
bool numbersSurviveRewriting(std::string_view text) {
    bool inString = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\') ++i;
            else if (c == '"') inString = false;
            continue;
        }
        if (c == '"') {
            inString = true;
            continue;
        }
        if (c != '-' && (c < '0' || c > '9')) continue;
        const std::size_t end = text.find_first_not_of("0123456789+-.eE", i);
        const std::string_view number = text.substr(i, end - i);
        const nlohmann::json parsed = nlohmann::json::parse(number, nullptr, false);
        if (!parsed.is_number() || !std::isfinite(parsed.get<double>())) return false;
        if (decimalValue(number) != decimalValue(parsed.dump())) return false;
        i = end - 1;
    }
    return true;
}

}  // namespace

std::vector<std::string> ClientConfiguration::arguments() const {
    std::vector<std::string> result{"--stdio"};
    if (cloudRoot) {
        result.push_back("--cloud-root");
        result.push_back(cloudRoot->string());
    }
    return result;
}

nlohmann::json ClientConfiguration::entry() const {
    return nlohmann::json{{"command", executable.string()}, {"args", arguments()}};
}

nlohmann::json ClientConfiguration::entry(AgentClient client) const {
    const ClientDescription& row = describe(client);
    nlohmann::json result = nlohmann::json::parse(row.entryFields);
    switch (row.command) {
        case CommandShape::commandAndArgs:
            result.update(entry());
            break;
        case CommandShape::commandArray: {
            nlohmann::json line = nlohmann::json::array({executable.string()});
            for (const std::string& argument : arguments()) line.push_back(argument);
            result["command"] = std::move(line);
            break;
        }
        case CommandShape::cmdAndArgs:
            result["cmd"] = executable.string();
            result["args"] = arguments();
            break;
    }
    if (row.holder == ContainerShape::listByName) result["name"] = serverName;
    return result;
}

bool ClientConfiguration::matches(const nlohmann::json& existing, AgentClient client) const {
    const nlohmann::json defaults = nlohmann::json::parse(describe(client).defaults);
    const auto withoutDefaults = [&](nlohmann::json value) {
        if (!value.is_object()) return value;
        for (const auto& [key, assumed] : defaults.items()) {
            if (auto it = value.find(key); it != value.end() && *it == assumed) value.erase(it);
        }
        return value;
    };
    return withoutDefaults(existing) == withoutDefaults(entry(client));
}

const nlohmann::json* registeredEntry(const nlohmann::json& top, const std::string& container,
                                     const SetupFailure& unusable, ContainerShape holder) {
    if (!top.is_object()) throw unusable;
    const auto servers = top.find(container);
    if (servers == top.end()) return nullptr;
    if (holder == ContainerShape::listByName) {
        if (!servers->is_array()) throw unusable;
        for (const nlohmann::json& item : *servers) {
            if (item.is_object() && item.value("name", nlohmann::json()) == ClientConfiguration::serverName)
                return &item;
        }
        return nullptr;
    }
    if (!servers->is_object()) throw unusable;
    const auto found = servers->find(ClientConfiguration::serverName);
    return found == servers->end() ? nullptr : &*found;
}

std::optional<std::string> ClientConfiguration::mergeJSON(
    const std::optional<std::string>& contents, bool replace) const {
    return mergeConfiguration(AgentClient::cursor, contents, replace);
}

std::optional<std::string> ClientConfiguration::mergeConfiguration(
    AgentClient client, const std::optional<std::string>& contents, bool replace) const {
    const ClientDescription& row = describe(client);
    const std::string container(row.container);
    const bool commented = row.format == FileFormat::jsonWithComments;
    const bool yamlFile = row.format == FileFormat::yaml;
    const SetupFailure unusable(yamlFile    ? SetupFailure::Kind::malformedYAML
                                : commented ? SetupFailure::Kind::malformedCommented
                                            : SetupFailure::Kind::malformed);
    nlohmann::json top = nlohmann::json::object();
    if (contents) {
        try {
            top = yamlFile ? yaml::parse(*contents) : commented ? jsonc::parse(*contents, row.rules.comments) : parseStrictly(*contents);
        } catch (const SetupFailure& failure) {
            if (failure.kind() == SetupFailure::Kind::uneditableYAML) throw;
            throw unusable;
        }
    }
    // A YAML key with nothing after it holds no servers yet.
    if (yamlFile && top.contains(container) && top[container].is_null()) top.erase(container);
    const nlohmann::json wanted = entry(client);
    if (const nlohmann::json* existing = registeredEntry(top, container, unusable, row.holder)) {
        if (matches(*existing, client)) return std::nullopt;
        if (!replace) throw SetupFailure(SetupFailure::Kind::conflict);
    }
    if (yamlFile) return yaml::setEntry(contents.value_or(""), container, serverName, wanted, row.holder);
    if (commented && contents) {
        try {
            return jsonc::setMember(*contents, container, serverName, wanted, row.rules.comments);
        } catch (const SetupFailure&) {
            throw unusable;
        }
    }
    // Keep the user's numbers exactly or change nothing: the serializer would write a
    // 30-digit integer as a rounded double.
    if (contents && !numbersSurviveRewriting(*contents))
        throw SetupFailure(SetupFailure::Kind::inexactNumber);
    top[container][serverName] = wanted;
    // nlohmann::json keeps object keys sorted and never escapes "/".
    return top.dump(2) + "\n";
}

ConfigurationReceipt ClientConfiguration::installJSON(const std::filesystem::path& path,
                                                      bool replace) const {
    return installFile(AgentClient::cursor, path, replace);
}

ConfigurationReceipt ClientConfiguration::installFile(AgentClient client,
                                                      const std::filesystem::path& path,
                                                      bool replace) const {
    return writeConfiguration(path, describe(client).rules.readBound, [&](const std::optional<std::string>& previous) {
        return mergeConfiguration(client, previous, replace);
    });
}

ConfigurationReceipt ClientConfiguration::writeConfiguration(
    const std::filesystem::path& path, std::size_t bound,
    const std::function<std::optional<std::string>(const std::optional<std::string>&)>& newContents) {
    const std::filesystem::path target = resolveSymbolicLinks(path);
    const std::optional<std::string> previous = readIfPresent(target, bound);
    const std::optional<std::string> merged = newContents(previous);
    if (!merged) return ConfigurationReceipt{target, std::nullopt, false};
    // What could not be read back is never written: every later run would refuse the file.
    if (merged->size() > bound) {
        throw base::FileRefused("cannot write " + target.string() + ": with the entry it would be longer than " +
                                std::to_string(bound) +
                                " bytes, more than setup reads back; it is left unchanged. Add the entry in the client.");
    }
    // A replaced file keeps its mode; one its owner may not write is not replaced behind its back.
    mode_t mode = 0600;
    if (previous) {
        struct stat info {};
        if (::stat(target.c_str(), &info) != 0)
            throw std::system_error(errno, std::generic_category(), "cannot read " + target.string());
        mode = info.st_mode & 07777;
        if ((mode & S_IWUSR) == 0) {
            throw base::FileRefused("cannot write " + target.string() +
                                    ": it is read-only; it is left unchanged. Make it writable, then run setup again.");
        }
    }

    std::filesystem::create_directories(target.parent_path());

    base::DirectoryLock section(target.parent_path(), base::DirectoryLock::Mode::exclusive);
    if (readIfPresent(target, bound) != previous) throw SetupFailure(SetupFailure::Kind::changed);
    std::optional<std::filesystem::path> saved = backup(previous, target);
    base::writeAtomically(target, *merged, mode);
    if (::chmod(target.c_str(), mode) != 0) {
        throw std::system_error(errno, std::generic_category(),
                                "cannot set permissions of " + target.string());
    }
    if (readIfPresent(target, bound) != merged) throw SetupFailure(SetupFailure::Kind::verification).naming(saved);
    return ConfigurationReceipt{target, std::move(saved), true};
}

std::optional<std::filesystem::path> ClientConfiguration::backup(
    const std::optional<std::string>& previous, const std::filesystem::path& url) {
    if (!previous) return std::nullopt;
    std::filesystem::path copy =
        url.parent_path() / (url.filename().string() + ".quillmere-backup-" + base::Uuid::random().text());
    createFile(copy, *previous, 0600);
    return copy;
}

const std::array<ClientTool, 2> clientTools = {{
    {InstallPath::codexTool, "codex", SetupFailure::Kind::cliMissing, &ClientConfiguration::findCodex},
    {InstallPath::claudeCodeTool, "claude", SetupFailure::Kind::claudeCliMissing, &ClientConfiguration::findClaude},
}};

const ClientTool* toolOf(AgentClient client) {
    for (const ClientTool& tool : clientTools)
        if (tool.install == describe(client).install) return &tool;
    return nullptr;
}

ConfigurationReceipt ClientConfiguration::install(AgentClient client, const std::optional<std::filesystem::path>& cli,
                                                  const std::filesystem::path& path, const std::filesystem::path& home,
                                                  const std::filesystem::path& codexHome, bool replace) const {
    // A path the client would expand reaches the server changed: refused before anything runs.
    if (const std::string_view opener = describe(client).rules.expands; !opener.empty()) {
        std::vector<std::string> values = arguments();
        values.push_back(executable.string());
        for (const std::string& value : values) {
            if (value.find(opener) != std::string::npos)
                throw SetupFailure(SetupFailure::Kind::expandedByClient, "字符：" + std::string(opener));
        }
    }
    const ClientTool* tool = toolOf(client);
    if (!tool) return installFile(client, path, replace);
    if (!cli) throw SetupFailure(tool->missing);
    if (tool->install == InstallPath::codexTool) return installCodex(*cli, home, codexHome, replace);
    return installClaudeCode(*cli, home, replace);
}

}  // namespace quillmere::setup
