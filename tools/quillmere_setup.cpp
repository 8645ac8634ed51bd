// quillmere-setup: registers quillmere-mcp with an AI client from a terminal or a
// script, with the same checks, messages and install paths as the setup window.

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "setup_core/agent_client.h"
#include "setup_core/client_configuration.h"
#include "setup_core/install_checks.h"
#include "setup_core/setup_failure.h"
#include "setup_core/setup_files.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using quillmere::setup::AgentClient;
using quillmere::setup::ClientConfiguration;
using quillmere::setup::ConfigurationReceipt;
using quillmere::setup::SetupFailure;

constexpr int exitFailure = 1;
constexpr int exitConflict = 3;

constexpr const char* helpText = R"(Usage: quillmere-setup --folder <path of AgentLibrary> [options]

Registers quillmere-mcp as the MCP server "quillmere" with one AI client, the way the
QuillmereMCPSetup window does: an existing different entry is only replaced when asked,
the changed file is backed up first, and the result is read back.

Options:
  --client <client>             the client to configure (default: codex), one of:
@CLIENTS@  --folder <path>               the shared folder; its name must be exactly AgentLibrary
  --replace                     back up the configuration and replace a different
                                existing "quillmere" entry
  --codex <path>                the codex program to use (default: the first one found
                                in the usual install locations, then in PATH)
  --claude <path>               the claude program to use for claude-code (default: the
                                first one found in the usual install locations, then in PATH)
  --server <path>               the quillmere-mcp program to register (default: the
                                directory that contains quillmere-setup + bin/quillmere-mcp)
  --help                        show this text
  --version                     print the version

The client starts: <server> --stdio --cloud-root <folder>

On success the receipt goes to standard output:
  configuration: <the file inspected or written, links resolved>
  backup: <the copy of the previous file> | none
  result: changed | unchanged
  next: <what to do for the server to run> (only for a client that needs more
        than a restart)

Exit status: 0 success; 3 a different "quillmere" entry exists (run again with
--replace to back it up and replace it); 1 any other failure, with its message on
standard error.
)";

// The help text with one entry per client of the table: who writes where.
std::string help() {
    std::string clients;
    for (const quillmere::setup::ClientDescription& row : quillmere::setup::clientTable) {
        using Variable = quillmere::setup::ConfigurationLocation::Variable;
        const auto& where = row.location;
        const std::string fallback = "~/" + std::string(where.fallback) + (where.fallback.empty() ? "" : "/");
        std::string file;
        if (where.rule == Variable::none) file = fallback + std::string(where.file);
        else if (where.rule == Variable::wholeFile)
            file = "$" + std::string(where.variable) + " (default " + fallback + std::string(where.file) + ")";
        else
            file = "$" + std::string(where.variable) + "/" + std::string(where.file) + " (default ~" +
                   (where.fallback.empty() ? "" : "/" + std::string(where.fallback)) + ")";
        for (std::string_view rest = where.alternatives; !rest.empty();) {
            const std::size_t space = std::min(rest.find(' '), rest.size());
            file += ", or " + std::string(rest.substr(0, space));
            rest.remove_prefix(std::min(space + 1, rest.size()));
        }
        if (!where.alternatives.empty()) file += " beside it when present";
        std::string how = std::string(row.title);
        if (const quillmere::setup::ClientTool* tool = quillmere::setup::toolOf(row.client))
            how += std::string(", through the ") + tool->program + " command-line tool";
        how += ", in";
        std::string name = std::string(row.raw) + ":";
        name.resize(std::max<std::size_t>(13, name.size() + 1), ' ');
        clients += "                                  " + name + how + "\n" + std::string(47, ' ') + file + "\n";
    }
    std::string text = helpText;
    text.replace(text.find("@CLIENTS@"), 9, clients);
    return text;
}

struct Options {
    AgentClient client = AgentClient::codex;
    std::optional<fs::path> folder;
    // --codex, --claude: a client tool's program by its name.
    std::map<std::string, fs::path> tools;
    std::optional<fs::path> server;
    bool replace = false;
    bool help = false;
    bool version = false;
};

// Thrown for a command line that cannot be understood.
struct UsageError {
    std::string message;
};

std::optional<std::string> environmentValue(const char* name) {
    const char* value = std::getenv(name);
    if (!value || !*value) return std::nullopt;
    return std::string(value);
}

fs::path homeDirectory() {
    if (auto home = environmentValue("HOME")) return *home;
    if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir) return entry->pw_dir;
    return fs::current_path();
}

// "~" and "~/..." as a shell would expand them, for values given quoted or by a script.
fs::path expandHome(const std::string& value) {
    if (value == "~") return homeDirectory();
    if (value.starts_with("~/")) return homeDirectory() / value.substr(2);
    return value;
}

