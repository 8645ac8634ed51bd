// The two halves of the folder format meet: whatever CloudPublisher writes,
// the server's Library must read back whole, with no issue.

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "mcp_server/library.h"
#include "sync_core/cloud_publisher.h"
#include "sync_core/sync_format.h"
#include "tests/support/temp_dir.h"

namespace quillmere {
namespace {

namespace fs = std::filesystem;
using sync::CloudPublisher;
using sync::ExportItem;
using sync::SharedRecording;
using sync::Uuid;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

SharedRecording recording(const Uuid& source, std::string name, double duration) {
    SharedRecording r;
    r.id = Uuid::random();
    r.sourceID = source;
    r.name = std::move(name);
    r.createdAt = *sync::parseInternetDate("2025-03-01T09:30:00Z") +
                  std::chrono::seconds(static_cast<int>(duration));
    r.duration = duration;
    return r;
}

// Recordings at the edges of what the format allows: no passages, zero
// duration, a passage ending one second past the end, unusual text, several
// tracks including one file used twice, every optional field set or not.
std::vector<ExportItem> awkwardItems(const Uuid& source, const fs::path& media) {
    writeFile(media / "a.WAV", "first track samples");
    writeFile(media / "b.m4a", "second track samples");
    writeFile(media / "c.caf", std::string(3 * 1024 * 1024 + 17, 'x'));

    std::vector<ExportItem> items;
    items.push_back({recording(source, "", 0), {}});

    SharedRecording full = recording(source, "全功能 \"quoted\" \\ \n name 🎙️", 10);
    full.sessionID = Uuid::random();
    full.locale = "zh-Hans-CN";
    full.transcriptComplete = true;
    full.passages = {{0, 0, ""},
                     {9, 11, "past the end by one second"},
                     {2.125, 3.5, "重叠 overlap"},
                     {1e-9, 0.1, std::string(5000, 'y')}};
    items.push_back({full, {media / "a.WAV", media / "b.m4a", media / "a.WAV"}});

    SharedRecording large = recording(source, "large track", 3600.5);
    large.passages = {{0, 3600.5, "one long passage"}};
    items.push_back({large, {media / "c.caf"}});

    for (int i = 0; i < 30; ++i) {
        items.push_back({recording(source, "bulk " + std::to_string(i), i * 1.5), {}});
    }
    return items;
}

class PublisherReader : public ::testing::TestWithParam<bool> {};

TEST_P(PublisherReader, LibraryReadsEverythingThePublisherWrites) {
    const bool includeAudio = GetParam();
    TempDir dir;
    const fs::path root = dir / "AgentLibrary";
    const Uuid first = Uuid::random(), second = Uuid::random();
    CloudPublisher publisher;
    const std::vector<ExportItem> items = awkwardItems(first, dir / "media");
    publisher.publish(items, first, includeAudio, root);
    // A second source, published twice with a change in between, so old
    // revisions lie beside the current ones.
    std::vector<ExportItem> secondItems = {{recording(second, "draft", 5), {}}};
    publisher.publish(secondItems, second, includeAudio, root);
    secondItems[0].record.name = "final";
    publisher.publish(secondItems, second, includeAudio, root);

    mcp::Library library(root, dir / "cache");
    library.refresh();

    EXPECT_TRUE(library.issues().empty()) << nlohmann::json(library.issues()).dump();
    EXPECT_EQ(library.pendingCount(), 0u);
    ASSERT_EQ(library.items().size(), items.size() + 1);
    EXPECT_EQ(library.sources().size(), 2u);
    for (const ExportItem& published : items) {
        const std::string key = first.text() + "/" + published.record.id.text();
        const mcp::LibraryItem& item = library.item(key);
        SharedRecording expected = published.record;
        expected.audio = item.record().audio;
        // The library keeps passages apart from the record, restoring each.
        SharedRecording served = item.record();
        for (std::size_t i = 0; i < item.recording->passageCount(); ++i)
            served.passages.push_back(item.recording->passage(i));
        EXPECT_EQ(served, expected) << key;
        EXPECT_EQ(item.record().audio.size(), includeAudio ? published.audioURLs.size() : 0u);
        for (const sync::SharedAudio& audio : item.record().audio) {
            const nlohmann::json delivered = library.audio(item, audio.track);
            ASSERT_EQ(delivered.value("state", ""), "available") << delivered.dump();
            EXPECT_EQ(delivered.value("sha256", ""), audio.sha256);
            EXPECT_EQ(delivered.value("bytes", std::int64_t{0}), audio.bytes);
        }
    }
    EXPECT_EQ(library.item(second.text() + "/" + secondItems[0].record.id.text()).record().name,
              "final");
}

INSTANTIATE_TEST_SUITE_P(AudioSharedOrNot, PublisherReader, ::testing::Bool());

}  // namespace
}  // namespace quillmere
