#pragma once

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <vector>

#include "date_time.h"
#include "base/uuid.h"

namespace quillmere::sync {

// Sources and recordings are named by the identifier type both sides share.
using base::Uuid;

// The records of the shared folder. Layout below the folder, per source S:
//   S/manifest.json           SharedManifest
//   S/records/R-V.json        SharedRecording R at revision V (SHA-256 of the file's bytes)
//   S/audio/H.E               an audio track with digest H and lower-case extension E
// Fields are declared in the order of their constructors, so designated
// initialisers read as the records' definitions.

// One timed span of transcript text, seconds from the start of the recording.
struct SharedPassage {
    double start = 0;
    double end = 0;
    std::string text;

    friend bool operator==(const SharedPassage&, const SharedPassage&) = default;
};

// A reference to one shared audio track: audio/<fileName>, <fileName> being
// "<sha256>.<extension>".
struct SharedAudio {
    std::string fileName;
    std::string sha256;
    std::int64_t bytes = 0;
    std::int64_t track = 0;

    friend bool operator==(const SharedAudio&, const SharedAudio&) = default;
};

// One revision of one recording as published.
struct SharedRecording {
    std::int64_t schemaVersion = 1;
    Uuid id;
    Uuid sourceID;
    std::string name;
    Instant createdAt;
    double duration = 0;
    std::optional<Uuid> sessionID;
    std::optional<std::string> locale;
    bool transcriptComplete = false;
    std::vector<SharedPassage> passages;
    std::vector<SharedAudio> audio;

    // Throws SyncFailure::invalidData at the first broken rule: version 1, a
    // finite non-negative duration, passages within [0, duration + 1] with
    // start <= end, distinct tracks, and each audio entry well formed.
    void validate() const;
    // The rule validate() applies to each passage: finite times with
    // 0 <= start <= end <= duration + 1.
    static bool validPassageTimes(double start, double end, double duration);

    friend bool operator==(const SharedRecording&, const SharedRecording&) = default;
};

// The list of a source's current recordings.
struct SharedManifest {
    struct Entry {
        Uuid id;
        std::string revision;

        // "<ID>-<revision>.json", always 106 characters for a valid entry.
        std::string fileName() const;

        friend bool operator==(const Entry&, const Entry&) = default;
    };

    std::int64_t schemaVersion = 1;
    Uuid sourceID;
    Instant publishedAt;
    bool includesAudio = false;
    std::vector<Entry> entries;

    // Throws SyncFailure::invalidData: version 1, distinct ids, revisions that
    // are digest text.
    void validate() const;

    friend bool operator==(const SharedManifest&, const SharedManifest&) = default;
};

// JSON forms. toJSON throws EncodingError for values without one (a
// non-finite number); fromJSON throws DecodingError for a missing required
// key, a value of the wrong type, a malformed UUID or date. Unknown keys are
// ignored; an optional key may be absent or null.
nlohmann::json toJSON(const SharedPassage& value);
nlohmann::json toJSON(const SharedAudio& value);
nlohmann::json toJSON(const SharedRecording& value);
nlohmann::json toJSON(const SharedManifest::Entry& value);
nlohmann::json toJSON(const SharedManifest& value);

template <class T>
T fromJSON(const nlohmann::json& json);
template <>
SharedPassage fromJSON<SharedPassage>(const nlohmann::json& json);
template <>
SharedAudio fromJSON<SharedAudio>(const nlohmann::json& json);
template <>
SharedRecording fromJSON<SharedRecording>(const nlohmann::json& json);
template <>
SharedManifest::Entry fromJSON<SharedManifest::Entry>(const nlohmann::json& json);
template <>
SharedManifest fromJSON<SharedManifest>(const nlohmann::json& json);

}  // namespace quillmere::sync
