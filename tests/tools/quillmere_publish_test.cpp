#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "sync_core/shared_records.h"
#include "sync_core/sync_format.h"
#include "tests/support/temp_dir.h"

extern char** environ;

namespace quillmere::sync {
namespace {

namespace fs = std::filesystem;
using testing::listDirectory;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

constexpr const char* sourceText = "7D3C1A2B-4E5F-4A6B-8C7D-9E0F1A2B3C4D";

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs quillmere-publish with arguments, collecting its output in scratch.
Outcome publishCommand(const std::vector<std::string>& arguments, const fs::path& scratch) {
    const fs::path program = QUILLMERE_PUBLISH_PROGRAM;
    std::vector<std::string> argv = {program.string()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<char*> pointers;
    for (std::string& a : argv) pointers.push_back(a.data());
    pointers.push_back(nullptr);

    const fs::path out = scratch / "stdout", err = scratch / "stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    const int spawned =
        posix_spawn(&pid, program.c_str(), &actions, nullptr, pointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    Outcome outcome;
    if (spawned != 0) {
        ADD_FAILURE() << "cannot start " << program;
        return outcome;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    outcome.out = readFile(out);
    outcome.err = readFile(err);
    return outcome;
}

std::vector<fs::path> filesBelow(const fs::path& root) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file()) files.push_back(fs::relative(entry.path(), root));
    }
    std::sort(files.begin(), files.end());
    return files;
}

class PublishCommand : public ::testing::Test {
  protected:
    TempDir dir;
    fs::path root = dir / "AgentLibrary";
    fs::path sourceDir = root / sourceText;

    Outcome run(std::vector<std::string> arguments) {
        return publishCommand(arguments, dir.path());
    }
    Outcome publish(const std::vector<std::string>& descriptions, bool audio = true) {
        std::vector<std::string> arguments = {"--root", root.string(), "--source", sourceText};
        if (audio) arguments.push_back("--audio");
        arguments.insert(arguments.end(), descriptions.begin(), descriptions.end());
        return run(arguments);
    }
    SharedManifest manifest() {
        return SyncFormat::decode<SharedManifest>(readFile(sourceDir / "manifest.json"));
    }
    SharedRecording record(const SharedManifest::Entry& entry) {
        return SyncFormat::decode<SharedRecording>(
            readFile(sourceDir / "records" / entry.fileName()));
    }
};

constexpr const char* standup = R"({
  "id": "6385ed58-59c3-445e-b62f-776165bda804",
  "name": "站会",
  "createdAt": "2025-03-01T17:30:00+08:00",
  "duration": 10,
  "passages": [{"start": 0, "end": 4, "text": "早上好"}, {"start": 4, "end": 10, "text": "release today"}],
  "audio": ["sound/standup.WAV"]
})";

constexpr const char* twoNotes = R"([
  {"id": "A1F9DD56-05E8-4D3B-8C8F-8A55F51FF5EE", "name": "Note one",
   "createdAt": "2025-03-02T08:00:00Z", "duration": 5.5, "locale": "en-US",
   "transcriptComplete": false, "audio": ["../sound/a.m4a", "../sound/a-copy.m4a"]},
  {"id": "15AC90F3-049D-43A2-89DD-F1CB5C63643B", "name": "Note two",
   "createdAt": "2025-03-02T09:00:00Z", "duration": 0,
   "sessionID": "457F0378-DCF9-4887-A423-ED80177CEE97"}
])";

