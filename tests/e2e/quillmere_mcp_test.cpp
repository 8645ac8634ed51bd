// The built quillmere-mcp, started as a client or a person would start it.

#include <gtest/gtest.h>
#include <seccomp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>

#include "mcp_server/record_index.h"
#include "tests/e2e/server_session.h"
#include "tests/support/fuse_mount.h"
#include "tests/support/jsonrpc.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace quillmere {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using namespace quillmere::testing;
using Arguments = std::vector<std::string>;

const std::string noFolder =
    "尚未配置共享目录。先运行 quillmere-mcp --choose-folder，或传入 --cloud-root "
    "/绝对路径/AgentLibrary。\n";
const std::string choosePrompt = "选择 iCloud Drive → Quillmere → AgentLibrary。手机首次成功发布后才会出现。\n";
const std::string pong1 = "{\"id\":1,\"jsonrpc\":\"2.0\",\"result\":{}}\n";

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        result.push_back(text.substr(start, end - start));
    EXPECT_EQ(start, text.size()) << "output does not end with a line feed";
    return result;
}

// A user account of its own: empty home, no XDG variables, a shared folder.
class QuillmereMCP : public ::testing::Test {
  protected:
    QuillmereMCP() { fs::create_directories(library()); }

    fs::path library() const { return home_ / "Sync/AgentLibrary"; }
    fs::path bookmark() const { return home_ / ".config/QuillmereBridge/folder.bookmark"; }

    ProcessOptions options(Arguments arguments, std::vector<std::string> input = {}) const {
        ProcessOptions o = testing::serverOptions(home_.path(), std::move(arguments));
        o.workingDirectory = home_.path(), o.inputChunks = std::move(input), o.timeLimit = std::chrono::seconds(60);
        return o;
    }
    ProcessResult run(Arguments arguments, std::vector<std::string> input = {}) {
        return testing::runProcess(options(std::move(arguments), std::move(input)));
    }
    // Serves over --cloud-root; the input arrives in the given chunks.
    ProcessResult serve(std::vector<std::string> input) {
        return run({"--stdio", "--cloud-root", library().string()}, std::move(input));
    }
    ProcessResult chooseFolder(const std::string& typed) { return run({"--choose-folder"}, {typed}); }

    testing::TempDir home_;
};

// ---- modes and the folder they serve

TEST_F(QuillmereMCP, HelpPrintsTheSixLinesAndWinsOverEveryOtherMode) {
    const std::string help =
        "quillmere-mcp --choose-folder       Choose iCloud Drive/Quillmere/AgentLibrary once\n"
        "quillmere-mcp --stdio               Serve read-only MCP using the saved folder\n"
        "quillmere-mcp --status              Print local sync status\n"
        "quillmere-mcp --stdio --cloud-root /absolute/path/AgentLibrary\n"
        "Optional: --cache-root /absolute/path (audio cache only)\n"
        "Transport: newline-delimited JSON-RPC over stdio. No network listener.\n";
    for (const Arguments& arguments : std::vector<Arguments>{
             {"--help"}, {"--status", "--help"}, {"--choose-folder", "--help"}, {"--cloud-root", "--help"}, {"extra", "--help", "--unknown"}}) {
        ProcessResult result = run(arguments);
        EXPECT_EQ(result.exitStatus, 0) << result.describe();
        EXPECT_EQ(result.standardOutput, help);
        EXPECT_EQ(result.standardError, "");
    }
}

TEST_F(QuillmereMCP, WithoutAKnownFolderItSaysSoAndExitsOne) {
    const std::string root = library().string();
    for (const Arguments& arguments : std::vector<Arguments>{
             {},
             {"--stdio"},
             {"--status"},
             {"--stdio", "--cloud-root", "relative/AgentLibrary"},
             {"--stdio", "--cloud-root"},
             {"--cloud-root", "~/Sync/AgentLibrary", "--stdio"},
             {"--stdio", "--cloud-root=" + root},
             {"--stdio", "--Cloud-Root", root},
             {"--cloud-root", "--cloud-root", root, "--stdio"},  // the first occurrence's value counts
             {"--help=1", "-help", "--HELP", "help", "--cloud-root", "relative"},
         }) {
        ProcessResult result = run(arguments, {rpcLine(1, "ping")});
        EXPECT_EQ(result.exitStatus, 1) << result.describe() << ::testing::PrintToString(arguments);
        EXPECT_EQ(result.standardOutput, "");
        EXPECT_EQ(result.standardError, noFolder);
    }
    ProcessResult first = run({"--stdio", "--cloud-root", root, "--cloud-root", "/nowhere"}, {rpcLine(1, "ping")});
    EXPECT_EQ(first.standardOutput, pong1) << first.standardError;
}

