#include "shared_records.h"

#include <cmath>
#include <nlohmann/json.hpp>
#include <set>

#include "base/json_text.h"
#include "record_shapes.h"
#include "sync_failure.h"
#include "sync_format.h"

namespace quillmere::sync {

using nlohmann::json;

namespace {

// ---- encoding helpers ----

json finite(double value) {
    if (!std::isfinite(value)) throw base::EncodingError("non-finite number has no JSON form");
    return value;
}

// The nlohmann tree as the record shapes see it.
class TreeNode {
  public:
    explicit TreeNode(const json& value) : value_(&value) {}

    bool null() const { return value_->is_null(); }
    bool object() const { return value_->is_object(); }
    bool array() const { return value_->is_array(); }
    std::optional<std::string_view> string() const {
        if (!value_->is_string()) return std::nullopt;
        return std::string_view(value_->get_ref<const std::string&>());
    }
    std::optional<bool> boolean() const {
        if (!value_->is_boolean()) return std::nullopt;
        return value_->get<bool>();
    }
    shapes::NumberKind kind() const {
        if (value_->is_number_unsigned()) return shapes::NumberKind::unsignedInteger;
        if (value_->is_number_integer()) return shapes::NumberKind::signedInteger;
        if (value_->is_number_float()) return shapes::NumberKind::floating;
        return shapes::NumberKind::none;
    }
    std::uint64_t unsignedValue() const { return value_->get<std::uint64_t>(); }
    std::int64_t signedValue() const { return value_->get<std::int64_t>(); }
    double floatValue() const { return value_->get<double>(); }
    std::optional<TreeNode> member(std::string_view key) const {
        auto it = value_->find(key);
        if (it == value_->end()) return std::nullopt;
        return TreeNode(*it);
    }
    std::size_t size() const { return value_->size(); }
    template <class F>
    void each(F f) const {
        for (const json& element : *value_) f(TreeNode(element));
    }

  private:
    const json* value_;
};

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
    for (const auto& p : passages) require(validPassageTimes(p.start, p.end, duration));
    std::set<std::int64_t> tracks;
    for (const auto& a : audio) tracks.insert(a.track);
    require(tracks.size() == audio.size());
    for (const auto& a : audio) {
        require(a.track >= 0 && a.bytes >= 1 && SyncFormat::validHash(a.sha256));
        require(a.fileName.starts_with(a.sha256 + "."));
        require(a.fileName.find('/') == std::string::npos && a.fileName.find('\\') == std::string::npos);
    }
}

bool SharedRecording::validPassageTimes(double start, double end, double duration) {
    return std::isfinite(start) && std::isfinite(end) && start >= 0 && end >= start &&
           end <= duration + 1.0;
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
    return shapes::read<SharedPassage>(TreeNode(j));
}

template <>
SharedAudio fromJSON<SharedAudio>(const json& j) {
    return shapes::read<SharedAudio>(TreeNode(j));
}

template <>
SharedRecording fromJSON<SharedRecording>(const json& j) {
    return shapes::read<SharedRecording>(TreeNode(j));
}

template <>
SharedManifest::Entry fromJSON<SharedManifest::Entry>(const json& j) {
    return shapes::read<SharedManifest::Entry>(TreeNode(j));
}

template <>
SharedManifest fromJSON<SharedManifest>(const json& j) {
    return shapes::read<SharedManifest>(TreeNode(j));
}

}  // namespace quillmere::sync
