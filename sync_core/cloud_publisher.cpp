#include "cloud_publisher.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "cloud_files.h"
#include "item_status.h"
#include "sync_failure.h"
#include "sync_format.h"

namespace quillmere::sync {

namespace fs = std::filesystem;

namespace {

// A previous manifest larger than this is treated as absent, as readers do.
constexpr std::int64_t manifestLimit = 32 * 1024 * 1024;

std::string lowercaseExtension(const fs::path& file) {
    std::string extension = file.extension().string();
    if (!extension.empty()) extension.erase(0, 1);
    std::transform(extension.begin(), extension.end(), extension.begin(), [](unsigned char c) {
        return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    });
    return extension;
}

bool allowed(std::string_view extension) {
    return std::find(allowedAudioExtensions.begin(), allowedAudioExtensions.end(), extension) !=
           allowedAudioExtensions.end();
}

// The size and date the publisher relies on; anything else is not a media file.
struct MediaReading {
    std::int64_t size;
    Instant modified;
};

MediaReading readMedia(const fs::path& media) {
    ItemStatus status = itemStatusProvider().status(media);
    if (!status.isRegularFile || !status.fileSize || *status.fileSize <= 0 || !status.modified) {
        throw SyncFailure::invalidData();
    }
    return {*status.fileSize, *status.modified};
}

// The manifest in place, or nothing when it is missing or unreadable for any reason.
std::optional<SharedManifest> previousManifest(const fs::path& file) {
    try {
        return SyncFormat::decode<SharedManifest>(CloudFiles::read(file, manifestLimit));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace

SharedAudio CloudPublisher::publishAudio(const fs::path& media, std::int64_t track,
                                         const fs::path& audioDirectory, std::stop_token stop) {
    const MediaReading first = readMedia(media);

    SharedAudio audio;
    audio.track = track;
    auto cached = audioCache_.find(media);
    if (cached != audioCache_.end() && cached->second.size == first.size &&
        cached->second.modified == first.modified && cached->second.audio.track == track) {
        audio.fileName = cached->second.audio.fileName;
        audio.sha256 = cached->second.audio.sha256;
        audio.bytes = cached->second.audio.bytes;
    } else {
        // The digest comes first; only then is the extension judged.
        audio.sha256 = SyncFormat::fileDigest(media, stop);
        const std::string extension = lowercaseExtension(media);
        if (!allowed(extension)) throw SyncFailure::invalidData();
        audio.fileName = audio.sha256 + "." + extension;
        audio.bytes = first.size;
    }

    const fs::path destination = SyncFormat::child(audio.fileName, audioDirectory);
    if (!fs::exists(destination)) CloudFiles::copy(media, destination, audio.sha256, first.size, stop);

    ItemStatus again = itemStatusProvider().status(media);
    if (!again.fileSize || !again.modified || *again.fileSize != first.size ||
        *again.modified != first.modified) {
        throw SyncFailure::changedSource();
    }
    audioCache_[media] = CachedAudio{first.size, first.modified, audio};
    return audio;
}

SharedManifest CloudPublisher::publish(const std::vector<ExportItem>& items, const Uuid& sourceID,
                                       bool includeAudio, const fs::path& root,
                                       std::stop_token stop) {
    std::lock_guard lock(mutex_);

    const fs::path sourceDirectory = SyncFormat::child(sourceID.text(), root);
    const fs::path recordsDirectory = SyncFormat::child("records", sourceDirectory);
    const fs::path audioDirectory = SyncFormat::child("audio", sourceDirectory);

    std::vector<const ExportItem*> ordered;
    ordered.reserve(items.size());
    for (const ExportItem& item : items) ordered.push_back(&item);
    std::stable_sort(ordered.begin(), ordered.end(), [](const ExportItem* a, const ExportItem* b) {
        return a->record.id.text() < b->record.id.text();
    });

    std::vector<SharedManifest::Entry> entries;
    entries.reserve(ordered.size());
    for (const ExportItem* item : ordered) {
        checkCancellation(stop);
        SharedRecording record = item->record;
        if (record.sourceID != sourceID) throw SyncFailure::invalidData();
        record.audio.clear();
        if (includeAudio) {
            for (std::size_t track = 0; track < item->audioURLs.size(); ++track) {
                record.audio.push_back(publishAudio(item->audioURLs[track],
                                                    static_cast<std::int64_t>(track),
                                                    audioDirectory, stop));
            }
        }
        record.validate();

        const std::string data = SyncFormat::encode(record);
        SharedManifest::Entry entry{record.id, SyncFormat::digest(data)};
        const fs::path file = SyncFormat::child(entry.fileName(), recordsDirectory);
        if (!fs::exists(file)) CloudFiles::write(data, file, stop);
        entries.push_back(std::move(entry));
    }
    checkCancellation(stop);

    SharedManifest manifest;
    manifest.sourceID = sourceID;
    manifest.includesAudio = includeAudio;
    manifest.entries = std::move(entries);
    // A manifest every reader refuses (two entries with one id) would make the
    // whole source unreadable; refuse it here and keep the previous one.
    manifest.validate();

    const fs::path manifestFile = SyncFormat::child("manifest.json", sourceDirectory);
    if (std::optional<SharedManifest> previous = previousManifest(manifestFile);
        previous && previous->sourceID == sourceID &&
        previous->schemaVersion == SyncFormat::version && previous->entries == manifest.entries &&
        previous->includesAudio == includeAudio) {
        return *previous;
    }

    // Whole seconds, so the manifest returned equals the one a reader decodes.
    manifest.publishedAt =
        std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
    CloudFiles::write(SyncFormat::encode(manifest), manifestFile, stop);
    return manifest;
}

}  // namespace quillmere::sync