Options parse(const std::vector<std::string>& arguments) {
    Options options;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= arguments.size()) throw UsageError{argument + " needs a value"};
            return arguments[++i];
        };
        if (argument == "--help" || argument == "-h") {
            options.help = true;
        } else if (argument == "--version") {
            options.version = true;
        } else if (argument == "--replace") {
            options.replace = true;
        } else if (argument == "--client") {
            const std::string& raw = value();
            auto client = quillmere::setup::agentClientFromRawValue(raw);
            if (!client) {
                std::string known;
                for (const auto& row : quillmere::setup::clientTable)
                    known += (known.empty() ? "" : &row == &quillmere::setup::clientTable.back() ? " or " : ", ") +
                             std::string(row.raw);
                throw UsageError{"unknown client \"" + raw + "\" (" + known + ")"};
            }
            options.client = *client;
        } else if (argument == "--folder") {
            options.folder = fs::absolute(expandHome(value())).lexically_normal();
        } else if (const auto tool = std::ranges::find_if(quillmere::setup::clientTools,
                                                          [&](const auto& t) { return argument == std::string("--") + t.program; });
                   tool != quillmere::setup::clientTools.end()) {
            options.tools[tool->program] = fs::absolute(expandHome(value()));
        } else if (argument == "--server") {
            options.server = fs::absolute(expandHome(value()));
        } else {
            throw UsageError{"unknown argument \"" + argument + "\""};
        }
    }
    return options;
}

// The window's rule: the directory that contains the program + bin/quillmere-mcp.
fs::path defaultServer() {
    std::error_code error;
    fs::path self = fs::read_symlink("/proc/self/exe", error);
    if (error) return fs::path("bin") / "quillmere-mcp";
    return self.parent_path() / "bin" / "quillmere-mcp";
}

std::map<std::string, std::string> processEnvironment() {
    std::map<std::string, std::string> result;
    for (char** entry = environ; entry && *entry; ++entry) {
        std::string_view text(*entry);
        std::size_t equals = text.find('=');
        if (equals != std::string_view::npos) {
            result.emplace(std::string(text.substr(0, equals)),
                           std::string(text.substr(equals + 1)));
        }
    }
    return result;
}

void printReceipt(const ConfigurationReceipt& receipt, AgentClient client) {
    std::cout << "configuration: " << receipt.configuration.string() << "\n"
              << "backup: " << (receipt.backup ? receipt.backup->string() : "none") << "\n"
              << "result: " << (receipt.changed ? "changed" : "unchanged") << "\n";
    if (const std::string_view next = quillmere::setup::describe(client).rules.next; !next.empty())
        std::cout << "next: " << next << "\n";
    std::cout.flush();
}

int run(const Options& options) {
    if (!options.folder) throw UsageError{"--folder is required"};
    // The window's checks, in its order and with its messages.
    const std::optional<fs::path> shared = quillmere::setup::sharedFolder(*options.folder);
    if (!shared) {
        std::cerr << quillmere::setup::wrongFolderNameMessage << std::endl;
        return exitFailure;
    }
    const fs::path folder = *shared;
    const fs::path server = options.server.value_or(defaultServer());
    if (const auto problem = quillmere::setup::installProblem(server, folder)) {
        std::cerr << *problem << std::endl;
        return exitFailure;
    }

    const fs::path home = homeDirectory();
    const std::map<std::string, std::string> environment = processEnvironment();
    const fs::path codexHome = quillmere::setup::codexHome(home, environment);
    const ClientConfiguration configuration{server, folder};

    // A given program that cannot run is missing; none given is searched for.
    std::optional<fs::path> cli;
    if (const quillmere::setup::ClientTool* tool = quillmere::setup::toolOf(options.client)) {
        const auto given = options.tools.find(tool->program);
        cli = given != options.tools.end() ? given->second : tool->find(home, environment);
        if (cli && !quillmere::setup::isExecutableFile(*cli)) cli.reset();
    }
    const ConfigurationReceipt receipt = configuration.install(
        options.client, cli, quillmere::setup::configurationURL(options.client, home, environment), home, codexHome,
        options.replace);
    printReceipt(receipt, options.client);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        Options options = parse(std::vector<std::string>(argv + 1, argv + argc));
        if (options.help) {
            std::cout << help();
            return 0;
        }
        if (options.version) {
            std::cout << "quillmere-setup " << QUILLMERE_VERSION << "\n";
            return 0;
        }
        return run(options);
    } catch (const UsageError& error) {
        std::cerr << "quillmere-setup: " << error.message << " (see --help)" << std::endl;
        return exitFailure;
    } catch (const SetupFailure& failure) {
        std::cerr << failure.errorDescription() << std::endl;
        if (failure.kind() == SetupFailure::Kind::conflict) {
            std::cerr << "Run again with --replace to back up the configuration file and replace "
                         "the existing \"quillmere\" entry."
                      << std::endl;
            return exitConflict;
        }
        return exitFailure;
    } catch (const std::exception& error) {
        std::cerr << error.what() << std::endl;
        return exitFailure;
    }
}
