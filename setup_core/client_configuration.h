#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "setup_core/agent_client.h"
#include "setup_core/setup_failure.h"

namespace quillmere::setup {

// What a successful install reports.
struct ConfigurationReceipt {
    // The configuration file inspected or written, symbolic links in its path resolved.
    std::filesystem::path configuration;
    // The copy of the previous contents made before writing; absent when nothing was
    // written or there was no previous file.
    std::optional<std::filesystem::path> backup;
    // False when the entry was already present and correct.
    bool changed = false;

    friend bool operator==(const ConfigurationReceipt&, const ConfigurationReceipt&) = default;
};

// The server entry to register with a client, and the install paths that write it.
//
// Every operation blocks on file and process work and is meant for a background
// thread. Failures are SetupFailure or std::system_error (file system, launch).
struct ClientConfiguration {
    // The name of the entry in every client.
    static constexpr const char* serverName = "quillmere";

    // The quillmere-mcp program the client starts.
    std::filesystem::path executable;
    // The AgentLibrary folder handed to the server, as given (not resolved).
    std::optional<std::filesystem::path> cloudRoot;

    // ["--stdio"], or ["--stdio", "--cloud-root", <cloudRoot>] when a folder is set.
    std::vector<std::string> arguments() const;
    // {"command": <executable>, "args": arguments()}; nothing else.
    nlohmann::json entry() const;
    // entry() with the members client's row writes beside them.
    nlohmann::json entry(AgentClient client) const;
    // True when an entry found in client's configuration counts as entry(client): equal
    // once the members holding the row's defaults are dropped from both.
    bool matches(const nlohmann::json& existing, AgentClient client) const;

    // The new contents of a JSON configuration (Claude Desktop, Cursor) holding this
    // entry under "mcpServers"/"quillmere", or nullopt when the identical entry is
    // already there. contents is nullopt for a missing file. Every other member is kept;
    // the result is pretty-printed with sorted keys, "/" unescaped, and one final line
    // feed. Throws SetupFailure::malformed when contents are not strict JSON with an
    // object at the top, or "mcpServers" is not an object, and SetupFailure::conflict
    // when a differing "quillmere" entry exists and replace is false.
    std::optional<std::string> mergeJSON(const std::optional<std::string>& contents,
                                         bool replace) const;

    // mergeJSON for the file of any client, by its row: entry(client) under its container.
    // Strict JSON is rewritten as mergeJSON does. JSON with comments is edited as text
    // (jsonc::setMember), everything outside the entry kept byte for byte; a missing file
    // becomes the pretty-printed object. An existing entry that matches() leaves it alone;
    // unusable JSON with comments, or a container that is no object, throws
    // SetupFailure::malformedCommented.
    std::optional<std::string> mergeConfiguration(AgentClient client,
                                                  const std::optional<std::string>& contents,
                                                  bool replace) const;

    // Installs the entry into the JSON configuration at path. Symbolic links are
    // resolved first and the destination is written, so links survive. Nothing is
    // touched when the entry is already right. A result longer than the row's readBound,
    // or an existing file its owner may not write, is refused (base::FileRefused).
    // Otherwise, under an exclusive lock on the file's directory: the file is re-read
    // (SetupFailure::changed when it differs from the first read), backed up, replaced
    // atomically keeping its mode (0600 for a new file) and read back byte for byte
    // (SetupFailure::verification, naming the backup).
    ConfigurationReceipt installJSON(const std::filesystem::path& path, bool replace) const;
    // installJSON for the file of any client installed through its file, with
    // mergeConfiguration.
    ConfigurationReceipt installFile(AgentClient client, const std::filesystem::path& path,
                                     bool replace) const;

    // Saves previous next to url as <name>.quillmere-backup-<UUID> with mode 0600 and
    // returns its path; nullopt when there were no previous contents. Backups are never
    // deleted. Throws std::system_error when the file cannot be created.
    static std::optional<std::filesystem::path> backup(const std::optional<std::string>& previous,
                                                       const std::filesystem::path& url);

    // The first executable codex among the fixed install locations (in order, with
    // home/.local/bin/codex among them) and then each non-empty entry of environment's
    // PATH + "/codex"; nullopt when none is. Never throws.
    static std::optional<std::filesystem::path> findCodex(
        const std::filesystem::path& home, const std::map<std::string, std::string>& environment);

