// The publisher killed with SIGKILL at many points of a publish: a reader
// always finds the source as it was before or as it is after, never an issue
// from a half-written file, and the next publish completes.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <string>

#include "mcp_server/library.h"
#include "sync_core/cloud_publisher.h"
#include "sync_core/shared_records.h"
#include "sync_core/sync_format.h"
#include "tests/support/library_fixture.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace quillmere {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using testing::TempDir;

constexpr int recordingsPerGeneration = 3;
constexpr std::size_t audioBytes = 512 * 1024;

// What a reader sees of the folder: key -> revision of every served item.
using View = std::map<std::string, std::string>;

class PublisherKill : public ::testing::Test {
  protected:
    PublisherKill() {
        for (int i = 0; i < recordingsPerGeneration; ++i) ids_.push_back(sync::Uuid::random());
    }

    fs::path root() const { return dir_ / "AgentLibrary"; }

    // Generation g: the same recordings, each with new text and a new audio track.
    std::vector<sync::ExportItem> generation(int g) {
        std::vector<sync::ExportItem> items;
        for (int i = 0; i < recordingsPerGeneration; ++i) {
            const std::string name = std::to_string(g) + "-" + std::to_string(i);
            sync::ExportItem item{.record = testing::makeRecording(source_, name, testing::at("2026-03-01T08:00:00Z"), {{0, 10, "text of " + name}}),
                                  .audioURLs = {dir_ / "media" / (name + ".m4a")}};
            item.record.id = ids_[i];
            std::string bytes(audioBytes, '\0');
            std::mt19937 fill(static_cast<unsigned>(g * 100 + i));
            for (char& c : bytes) c = static_cast<char>(fill());
            testing::writeFile(item.audioURLs[0], bytes);
            items.push_back(std::move(item));
        }
        return items;
    }

    // The reader's view; fails the test for any issue or pending entry.
    View read() {
        mcp::Library library(root(), dir_ / "cache");
        library.refresh();
        EXPECT_EQ(library.issues(), std::vector<nlohmann::json>{});
        EXPECT_EQ(library.pendingCount(), 0u);
        View view;
        for (const mcp::LibraryItem& item : library.items()) view[item.key] = item.revision;
        return view;
    }

    // Every published audio file holds the bytes its name promises.
    void expectWholeAudioFiles() {
        const fs::path audio = root() / source_.text() / "audio";
        for (const auto& entry : fs::directory_iterator(audio)) {
            const std::string name = entry.path().filename().string();
            if (name.starts_with(".")) continue;
            EXPECT_EQ(sync::SyncFormat::fileDigest(entry.path()), entry.path().stem().string())
                << name;
        }
    }

    TempDir dir_;
    sync::Uuid source_ = sync::Uuid::random();
    std::vector<sync::Uuid> ids_;
};

TEST_F(PublisherKill, ReaderSeesTheOldOrTheNewStateAndTheNextPublishCompletes) {
    sync::CloudPublisher publisher;
    auto started = Clock::now();
    publisher.publish(generation(0), source_, true, root());
    const auto fullPublish =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - started);
    View previous = read();
    ASSERT_EQ(previous.size(), static_cast<std::size_t>(recordingsPerGeneration));

    std::mt19937 random(20261206);
    constexpr int kills = 40;
    int interrupted = 0;
    for (int g = 1; g <= kills; ++g) {
        SCOPED_TRACE("generation " + std::to_string(g));
        const std::vector<sync::ExportItem> items = generation(g);
        // From right at the start to past the time a whole publish takes,
        // the fork's own start-up included.
        std::uniform_int_distribution<long> at(0, fullPublish.count() * 3 / 2 + 2000);
        interrupted += testing::killedAfter([&] { sync::CloudPublisher().publish(items, source_, true, root()); }, std::chrono::microseconds(at(random)));
        View afterKill = read();

        publisher.publish(items, source_, true, root());
        View next = read();
        expectWholeAudioFiles();
        EXPECT_NE(next, previous);
        EXPECT_TRUE(afterKill == previous || afterKill == next)
            << "a mixture of two states after the kill";
        previous = next;
    }
    RecordProperty("kills_interrupting_a_publish", interrupted);
    std::printf("publisher kills: %d of %d interrupted a publish\n", interrupted, kills);
    EXPECT_GT(interrupted, 0) << "no kill landed inside a publish";
}

}  // namespace
}  // namespace quillmere
