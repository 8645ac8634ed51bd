// The checks a record must pass before it is served. Unreadable folders,
// manifests and record files are hostile_folder_test's, a library that the
// publisher writes publisher_reader_test's.

#include "mcp_server/library.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "mcp_server/record_index.h"
#include "sync_core/sync_failure.h"
#include "tests/support/library_fixture.h"
#include "tests/support/temp_dir.h"

namespace quillmere::mcp {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using sync::SharedRecording;
using sync::Uuid;
using namespace quillmere::testing;

// Records that fail a check are pending, with an issue each, and are not kept decoded.
TEST(LibraryRefresh, RecordsFailingAnyCheckArePending) {
    testing::TempDir dir;
    const Uuid source = Uuid::random();
    const fs::path sourceDir = dir / "AgentLibrary" / source.text();
    auto recording = [&](std::string name, const std::vector<sync::SharedPassage>& passages = {}, std::optional<Uuid> of = {}) {
        return makeRecording(of.value_or(source), std::move(name), at("2026-03-01T09:00:00Z"), passages);
    };
    SharedRecording good = recording("edge", {{.start = 0, .end = 601, .text = "ends by duration + 1 s"}});
    SharedRecording late = recording("late", {{0, 1, "a"}, {2, 601.5, "b"}}), early = recording("early", {{-1, 1, "c"}});
    SharedRecording version = recording("version"), foreign = recording("foreign", {}, Uuid::random()), renamed = recording("renamed"),
                    withAudio = recording("audio"), missing = recording("missing");
    version.schemaVersion = 2;
    withAudio.audio.push_back(testing::writeAudio(sourceDir, "audio bytes", 0));
    sync::SharedManifest manifest = testing::writeSource(dir / "AgentLibrary", source, {good, late, early, version, foreign, renamed, withAudio, missing}, false);
    // Filed under another recording's id.
    const Uuid claimed = Uuid::random();
    fs::rename(sourceDir / "records" / manifest.entries[5].fileName(), sourceDir / "records" / (claimed.text() + "-" + manifest.entries[5].revision + ".json"));
    manifest.entries[5].id = claimed;
    testing::writeManifest(sourceDir, manifest);
    fs::remove(sourceDir / "records" / manifest.entries[7].fileName());

    Library library(dir / "AgentLibrary", dir / "cache");
    library.refresh();
    json status = library.status();
    ASSERT_EQ(library.items().size(), 1u);
    EXPECT_EQ(library.items()[0].key, testing::recordingKey(good));
    EXPECT_EQ(status["pending_recordings"], 7);
    EXPECT_EQ(status["sources"][0]["recordings"], 8);
    json expected = json::array();
    for (std::size_t i = 1; i < 8; ++i) {
        const std::string state = i < 7 ? sync::SyncFailure::invalidData().errorDescription() : "记录尚不可读，请等待下载或检查文件权限。";
        expected.push_back({{"source_id", source.text()}, {"recording_id", manifest.entries[i].id.text()}, {"state", state}});
    }
    EXPECT_EQ(status["issues"], expected);
    EXPECT_EQ(library.records().size(), 1u);
}

// A second server serves from what the first stored; a record file whose
// bytes changed is never served from the index, and a revision no manifest
// names any more leaves it.
TEST(LibraryRefresh, ServesFromTheRecordIndexOnlyWhatTheFilesStillHold) {
    testing::TempDir dir;
    const Uuid source = Uuid::random();
    const fs::path root = dir / "AgentLibrary", index = dir / "index";
    SharedRecording recording = makeRecording(source, "Größe", at("2026-03-01T09:00:00Z"), {{0, 5, "İstanbul Çay"}, {5, 9, "second"}});
    sync::SharedManifest manifest = testing::writeSource(root, source, {recording});
    auto served = [&](Library& library, std::size_t decoded = 0) {
        library.refresh();
        EXPECT_EQ(library.records().inMemory(), decoded);
        return library.items().empty() ? json() : json{library.items()[0].record().name, library.items()[0].recording->passage(0).text};
    };
    Library first(root, dir / "cache", CaseRule::turkic, index), second(root, dir / "cache", CaseRule::turkic, index);
    EXPECT_EQ(served(first, 1), json({"Größe", "İstanbul Çay"}));
    EXPECT_EQ(served(first), json({"Größe", "İstanbul Çay"}));
    EXPECT_EQ(served(second), json({"Größe", "İstanbul Çay"}));
    EXPECT_EQ(second.records().size(), 1u);
    recording.name = "Renamed";
    manifest = testing::writeSource(root, source, {recording});
    RecordIndex(index).write({{manifest.entries[0].revision + "/1/turkic", [] { return RecordIndex::Value{"an earlier stored format"}; }}}, {});
    EXPECT_EQ(served(second, 1), json({"Renamed", "İstanbul Çay"}));
    EXPECT_EQ(served(second), json({"Renamed", "İstanbul Çay"}));
    // The index keeps the revision named now, in this format, and only it.
    const std::vector<std::string> keys = RecordIndex(index).snapshot(1)->keys();
    EXPECT_TRUE(keys.size() == 1 && keys[0].starts_with(manifest.entries[0].revision)) << keys.size();
    Library third(root, dir / "cache", CaseRule::turkic, index);
    third.refresh();
    const fs::path file = root / source.text() / "records" / manifest.entries[0].fileName();
    testing::writeFile(file, testing::readFile(file) + " ");
    EXPECT_EQ(served(second), json());
    EXPECT_EQ(second.status()["pending_recordings"], 1);
    // Texts that fault when first read (the index cut short under the mapping) are damaged.
    fs::resize_file(index / "data.mdb", 8192);
    EXPECT_THROW(third.items()[0].recording->passageText(), IndexedRecording::Damaged);
}

}  // namespace
}  // namespace quillmere::mcp
