#include "setup_core/codex_install.h"

#include <gtest/gtest.h>

#include <functional>

#include "setup_core/setup_failure.h"
#include "tests/setup_core/setup_test_support.h"
#include "tests/support/codex_stand_in.h"
#include "tests/support/failure_kind.h"
#include "tests/support/temp_dir.h"

namespace quillmere::setup {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using namespace quillmere::testing;
using namespace testing;
using Kind = SetupFailure::Kind;
using Lines = std::vector<std::string>;

// A temporary home whose HOME and codex home are the only ones any codex run sees.
class CodexInstall : public ::testing::Test {
  protected:
    CodexInstall() { fs::create_directories(home); }

    TempDir root;
    const fs::path home = root / "home", codexHome = home / "codex-home";
    const fs::path config = codexHome / "config.toml", standIn = codexHome / "stand-in";
    ScopedEnvironment homeVariable{"HOME", home.string()};
    // A CODEX_HOME of the calling process must never reach codex.
    ScopedEnvironment codexHomeVariable{"CODEX_HOME", (root / "wrong-codex-home").string()};
    const ClientConfiguration configuration{"/q/bin/quillmere-mcp", fs::path("/lib/AgentLibrary")};

    ConfigurationReceipt install(const fs::path& cli, bool replace = false) const {
        return configuration.installCodex(cli, home, codexHome, replace);
    }
    Lines backups() const { return backupsOf(codexHome, "config.toml"); }
};

// The real codex is quillmere-setup's test; the stand-in does what it cannot be made to do.

TEST_F(CodexInstall, LinkedConfigTomlIsRefusedWithNothingRun) {
    writeFile(root / "dotfiles/config.toml", "model = \"x\"\n");
    fs::create_directories(codexHome);
    fs::create_symlink(root / "dotfiles/config.toml", config);
    EXPECT_EQ(failureOf<SetupFailure>([&] { install(codexStandIn(), true); }), Kind::linkedCodexConfig);
    EXPECT_EQ(listDirectory(codexHome), Lines{"config.toml"}) << "codex was run";
    EXPECT_EQ(readFile(root / "dotfiles/config.toml"), "model = \"x\"\n");
}

// The registration the stand-in reports, with a JSON merge patch applied (null removes).
std::string registration(const std::string& patch) {
    json result = json::parse(R"({"name": "quillmere", "transport": {"command": "/q/bin/quillmere-mcp",
                                  "args": ["--stdio", "--cloud-root", "/lib/AgentLibrary"]}})");
    result.merge_patch(json::parse(patch));
    return result.dump();
}
std::string listOf(const std::string& patch) { return "[" + registration(patch) + "]"; }

TEST_F(CodexInstall, StandInAnswersDecideTheOutcome) {
    // The stand-in's files; the failure (none: installed); how many codex runs (1: list
    // only, 3: list, add, get); whether config.toml existed. Once add has run, the backup
    // of an existing config.toml stays whatever happens next.
    const std::tuple<std::map<std::string, std::string>, std::optional<Kind>, std::size_t, bool> rows[] = {
        {{}, std::nullopt, 3, true},
        {{{"list", "[]"}, {"list-status", "1"}}, Kind::cliFailed, 1, true},
        {{{"list", "{}"}}, Kind::cliFailed, 1, true},
        {{{"list", ""}}, Kind::cliFailed, 1, true},
        {{{"list", "not json"}}, Kind::cliFailed, 1, true},
        {{{"list", "[1]"}}, Kind::cliFailed, 1, true},
        {{{"list", R"([{"name": "other"}, "quillmere"])"}}, Kind::cliFailed, 1, true},
        {{{"list", R"([{"name": 7}, {}, )" + registration("{}") + R"(, {"name": "quillmere"}])"}}, std::nullopt, 1, true},
        {{{"list", "[" + registration(R"({"enabled": false})") + "," + registration("{}") + "]"}}, Kind::conflict, 1, true},
        {{{"list", listOf(R"({"enabled": true, "extra": [1], "transport": {"env": {"A": "1"}}})")}}, std::nullopt, 1, true},
        {{{"list", listOf(R"({"enabled": "false"})")}}, std::nullopt, 1, true},
        {{{"list", listOf(R"({"enabled": 0})")}}, std::nullopt, 1, true},
        {{{"list", listOf(R"({"enabled": false})")}}, Kind::conflict, 1, true},
        {{{"list", listOf(R"({"transport": null})")}}, Kind::conflict, 1, true},
        {{{"list", listOf(R"({"transport": "stdio"})")}}, Kind::conflict, 1, true},
        {{{"list", listOf(R"({"transport": {"command": "/q/bin/other"}})")}}, Kind::conflict, 1, true},
        {{{"list", listOf(R"({"transport": {"command": ["/q/bin/quillmere-mcp"]}})")}}, Kind::conflict, 1, true},
        {{{"list", listOf(R"({"transport": {"args": ["--stdio"]}})")}}, Kind::conflict, 1, true},
        {{{"list", listOf(R"({"transport": {"args": ["--cloud-root", "/lib/AgentLibrary", "--stdio"]}})")}}, Kind::conflict, 1, true},
        {{{"list", listOf(R"({"transport": {"args": ["--stdio", "--cloud-root", "/lib/AgentLibrary", "-x"]}})")}}, Kind::conflict, 1, true},
        {{{"list", listOf(R"({"transport": {"args": "--stdio --cloud-root /lib/AgentLibrary"}})")}}, Kind::conflict, 1, true},
        {{{"list", listOf(R"({"transport": {"args": ["--stdio", "--cloud-root", 1]}})")}}, Kind::conflict, 1, true},
        {{{"add-status", "1"}}, Kind::cliFailed, 2, true},
        {{{"get-status", "1"}}, Kind::verification, 3, true},
        {{{"get", ""}}, Kind::verification, 3, true},
        {{{"get", listOf("{}")}}, Kind::verification, 3, true},
        {{{"get", registration(R"({"enabled": false})")}}, Kind::verification, 3, true},
        {{{"get", registration(R"({"transport": {"args": ["--stdio"]}})")}}, Kind::verification, 3, true},
        {{{"touch", "model = \"edited\"\n"}}, Kind::changed, 1, true},
        {{{"touch", "model = \"new\"\n"}}, Kind::changed, 1, false},
    };
    for (const auto& [files, failure, runs, existing] : rows) {
        SCOPED_TRACE(files.empty() ? "defaults" : files.begin()->first + ": " + files.begin()->second);
        fs::remove_all(codexHome);
        if (existing) writeFile(config, "model = \"o\"\n");
        for (const auto& [name, text] : files) writeFile(standIn / name, text);
        std::optional<Kind> thrown;
        try {
            EXPECT_EQ(install(codexStandIn()).changed, runs == 3);
        } catch (const SetupFailure& error) {
            thrown = error.kind();
        }
        EXPECT_EQ(thrown, failure);
        EXPECT_EQ(lines(standIn / "log").size(), runs);
        EXPECT_EQ(backups().size(), existing && runs > 1 ? 1u : 0u);
        for (const std::string& backup : backups()) EXPECT_EQ(readFile(codexHome / backup), "model = \"o\"\n");
    }
}

