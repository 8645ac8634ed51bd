#include "tests/support/library_fixture.h"

#include <gtest/gtest.h>

#include "sync_core/sync_format.h"
#include "tests/support/temp_dir.h"

namespace quillmere::testing {

namespace fs = std::filesystem;
namespace SyncFormat = sync::SyncFormat;

sync::Instant at(std::string_view internetDate) {
    std::optional<sync::Instant> instant = sync::parseInternetDate(internetDate);
    EXPECT_TRUE(instant) << internetDate;
    return instant.value_or(sync::Instant());
}

sync::SharedRecording makeRecording(const sync::Uuid& source, std::string name,
                                    sync::Instant createdAt,
                                    std::vector<sync::SharedPassage> passages) {
    return sync::SharedRecording{.id = sync::Uuid::random(),
                                 .sourceID = source,
                                 .name = std::move(name),
                                 .createdAt = createdAt,
                                 .duration = 600,
                                 .transcriptComplete = true,
                                 .passages = std::move(passages)};
}

// Writes recording's encoded bytes to sourceDir/records/<id>-<revision>.json
// and returns the manifest entry that names it.
static sync::SharedManifest::Entry writeRecord(const fs::path& sourceDir,
                                               const sync::SharedRecording& recording) {
    const std::string bytes = SyncFormat::encode(recording);
    sync::SharedManifest::Entry entry{.id = recording.id, .revision = SyncFormat::digest(bytes)};
    writeFile(sourceDir / "records" / entry.fileName(), bytes);
    return entry;
}

sync::SharedAudio writeAudio(const fs::path& sourceDir, std::string_view bytes, std::int64_t track,
                             std::string_view extension) {
    const std::string sha256 = SyncFormat::digest(bytes);
    sync::SharedAudio audio{.fileName = sha256 + "." + std::string(extension),
                            .sha256 = sha256,
                            .bytes = static_cast<std::int64_t>(bytes.size()),
                            .track = track};
    writeFile(sourceDir / "audio" / audio.fileName, bytes);
    return audio;
}

void writeManifest(const fs::path& sourceDir, const sync::SharedManifest& manifest) {
    writeFile(sourceDir / "manifest.json", SyncFormat::encode(manifest));
}

sync::SharedManifest writeSource(const fs::path& root, const sync::Uuid& source,
                                 const std::vector<sync::SharedRecording>& recordings,
                                 bool includesAudio) {
    const fs::path dir = root / source.text();
    sync::SharedManifest manifest{
        .sourceID = source, .publishedAt = at("2026-03-01T08:15:00Z"), .includesAudio = includesAudio};
    for (const sync::SharedRecording& recording : recordings)
        manifest.entries.push_back(writeRecord(dir, recording));
    writeManifest(dir, manifest);
    return manifest;
}

std::string recordingKey(const sync::SharedRecording& recording) {
    return recording.sourceID.text() + "/" + recording.id.text();
}

sync::SharedRecording writeOneRecordingSource(const fs::path& root, const sync::Uuid& source,
                                              std::string name,
                                              const std::vector<std::string>& tracks) {
    const std::string text = name + " budget review";
    sync::SharedRecording recording =
        makeRecording(source, std::move(name), at("2026-03-01T08:00:00Z"), {{0, 10, text}});
    for (std::size_t track = 0; track < tracks.size(); ++track) {
        recording.audio.push_back(writeAudio(root / source.text(), tracks[track],
                                             static_cast<std::int64_t>(track)));
    }
    writeSource(root, source, {recording}, !tracks.empty());
    return recording;
}

}  // namespace quillmere::testing
