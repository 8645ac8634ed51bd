#include "setup_core/codex_install.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "setup_core/command_runner.h"
#include "setup_core/setup_failure.h"
#include "tests/setup_core/setup_test_support.h"
#include "tests/support/temp_dir.h"

namespace quillmere::setup {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using quillmere::testing::listDirectory;
using quillmere::testing::readFile;
using quillmere::testing::TempDir;
using quillmere::testing::writeFile;
using testing::permissions;
using testing::ScopedEnvironment;
using Kind = SetupFailure::Kind;

template <typename F>
std::optional<Kind> failureOf(F&& f) {
    try {
        f();
    } catch (const SetupFailure& failure) {
        return failure.kind();
    }
    return std::nullopt;
}

std::vector<std::string> lines(const fs::path& file) {
    std::vector<std::string> result;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
}

std::vector<std::string> backupsIn(const fs::path& directory) {
    std::vector<std::string> result;
    for (const std::string& entry : listDirectory(directory)) {
        if (entry.starts_with("config.toml.quillmere-backup-")) result.push_back(entry);
    }
    return result;
}

// A temporary home whose HOME and codex home are the only ones any codex run sees.
class CodexInstall : public ::testing::Test {
  protected:
    TempDir root;
    const fs::path home = [this] {
        fs::create_directories(root / "home");
        return root / "home";
    }();
    const fs::path codexHome = home / "codex-home";  // created by the install
    const fs::path config = codexHome / "config.toml";
    const fs::path log = root / "codex.log";
    ScopedEnvironment homeVariable{"HOME", home.string()};
    // A CODEX_HOME of the calling process must never reach codex.
    ScopedEnvironment codexHomeVariable{"CODEX_HOME", (root / "wrong-codex-home").string()};
    const ClientConfiguration configuration{root / "app/bin/quillmere-mcp", home / "AgentLibrary"};

    // Runs the real codex directly against this test's codex home.
    CommandOutput codex(const std::vector<std::string>& arguments) {
        const char* path = std::getenv("PATH");
        return CommandRunner::run(
            testing::realCodex(), arguments,
            std::map<std::string, std::string>{{"PATH", path ? path : "/usr/bin:/bin"},
                                               {"HOME", home.string()},
                                               {"CODEX_HOME", codexHome.string()}},
            home, 30);
    }

    json registration() {
        const CommandOutput got = codex(codex::getArguments());
        EXPECT_EQ(got.status, 0);
        return json::parse(got.data, nullptr, false);
    }