// ---- folder choice

// However the folder is typed (blanks around it, ~/, relative to the working
// directory, . and .. and doubled slashes), the choice serves every mode not
// given an absolute --cloud-root.
TEST_F(QuillmereMCP, AChosenFolderIsUsedWhenNoAbsoluteCloudRootIsGiven) {
    for (const std::string& typed : {std::string(" ~/Sync/AgentLibrary/ \r\n"), std::string("Sync/./AgentLibrary//\n"), library().string() + "/../AgentLibrary\n"}) {
        fs::remove_all(home_ / ".config");
        const mode_t umask = ::umask(022);
        ProcessResult chosen = chooseFolder(typed);
        ::umask(umask);
        EXPECT_EQ(chosen.exitStatus, 0) << chosen.describe() << typed;
        EXPECT_EQ(chosen.standardOutput, "");
        EXPECT_EQ(chosen.standardError, choosePrompt + "已保存共享目录。现在可使用 --stdio 接入 MCP 客户端。\n") << typed;
        // The user's own whatever the umask: the choice names a folder of private recordings.
        EXPECT_EQ(fs::status(bookmark().parent_path()).permissions() & fs::perms::all, fs::perms::owner_all);
        EXPECT_EQ(fs::status(bookmark()).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
        for (const Arguments& arguments : std::vector<Arguments>{{}, {"--stdio"}, {"--stdio", "--cloud-root", "relative/AgentLibrary"}, {"--cloud-root"}})
            EXPECT_EQ(run(arguments, {rpcLine(1, "ping")}).standardOutput, pong1) << typed << ::testing::PrintToString(arguments);
    }
    const std::vector<std::string> status = lines(run({"--status"}).standardOutput);
    EXPECT_EQ(status.size() == 1 ? json::parse(status[0])["state"] : json(status), "no_published_sources");
}

// Each failure is reported after the prompt, a cancel (an empty answer or the
// end of input) says nothing more, and both keep the earlier choice.
TEST_F(QuillmereMCP, AFolderThatCannotBeChosenKeepsTheEarlierChoice) {
    ASSERT_EQ(chooseFolder(library().string() + "\n").exitStatus, 0);
    const std::string before = testing::readFile(bookmark());
    for (const char* name : {"agentlibrary", "AgentLibrary2"}) fs::create_directories(home_ / "Sync" / name);
    testing::writeFile(home_ / "Sync/file/AgentLibrary", "not a folder");
    const std::string wrongName = "无法保存目录选择：请选择 AgentLibrary 文件夹。\n", missing = "无法保存目录选择：No such file or directory\n";
    for (const auto& [typed, diagnostic] : std::vector<std::pair<std::string, std::string>>{
             {"~/Sync/agentlibrary\n", wrongName}, {"~/Sync/AgentLibrary2\n", wrongName},
             // An answer past 64 KiB is refused, though its first 64 KiB name the right folder.
             {library().string() + std::string(70000, ' ') + "x\n", "无法保存目录选择：File name too long\n"},
             {"~other/AgentLibrary\n", missing},  // only ~/ is the home directory
             {"~/Nowhere/AgentLibrary\n", missing}, {"~/Sync/file/AgentLibrary\n", "无法保存目录选择：Not a directory\n"},
             {"\n", ""}, {"   \n", ""}, {"", ""}}) {
        ProcessResult result = chooseFolder(typed);
        EXPECT_EQ(result.exitStatus, 1) << typed;
        EXPECT_EQ(result.standardOutput, "");
        EXPECT_EQ(result.standardError, choosePrompt + diagnostic) << typed;
    }
    EXPECT_EQ(testing::readFile(bookmark()), before);
}

TEST_F(QuillmereMCP, AStaleOrBrokenSavedChoiceCountsAsNone) {
    ASSERT_EQ(chooseFolder(library().string() + "\n").exitStatus, 0);
    const std::string saved = testing::readFile(bookmark());
    auto served = [&] { return run({"--stdio"}, {rpcLine(1, "ping")}); };
    auto expectNoFolder = [&](const std::string& what) {
        ProcessResult result = served();
        EXPECT_EQ(result.exitStatus, 1) << what;
        EXPECT_EQ(result.standardError, noFolder) << what;
    };
    // Each a working choice but for one field, read laxly.
    auto edited = [&](const char* key, const json& value) {
        json object = json::parse(saved);
        object[key] = value;
        return object.dump();
    };
    const json device = json::parse(saved)["device"], inode = json::parse(saved)["inode"];
    json pathless = json::parse(saved);
    pathless.erase("path");
    for (const std::string& data : {edited("path", "Sync/AgentLibrary"), edited("path", 5), pathless.dump(), edited("device", device.dump()), edited("device", device.get<double>()),
                                    edited("inode", inode.dump()), saved + std::string(65536, ' '), std::string("garbage")}) {
        testing::writeFile(bookmark(), data);
        expectNoFolder(data.substr(0, 100));
    }
    testing::writeFile(bookmark(), saved);
    ASSERT_EQ(served().standardOutput, pong1);
    // The old directory stays alive elsewhere, so the new one cannot reuse its inode.
    fs::rename(library(), home_ / "Sync/Moved");
    fs::create_directories(library());
    expectNoFolder("another directory under the saved path");
    fs::remove(library());
    testing::writeFile(library(), "a file now");
    expectNoFolder("a file under the saved path");
    fs::remove(library());
    expectNoFolder("nothing under the saved path");
}

// ---- confinement

// Where the kernel has no Landlock (its calls answer ENOSYS here, in a child
// of the test that starts the server) the server says so and serves.
TEST_F(QuillmereMCP, WithoutLandlockItSaysWhatIsNotEnforcedAndServes) {
    pid_t child = ::fork();
    if (child == 0) {
        scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ALLOW);
        seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(landlock_create_ruleset), 0);
        ProcessResult result = seccomp_load(filter) == 0 ? serve({rpcLine(1, "ping")}) : ProcessResult{};
        const std::string said = "Confinement not enforced on this kernel: file access, TCP and signals (no Landlock). Serving anyway.\n";
        ::_exit(result.standardOutput == pong1 && result.standardError == said ? 0 : 1);
    }
    int status = -1;
    ::waitpid(child, &status, 0);
    EXPECT_EQ(status, 0);
}

