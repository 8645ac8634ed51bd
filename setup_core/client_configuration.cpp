#include "setup_core/client_configuration.h"

#include <sys/stat.h>

#include <cerrno>
#include <exception>
#include <system_error>

#include "setup_core/directory_lock.h"
#include "setup_core/setup_failure.h"
#include "setup_core/setup_files.h"
#include "setup_core/uuid_text.h"

namespace quillmere::setup {
namespace {

// Deeper documents are refused as malformed: the serializer recurses once per level.
constexpr int maximumDepth = 512;

nlohmann::json parseStrictly(const std::string& bytes) {
    nlohmann::json::parser_callback_t bounded = [](int depth, nlohmann::json::parse_event_t,
                                                   nlohmann::json&) {
        if (depth > maximumDepth) throw SetupFailure(SetupFailure::Kind::malformed);
        return true;
    };
    try {
        return nlohmann::json::parse(bytes, bounded, /*allow_exceptions=*/true,
                                     /*ignore_comments=*/false);
    } catch (const nlohmann::json::exception&) {
        throw SetupFailure(SetupFailure::Kind::malformed);
    }
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

std::optional<std::string> ClientConfiguration::mergeJSON(
    const std::optional<std::string>& contents, bool replace) const {
    nlohmann::json top = nlohmann::json::object();
    if (contents) {
        top = parseStrictly(*contents);
        if (!top.is_object()) throw SetupFailure(SetupFailure::Kind::malformed);
    }
    nlohmann::json servers = nlohmann::json::object();
    if (auto found = top.find("mcpServers"); found != top.end()) {
        if (!found->is_object()) throw SetupFailure(SetupFailure::Kind::malformed);
        servers = *found;
    }
    const nlohmann::json wanted = entry();
    if (auto existing = servers.find(serverName); existing != servers.end()) {
        if (*existing == wanted) return std::nullopt;
        if (!replace) throw SetupFailure(SetupFailure::Kind::conflict);
    }
    servers[serverName] = wanted;
    top["mcpServers"] = std::move(servers);
    // nlohmann::json keeps object keys sorted and never escapes "/".
    return top.dump(2) + "\n";
}

ConfigurationReceipt ClientConfiguration::installJSON(const std::filesystem::path& path,
                                                      bool replace) const {
    const std::filesystem::path target = resolveSymbolicLinks(path);
    const std::optional<std::string> previous = readIfPresent(target);
    const std::optional<std::string> merged = mergeJSON(previous, replace);
    if (!merged) return ConfigurationReceipt{target, std::nullopt, false};

    std::filesystem::create_directories(target.parent_path());

    DirectoryLock section(target.parent_path());
    if (readIfPresent(target) != previous) throw SetupFailure(SetupFailure::Kind::changed);
    std::optional<std::filesystem::path> saved = backup(previous, target);
    writeAtomically(target, *merged);
    if (::chmod(target.c_str(), 0600) != 0) {
        throw std::system_error(errno, std::generic_category(),
                                "cannot set permissions of " + target.string());
    }
    if (readIfPresent(target) != merged) throw SetupFailure(SetupFailure::Kind::verification);
    return ConfigurationReceipt{target, std::move(saved), true};
}

std::optional<std::filesystem::path> ClientConfiguration::backup(
    const std::optional<std::string>& previous, const std::filesystem::path& url) {
    if (!previous) return std::nullopt;
    std::filesystem::path copy =
        url.parent_path() / (url.filename().string() + ".quillmere-backup-" + randomUuidText());
    createFile(copy, *previous, 0600);
    return copy;
}

}  // namespace quillmere::setup
