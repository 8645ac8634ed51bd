#include "mcp_server/program.h"

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <optional>
#include <system_error>

#include "mcp_server/confinement.h"
#include "mcp_server/emit.h"
#include "mcp_server/folder_bookmark.h"
#include "mcp_server/folder_choice.h"
#include "mcp_server/library.h"
#include "mcp_server/mcp_server.h"
#include "mcp_server/stdio_loop.h"
#include "mcp_server/user_directories.h"
#include "sync_core/cloud_files.h"
#include "sync_core/sync_format.h"

namespace quillmere::mcp {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view noFolderMessage =
    "尚未配置共享目录。先运行 quillmere-mcp --choose-folder，或传入 --cloud-root "
    "/绝对路径/AgentLibrary。";

// A saved choice is far smaller; anything bigger is not one.
constexpr std::int64_t maxBookmarkBytes = 65536;

// The saved folder choice, if it resolves and is not stale. Every failure
// counts as no saved choice, silently.
std::optional<fs::path> savedFolder(const fs::path& configURL) {
    try {
        FolderBookmark bookmark =
            FolderBookmark::decode(sync::CloudFiles::read(configURL, maxBookmarkBytes));
        FolderBookmark::Resolution resolution = bookmark.resolve();
        if (resolution.stale) return std::nullopt;
        return resolution.directory;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<fs::path> sharedFolder(const CommandLine& commandLine, const UserDirectories& dirs) {
    std::optional<std::string> cloudRoot = commandLine.argument("--cloud-root");
    if (cloudRoot && cloudRoot->starts_with("/")) return fs::path(*cloudRoot);
    return savedFolder(dirs.configURL);
}

int printHelp() {
    try {
        writeAll(STDOUT_FILENO, helpText);
    } catch (const std::system_error&) {
        diagnostic("Unable to write MCP stdout.");
        return 1;
    }
    return 0;
}

int printStatus(Library& library) {
    nlohmann::json status;
    try {
        library.refresh();
        status = library.status();
    } catch (const std::exception& failure) {
        diagnostic(std::string("Unable to read the shared folder: ") + failure.what());
        return 1;
    }
    try {
        // A status without a JSON form is not written; the report still counts as done.
        emit(status, STDOUT_FILENO);
    } catch (const std::system_error&) {
        diagnostic("Unable to write MCP stdout.");
        return 1;
    }
    return 0;
}

// Confines the process to policy, saying on standard error what this kernel
// does not enforce. Folders the policy grants must exist by now, and whatever
// loads files on first use must have loaded them: OpenSSL its configuration
// (ICU's data is linked in; nothing else reads files lazily).
void confineTo(const ConfinementPolicy& policy) {
    sync::SyncFormat::digest("");
    std::string missing = confine(policy);
    if (!missing.empty()) diagnostic(missing);
}

}  // namespace

int runProgram(const CommandLine& commandLine) {
    std::signal(SIGPIPE, SIG_IGN);
    // Whatever the server creates for itself (the audio cache and its copies of the
    // user's recordings, the support folder, the saved choice) is its owner's alone,
    // whatever umask it was started with. Existing folders keep their modes.
    ::umask(077);
    UserDirectories directories = UserDirectories::find(commandLine.argument("--cache-root"));
    if (commandLine.flag("--help")) return printHelp();
    // Folders are created before confinement, which grants only what exists;
    // one that cannot be created is refused to the process like any other.
    std::error_code uncreated;
    if (commandLine.flag("--choose-folder")) {
        fs::create_directories(directories.support, uncreated);
        confineTo(folderChoicePolicy(directories));
        return runFolderChoice(directories);
    }

    std::optional<fs::path> root = sharedFolder(commandLine, directories);
    if (!root) {
        diagnostic(noFolderMessage);
        return 1;
    }
    Library library(*root, directories.cache, currentCaseRule(), directories.index);
    fs::create_directories(directories.ownCache, uncreated);
    if (commandLine.flag("--status")) {
        confineTo(readingPolicy(*root, directories));
        return printStatus(library);
    }

    fs::create_directories(directories.cache, uncreated);
    directories.keepCachePrivate();
    confineTo(servingPolicy(*root, directories));
    MCPServer server(library);
    return serveStdio(server, STDIN_FILENO, STDOUT_FILENO);
}

}  // namespace quillmere::mcp
