#include "shared_records.h"

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <set>

#include "json_text.h"
#include "sync_failure.h"
#include "sync_format.h"

namespace quillmere::sync {

using nlohmann::json;

namespace {

// ---- encoding helpers ----

json finite(double value) {
    if (!std::isfinite(value)) throw EncodingError("non-finite number has no JSON form");
    return value;
}

// ---- decoding helpers: each names the key so a developer can find the fault ----

const json& member(const json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) {
        throw DecodingError(std::string("missing required key \"") + key + "\"");
    }
    return *it;
}

const json* optionalMember(const json& object, const char* key) {
    auto it = object.find(key);
    return it == object.end() || it->is_null() ? nullptr : &*it;
}

[[noreturn]] void wrongType(const char* key, const char* expected) {
    throw DecodingError(std::string("\"") + key + "\" must be " + expected);
}

const json& objectValue(const json& value) {
    if (!value.is_object()) throw DecodingError("expected a JSON object");
    return value;
}

std::string stringValue(const json& value, const char* key) {
    if (!value.is_string()) wrongType(key, "a string");
    return value.get<std::string>();
}

bool boolValue(const json& value, const char* key) {
    if (!value.is_boolean()) wrongType(key, "a boolean");
    return value.get<bool>();
}

double doubleValue(const json& value, const char* key) {
    if (!value.is_number()) wrongType(key, "a number");
    return value.get<double>();
}

// An integral JSON number within the signed 64-bit range; 3.0 counts as 3.
std::int64_t intValue(const json& value, const char* key) {
    if (value.is_number_unsigned()) {
        auto v = value.get<std::uint64_t>();
        if (v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            wrongType(key, "a signed 64-bit integer");
        }
        return static_cast<std::int64_t>(v);
    }
    if (value.is_number_integer()) return value.get<std::int64_t>();
    if (value.is_number_float()) {
        double d = value.get<double>();
        // 2^63 itself is out of range; -2^63 is not.
        if (std::trunc(d) == d && d >= -9223372036854775808.0 && d < 9223372036854775808.0) {
            return static_cast<std::int64_t>(d);
        }
    }
    wrongType(key, "a signed 64-bit integer");
}

Uuid uuidValue(const json& value, const char* key) {
    if (value.is_string()) {
        if (auto id = Uuid::parse(value.get_ref<const std::string&>())) return *id;
    }
    wrongType(key, "a UUID string");
}

Instant dateValue(const json& value, const char* key) {
    if (value.is_string()) {
        if (auto instant = parseInternetDate(value.get_ref<const std::string&>())) return *instant;
    }
    wrongType(key, "an internet date-time string with whole seconds");
}

template <class T>
std::vector<T> listValue(const json& value, const char* key) {
    if (!value.is_array()) wrongType(key, "an array");
    std::vector<T> list;
    list.reserve(value.size());
    for (const auto& element : value) list.push_back(fromJSON<T>(element));
    return list;
}

template <class T>
json listJSON(const std::vector<T>& list) {
    json array = json::array();
    for (const auto& element : list) array.push_back(toJSON(element));
    return array;
}

void require(bool condition) {
    if (!condition) throw SyncFailure::invalidData();
}

}  // namespace

// ---- validation ----

void SharedRecording::validate() const {
    require(schemaVersion == SyncFormat::version);
    require(std::isfinite(duration) && duration >= 0);
    for (const auto& p : passages) {
        require(std::isfinite(p.start) && std::isfinite(p.end));
        require(p.start >= 0 && p.end >= p.start && p.end <= duration + 1.0);
    }
    std::set<std::int64_t> tracks;
    for (const auto& a : audio) tracks.insert(a.track);
    require(tracks.size() == audio.size());
    for (const auto& a : audio) {
        require(a.track >= 0 && a.bytes >= 1 && SyncFormat::validHash(a.sha256));
        require(a.fileName.starts_with(a.sha256 + "."));
        require(a.fileName.find('/') == std::string::npos && a.fileName.find('\\') == std::string::npos);
    }
}

void SharedManifest::validate() const {
    require(schemaVersion == SyncFormat::version);
    std::set<Uuid> ids;
    for (const auto& e : entries) ids.insert(e.id);
    require(ids.size() == entries.size());
    for (const auto& e : entries) require(SyncFormat::validHash(e.revision));
}

