// quillmere-publish run as a whole process. The committed example library pins
// the format of what it writes (time zones, relative audio paths, every
// optional field); the other tests cover what the examples do not use.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "sync_core/shared_records.h"
#include "sync_core/sync_format.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace quillmere::sync {
namespace {

namespace fs = std::filesystem;
using namespace quillmere::testing;

constexpr const char* sourceText = "7D3C1A2B-4E5F-4A6B-8C7D-9E0F1A2B3C4D";

ino_t inode(const fs::path& file) {
    struct stat st {};
    EXPECT_EQ(::stat(file.c_str(), &st), 0) << file;
    return st.st_ino;
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

    ProcessResult publish(const std::vector<fs::path>& descriptions, bool audio = true) {
        std::vector<std::string> arguments = {"--root", root.string(), "--source", sourceText};
        if (audio) arguments.push_back("--audio");
        for (const fs::path& d : descriptions) arguments.push_back(d.string());
        return testing::runProcess({.program = QUILLMERE_PUBLISH_PROGRAM, .arguments = std::move(arguments)});
    }
    SharedManifest manifest() { return SyncFormat::decode<SharedManifest>(readFile(sourceDir / "manifest.json")); }
    SharedRecording record(const SharedManifest::Entry& entry) {
        return SyncFormat::decode<SharedRecording>(readFile(sourceDir / "records" / entry.fileName()));
    }
};

// A list of recordings, one with two identical tracks under an upper-case extension
// and neither transcriptComplete nor locale.
constexpr const char* twoNotes = R"([
  {"id": "A1F9DD56-05E8-4D3B-8C8F-8A55F51FF5EE", "name": "Note one", "createdAt": "2025-03-02T08:00:00Z",
   "duration": 5.5, "audio": ["../sound/a.WAV", "../sound/a-copy.wav"]},
  {"id": "15AC90F3-049D-43A2-89DD-F1CB5C63643B", "name": "Note two", "createdAt": "2025-03-02T09:00:00Z", "duration": 0}
])";
const std::string noteAudio = "5acf28edc4f3832ea0d2271021ba5000f9a3ae1af897201e9064a394f79c4dce.wav";  // sha256 of "note samples"

TEST_F(PublishCommand, PublishesAListOfRecordingsAndReportsWhatItWrote) {
    writeFile(dir / "in" / "notes.json", twoNotes);
    writeFile(dir / "sound" / "a.WAV", "note samples");
    writeFile(dir / "sound" / "a-copy.wav", "note samples");

    const ProcessResult first = publish({dir / "in" / "notes.json"});
    ASSERT_EQ(first.exitStatus, 0) << first.describe() << first.standardError;
    const SharedManifest published = manifest();
    ASSERT_EQ(published.entries.size(), 2u);
    const SharedRecording noteOne = record(published.entries[1]);
    EXPECT_TRUE(noteOne.transcriptComplete);
    EXPECT_FALSE(noteOne.locale.has_value());
    ASSERT_EQ(noteOne.audio.size(), 2u);
    EXPECT_EQ(std::pair(noteOne.audio[0].fileName, noteOne.audio[1].fileName), std::pair(noteAudio, noteAudio));
    // Every file but the manifest is reported as new, and nothing else.
    const std::vector<fs::path> files = filesBelow(sourceDir);
    EXPECT_EQ(files.size(), 1u + 2u + 1u);
    for (const fs::path& file : files) {
        if (file == "manifest.json") continue;
        EXPECT_NE(first.standardOutput.find("new " + (fs::path(sourceText) / file).string()), std::string::npos) << file << "\n" << first.standardOutput;
    }
    EXPECT_NE(first.standardOutput.find("Published 2 recordings of source " + std::string(sourceText) + " into " + root.string() + " (audio shared)."), std::string::npos) << first.standardOutput;
    EXPECT_NE(first.standardOutput.find("Manifest written"), std::string::npos) << first.standardOutput;
    EXPECT_EQ(first.standardError, "");

    // Again, over a manifest dated long ago (a rewrite would carry the current time):
    // nothing is written, not even the same bytes.
    SharedManifest backdated = published;
    backdated.publishedAt = *parseInternetDate("2020-01-02T03:04:05Z");
    writeFile(sourceDir / "manifest.json", SyncFormat::encode(backdated));
    const std::string manifestBytes = readFile(sourceDir / "manifest.json");
    const auto inodes = [&] { return std::pair(inode(sourceDir / "manifest.json"), inode(sourceDir / "records" / published.entries[0].fileName())); };
    const auto inodesBefore = inodes();
    const ProcessResult again = publish({dir / "in" / "notes.json"});
    ASSERT_EQ(again.exitStatus, 0) << again.standardError;
    EXPECT_EQ(readFile(sourceDir / "manifest.json"), manifestBytes);
    EXPECT_EQ(inodes(), inodesBefore);
    EXPECT_EQ(again.standardOutput.find("  new "), std::string::npos) << again.standardOutput;
    EXPECT_NE(again.standardOutput.find("No new files"), std::string::npos) << again.standardOutput;
    EXPECT_NE(again.standardOutput.find("Manifest unchanged"), std::string::npos) << again.standardOutput;
    EXPECT_EQ(filesBelow(sourceDir), files);

    // Without --audio the tracks are left out, the output says how to share them, and the
    // files already published stay for readers that still hold the old manifest.
    const ProcessResult silent = publish({dir / "in" / "notes.json"}, false);
    ASSERT_EQ(silent.exitStatus, 0) << silent.standardError;
    EXPECT_NE(silent.standardOutput.find("Audio: 2 tracks were left out; pass --audio to share them."), std::string::npos) << silent.standardOutput;
    EXPECT_NE(silent.standardOutput.find("Manifest written"), std::string::npos) << silent.standardOutput;
    EXPECT_EQ(silent.standardOutput.find("/audio/"), std::string::npos) << silent.standardOutput;
    EXPECT_FALSE(manifest().includesAudio);
    EXPECT_TRUE(record(manifest().entries[1]).audio.empty());
    EXPECT_EQ(filesBelow(sourceDir).size(), files.size() + 1);
    for (const fs::path& file : files) EXPECT_TRUE(fs::exists(sourceDir / file)) << file;
}