// Fixed install locations come first, then each non-empty PATH entry in order; only
// executable files count. (home/.local/bin/codex is shown to win by quillmere-setup's test.)
TEST(FindCodex, PathEntriesInOrderAfterTheFixedLocations) {
    TempDir root;
    const fs::path a = root / "a", c = root / "c";
    writeFile(a / "codex", "#!/bin/sh\n");  // not executable yet
    fs::create_directories(root / "b/codex");
    const std::map<std::string, std::string> path{
        {"PATH", a.string() + "::" + (root / "b").string() + ":" + c.string() + ":"}};
    const auto found = [&](const std::map<std::string, std::string>& environment) {
        return ClientConfiguration::findCodex(root / "home", environment);
    };
    EXPECT_EQ(found(path), quillmere::testing::machineCodex());
    writeFile(c / "codex", "#!/bin/sh\n");
    fs::permissions(c / "codex", fs::perms::owner_all);
    EXPECT_EQ(found(path), quillmere::testing::machineCodex().value_or(c / "codex"));
    EXPECT_EQ(found({}), quillmere::testing::machineCodex()) << "no PATH searches no entry";
    fs::permissions(a / "codex", fs::perms::owner_all);
    EXPECT_EQ(found(path), quillmere::testing::machineCodex().value_or(a / "codex"));
}

// claude's own choice of file (the real claude agrees for a legacy file that holds anything:
// quillmere-setup's test). Each row: what stands there, and whether the legacy file is chosen.
TEST(ClaudeCodeFile, TheLegacyFileOnlyWhereClaudeItselfStillUsesIt) {
    TempDir root;
    const fs::path home = root / "home", legacy = home / ".claude/.config.json", usual = home / ".claude.json";
    const std::tuple<const char*, std::function<void()>, bool> rows[] = {
        {"neither", [] {}, false},
        {"a legacy folder", [&] { fs::create_directories(legacy); }, false},
        {"a legacy file with content", [&] { writeFile(legacy, "{}"), writeFile(usual, "{}"); }, true},
        {"an empty legacy file alone", [&] { writeFile(legacy, ""); }, true},
        {"an empty read-only legacy file", [&] { writeFile(legacy, ""), fs::permissions(legacy, fs::perms::owner_read); }, false},
        {"an empty legacy file and a usual one", [&] { writeFile(legacy, ""), writeFile(usual, ""); }, false},
        {"an empty legacy file and a read-only empty placeholder", [&] { writeFile(legacy, ""), writeFile(usual, ""), fs::permissions(usual, fs::perms::owner_read); }, true},
        {"the placeholder with content", [&] { writeFile(legacy, ""), writeFile(usual, "{}"), fs::permissions(usual, fs::perms::owner_read); }, false},
        {"the placeholder linked twice", [&] { writeFile(legacy, ""), writeFile(usual, ""), fs::permissions(usual, fs::perms::owner_read), fs::create_hard_link(usual, root / "link"); }, false},
    };
    for (const auto& [what, make, chosen] : rows) {
        fs::remove_all(root.path()), fs::create_directories(home);
        make();
        EXPECT_EQ(ClientConfiguration::claudeCodeFile(home, {{"HOME", home.string()}}), chosen ? legacy : usual) << what;
    }
}

}  // namespace
}  // namespace quillmere::setup
