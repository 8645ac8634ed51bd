// The two halves of the folder format meet: whatever CloudPublisher writes,
// the server's Library must read back whole, with no issue. Old revisions
// beside new ones are the publisher kill test's.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mcp_server/library.h"
#include "sync_core/cloud_publisher.h"
#include "tests/support/temp_dir.h"

namespace quillmere {
namespace {

namespace fs = std::filesystem;
using sync::CloudPublisher;
using sync::ExportItem;
using sync::SharedRecording;
using sync::Uuid;
using namespace quillmere::testing;

SharedRecording recording(const Uuid& source, std::string name, double duration) {
    return {.id = Uuid::random(), .sourceID = source, .name = std::move(name),
            .createdAt = *sync::parseInternetDate("2025-03-01T09:30:00Z") + std::chrono::seconds(static_cast<int>(duration)),
            .duration = duration};
}

// Recordings at the edges of what the format allows: no passages, zero
// duration, a passage ending one second past the end, unusual text, several
// tracks including one file used twice, every optional field set or not.
std::vector<ExportItem> awkwardItems(const Uuid& source, const fs::path& media) {
    writeFile(media / "a.WAV", "first track samples");
    writeFile(media / "b.m4a", "second track samples");
    writeFile(media / "c.caf", std::string(3 * 1024 * 1024 + 17, 'x'));
    SharedRecording full = recording(source, "全功能 \"quoted\" \\ \n name 🎙️", 10);
    full.sessionID = Uuid::random();
    full.locale = "zh-Hans-CN";
    full.transcriptComplete = true;
    full.passages = {{0, 0, ""}, {9, 11, "past the end by one second"}, {2.125, 3.5, "重叠 overlap"}, {1e-9, 0.1, std::string(5000, 'y')}};
    SharedRecording large = recording(source, "large track", 3600.5);
    large.passages = {{0, 3600.5, "one long passage"}};
    std::vector<ExportItem> items = {{recording(source, "", 0), {}},
                                     {full, {media / "a.WAV", media / "b.m4a", media / "a.WAV"}},
                                     {large, {media / "c.caf"}}};
    for (int i = 0; i < 30; ++i) items.push_back({recording(source, "bulk " + std::to_string(i), i * 1.5), {}});
    return items;
}

class PublisherReader : public ::testing::TestWithParam<bool> {};

TEST_P(PublisherReader, LibraryReadsEverythingThePublisherWrites) {
    const bool includeAudio = GetParam();
    TempDir dir;
    const fs::path root = dir / "AgentLibrary";
    const Uuid first = Uuid::random();
    const std::vector<ExportItem> items = awkwardItems(first, dir / "media");
    CloudPublisher().publish(items, first, includeAudio, root);

    mcp::Library library(root, dir / "cache");
    library.refresh();
    EXPECT_TRUE(library.issues().empty()) << nlohmann::json(library.issues()).dump();
    EXPECT_EQ(library.pendingCount(), 0u);
    ASSERT_EQ(library.items().size(), items.size());
    for (const ExportItem& published : items) {
        const std::string key = first.text() + "/" + published.record.id.text();
        const mcp::LibraryItem& item = library.item(key);
        // The library keeps passages apart from the record, restoring each.
        SharedRecording served = item.record();
        for (std::size_t i = 0; i < item.recording->passageCount(); ++i) served.passages.push_back(item.recording->passage(i));
        const std::vector<sync::SharedAudio> audio = std::exchange(served.audio, {});
        EXPECT_EQ(served, published.record) << key;
        ASSERT_EQ(audio.size(), includeAudio ? published.audioURLs.size() : 0u) << key;
        for (std::size_t track = 0; track < audio.size(); ++track) {
            const std::string bytes = readFile(published.audioURLs[track]);
            EXPECT_EQ(audio[track].track, static_cast<std::int64_t>(track));
            EXPECT_EQ(audio[track].bytes, static_cast<std::int64_t>(bytes.size()));
            const nlohmann::json delivered = library.audio(item, audio[track].track);
            ASSERT_EQ(delivered.value("state", ""), "available") << delivered.dump();
            // The temporary directory's path needs no percent-encoding.
            EXPECT_EQ(readFile(delivered.value("uri", "").substr(std::string_view("file://").size())), bytes) << key;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AudioSharedOrNot, PublisherReader, ::testing::Bool());

}  // namespace
}  // namespace quillmere