    // The stand-in's answer to get for this test's configuration.
    std::string matchingGet(bool enabled = true) const {
        return json{{"name", "quillmere"},
                    {"enabled", enabled},
                    {"transport",
                     {{"type", "stdio"},
                      {"command", configuration.executable.string()},
                      {"args", configuration.arguments()}}}}
            .dump();
    }
};

// --- against the real codex

TEST_F(CodexInstall, FirstInstallRegistersAndSecondRunsNothingAfterList) {
    ScopedEnvironment wrap("FAKE_CODEX_REAL", testing::realCodex().string());
    ScopedEnvironment logging("FAKE_CODEX_LOG", log.string());
    ScopedEnvironment where("FAKE_CODEX_WHERE", (root / "where").string());

    const ConfigurationReceipt first =
        configuration.installCodex(testing::fakeCodex(), home, codexHome, false);

    EXPECT_EQ(first, (ConfigurationReceipt{config, std::nullopt, true}));
    const std::string folder = configuration.cloudRoot->string();
    EXPECT_EQ(lines(log), (std::vector<std::string>{"mcp list --json",
                                                    "mcp add quillmere -- " +
                                                        configuration.executable.string() +
                                                        " --stdio --cloud-root " + folder,
                                                    "mcp get quillmere --json"}));
    for (std::size_t i = 0; i < lines(root / "where").size(); i += 2) {
        EXPECT_EQ(lines(root / "where")[i], home.string()) << "working directory";
        EXPECT_EQ(lines(root / "where")[i + 1], codexHome.string()) << "CODEX_HOME";
    }
    const json got = registration();
    EXPECT_EQ(got["transport"]["command"], configuration.executable.string());
    EXPECT_EQ(got["transport"]["args"], json(configuration.arguments()));
    EXPECT_TRUE(codex::registrationMatches(got, configuration));

    const std::string bytes = readFile(config);
    fs::remove(log);
    const ConfigurationReceipt second =
        configuration.installCodex(testing::fakeCodex(), home, codexHome, false);

    EXPECT_EQ(second, (ConfigurationReceipt{config, std::nullopt, false}));
    EXPECT_EQ(lines(log), std::vector<std::string>{"mcp list --json"});
    EXPECT_EQ(readFile(config), bytes);
}

TEST_F(CodexInstall, DifferingRegistrationConflictsThenReplaceBacksUpConfig) {
    fs::create_directories(codexHome);
    ASSERT_EQ(
        codex({"mcp", "add", "quillmere", "--", "/elsewhere/quillmere-mcp", "--stdio"}).status, 0);
    ASSERT_EQ(codex({"mcp", "add", "notes", "--", "/bin/notes"}).status, 0);
    const std::string original = readFile(config);

    EXPECT_EQ(failureOf([&] {
                  configuration.installCodex(testing::realCodex(), home, codexHome, false);
              }),
              Kind::conflict);
    EXPECT_EQ(readFile(config), original);
    EXPECT_TRUE(backupsIn(codexHome).empty());

    const ConfigurationReceipt receipt =
        configuration.installCodex(testing::realCodex(), home, codexHome, true);

    const std::vector<std::string> backups = backupsIn(codexHome);
    ASSERT_EQ(backups.size(), 1u);
    EXPECT_EQ(receipt, (ConfigurationReceipt{config, codexHome / backups[0], true}));
    EXPECT_EQ(readFile(*receipt.backup), original);
    EXPECT_EQ(permissions(*receipt.backup), 0600);
    EXPECT_TRUE(codex::registrationMatches(registration(), configuration));
    EXPECT_EQ(codex({"mcp", "get", "notes", "--json"}).status, 0) << "other servers are kept";
}

TEST_F(CodexInstall, DisabledRegistrationIsNotAMatch) {
    configuration.installCodex(testing::realCodex(), home, codexHome, false);
    // codex's own way of switching a server off.
    writeFile(config, readFile(config) + "enabled = false\n");
    ASSERT_FALSE(codex::registrationMatches(registration(), configuration));

    EXPECT_EQ(failureOf([&] {
                  configuration.installCodex(testing::realCodex(), home, codexHome, false);
              }),
              Kind::conflict);
    const ConfigurationReceipt receipt =
        configuration.installCodex(testing::realCodex(), home, codexHome, true);

    EXPECT_TRUE(receipt.changed);
    EXPECT_TRUE(receipt.backup.has_value());
    EXPECT_TRUE(codex::registrationMatches(registration(), configuration));
}

TEST_F(CodexInstall, LinkedConfigTomlIsRefusedWithNothingRun) {
    fs::create_directories(codexHome);
    writeFile(root / "dotfiles/config.toml", "model = \"x\"\n");
    fs::create_symlink(root / "dotfiles/config.toml", config);
    ScopedEnvironment logging("FAKE_CODEX_LOG", log.string());

    EXPECT_EQ(
        failureOf([&] { configuration.installCodex(testing::fakeCodex(), home, codexHome, true); }),
        Kind::linkedCodexConfig);
    EXPECT_FALSE(fs::exists(log)) << "codex was run";
    EXPECT_TRUE(fs::is_symlink(config));
    EXPECT_EQ(readFile(root / "dotfiles/config.toml"), "model = \"x\"\n");
    EXPECT_EQ(listDirectory(codexHome), std::vector<std::string>{"config.toml"});
}

TEST_F(CodexInstall, ConfigInsideALinkedDirectoryIsAllowedAndReportedResolved) {
    fs::create_directories(root / "real-codex-home");
    const fs::path linkedHome = home / "linked-codex-home";
    fs::create_symlink(root / "real-codex-home", linkedHome);

    const ConfigurationReceipt receipt =
        configuration.installCodex(testing::realCodex(), home, linkedHome, false);

    EXPECT_EQ(receipt,
              (ConfigurationReceipt{root / "real-codex-home/config.toml", std::nullopt, true}));
    EXPECT_TRUE(fs::is_symlink(linkedHome));
    EXPECT_TRUE(fs::is_regular_file(root / "real-codex-home/config.toml"));
}

// --- against the stand-in, for what the real tool cannot be made to do

TEST_F(CodexInstall, HangingCodexTimesOutAndLeavesNothingRunning) {
    const fs::path pids = root / "pids";
    ScopedEnvironment hang("FAKE_CODEX_HANG", pids.string());

    EXPECT_EQ(failureOf([&] {
                  configuration.installCodex(testing::fakeCodex(), home, codexHome, false);
              }),
              Kind::timedOut);
    std::ifstream in(pids);
    pid_t script = 0, sleeper = 0;
    in >> script >> sleeper;
    ASSERT_GT(script, 0);
    ASSERT_GT(sleeper, 0);
    EXPECT_TRUE(testing::processEnds(script));
    EXPECT_TRUE(testing::processEnds(sleeper));
    EXPECT_FALSE(fs::exists(config));
}

TEST_F(CodexInstall, UnusableListIsCliFailedAndNothingElseRuns) {
    struct Row {
        const char* output;
        const char* status;
    };
    const Row rows[] = {
        {"[]", "1"},       {"{}", "0"},  {"", "0"},
        {"not json", "0"}, {"[1]", "0"}, {R"([{"name": "other"}, "quillmere"])", "0"},
    };
    ScopedEnvironment logging("FAKE_CODEX_LOG", log.string());
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.output) + " / " + row.status);
        ScopedEnvironment list("FAKE_CODEX_LIST", row.output);
        ScopedEnvironment status("FAKE_CODEX_LIST_STATUS", row.status);
        fs::remove(log);
        EXPECT_EQ(failureOf([&] {
                      configuration.installCodex(testing::fakeCodex(), home, codexHome, true);
                  }),
                  Kind::cliFailed);
        EXPECT_EQ(lines(log), std::vector<std::string>{"mcp list --json"});
    }
}

