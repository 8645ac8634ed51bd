// Record and manifest decoding of untrusted bytes, validation, and the
// stability of the encoded form: decode, encode, decode again and encode
// again must give the same bytes and the same value. decode and
// decodeRecording must agree with the reference parser on every input: the
// same value (signs of zero included), or a DecodingError with the same message.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "base/json_text.h"
#include "sync_core/shared_records.h"
#include "sync_core/sync_failure.h"
#include "sync_core/sync_format.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using namespace quillmere;

// The decoded value, or the DecodingError's message.
template <class T>
struct Outcome {
    std::optional<T> value;
    std::string error;
};

template <class T, class Decode>
Outcome<T> attempt(Decode decode) {
    try {
        return {decode(), ""};
    } catch (const base::DecodingError& e) {
        return {std::nullopt, e.what()};
    }
}

template <class T>
void requireSame(const Outcome<T>& got, const Outcome<T>& reference, std::string_view what) {
    fuzz::require(got.value.has_value() == reference.value.has_value(), what);
    fuzz::require(got.error == reference.error, what);
    if (!got.value) return;
    fuzz::require(*got.value == *reference.value, what);
    if constexpr (std::is_same_v<T, sync::SharedRecording>) {
        fuzz::require(std::signbit(got.value->duration) == std::signbit(reference.value->duration), what);
    }
}

template <class T>
void roundTrip(std::string_view bytes) {
    const auto reference = attempt<T>([&] { return sync::fromJSON<T>(base::parseJSON(bytes)); });
    const auto decoded = attempt<T>([&] { return sync::SyncFormat::decode<T>(bytes); });
    requireSame(decoded, reference, "decode differs from the reference parser");
    if constexpr (std::is_same_v<T, sync::SharedRecording>) {
        const auto visited = attempt<T>([&] {
            std::vector<sync::SharedPassage> passages;
            sync::SharedRecording r = sync::SyncFormat::decodeRecording(
                bytes, [&](double start, double end, std::string_view text) {
                    passages.push_back({.start = start, .end = end, .text = std::string(text)});
                });
            fuzz::require(r.passages.empty(), "decodeRecording kept the passages it visited");
            r.passages = std::move(passages);
            return r;
        });
        requireSame(visited, reference, "decodeRecording differs from the reference parser");
    }
    if (!decoded.value) return;
    const T& value = *decoded.value;
    bool valid = true;
    try {
        value.validate();
    } catch (const sync::SyncFailure& failure) {
        fuzz::require(failure.kind() == sync::SyncFailure::Kind::invalidData,
                      "validate threw another kind than invalidData");
        valid = false;
    }
    std::string first;
    try {
        first = sync::SyncFormat::encode(value);
    } catch (const base::EncodingError&) {
        // Only a value that fails validation may lack a JSON form.
        fuzz::require(!valid, "a valid decoded value has no JSON form");
        return;
    }
    T again;
    try {
        again = sync::SyncFormat::decode<T>(first);
    } catch (const base::DecodingError&) {
        fuzz::fail("the encoded form of a decoded value does not decode");
    }
    fuzz::require(sync::SyncFormat::encode(again) == first, "encoding is not stable");
    // Dates keep whole seconds only, so equality is checked on the re-decoded value.
    fuzz::require(sync::SyncFormat::decode<T>(sync::SyncFormat::encode(again)) == again,
                  "decoding the stable form changes the value");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    roundTrip<sync::SharedRecording>(bytes);
    roundTrip<sync::SharedManifest>(bytes);
    return 0;
}