std::string SharedManifest::Entry::fileName() const { return id.text() + "-" + revision + ".json"; }

// ---- JSON forms ----

json toJSON(const SharedPassage& v) {
    return {{"start", finite(v.start)}, {"end", finite(v.end)}, {"text", v.text}};
}

json toJSON(const SharedAudio& v) {
    return {{"fileName", v.fileName}, {"sha256", v.sha256}, {"bytes", v.bytes}, {"track", v.track}};
}

json toJSON(const SharedRecording& v) {
    json j = {{"schemaVersion", v.schemaVersion},
              {"id", v.id.text()},
              {"sourceID", v.sourceID.text()},
              {"name", v.name},
              {"createdAt", formatInternetDate(v.createdAt)},
              {"duration", finite(v.duration)},
              {"transcriptComplete", v.transcriptComplete},
              {"passages", listJSON(v.passages)},
              {"audio", listJSON(v.audio)}};
    if (v.sessionID) j["sessionID"] = v.sessionID->text();
    if (v.locale) j["locale"] = *v.locale;
    return j;
}

json toJSON(const SharedManifest::Entry& v) { return {{"id", v.id.text()}, {"revision", v.revision}}; }

json toJSON(const SharedManifest& v) {
    return {{"schemaVersion", v.schemaVersion},
            {"sourceID", v.sourceID.text()},
            {"publishedAt", formatInternetDate(v.publishedAt)},
            {"includesAudio", v.includesAudio},
            {"entries", listJSON(v.entries)}};
}

template <>
SharedPassage fromJSON<SharedPassage>(const json& j) {
    const json& o = objectValue(j);
    return {.start = doubleValue(member(o, "start"), "start"),
            .end = doubleValue(member(o, "end"), "end"),
            .text = stringValue(member(o, "text"), "text")};
}

template <>
SharedAudio fromJSON<SharedAudio>(const json& j) {
    const json& o = objectValue(j);
    return {.fileName = stringValue(member(o, "fileName"), "fileName"),
            .sha256 = stringValue(member(o, "sha256"), "sha256"),
            .bytes = intValue(member(o, "bytes"), "bytes"),
            .track = intValue(member(o, "track"), "track")};
}

template <>
SharedRecording fromJSON<SharedRecording>(const json& j) {
    const json& o = objectValue(j);
    SharedRecording r;
    r.schemaVersion = intValue(member(o, "schemaVersion"), "schemaVersion");
    r.id = uuidValue(member(o, "id"), "id");
    r.sourceID = uuidValue(member(o, "sourceID"), "sourceID");
    r.name = stringValue(member(o, "name"), "name");
    r.createdAt = dateValue(member(o, "createdAt"), "createdAt");
    r.duration = doubleValue(member(o, "duration"), "duration");
    if (const json* s = optionalMember(o, "sessionID")) r.sessionID = uuidValue(*s, "sessionID");
    if (const json* l = optionalMember(o, "locale")) r.locale = stringValue(*l, "locale");
    r.transcriptComplete = boolValue(member(o, "transcriptComplete"), "transcriptComplete");
    r.passages = listValue<SharedPassage>(member(o, "passages"), "passages");
    r.audio = listValue<SharedAudio>(member(o, "audio"), "audio");
    return r;
}

template <>
SharedManifest::Entry fromJSON<SharedManifest::Entry>(const json& j) {
    const json& o = objectValue(j);
    return {.id = uuidValue(member(o, "id"), "id"),
            .revision = stringValue(member(o, "revision"), "revision")};
}

template <>
SharedManifest fromJSON<SharedManifest>(const json& j) {
    const json& o = objectValue(j);
    SharedManifest m;
    m.schemaVersion = intValue(member(o, "schemaVersion"), "schemaVersion");
    m.sourceID = uuidValue(member(o, "sourceID"), "sourceID");
    m.publishedAt = dateValue(member(o, "publishedAt"), "publishedAt");
    m.includesAudio = boolValue(member(o, "includesAudio"), "includesAudio");
    m.entries = listValue<SharedManifest::Entry>(member(o, "entries"), "entries");
    return m;
}

}  // namespace quillmere::sync