TEST_F(CodexInstall, FirstRegistrationNamedQuillmereDecides) {
    // Unnamed objects are skipped; the first "quillmere" matches, a later one is ignored.
    json matching = json::parse(matchingGet());
    matching.erase("enabled");
    const json list =
        json::array({{{"name", 7}},
                     json::object(),
                     matching,
                     {{"name", "quillmere"}, {"transport", {{"command", "/other"}}}}});
    ScopedEnvironment answer("FAKE_CODEX_LIST", list.dump());
    ScopedEnvironment logging("FAKE_CODEX_LOG", log.string());

    EXPECT_FALSE(configuration.installCodex(testing::fakeCodex(), home, codexHome, false).changed);
    EXPECT_EQ(lines(log), std::vector<std::string>{"mcp list --json"});
}

TEST_F(CodexInstall, FailedAddIsCliFailedAndTheBackupStays) {
    writeFile(config, "model = \"o\"\n");
    ScopedEnvironment add("FAKE_CODEX_ADD_STATUS", "1");

    EXPECT_EQ(failureOf([&] {
                  configuration.installCodex(testing::fakeCodex(), home, codexHome, false);
              }),
              Kind::cliFailed);
    const std::vector<std::string> backups = backupsIn(codexHome);
    ASSERT_EQ(backups.size(), 1u);
    EXPECT_EQ(readFile(codexHome / backups[0]), "model = \"o\"\n");
}

TEST_F(CodexInstall, ReadBackThatDiffersIsVerificationFailure) {
    json otherArgs = json::parse(matchingGet());
    otherArgs["transport"]["args"] = {"--stdio"};
    struct Row {
        std::string output;
        const char* status;
    };
    const Row rows[] = {
        {matchingGet(), "1"},
        {"", "0"},
        {"[" + matchingGet() + "]", "0"},
        {matchingGet(false), "0"},
        {otherArgs.dump(), "0"},
    };
    writeFile(config, "");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.output + " / " + row.status);
        ScopedEnvironment get("FAKE_CODEX_GET", row.output);
        ScopedEnvironment status("FAKE_CODEX_GET_STATUS", row.status);
        EXPECT_EQ(failureOf([&] {
                      configuration.installCodex(testing::fakeCodex(), home, codexHome, false);
                  }),
                  Kind::verification);
    }
    EXPECT_EQ(backupsIn(codexHome).size(), std::size(rows)) << "each attempt's backup stays";

    ScopedEnvironment get("FAKE_CODEX_GET", matchingGet());
    EXPECT_TRUE(configuration.installCodex(testing::fakeCodex(), home, codexHome, false).changed);
}

TEST_F(CodexInstall, ConfigChangedWhileListingIsChangedAndNothingIsAdded) {
    writeFile(config, "model = \"o\"\n");
    ScopedEnvironment touch("FAKE_CODEX_LIST_TOUCH", "model = \"edited\"");
    ScopedEnvironment logging("FAKE_CODEX_LOG", log.string());

    EXPECT_EQ(failureOf([&] {
                  configuration.installCodex(testing::fakeCodex(), home, codexHome, false);
              }),
              Kind::changed);
    EXPECT_EQ(lines(log), std::vector<std::string>{"mcp list --json"});
    EXPECT_TRUE(backupsIn(codexHome).empty());
}