// ---- the transport over real pipes

// A request split across writes, lines of exactly 1 MiB and one byte more, and
// a last line that never ends.
TEST_F(QuillmereMCP, LinesAreAssembledAcrossWritesAndRefusedPastOneMebibyte) {
    const std::string ping = R"({"jsonrpc":"2.0","id":1,"method":"ping"})";
    const std::string exact = ping + std::string(1'048'576 - ping.size(), ' ');
    ProcessResult result = serve({ping.substr(0, 5), ping.substr(5, 10), ping.substr(15) + "\n" + exact + "\n", exact + " \n", exact + "\n" + ping});
    EXPECT_EQ(result.exitStatus, 0) << result.describe();
    EXPECT_EQ(result.standardOutput, pong1 + pong1 + R"({"error":{"code":-32600,"message":"Request exceeds 1 MiB"},"id":null,"jsonrpc":"2.0"})" "\n" + pong1);
}

TEST_F(QuillmereMCP, AClosedStandardOutputEndsTheServerWithoutASignal) {
    for (const Arguments& arguments : std::vector<Arguments>{{"--stdio", "--cloud-root", library().string()}, {"--help"}}) {
        for (auto output : {ProcessOptions::Output::brokenPipe, ProcessOptions::Output::closed}) {
            ProcessOptions o = options(arguments, {rpcLine(1, "ping"), rpcLine(2, "ping")});
            o.output = output;
            o.keepInputOpen = true;
            ProcessResult result = testing::runProcess(o);
            EXPECT_EQ(result.exitStatus, 1) << result.describe() << arguments[0];
            EXPECT_EQ(result.standardError, "Unable to write MCP stdout.\n");
        }
    }
}

