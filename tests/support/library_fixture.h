#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "sync_core/date_time.h"
#include "sync_core/shared_records.h"

namespace quillmere::testing {

// Builds shared folders the way a publisher would, file by file, so tests
// can then break exactly the piece they are about.

// The instant of an internet date-time; fails the test when unreadable.
sync::Instant at(std::string_view internetDate);

// A valid recording of source: 600 seconds long, transcript complete, no
// audio unless added.
sync::SharedRecording makeRecording(const sync::Uuid& source, std::string name,
                                    sync::Instant createdAt,
                                    std::vector<sync::SharedPassage> passages = {});

// Writes bytes to sourceDir/audio/<sha256>.<extension> and returns the
// reference a recording lists for it.
sync::SharedAudio writeAudio(const std::filesystem::path& sourceDir, std::string_view bytes,
                             std::int64_t track, std::string_view extension = "m4a");

// Writes sourceDir/manifest.json.
void writeManifest(const std::filesystem::path& sourceDir, const sync::SharedManifest& manifest);

// A whole source in root/<source id>: every recording's file and a manifest
// listing them in order.
// Returns the manifest written.
sync::SharedManifest writeSource(const std::filesystem::path& root, const sync::Uuid& source,
                                 const std::vector<sync::SharedRecording>& recordings,
                                 bool includesAudio = false);

// The key the tools give recording: "<source id>/<recording id>".
std::string recordingKey(const sync::SharedRecording& recording);

// A source in root/<source> holding one recording, created 2026-03-01T08:00:00Z
// with the passage "<name> budget review" from 0 to 10 s, and one shared audio
// track per entry of tracks (their bytes), numbered from 0.
sync::SharedRecording writeOneRecordingSource(const std::filesystem::path& root,
                                              const sync::Uuid& source, std::string name,
                                              const std::vector<std::string>& tracks = {});

}  // namespace quillmere::testing
