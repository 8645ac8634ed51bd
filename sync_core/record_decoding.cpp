// SyncFormat::decode: records are parsed with simdjson, several times faster
// than the nlohmann DOM on the large transcripts every cold refresh reads.
// Whatever simdjson refuses (integers beyond 64 bits, a byte order mark,
// nesting past maxJSONDepth, malformed text) goes to parseJSON, which then
// decides, so both paths accept and refuse the same documents. The shapes
// are read by the same code on either tree (record_shapes.h).

#include <simdjson.h>

#include <memory>

#include "sync_core/record_shapes.h"
#include "sync_core/sync_format.h"

namespace quillmere::sync::SyncFormat {

namespace {

// A simdjson DOM element as the record shapes see it.
class ElementNode {
  public:
    explicit ElementNode(simdjson::dom::element value) : value_(value) {}

    bool null() const { return value_.is_null(); }
    bool object() const { return value_.is_object(); }
    bool array() const { return value_.is_array(); }
    std::optional<std::string_view> string() const {
        std::string_view text;
        if (value_.get_string().get(text) != simdjson::SUCCESS) return std::nullopt;
        return text;
    }
    std::optional<bool> boolean() const {
        bool flag = false;
        if (value_.get_bool().get(flag) != simdjson::SUCCESS) return std::nullopt;
        return flag;
    }
    // simdjson keeps integers that fit int64 signed and larger ones unsigned;
    // nlohmann keeps non-negative ones unsigned. The shapes treat both alike.
    shapes::NumberKind kind() const {
        switch (value_.type()) {
            case simdjson::dom::element_type::UINT64: return shapes::NumberKind::unsignedInteger;
            case simdjson::dom::element_type::INT64: return shapes::NumberKind::signedInteger;
            case simdjson::dom::element_type::DOUBLE: return shapes::NumberKind::floating;
            default: return shapes::NumberKind::none;
        }
    }
    std::uint64_t unsignedValue() const { return get<std::uint64_t>(); }
    std::int64_t signedValue() const { return get<std::int64_t>(); }
    double floatValue() const { return get<double>(); }
    // The last of equal keys, as nlohmann keeps it.
    std::optional<ElementNode> member(std::string_view key) const {
        std::optional<ElementNode> found;
        for (simdjson::dom::key_value_pair field : get<simdjson::dom::object>()) {
            if (field.key == key) found.emplace(field.value);
        }
        return found;
    }
    std::size_t size() const { return get<simdjson::dom::array>().size(); }
    template <class F>
    void each(F f) const {
        for (simdjson::dom::element element : get<simdjson::dom::array>()) f(ElementNode(element));
    }

  private:
    // Only called once the kind is known.
    template <class V>
    V get() const {
        V out{};
        if (value_.get(out) != simdjson::SUCCESS) throw base::DecodingError("unexpected JSON type");
        return out;
    }

    simdjson::dom::element value_;
};

// Null when the buffers cannot be had; decoding then takes parseJSON's way.
std::unique_ptr<simdjson::dom::parser> newParser(std::size_t capacity) {
    auto parser = std::make_unique<simdjson::dom::parser>(capacity);
    // Unknown keys are ignored, so nesting is bounded here as well: a deep
    // value inside an otherwise valid record must be refused as parseJSON
    // refuses it.
    if (parser->allocate(capacity, base::maxJSONDepth) != simdjson::SUCCESS) return nullptr;
    return parser;
}

// A parser keeps its buffers between documents: one per thread, since
// refresh decodes on several. A larger document gets a parser of its own, so
// one huge file does not keep its buffers allocated afterwards.
constexpr std::size_t keptParserCapacity = 4 << 20;

// read(tree) on simdjson's tree of bytes; fallback() when simdjson refuses
// them. The tree lives until read returns.
template <class Read, class Fallback>
auto decodeWith(std::string_view bytes, Read read, Fallback fallback) {
    thread_local const std::unique_ptr<simdjson::dom::parser> kept = newParser(keptParserCapacity);
    std::unique_ptr<simdjson::dom::parser> own;
    simdjson::dom::parser* parser = kept.get();
    if (bytes.size() > keptParserCapacity) parser = (own = newParser(bytes.size())).get();

    simdjson::dom::element root;
    if (parser && parser->parse(bytes.data(), bytes.size()).get(root) == simdjson::SUCCESS)
        return read(ElementNode(root));
    return fallback();
}

template <class T>
T decodeDocument(std::string_view bytes) {
    return decodeWith(
        bytes, [](const ElementNode& root) { return shapes::read<T>(root); },
        [&] { return fromJSON<T>(base::parseJSON(bytes)); });
}

}  // namespace

template <>
SharedPassage decode<SharedPassage>(std::string_view bytes) {
    return decodeDocument<SharedPassage>(bytes);
}

template <>
SharedAudio decode<SharedAudio>(std::string_view bytes) {
    return decodeDocument<SharedAudio>(bytes);
}

template <>
SharedRecording decode<SharedRecording>(std::string_view bytes) {
    return decodeDocument<SharedRecording>(bytes);
}

template <>
SharedManifest::Entry decode<SharedManifest::Entry>(std::string_view bytes) {
    return decodeDocument<SharedManifest::Entry>(bytes);
}

template <>
SharedManifest decode<SharedManifest>(std::string_view bytes) {
    return decodeDocument<SharedManifest>(bytes);
}

SharedRecording decodeRecording(std::string_view bytes, const PassageVisitor& visit) {
    return decodeWith(
        bytes,
        [&](const ElementNode& root) {
            return shapes::readRecordingWith(root, [&](const ElementNode& list, SharedRecording&) {
                shapes::visitPassages(list, visit);
            });
        },
        [&] {
            SharedRecording record = fromJSON<SharedRecording>(base::parseJSON(bytes));
            for (const SharedPassage& p : record.passages) visit(p.start, p.end, p.text);
            record.passages.clear();
            return record;
        });
}

}  // namespace quillmere::sync::SyncFormat
