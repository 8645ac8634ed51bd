#pragma once

// The JSON shapes of the records, written once over any parsed JSON tree, so
// that every parser the records are read with applies the same rules. A tree
// is seen through a Node with:
//   bool null(), object(), array()
//   std::optional<std::string_view> string()      (only while the tree lives)
//   std::optional<bool> boolean()
//   NumberKind kind(); std::uint64_t unsignedValue(); std::int64_t signedValue();
//   double floatValue()                          (each only for its kind)
//   std::optional<Node> member(std::string_view key)   (the last of equal keys)
//   std::size_t size(); template <class F> void each(F) (arrays only)
// Internal to sync_core.

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "sync_core/date_time.h"
#include "base/json_text.h"
#include "sync_core/shared_records.h"
#include "base/uuid.h"

namespace quillmere::sync::shapes {

enum class NumberKind { none, unsignedInteger, signedInteger, floating };

// Each failure names the key so a developer can find the fault.
[[noreturn]] inline void wrongType(const char* key, const char* expected) {
    throw base::DecodingError(std::string("\"") + key + "\" must be " + expected);
}

template <class Node>
Node member(const Node& object, const char* key) {
    std::optional<Node> value = object.member(key);
    if (!value || value->null()) {
        throw base::DecodingError(std::string("missing required key \"") + key + "\"");
    }
    return *value;
}

template <class Node>
std::optional<Node> optionalMember(const Node& object, const char* key) {
    std::optional<Node> value = object.member(key);
    if (value && value->null()) return std::nullopt;
    return value;
}

template <class Node>
const Node& objectValue(const Node& value) {
    if (!value.object()) throw base::DecodingError("expected a JSON object");
    return value;
}

template <class Node>
std::string stringValue(const Node& value, const char* key) {
    std::optional<std::string_view> text = value.string();
    if (!text) wrongType(key, "a string");
    return std::string(*text);
}

template <class Node>
bool boolValue(const Node& value, const char* key) {
    std::optional<bool> flag = value.boolean();
    if (!flag) wrongType(key, "a boolean");
    return *flag;
}

template <class Node>
double doubleValue(const Node& value, const char* key) {
    switch (value.kind()) {
        case NumberKind::unsignedInteger: return static_cast<double>(value.unsignedValue());
        case NumberKind::signedInteger: return static_cast<double>(value.signedValue());
        case NumberKind::floating: return value.floatValue();
        case NumberKind::none: break;
    }
    wrongType(key, "a number");
}

// An integral JSON number within the signed 64-bit range; 3.0 counts as 3.
template <class Node>
std::int64_t intValue(const Node& value, const char* key) {
    switch (value.kind()) {
        case NumberKind::unsignedInteger:
            if (value.unsignedValue() <=
                static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                return static_cast<std::int64_t>(value.unsignedValue());
            }
            break;
        case NumberKind::signedInteger: return value.signedValue();
        case NumberKind::floating: {
            const double d = value.floatValue();
            // 2^63 itself is out of range; -2^63 is not.
            if (std::trunc(d) == d && d >= -9223372036854775808.0 && d < 9223372036854775808.0) {
                return static_cast<std::int64_t>(d);
            }
            break;
        }
        case NumberKind::none: break;
    }
    wrongType(key, "a signed 64-bit integer");
}

template <class Node>
Uuid uuidValue(const Node& value, const char* key) {
    if (std::optional<std::string_view> text = value.string()) {
        if (auto id = Uuid::parse(*text)) return *id;
    }
    wrongType(key, "a UUID string");
}

template <class Node>
Instant dateValue(const Node& value, const char* key) {
    if (std::optional<std::string_view> text = value.string()) {
        if (auto instant = parseInternetDate(*text)) return *instant;
    }
    wrongType(key, "an internet date-time string with whole seconds");
}

template <class T, class Node>
T read(const Node& json);

template <class T, class Node>
std::vector<T> listValue(const Node& value, const char* key) {
    if (!value.array()) wrongType(key, "an array");
    std::vector<T> list;
    list.reserve(value.size());
    value.each([&](const Node& element) { list.push_back(read<T>(element)); });
    return list;
}

template <class Node>
SharedPassage readPassage(const Node& j) {
    const Node& o = objectValue(j);
    return {.start = doubleValue(member(o, "start"), "start"),
            .end = doubleValue(member(o, "end"), "end"),
            .text = stringValue(member(o, "text"), "text")};
}

template <class Node>
SharedAudio readAudio(const Node& j) {
    const Node& o = objectValue(j);
    return {.fileName = stringValue(member(o, "fileName"), "fileName"),
            .sha256 = stringValue(member(o, "sha256"), "sha256"),
            .bytes = intValue(member(o, "bytes"), "bytes"),
            .track = intValue(member(o, "track"), "track")};
}

// A recording with its passages handed to passages(list, recording), which
// reads them in place.
template <class Node, class Passages>
SharedRecording readRecordingWith(const Node& j, Passages passages) {
    const Node& o = objectValue(j);
    SharedRecording r;
    r.schemaVersion = intValue(member(o, "schemaVersion"), "schemaVersion");
    r.id = uuidValue(member(o, "id"), "id");
    r.sourceID = uuidValue(member(o, "sourceID"), "sourceID");
    r.name = stringValue(member(o, "name"), "name");
    r.createdAt = dateValue(member(o, "createdAt"), "createdAt");
    r.duration = doubleValue(member(o, "duration"), "duration");
    if (auto s = optionalMember(o, "sessionID")) r.sessionID = uuidValue(*s, "sessionID");
    if (auto l = optionalMember(o, "locale")) r.locale = stringValue(*l, "locale");
    r.transcriptComplete = boolValue(member(o, "transcriptComplete"), "transcriptComplete");
    passages(member(o, "passages"), r);
    r.audio = listValue<SharedAudio>(member(o, "audio"), "audio");
    return r;
}

template <class Node>
SharedRecording readRecording(const Node& j) {
    return readRecordingWith(j, [](const Node& list, SharedRecording& r) {
        r.passages = listValue<SharedPassage>(list, "passages");
    });
}

// The passages of list, each handed to visit(start, end, text) in order
// under the same rules as readPassage; text lives as long as the tree.
template <class Node, class Visit>
void visitPassages(const Node& list, Visit visit) {
    if (!list.array()) wrongType("passages", "an array");
    list.each([&](const Node& element) {
        const Node& o = objectValue(element);
        const double start = doubleValue(member(o, "start"), "start");
        const double end = doubleValue(member(o, "end"), "end");
        const std::optional<std::string_view> text = member(o, "text").string();
        if (!text) wrongType("text", "a string");
        visit(start, end, *text);
    });
}

template <class Node>
SharedManifest::Entry readEntry(const Node& j) {
    const Node& o = objectValue(j);
    return {.id = uuidValue(member(o, "id"), "id"),
            .revision = stringValue(member(o, "revision"), "revision")};
}

template <class Node>
SharedManifest readManifest(const Node& j) {
    const Node& o = objectValue(j);
    SharedManifest m;
    m.schemaVersion = intValue(member(o, "schemaVersion"), "schemaVersion");
    m.sourceID = uuidValue(member(o, "sourceID"), "sourceID");
    m.publishedAt = dateValue(member(o, "publishedAt"), "publishedAt");
    m.includesAudio = boolValue(member(o, "includesAudio"), "includesAudio");
    m.entries = listValue<SharedManifest::Entry>(member(o, "entries"), "entries");
    return m;
}

template <class T, class Node>
T read(const Node& json) {
    if constexpr (std::is_same_v<T, SharedPassage>) return readPassage(json);
    else if constexpr (std::is_same_v<T, SharedAudio>) return readAudio(json);
    else if constexpr (std::is_same_v<T, SharedRecording>) return readRecording(json);
    else if constexpr (std::is_same_v<T, SharedManifest::Entry>) return readEntry(json);
    else if constexpr (std::is_same_v<T, SharedManifest>) return readManifest(json);
    else static_assert(sizeof(T) == 0, "not a record type");
}

}  // namespace quillmere::sync::shapes
