#include "setup_core/command_runner.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>

#include "setup_core/setup_failure.h"
#include "tests/setup_core/setup_test_support.h"
#include "tests/support/temp_dir.h"

namespace quillmere::setup {
namespace {

namespace fs = std::filesystem;
using quillmere::testing::listDirectory;
using quillmere::testing::readFile;
using quillmere::testing::TempDir;
using quillmere::testing::writeFile;
using testing::ScopedEnvironment;

// Every case runs with a private temporary directory, so that the output files of
// one call can be told apart from those of other tests running at the same time.
class CommandRunnerTest : public ::testing::Test {
  protected:
    TempDir scratch;
    const fs::path temporary = [this] {
        fs::create_directories(scratch / "tmp");
        return scratch / "tmp";
    }();
    ScopedEnvironment tmpdir{"TMPDIR", temporary.string()};

    // Runs a /bin/sh script (its $1, $2, ... from parameters) with the inherited environment.
    CommandOutput shell(const std::string& script, double timeout = 10,
                        std::vector<std::string> parameters = {}) {
        std::vector<std::string> arguments{"-c", script, "sh"};
        arguments.insert(arguments.end(), parameters.begin(), parameters.end());
        return CommandRunner::run("/bin/sh", arguments, std::nullopt, std::nullopt, timeout);
    }

