#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <stop_token>
#include <string_view>
#include <vector>

#include "date_time.h"
#include "shared_records.h"
#include "base/uuid.h"

namespace quillmere::sync {

// The media file extensions the publisher accepts. A file's extension is
// lowered before the comparison, and the published copy is named with that form.
inline constexpr std::array<std::string_view, 7> allowedAudioExtensions = {
    "m4a", "wav", "caf", "mov", "mp4", "aac", "qta"};

// One recording offered for publishing.
struct ExportItem {
    // The recording as it is to be published; its audio list is ignored and
    // rebuilt from audioURLs.
    SharedRecording record;
    // Local media files of the recording's tracks; the position is the track index.
    std::vector<std::filesystem::path> audioURLs;
};

// Writes one source's recordings into the shared folder: audio tracks as
// content-addressed copies, one JSON file per recording revision, and the
// manifest last, so a reader sees either the previous state or the new one,
// never a mixture. Files are never overwritten or deleted, except the manifest,
// which is replaced only when its entries, audio setting, source or version
// would change. Calls are serialised; a second caller waits.
class CloudPublisher {
  public:
    CloudPublisher() = default;
    CloudPublisher(const CloudPublisher&) = delete;
    CloudPublisher& operator=(const CloudPublisher&) = delete;

    // Publishes items as the current recordings of sourceID below root (the
    // AgentLibrary folder itself) and returns the manifest in force afterwards:
    // the previous one, publishedAt included, when nothing changed.
    //
    // Media files (only when includeAudio) must be non-empty regular files with
    // one of allowedAudioExtensions in any letter case;
    // their size and modification date are read through itemStatusProvider()
    // before and after the copy, and a difference ends the publish.
    //
    // Throws SyncFailure::invalidData for a record of another source, a bad
    // media file, a record that fails validation or a manifest that would
    // (two items with the same id); SyncFailure::changedSource for a media file
    // that changed while being published; Cancelled; std::system_error and
    // EncodingError unchanged. A failed publish leaves the files it already
    // wrote (no manifest names them) and never touches the manifest.
    SharedManifest publish(const std::vector<ExportItem>& items, const Uuid& sourceID,
                           bool includeAudio, const std::filesystem::path& root,
                           std::stop_token stop = {});

  private:
    // A media file as first read, and the track reference built for it.
    struct CachedAudio {
        std::int64_t size = 0;
        Instant modified;
        SharedAudio audio;
    };

    SharedAudio publishAudio(const std::filesystem::path& media, std::int64_t track,
                             const std::filesystem::path& audioDirectory, std::stop_token stop);

    std::mutex mutex_;
    // Every media file this publisher has processed, so an unchanged file (same
    // size and modification date) is not hashed again. Never shrinks.
    std::map<std::filesystem::path, CachedAudio> audioCache_;
};

}  // namespace quillmere::sync