TEST_F(PublishCommand, PublishesHandWrittenDescriptionsAndReportsWhatItWrote) {
    writeFile(dir / "in" / "standup.json", standup);
    writeFile(dir / "in" / "sound" / "standup.WAV", "standup samples");
    writeFile(dir / "in" / "notes" / "notes.json", twoNotes);
    writeFile(dir / "in" / "sound" / "a.m4a", "note samples");
    writeFile(dir / "in" / "sound" / "a-copy.m4a", "note samples");

    const Outcome first = publish(
        {(dir / "in" / "standup.json").string(), (dir / "in" / "notes" / "notes.json").string()});

    ASSERT_EQ(first.status, 0) << first.err;
    const SharedManifest published = manifest();
    ASSERT_EQ(published.entries.size(), 3u);
    EXPECT_TRUE(published.includesAudio);
    // Every file of the source but the manifest is reported as new, and nothing else.
    for (const fs::path& file : filesBelow(sourceDir)) {
        if (file == "manifest.json") continue;
        EXPECT_NE(first.out.find("new " + (fs::path(sourceText) / file).string()),
                  std::string::npos)
            << file << "\n"
            << first.out;
    }
    EXPECT_EQ(filesBelow(sourceDir).size(), 1u + 3u + 2u);
    EXPECT_NE(first.out.find("Manifest written"), std::string::npos) << first.out;

    const SharedRecording standupRecord = record(published.entries[1]);
    EXPECT_EQ(standupRecord.name, "站会");
    EXPECT_EQ(formatInternetDate(standupRecord.createdAt), "2025-03-01T09:30:00Z");
    EXPECT_TRUE(standupRecord.transcriptComplete);
    EXPECT_FALSE(standupRecord.locale.has_value());
    ASSERT_EQ(standupRecord.passages.size(), 2u);
    EXPECT_EQ(standupRecord.passages[1].text, "release today");
    ASSERT_EQ(standupRecord.audio.size(), 1u);
    EXPECT_EQ(standupRecord.audio[0].fileName, SyncFormat::digest("standup samples") + ".wav");

    const SharedRecording noteOne = record(published.entries[2]);
    EXPECT_FALSE(noteOne.transcriptComplete);
    EXPECT_EQ(noteOne.locale, "en-US");
    ASSERT_EQ(noteOne.audio.size(), 2u);
    EXPECT_EQ(noteOne.audio[0].fileName, noteOne.audio[1].fileName);
    EXPECT_EQ(record(published.entries[0]).sessionID,
              Uuid::parse("457F0378-DCF9-4887-A423-ED80177CEE97"));

    const std::string manifestBytes = readFile(sourceDir / "manifest.json");
    const Outcome again = publish(
        {(dir / "in" / "standup.json").string(), (dir / "in" / "notes" / "notes.json").string()});
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(again.out.find("  new "), std::string::npos) << again.out;
    EXPECT_NE(again.out.find("No new files"), std::string::npos) << again.out;
    EXPECT_NE(again.out.find("Manifest unchanged"), std::string::npos) << again.out;
    EXPECT_EQ(readFile(sourceDir / "manifest.json"), manifestBytes);
}

TEST_F(PublishCommand, WithoutAudioTheTracksAreLeftOutAndSaidSo) {
    writeFile(dir / "standup.json", standup);
    writeFile(dir / "sound" / "standup.WAV", "standup samples");

    const Outcome outcome = publish({(dir / "standup.json").string()}, false);

    ASSERT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_FALSE(manifest().includesAudio);
    EXPECT_TRUE(record(manifest().entries[0]).audio.empty());
    EXPECT_FALSE(fs::exists(sourceDir / "audio"));
    EXPECT_NE(outcome.out.find("--audio"), std::string::npos) << outcome.out;
}

TEST_F(PublishCommand, BadDescriptionsFailBeforeAnythingIsWritten) {
    const std::string valid =
        R"({"id": "B3942ED6-D479-4471-8BC9-7994FAC44E98", "name": "ok", "createdAt": "2025-03-01T09:30:00Z", "duration": 3})";
    struct Row {
        const char* what;
        std::string description;
        const char* message;  // a fragment of what stderr must say
    };
    const std::vector<Row> rows = {
        {"not JSON", "{\"id\": ", "not valid JSON"},
        {"missing name",
         R"({"id": "B3942ED6-D479-4471-8BC9-7994FAC44E98", "createdAt": "2025-03-01T09:30:00Z", "duration": 3})",
         "\"name\""},
        {"bad id",
         R"({"id": "42", "name": "x", "createdAt": "2025-03-01T09:30:00Z", "duration": 3})",
         "\"id\""},
        {"date without zone",
         R"({"id": "B3942ED6-D479-4471-8BC9-7994FAC44E98", "name": "x", "createdAt": "2025-03-01T09:30:00", "duration": 3})",
         "\"createdAt\""},
        {"duration as text",
         R"({"id": "B3942ED6-D479-4471-8BC9-7994FAC44E98", "name": "x", "createdAt": "2025-03-01T09:30:00Z", "duration": "3"})",
         "\"duration\""},
        {"misspelt key",
         R"({"id": "B3942ED6-D479-4471-8BC9-7994FAC44E98", "name": "x", "createdAt": "2025-03-01T09:30:00Z", "duration": 3, "pasages": []})",
         "\"pasages\""},
        {"passage past the end",
         R"({"id": "B3942ED6-D479-4471-8BC9-7994FAC44E98", "name": "x", "createdAt": "2025-03-01T09:30:00Z", "duration": 3, "passages": [{"start": 1, "end": 4.5, "text": "t"}]})",
         "passage"},
        {"missing audio file",
         R"({"id": "B3942ED6-D479-4471-8BC9-7994FAC44E98", "name": "x", "createdAt": "2025-03-01T09:30:00Z", "duration": 3, "audio": ["gone.wav"]})",
         "gone.wav"},
        {"refused audio format",
         R"({"id": "B3942ED6-D479-4471-8BC9-7994FAC44E98", "name": "x", "createdAt": "2025-03-01T09:30:00Z", "duration": 3, "audio": ["song.mp3"]})",
         "song.mp3"},
        {"one id twice", "[" + valid + "," + valid + "]", "already used"},
    };
    writeFile(dir / "song.mp3", "mp3 bytes");
    writeFile(dir / "good.json", standup);
    writeFile(dir / "sound" / "standup.WAV", "standup samples");
    for (const Row& row : rows) {
        writeFile(dir / "bad.json", row.description);
        const Outcome outcome =
            publish({(dir / "good.json").string(), (dir / "bad.json").string()});
        EXPECT_EQ(outcome.status, 1) << row.what;
        EXPECT_NE(outcome.err.find(row.message), std::string::npos)
            << row.what << ": " << outcome.err;
        EXPECT_NE(outcome.err.find("bad.json"), std::string::npos)
            << row.what << ": " << outcome.err;
        EXPECT_EQ(outcome.out, "") << row.what;
        EXPECT_FALSE(fs::exists(root)) << row.what;
    }
}

