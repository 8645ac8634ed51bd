// Record and manifest decoding of untrusted bytes, validation, and the
// stability of the encoded form: decode, encode, decode again and encode
// again must give the same bytes and the same value. decode must also agree
// with the reference parser on every input.

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

template <class T>
void roundTrip(std::string_view bytes) {
    T value;
    std::optional<T> reference;
    try {
        reference = sync::fromJSON<T>(base::parseJSON(bytes));
    } catch (const base::DecodingError&) {
    }
    try {
        value = sync::SyncFormat::decode<T>(bytes);
    } catch (const base::DecodingError&) {
        fuzz::require(!reference, "decode refused what the reference parser accepts");
        return;
    }
    fuzz::require(reference && *reference == value, "decode differs from the reference parser");
    if constexpr (std::is_same_v<T, sync::SharedRecording>) {
        std::vector<sync::SharedPassage> passages;
        sync::SharedRecording visited = sync::SyncFormat::decodeRecording(
            bytes, [&](double start, double end, std::string_view text) {
                passages.push_back({.start = start, .end = end, .text = std::string(text)});
            });
        visited.passages = std::move(passages);
        fuzz::require(visited == value, "decodeRecording differs from decode");
    }
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