TEST_F(CodexInstall, ConfigCreatedWhileListingIsChanged) {
    ScopedEnvironment touch("FAKE_CODEX_LIST_TOUCH", "model = \"new\"");
    EXPECT_EQ(failureOf([&] {
                  configuration.installCodex(testing::fakeCodex(), home, codexHome, false);
              }),
              Kind::changed);
}

// --- the matching rule

TEST(CodexRegistrationMatches, CommandArgsAndEnabledDecide) {
    const ClientConfiguration configuration{"/opt/q/bin/quillmere-mcp",
                                            fs::path("/srv/AgentLibrary")};
    const json transport = {{"command", "/opt/q/bin/quillmere-mcp"},
                            {"args", {"--stdio", "--cloud-root", "/srv/AgentLibrary"}}};
    auto with = [&](const char* member, json value) {
        json registration = {{"name", "quillmere"}, {"transport", transport}, {"extra", {1, 2}}};
        if (value.is_discarded()) {
            registration.erase(member);
        } else {
            registration[member] = std::move(value);
        }
        return registration;
    };
    auto transportWith = [&](const char* member, json value) {
        json changed = transport;
        changed[member] = std::move(value);
        return with("transport", changed);
    };
    const json gone = json(json::value_t::discarded);
    struct Row {
        json registration;
        bool matches;
    };
    const Row rows[] = {
        {with("enabled", gone), true},
        {with("enabled", true), true},
        {with("enabled", "false"), true},
        {with("enabled", 0), true},
        {with("enabled", false), false},
        {with("transport", gone), false},
        {with("transport", "stdio"), false},
        {transportWith("command", "/opt/q/bin/other"), false},
        {transportWith("command", json::array({"/opt/q/bin/quillmere-mcp"})), false},
        {transportWith("args", {"--stdio"}), false},
        {transportWith("args", {"--cloud-root", "/srv/AgentLibrary", "--stdio"}), false},
        {transportWith("args", {"--stdio", "--cloud-root", "/srv/AgentLibrary", "--x"}), false},
        {transportWith("args", "--stdio --cloud-root /srv/AgentLibrary"), false},
        {transportWith("args", {"--stdio", "--cloud-root", 1}), false},
        {transportWith("env", {{"A", "1"}}), true},
        {json::array(), false},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(codex::registrationMatches(row.registration, configuration), row.matches)
            << row.registration.dump();
    }
}

// --- finding codex

class FindCodex : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* fixed :
             {"/Applications/ChatGPT.app/Contents/Resources/codex-cli/bin/codex",
              "/Applications/Codex.app/Contents/Resources/codex-cli/bin/codex",
              "/Applications/Codex.app/Contents/Resources/codex", "/opt/homebrew/bin/codex",
              "/usr/local/bin/codex"}) {
            if (::access(fixed, X_OK) == 0)
                GTEST_SKIP() << fixed << " is installed on this machine";
        }
    }

    void executable(const fs::path& path) {
        writeFile(path, "#!/bin/sh\n");
        fs::permissions(path, fs::perms::owner_all);
    }

    TempDir root;
    const fs::path home = root / "home";
};

TEST_F(FindCodex, PathEntriesInOrderEmptyOnesDropped) {
    executable(root / "b/codex");
    const std::map<std::string, std::string> environment{
        {"PATH", (root / "a").string() + "::" + (root / "b").string() + ":"}};
    EXPECT_EQ(ClientConfiguration::findCodex(home, environment), root / "b/codex");

    executable(root / "a/codex");
    EXPECT_EQ(ClientConfiguration::findCodex(home, environment), root / "a/codex");
}

TEST_F(FindCodex, FixedLocationWinsOverPath) {
    executable(root / "a/codex");
    executable(home / ".local/bin/codex");
    EXPECT_EQ(ClientConfiguration::findCodex(home, {{"PATH", (root / "a").string()}}),
              home / ".local/bin/codex");
}

TEST_F(FindCodex, OnlyExecutableFilesCount) {
    writeFile(root / "plain/codex", "#!/bin/sh\n");
    fs::permissions(root / "plain/codex", fs::perms::owner_read | fs::perms::owner_write);
    fs::create_directories(root / "dir/codex");
    const std::map<std::string, std::string> environment{
        {"PATH", (root / "plain").string() + ":" + (root / "dir").string()}};
    EXPECT_FALSE(ClientConfiguration::findCodex(home, environment).has_value());
    EXPECT_FALSE(ClientConfiguration::findCodex(home, {}).has_value()) << "no PATH counts as empty";
}

}  // namespace
}  // namespace quillmere::setup