TEST_F(PublishCommand, WrongUsageExitsWithStatusTwo) {
    writeFile(dir / "r.json", standup);
    const std::string r = (dir / "r.json").string();
    const std::vector<std::vector<std::string>> rows = {
        {},
        {"--source", sourceText, r},
        {"--root", root.string(), r},
        {"--root", root.string(), "--source", "not-a-uuid", r},
        {"--root", root.string(), "--source", sourceText},
        {"--root", root.string(), "--source", sourceText, "--audoi", r},
        {"--root"},
    };
    for (const auto& arguments : rows) {
        const Outcome outcome = run(arguments);
        EXPECT_EQ(outcome.status, 2) << outcome.err;
        EXPECT_NE(outcome.err.find("--help"), std::string::npos) << outcome.err;
        EXPECT_EQ(outcome.out, "");
    }
    EXPECT_FALSE(fs::exists(root));
}

TEST_F(PublishCommand, HelpDescribesTheInput) {
    const Outcome outcome = run({"--help"});
    EXPECT_EQ(outcome.status, 0);
    for (const char* key : {"--root", "--source", "--audio", "\"createdAt\"", "\"passages\"",
                            "\"audio\"", "transcriptComplete", "sessionID"}) {
        EXPECT_NE(outcome.out.find(key), std::string::npos) << key;
    }
}

TEST(PublishExamples, RepublishingTheInputsReproducesTheCommittedLibrary) {
    const fs::path examples = QUILLMERE_EXAMPLES_DIR;
    const fs::path committed = examples / "AgentLibrary";
    const std::vector<std::string> sources = listDirectory(committed);
    ASSERT_EQ(sources.size(), 1u);
    const fs::path committedSource = committed / sources[0];
    const auto committedManifest =
        SyncFormat::decode<SharedManifest>(readFile(committedSource / "manifest.json"));

    TempDir dir;
    const fs::path root = dir / "AgentLibrary";
    std::vector<std::string> arguments = {"--root", root.string(), "--source", sources[0]};
    if (committedManifest.includesAudio) arguments.push_back("--audio");
    for (const std::string& name : listDirectory(examples / "recordings")) {
        arguments.push_back((examples / "recordings" / name).string());
    }
    const Outcome outcome = publishCommand(arguments, dir.path());
    ASSERT_EQ(outcome.status, 0) << outcome.err;

    const auto files = filesBelow(committedSource);
    EXPECT_EQ(filesBelow(root / sources[0]), files);
    for (const fs::path& file : files) {
        if (file == "manifest.json") continue;
        EXPECT_EQ(readFile(root / sources[0] / file), readFile(committedSource / file)) << file;
    }
    SharedManifest republished =
        SyncFormat::decode<SharedManifest>(readFile(root / sources[0] / "manifest.json"));
    republished.publishedAt = committedManifest.publishedAt;
    EXPECT_EQ(republished, committedManifest);
    EXPECT_GE(committedManifest.entries.size(), 4u);
}

}  // namespace
}  // namespace quillmere::sync