// A default cache left readable by others by an earlier version becomes the owner's alone,
// and so does the copy it serves again; a copy it does not touch keeps its mode, and a
// folder the cache folder links to, its own.
TEST_F(QuillmereMCP, AudioCachedByAnEarlierVersionBecomesPrivateOnUse) {
    const fs::path source = std::getenv("QUILLMERE_SOURCE_DIR"), library = source / "examples/AgentLibrary";
    const fs::path bridge = home_ / ".cache/QuillmereBridge", cache = bridge / "Audio", linked = home_ / "linked";
    fs::create_directories(linked / "Audio"), fs::create_directories(bridge.parent_path()), fs::create_directory_symlink(linked, bridge);
    for (const auto& wav : fs::directory_iterator(library / "7D3C1A2B-4E5F-4A6B-8C7D-9E0F1A2B3C4D/audio"))
        fs::copy_file(wav.path(), cache / wav.path().filename()), ::chmod((cache / wav.path().filename()).c_str(), 0644);
    ::chmod(bridge.c_str(), 0755), ::chmod(cache.c_str(), 0755);
    const json meta = {{"io.modelcontextprotocol/protocolVersion", "2026-07-28"}, {"io.modelcontextprotocol/clientCapabilities", json::object()}};
    const ProcessResult result = run({"--stdio", "--cloud-root", library.string()}, {testing::rpcLine("a", "tools/call", {{"name", "get_audio"}, {"arguments", {{"recording_key", "7D3C1A2B-4E5F-4A6B-8C7D-9E0F1A2B3C4D/B3942ED6-D479-4471-8BC9-7994FAC44E98"}}}, {"_meta", meta}})});
    EXPECT_NE(result.standardOutput.find("available"), std::string::npos) << result.standardOutput;
    const auto mode = [](const fs::path& path) { return fs::status(path).permissions() & fs::perms::all; };
    EXPECT_EQ(mode(linked), fs::perms(0755));
    EXPECT_EQ(mode(cache), fs::perms::owner_all);
    std::multiset<fs::perms> copies;
    for (const auto& copy : fs::directory_iterator(cache)) copies.insert(mode(copy.path()));
    EXPECT_EQ(copies, (std::multiset{fs::perms(0600), fs::perms(0644)}));
}

