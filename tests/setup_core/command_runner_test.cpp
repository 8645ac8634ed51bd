#include "setup_core/command_runner.h"

#include <gtest/gtest.h>

#include "setup_core/setup_failure.h"
#include "tests/setup_core/setup_test_support.h"
#include "tests/support/failure_kind.h"
#include "tests/support/temp_dir.h"

namespace quillmere::setup {
namespace {

namespace fs = std::filesystem;
using namespace quillmere::testing;
using testing::ScopedEnvironment;
using Environment = std::optional<std::map<std::string, std::string>>;

// Every case has a temporary directory of its own, so that it sees the output files of
// its own calls only.
class CommandRunnerTest : public ::testing::Test {
  protected:
    CommandRunnerTest() { fs::create_directories(temporary); }
    void TearDown() override { EXPECT_TRUE(listDirectory(temporary).empty()) << "an output file was left behind"; }

    TempDir scratch;
    const fs::path temporary = scratch / "tmp";
    ScopedEnvironment tmpdir{"TMPDIR", temporary.string()};
};

TEST_F(CommandRunnerTest, ChildGetsItsArgumentsVerbatimAndGivesBackStatusAndOutputOnly) {
    ScopedEnvironment inherited("QUILLMERE_RUNNER_PROBE", "from-parent");
    const std::string probe = "pwd; echo \"${ONLY-unset}\" \"${QUILLMERE_RUNNER_PROBE-unset}\"";
    const std::string limit = std::to_string(CommandRunner::outputLimit);
    // program, arguments, environment (none: inherited), working directory, status, output
    const std::tuple<fs::path, std::vector<std::string>, Environment, std::optional<fs::path>, int, std::string> rows[] = {
        {"/bin/sh", {"-c", "printf x; exit 3"}, {}, {}, 3, "x"},
        {"/usr/bin/printf", {"[%s]", "a b", "$HOME", "*", "", "semi;colon"}, {}, {}, 0, "[a b][$HOME][*][][semi;colon]"},
        {"/bin/sh", {"-c", "echo only-errors >&2; cat; echo done"}, {}, {}, 0, "done\n"},
        {"/bin/sh", {"-c", probe}, Environment{{{"ONLY", "one"}}}, scratch.path(), 0, scratch.path().string() + "\none unset\n"},
        {"/bin/sh", {"-c", probe}, {}, {}, 0, fs::current_path().string() + "\nunset from-parent\n"},
        {"/bin/sh", {"-c", "kill -9 $$"}, {}, {}, 9, ""},
        {"/usr/bin/head", {"-c", limit, "/dev/zero"}, {}, {}, 0, std::string(CommandRunner::outputLimit, '\0')},
    };
    for (const auto& [program, arguments, environment, directory, status, data] : rows) {
        const CommandOutput output = CommandRunner::run(program, arguments, environment, directory, 30);
        EXPECT_EQ(output.status, status) << arguments.back();
        EXPECT_TRUE(output.data == data) << arguments.back() << ": " << output.data.substr(0, 200);
    }
    const auto overLimit = [&] {
        CommandRunner::run("/usr/bin/head", {"-c", std::to_string(CommandRunner::outputLimit + 1), "/dev/zero"}, {}, {}, 30);
    };
    EXPECT_EQ(failureOf<SetupFailure>(overLimit), SetupFailure::Kind::cliFailed) << "one byte over the limit";
}

// At the deadline the child and everything it started end, however it treats SIGTERM.
TEST_F(CommandRunnerTest, ChildAndItsGrandchildrenEndAtTheDeadline) {
    for (const char* script : {"echo $$ > \"$0\"; sleep 60 & echo $! >> \"$0\"; wait",
                               "trap '' TERM; echo $$ > \"$0\"; sleep 60 & echo $! >> \"$0\"; while :; do wait; done"}) {
        SCOPED_TRACE(script);
        const fs::path pids = scratch / "pids";
        const auto run = [&] { CommandRunner::run("/bin/sh", {"-c", script, pids.string()}, {}, {}, 0.3); };
        EXPECT_EQ(failureOf<SetupFailure>(run), SetupFailure::Kind::timedOut);
        const std::vector<std::string> started = testing::lines(pids);
        ASSERT_EQ(started.size(), 2u);
        for (const std::string& pid : started) EXPECT_TRUE(testing::processEnds(std::stoi(pid))) << pid;
    }
}

TEST_F(CommandRunnerTest, OutputFileIsPrivateWhileTheChildRuns) {
    const CommandOutput output =
        CommandRunner::run("/bin/sh", {"-c", "stat -c '%a %n' \"$TMPDIR\"/quillmere-setup-*"}, {}, {}, 10);
    const std::string prefix = "600 " + (temporary / "quillmere-setup-").string();
    EXPECT_EQ(output.data.substr(0, prefix.size()), prefix);
    EXPECT_EQ(output.data.size(), prefix.size() + 36 + 1) << "a UUID, then the line feed";
}

}  // namespace
}  // namespace quillmere::setup