TEST_F(PublishCommand, BadDescriptionsFailBeforeAnythingIsWritten) {
    const std::string valid = R"({"id": "B3942ED6-D479-4471-8BC9-7994FAC44E98", "name": "x", "createdAt": "2025-03-01T09:30:00Z", "duration": 3})";
    auto with = [&](const std::string& from, const std::string& to) { std::string d = valid; return d.replace(d.find(from), from.size(), to); };
    // The description, and a fragment of what stderr must say.
    const std::pair<std::string, const char*> rows[] = {
        {"{\"id\": ", "not valid JSON"},
        {with(R"("name": "x", )", ""), "\"name\""},
        {with("B3942ED6-D479-4471-8BC9-7994FAC44E98", "42"), "\"id\""},
        {with("09:30:00Z", "09:30:00"), "\"createdAt\""},
        {with("\"duration\": 3", "\"duration\": \"3\""), "\"duration\""},
        {with("\"duration\": 3", "\"duration\": 3, \"pasages\": []"), "\"pasages\""},
        {with("\"duration\": 3", R"("duration": 3, "passages": [{"start": 1, "end": 4.5, "text": "t"}])"), "passage"},
        {with("\"duration\": 3", R"("duration": 3, "audio": ["gone.wav"])"), "gone.wav"},
        {with("\"duration\": 3", R"("duration": 3, "audio": ["song.mp3"])"), "song.mp3"},
        {"[" + valid + "," + valid + "]", "already used"},
    };
    writeFile(dir / "song.mp3", "mp3 bytes");
    writeFile(dir / "in" / "good.json", twoNotes);
    writeFile(dir / "sound" / "a.WAV", "note samples");
    writeFile(dir / "sound" / "a-copy.wav", "note samples");
    for (const auto& [description, message] : rows) {
        writeFile(dir / "bad.json", description);
        const ProcessResult outcome = publish({dir / "in" / "good.json", dir / "bad.json"});
        EXPECT_EQ(outcome.exitStatus, 1) << description;
        EXPECT_NE(outcome.standardError.find(message), std::string::npos) << description << ": " << outcome.standardError;
        EXPECT_NE(outcome.standardError.find("bad.json"), std::string::npos) << description << ": " << outcome.standardError;
        EXPECT_EQ(outcome.standardOutput, "") << description;
        EXPECT_FALSE(fs::exists(root)) << description;
    }
}

// Asked for, the usage goes to stdout; wrong usage exits 2 and points to it.
TEST_F(PublishCommand, UsageOnRequestOrAfterWrongUsage) {
    writeFile(dir / "r.json", twoNotes);
    const std::string r = (dir / "r.json").string(), rootText = root.string();
    for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
             {"-h"}, {"--root", rootText, "--help"},
             {}, {"--source", sourceText, r}, {"--root", rootText, r}, {"--root", rootText, "--source", "not-a-uuid", r},
             {"--root", rootText, "--source", sourceText}, {"--root", rootText, "--source", sourceText, "--audoi", r}, {"--root"}}) {
        const ProcessResult outcome = testing::runProcess({.program = QUILLMERE_PUBLISH_PROGRAM, .arguments = arguments});
        const bool asked = std::ranges::any_of(arguments, [](const std::string& a) { return a == "-h" || a == "--help"; });
        EXPECT_EQ(outcome.exitStatus, asked ? 0 : 2) << outcome.standardError;
        EXPECT_EQ(outcome.standardOutput.starts_with("Usage: quillmere-publish"), asked) << outcome.standardOutput;
        EXPECT_EQ(outcome.standardError.find("--help") != std::string::npos, !asked) << outcome.standardError;
    }
    EXPECT_FALSE(fs::exists(root));
}

TEST_F(PublishCommand, RepublishingTheExamplesReproducesTheCommittedLibrary) {
    const fs::path examples = QUILLMERE_EXAMPLES_DIR;
    const fs::path committedSource = examples / "AgentLibrary" / sourceText;
    const auto committedManifest = SyncFormat::decode<SharedManifest>(readFile(committedSource / "manifest.json"));
    ASSERT_EQ(listDirectory(examples / "AgentLibrary"), std::vector<std::string>{sourceText});
    std::vector<fs::path> descriptions;
    for (const std::string& name : listDirectory(examples / "recordings")) descriptions.push_back(examples / "recordings" / name);
    const ProcessResult outcome = publish(descriptions, committedManifest.includesAudio);
    ASSERT_EQ(outcome.exitStatus, 0) << outcome.describe() << outcome.standardError;

    const auto files = filesBelow(committedSource);
    EXPECT_EQ(filesBelow(sourceDir), files);
    for (const fs::path& file : files) {
        if (file != "manifest.json") {
            EXPECT_EQ(readFile(sourceDir / file), readFile(committedSource / file)) << file;
        }
    }
    SharedManifest republished = manifest();
    republished.publishedAt = committedManifest.publishedAt;
    EXPECT_EQ(republished, committedManifest);
    EXPECT_GE(committedManifest.entries.size(), 4u);
}

}  // namespace
}  // namespace quillmere::sync