// A server's write of the index at directory, killed after its first value.
void killWriterMidway(const fs::path& directory) {
    const pid_t child = ::fork();
    if (child == 0) {
        mcp::RecordIndex index(directory);
        index.write({{"first", [] { return mcp::RecordIndex::Value{std::string(1 << 20, 'x')}; }}, {"second", [] { ::raise(SIGKILL); return mcp::RecordIndex::Value(); }}}, {});
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
}

// golden_session.txt: each line a request, a tab and the exact response
// (nothing after the tab: no response). \xHH in a request stands for that
// byte; the answer's checked_at and the audio cache's path are masked.
class GoldenSession : public QuillmereMCP {
  protected:
    GoldenSession() {
        const fs::path source = std::getenv("QUILLMERE_SOURCE_DIR");
        std::ifstream file(source / "tests/e2e/golden_session.txt");
        EXPECT_TRUE(file) << "no golden_session.txt";
        int number = 0;
        for (std::string line; std::getline(file, line);) {
            ++number;
            if (line.empty() || line[0] == '#') continue;
            const std::size_t tab = line.find('\t');
            EXPECT_NE(tab, std::string::npos) << "golden_session.txt:" << number;
            for (std::size_t i = 0; i < tab; ++i) {
                const bool escape = line.compare(i, 2, "\\x") == 0 && i + 4 <= tab;
                input_ += escape ? static_cast<char>(std::stoi(line.substr(i + 2, 2), nullptr, 16)) : line[i];
                if (escape) i += 3;
            }
            input_ += '\n';
            if (tab + 1 < line.size()) expected_.emplace_back(number, line.substr(tab + 1));
        }
        options_ = options({"--stdio", "--cloud-root", (source / "examples/AgentLibrary").string(), "--cache-root", cache().string()});
    }

    fs::path cache() const { return home_ / "cache"; }
    fs::path index() const { return home_ / ".cache/QuillmereBridge/Index"; }

    // Checks one session's output line by line; returns its standard error.
    std::string check(const ProcessResult& result, const std::string& what) {
        EXPECT_EQ(result.exitStatus, 0) << result.describe() << what;
        std::string output = std::regex_replace(result.standardOutput, std::regex(R"((\\?"checked_at\\?":\\?")[^"\\]+)"), "$1*");
        for (const std::string& slash : {std::string("\\\\\\/"), std::string("\\/")}) {
            const std::string path = std::regex_replace(cache().string(), std::regex("/"), slash);
            for (std::size_t at; (at = output.find(path)) != std::string::npos;) output.replace(at, path.size(), "$CACHE");
        }
        const std::vector<std::string> responses = lines(output);
        for (std::size_t i = 0; i < std::min(responses.size(), expected_.size()); ++i)
            EXPECT_EQ(responses[i], expected_[i].second) << "golden_session.txt:" << expected_[i].first << " " << what;
        EXPECT_EQ(responses.size(), expected_.size()) << what;
        return result.standardError;
    }
    std::string replay(const std::string& what) { return check(testing::runProcess(options_), what); }

    std::string input_;
    std::vector<std::pair<int, std::string>> expected_;
    ProcessOptions options_;
};

TEST_F(GoldenSession, OverTheSampleLibrary) {
    options_.inputChunks = {input_};
    EXPECT_EQ(replay(""), "");
}

// The record index is a cache: whatever state it is in, every answer is the
// same. Standard error says once that the index is not used; entries whose
// checksums fail are only dropped, without a word.
TEST_F(GoldenSession, TheSameWhateverStateTheRecordIndexIsIn) {
    options_.inputChunks = {input_};
    const fs::path data = index() / "data.mdb";
    auto flip = [&](std::size_t from, std::size_t count) {
        std::string bytes = testing::readFile(data);
        for (std::size_t i = from; i < std::min(bytes.size(), from + count); ++i) bytes[i] ^= 0x5A;
        testing::writeFile(data, bytes);
    };
    auto refill = [&] {
        fs::remove_all(home_ / ".cache");
        EXPECT_EQ(replay("filling"), "");
    };
    const struct {
        const char* state;
        std::function<void()> prepare;
        bool quiet;
    } rows[] = {
        {"missing", [&] { fs::remove_all(home_ / ".cache"); }, true},
        {"filled", [] {}, true},
        // Found sound at lookup, refused when the search first reads it.
        {"a passage's folded text changed", [&] { std::string bytes = testing::readFile(data); for (std::size_t at = 0; (at = bytes.find("microphone", at)) != std::string::npos;) bytes[at] = 'n'; testing::writeFile(data, bytes); }, true},
        {"bytes flipped in every page", [&] { for (std::size_t page = 2; page * 4096 < fs::file_size(data); ++page) flip(page * 4096 + 97 * page % 4000, 64); }, true},
        {"page headers flipped", [&] { refill(); for (std::size_t page = 2; page * 4096 < fs::file_size(data); ++page) flip(page * 4096, 64); }, false},
        {"truncated", [&] { refill(); fs::resize_file(data, fs::file_size(data) / 2); }, false},
        {"not an index at all", [&] { testing::writeFile(data, std::string(20000, 'x')); }, false},
        {"a link to a filled one", [&] { refill(); fs::rename(index(), home_ / "elsewhere"); fs::create_directory_symlink(home_ / "elsewhere", index()); }, false},
        {"a file where the folder would be", [&] { fs::remove_all(home_ / ".cache"); testing::writeFile(home_ / ".cache/QuillmereBridge", ""); }, false},
        {"open to other users", [&] { refill(); fs::permissions(index(), fs::perms::others_read, fs::perm_options::add); }, false},
        {"after a writer killed mid-write", [&] { fs::remove_all(home_ / ".cache"); killWriterMidway(index()); }, true},
    };
    for (const auto& row : rows) {
        row.prepare();
        const std::string diagnostics = replay(row.state);
        EXPECT_EQ(lines(diagnostics).size(), row.quiet ? 0u : 1u) << row.state << ": " << diagnostics;
    }
}

// Two servers filling an empty index at once, then one reading what they left.
TEST_F(GoldenSession, TwoServersFillingTheIndexAtOnce) {
    testing::ChildProcess first(options_), second(options_);
    EXPECT_TRUE(first.write(input_));
    EXPECT_TRUE(second.write(input_));
    EXPECT_EQ(check(first.finish(std::chrono::seconds(60)), "first"), "");
    EXPECT_EQ(check(second.finish(std::chrono::seconds(60)), "second"), "");
    options_.inputChunks = {input_};
    EXPECT_EQ(replay("after both"), "");
}

// The sample library behind Debian's rclone mounting a local folder, as a cloud mount serves it.
TEST_F(GoldenSession, OverAnRcloneMount) {
    fs::copy(fs::path(std::getenv("QUILLMERE_SOURCE_DIR")) / "examples", home_ / "cloud", fs::copy_options::recursive);
    testing::FuseMount mount(testing::FuseMount::Kind::rclone, home_ / "cloud", home_ / "mount");
    options_ = options({"--stdio", "--cloud-root", (mount.path() / "AgentLibrary").string(), "--cache-root", cache().string()}, {input_});
    EXPECT_EQ(replay("over rclone"), "");
}

}  // namespace
}  // namespace quillmere