    // Registers the entry with Codex through its own command-line tool cli (mcp list,
    // then mcp add and mcp get when needed), with CODEX_HOME = codexHome and home as the
    // working directory, each run limited to 20 s. codexHome/config.toml is only read as
    // bytes, for change detection and backup; when it is itself a symbolic link nothing
    // is run (SetupFailure::linkedCodexConfig). An existing matching, enabled
    // registration is left alone.
    ConfigurationReceipt installCodex(const std::filesystem::path& cli,
                                      const std::filesystem::path& home,
                                      const std::filesystem::path& codexHome, bool replace) const;

    // findCodex for Claude Code's claude: home/.local/bin/claude, home/.claude/local/claude,
    // /usr/local/bin/claude, then PATH.
    static std::optional<std::filesystem::path> findClaude(
        const std::filesystem::path& home, const std::map<std::string, std::string>& environment);

    // Registers entry(AgentClient::claudeCode) in the user scope of Claude Code through its
    // tool cli (HOME = home, CLAUDE_CONFIG_DIR made absolute, run in home, 20 s each).
    // Running sessions rewrite its file (claudeCodeFile) at any time, so it is only read: a
    // missing file holds no entry, an unparsable one is SetupFailure::malformed with nothing
    // run. A matching entry is left alone; a differing one is SetupFailure::conflict, or
    // with replace the file is backed up and the entry removed (mcp remove) before mcp
    // add-json; when that fails, the old entry is added back. The file is read back
    // (SetupFailure::verification); a failed run is SetupFailure::claudeCliFailed; both
    // name the backup.
    ConfigurationReceipt installClaudeCode(const std::filesystem::path& cli,
                                           const std::filesystem::path& home, bool replace) const;

    // The file claude keeps the user scope in, as claude itself picks it from the
    // environment: $CLAUDE_CONFIG_DIR/.claude.json (made absolute), else home/.claude.json;
    // but a legacy .config.json in its own folder ($CLAUDE_CONFIG_DIR, else home/.claude)
    // wins when it holds anything, and when it is empty yet writable while the usual file
    // is missing or an empty read-only placeholder.
    static std::filesystem::path claudeCodeFile(const std::filesystem::path& home,
                                                const std::map<std::string, std::string>& environment);

    // Installs into client by its row's install path: through its own tool cli (nullopt is
    // the tool's `missing` failure, see toolOf) with codexHome for Codex, or into its file
    // at path. A path of the entry holding what the client expands (its row's `expands`)
    // is SetupFailure::expandedByClient, with nothing touched.
    ConfigurationReceipt install(AgentClient client, const std::optional<std::filesystem::path>& cli,
                                 const std::filesystem::path& path, const std::filesystem::path& home,
                                 const std::filesystem::path& codexHome, bool replace) const;

  private:
    // The install machinery of installJSON, over how the new contents are computed from
    // the previous ones (nullopt: nothing to write).
    static ConfigurationReceipt writeConfiguration(
        const std::filesystem::path& path, std::size_t bound,
        const std::function<std::optional<std::string>(const std::optional<std::string>&)>& newContents);
};

// The "quillmere" entry under top's container, nullptr when there is none: its member
// "quillmere", or for a list its first object item named "quillmere". Throws unusable when
// top is no object or its container is not of that shape.
const nlohmann::json* registeredEntry(const nlohmann::json& top, const std::string& container,
                                     const SetupFailure& unusable,
                                     ContainerShape holder = ContainerShape::byKey);

// A client's own command-line tool, which its install path runs.
struct ClientTool {
    InstallPath install;
    const char* program;       // "codex", "claude"
    SetupFailure::Kind missing;  // when no program is known
    // The first executable program among the usual install locations, then PATH.
    std::optional<std::filesystem::path> (*find)(const std::filesystem::path& home,
                                                 const std::map<std::string, std::string>& environment);
};
// Every client tool.
extern const std::array<ClientTool, 2> clientTools;
// The tool client is installed through; nullptr for a client installed through its file.
const ClientTool* toolOf(AgentClient client);

}  // namespace quillmere::setup