    void TearDown() override {
        EXPECT_TRUE(listDirectory(temporary).empty()) << "an output file was left behind";
    }
};

template <typename F>
std::optional<SetupFailure::Kind> failureOf(F&& f) {
    try {
        f();
    } catch (const SetupFailure& failure) {
        return failure.kind();
    }
    return std::nullopt;
}

pid_t pidOnLine(const fs::path& file, int line) {
    std::ifstream in(file);
    pid_t pid = 0;
    for (int i = 0; i <= line; ++i) in >> pid;
    return pid;
}

TEST_F(CommandRunnerTest, QuickChildGivesItsStatusAndOutput) {
    const CommandOutput output = shell("printf x; exit 3");
    EXPECT_EQ(output.status, 3);
    EXPECT_EQ(output.data, "x");
}

TEST_F(CommandRunnerTest, ArgumentsArePassedVerbatimWithoutAShell) {
    const std::vector<std::string> arguments{"a b", "$HOME", "*", "", "semi;colon"};
    const CommandOutput output = CommandRunner::run(
        "/usr/bin/printf",
        [&] {
            std::vector<std::string> all{"[%s]"};
            all.insert(all.end(), arguments.begin(), arguments.end());
            return all;
        }(),
        std::nullopt, std::nullopt, 10);
    EXPECT_EQ(output.status, 0);
    EXPECT_EQ(output.data, "[a b][$HOME][*][][semi;colon]");
}

TEST_F(CommandRunnerTest, StandardErrorIsDiscardedAndInputIsEmpty) {
    const CommandOutput output = shell("echo only-errors >&2; cat; echo done");
    EXPECT_EQ(output.status, 0);
    EXPECT_EQ(output.data, "done\n");
}

TEST_F(CommandRunnerTest, GivenEnvironmentIsTheWholeEnvironmentAndDirectoryIsUsed) {
    ScopedEnvironment inherited("QUILLMERE_RUNNER_PROBE", "from-parent");
    const std::string script =
        "pwd; echo \"${ONLY-unset}\"; echo \"${QUILLMERE_RUNNER_PROBE-unset}\"";

    const CommandOutput given =
        CommandRunner::run("/bin/sh", {"-c", script},
                           std::map<std::string, std::string>{{"ONLY", "one"}}, scratch.path(), 10);
    EXPECT_EQ(given.data, scratch.path().string() + "\none\nunset\n");

    const CommandOutput inheritedRun =
        CommandRunner::run("/bin/sh", {"-c", script}, std::nullopt, std::nullopt, 10);
    EXPECT_EQ(inheritedRun.data, fs::current_path().string() + "\nunset\nfrom-parent\n");
}

TEST_F(CommandRunnerTest, ChildEndedBySignalReportsNonZeroStatus) {
    EXPECT_NE(shell("kill -9 $$").status, 0);
}

TEST_F(CommandRunnerTest, SleepingChildAndItsGrandchildAreEndedAtTheDeadline) {
    const fs::path pids = scratch / "pids";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(failureOf([&] {
                  shell("echo $$ > \"$1\"; sleep 60 & echo $! >> \"$1\"; wait", 0.3,
                        {pids.string()});
              }),
              SetupFailure::Kind::timedOut);
    const auto elapsed = std::chrono::steady_clock::now() - start;

    // Not a timing test: it only shows the call did not wait for the 60 s sleep.
    EXPECT_GE(elapsed, std::chrono::milliseconds(300));
    EXPECT_LT(elapsed, std::chrono::seconds(30));
    const pid_t child = pidOnLine(pids, 0);
    const pid_t grandchild = pidOnLine(pids, 1);
    ASSERT_GT(child, 0);
    ASSERT_GT(grandchild, 0);
    EXPECT_TRUE(testing::processEnds(child));
    EXPECT_TRUE(testing::processEnds(grandchild))
        << "the launcher's own child outlived the time-out";
}

TEST_F(CommandRunnerTest, ChildIgnoringTerminateIsKilled) {
    const fs::path pids = scratch / "pids";
    EXPECT_EQ(failureOf([&] {
                  shell("trap '' TERM; echo $$ > \"$1\"; while :; do sleep 1; done", 0.3,
                        {pids.string()});
              }),
              SetupFailure::Kind::timedOut);
    const pid_t child = pidOnLine(pids, 0);
    ASSERT_GT(child, 0);
    EXPECT_TRUE(testing::processEnds(child));
}

TEST_F(CommandRunnerTest, OutputUpToTheLimitIsAcceptedOneByteMoreIsRefused) {
    const std::string limit = std::to_string(CommandRunner::outputLimit);
    const CommandOutput exact = CommandRunner::run("/usr/bin/head", {"-c", limit, "/dev/zero"},
                                                   std::nullopt, std::nullopt, 30);
    EXPECT_EQ(exact.status, 0);
    EXPECT_EQ(exact.data.size(), CommandRunner::outputLimit);

    const std::string over = std::to_string(CommandRunner::outputLimit + 1);
    EXPECT_EQ(failureOf([&] {
                  CommandRunner::run("/usr/bin/head", {"-c", over, "/dev/zero"}, std::nullopt,
                                     std::nullopt, 30);
              }),
              SetupFailure::Kind::cliFailed);
}

TEST_F(CommandRunnerTest, LaunchFailuresAreThePlatformsErrors) {
    writeFile(scratch / "not-executable", "#!/bin/sh\n");
    struct Row {
        fs::path program;
        std::optional<fs::path> directory;
        std::errc error;
    };
    const Row rows[] = {
        {scratch / "missing", std::nullopt, std::errc::no_such_file_or_directory},
        {scratch / "not-executable", std::nullopt, std::errc::permission_denied},
        {"/bin/sh", scratch / "no-such-directory", std::errc::no_such_file_or_directory},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.program.string());
        try {
            CommandRunner::run(row.program, {"-c", "true"}, std::nullopt, row.directory, 10);
            ADD_FAILURE() << "launched";
        } catch (const std::system_error& error) {
            EXPECT_EQ(error.code(), std::make_error_code(row.error));
        }
    }
}

TEST_F(CommandRunnerTest, OutputFileIsPrivateWhileTheChildRuns) {
    const CommandOutput output = shell("stat -c '%a %n' \"$TMPDIR\"/quillmere-setup-*");
    const std::string prefix = "600 " + (temporary / CommandRunner::outputPrefix).string();
    EXPECT_EQ(output.data.substr(0, prefix.size()), prefix);
    // The UUID part of the name: 36 characters, then the line feed.
    EXPECT_EQ(output.data.size(), prefix.size() + 36 + 1);
}

TEST(CommandRunner, UncreatableOutputFileThrows) {
    TempDir scratch;
    ScopedEnvironment tmpdir("TMPDIR", (scratch / "missing").string());
    EXPECT_THROW(CommandRunner::run("/bin/true", {}, std::nullopt, std::nullopt, 10),
                 std::system_error);
}

}  // namespace
}  // namespace quillmere::setup
