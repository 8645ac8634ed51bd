// Agreement of decode, decodeRecording and the reference parser on odd documents
// is the fuzz_records target's property, checked on its seeds under ctest: trailing
// bytes, bad UTF-8, nesting past the bound, fractional dates and mistyped members are
// pinned there (both parsers would have to go wrong alike to slip through). A record past
// the kept parser's size is the hostile folder's million-passage recording.
#include "sync_core/shared_records.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

#include "base/json_text.h"
#include "sync_core/sync_failure.h"
#include "sync_core/sync_format.h"

namespace quillmere::sync {
namespace {

const std::string hashA(64, 'a');
const std::string hashB(64, 'b');
const double inf = std::numeric_limits<double>::infinity();

Uuid uuid(const char* text) { return *Uuid::parse(text); }

SharedRecording sampleRecording() {
    return {.id = uuid("6F9619FF-8B86-D011-B42D-00C04FC964FF"),
            .sourceID = uuid("0A1B2C3D-4E5F-4071-8293-A4B5C6D7E8F9"),
            .name = "晨会 / Stand-up",
            .createdAt = *parseInternetDate("2025-03-01T09:30:00Z"),
            .duration = 10,
            .sessionID = uuid("11111111-2222-4333-8444-555555555555"),
            .locale = "zh-Hans",
            .transcriptComplete = true,
            .passages = {{.start = 0, .end = 2.5, .text = "你\"好"}},
            .audio = {{.fileName = hashA + ".m4a", .sha256 = hashA, .bytes = 42, .track = 0}}};
}

// The committed sample library pins the bytes; here what it lacks: absent optionals are
// left out, an empty locale is kept, fractions of seconds dropped, no number rounded.
TEST(SharedRecordsEncoding, WhatTheSampleLibraryDoesNotShow) {
    SharedRecording r = sampleRecording();
    r.sessionID.reset();
    r.locale = "";
    r.createdAt += std::chrono::milliseconds(999);
    const std::string bytes = SyncFormat::encode(r);
    EXPECT_EQ(bytes.find("sessionID"), std::string::npos);
    EXPECT_NE(bytes.find(R"("createdAt":"2025-03-01T09:30:00Z","duration":10.0,"id")"), std::string::npos);
    EXPECT_NE(bytes.find(R"("locale":"")"), std::string::npos);
    r.locale.reset();
    r.createdAt = sampleRecording().createdAt;
    r.passages.push_back({.start = 0.1, .end = 1.0 / 3.0, .text = "precise"});
    EXPECT_EQ(SyncFormat::decode<SharedRecording>(SyncFormat::encode(r)), r);

    for (double bad : {inf, std::nan("")}) {
        r.duration = bad;
        EXPECT_THROW(SyncFormat::encode(r), base::EncodingError) << bad;
    }
}

constexpr const char* minimalRecording =
    R"({"schemaVersion":1,"id":"6f9619ff-8b86-d011-b42d-00c04fc964ff",)"
    R"("sourceID":"0A1B2C3D-4E5F-4071-8293-A4B5C6D7E8F9","name":"n","createdAt":"2025-03-01T09:30:00Z",)"
    R"("duration":5,"transcriptComplete":false,"passages":[],"audio":[]})";

std::string replaced(const std::string& from, const std::string& to) {
    std::string json = minimalRecording;
    json.replace(json.find(from), from.size(), to);
    return json;
}

std::string withMember(const std::string& member) { return replaced("{", "{" + member + ","); }

TEST(SharedRecordsDecoding, AcceptsAndRefuses) {
    const std::pair<std::string, bool> cases[] = {
        {minimalRecording, true},
        {withMember(R"("future":{"x":[1]})"), true},
        {withMember(R"("locale":null,"sessionID":null)"), true},
        // Brackets inside strings do not count towards the depth.
        {withMember("\"x\":\"" + std::string(2000, '[') + "\""), true},
        {" \n\t" + replaced(R"("name":"n")", "\"name\" :\t\"n\" ") + "\n", true},
        {replaced(R"("passages":[],)", ""), false},
        {replaced(R"("name":"n")", R"("name":null)"), false},
        {replaced(R"("transcriptComplete":false)", R"("transcriptComplete":0)"), false},
        {replaced(R"("schemaVersion":1)", R"("schemaVersion":1.5)"), false},
        {replaced(R"("schemaVersion":1)", R"("schemaVersion":9223372036854775808)"), false},
        {replaced(R"("schemaVersion":1)", R"("schemaVersion":"1")"), false},
        {replaced(R"("6f9619ff-8b86)", R"("6f9619f-8b86)"), false}, {replaced(R"("6f9619ff-8b86)", R"("6g9619ff-8b86)"), false},
        {replaced("6f9619ff-8b86-d011-b42d-00c04fc964ff", "6f9619ff8b86d011b42d00c04fc964ff0000"), false},
        {replaced(R"("audio":[])", R"("audio":{})"), false},
        {std::string(minimalRecording) + std::string(1, '\0') + "junk", false},
        {std::string("/* c */") + minimalRecording, false},
        {"[]", false},
    };
    for (const auto& [json, accepted] : cases) {
        bool decoded = true;
        try {
            SyncFormat::decode<SharedRecording>(json);
        } catch (const base::DecodingError&) {
            decoded = false;
        }
        EXPECT_EQ(decoded, accepted) << json.substr(0, 300);
    }
    auto audio = SyncFormat::decode<SharedAudio>(R"({"bytes":2.0,"fileName":"f","sha256":"s","track":-0})");
    EXPECT_EQ(std::pair(audio.bytes, audio.track), std::pair(std::int64_t{2}, std::int64_t{0}));
    EXPECT_EQ(SyncFormat::decode<SharedAudio>(R"({"bytes":9223372036854775807,"fileName":"f","sha256":"s","track":0})").bytes,
              std::numeric_limits<std::int64_t>::max());
    // A whole number written with a fraction counts down to -2^63 and stops short of 2^63.
    EXPECT_EQ(SyncFormat::decode<SharedAudio>(R"({"bytes":0,"fileName":"f","sha256":"s","track":-9223372036854775808.0})").track,
              std::numeric_limits<std::int64_t>::min());
    EXPECT_THROW(SyncFormat::decode<SharedAudio>(R"({"bytes":9223372036854775808.0,"fileName":"f","sha256":"s","track":0})"), base::DecodingError);
}

bool passes(const auto& value) {
    try {
        value.validate();
        return true;
    } catch (const SyncFailure& f) {
        EXPECT_EQ(f.kind(), SyncFailure::Kind::invalidData);
        return false;
    }
}

TEST(SharedRecordingValidate, RulesAtTheirBoundaries) {
    using Change = std::function<void(SharedRecording&)>;
    auto duration = [](double d) { return Change([=](SharedRecording& r) { r.duration = d; r.passages = {}; }); };
    auto passage = [](double s, double e) { return Change([=](SharedRecording& r) { r.passages = {{s, e, ""}}; }); };
    auto audio = [](std::vector<SharedAudio> a) { return Change([=](SharedRecording& r) { r.audio = a; }); };
    const std::string upper = "A" + hashA.substr(1), shortHash = hashA.substr(1);
    const std::pair<Change, bool> cases[] = {
        {[](SharedRecording&) {}, true},
        {[](SharedRecording& r) { r.passages = {}; r.audio = {}; }, true},
        {[](SharedRecording& r) { r.schemaVersion = 2; }, false},
        {duration(0), true}, {duration(-0.0), true}, {duration(-0.5), false},
        {duration(std::nan("")), false}, {duration(inf), false}, {duration(-inf), false},
        {passage(9.0, 11.0), true},  // end at duration + 1
        {passage(9.0, 11.000001), false}, {passage(5, 4), false}, {passage(-0.1, 1), false},
        {passage(inf, inf), false}, {passage(1, std::nan("")), false}, {passage(3, 3), true},
        {audio({{hashA + ".m4a", hashA, 1, 0}, {hashB + ".m4a", hashB, 1, 5}}), true},
        {audio({{hashA + ".m4a", hashA, 1, 2}, {hashB + ".m4a", hashB, 1, 2}}), false},
        {audio({{hashA + ".m4a", hashA, 1, -1}}), false}, {audio({{hashA + ".m4a", hashA, 0, 0}}), false},
        {audio({{upper + ".m4a", upper, 1, 0}}), false}, {audio({{shortHash + ".m4a", shortHash, 1, 0}}), false},
        {audio({{hashB + ".m4a", hashA, 1, 0}}), false}, {audio({{hashA + ".", hashA, 1, 0}}), true},
        {audio({{hashA, hashA, 1, 0}}), false}, {audio({{hashA + ".m4a/x", hashA, 1, 0}}), false},
        {audio({{hashA + ".m4a\\x", hashA, 1, 0}}), false},
        {audio({{hashA + "f.m4a", hashA + "f", 1, 0}}), false},
        {audio({{"g" + shortHash + ".m4a", "g" + shortHash, 1, 0}}), false},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SharedRecording r = sampleRecording();
        cases[i].first(r);
        EXPECT_EQ(passes(r), cases[i].second) << "case " << i;
    }
}

TEST(SharedManifestValidate, VersionDistinctIdsAndDigestRevisions) {
    const Uuid a = uuid("00000000-0000-4000-8000-000000000001"), b = uuid("00000000-0000-4000-8000-000000000002");
    using Entries = std::vector<SharedManifest::Entry>;
    const std::tuple<std::int64_t, Entries, bool> cases[] = {
        {1, {}, true}, {1, {{a, hashA}, {b, hashA}}, true}, {1, {{a, hashA}, {a, hashB}}, false},
        {1, {{a, hashA.substr(1)}}, false}, {1, {{a, "A" + hashA.substr(1)}}, false}, {0, {}, false},
    };
    for (const auto& [version, entries, valid] : cases) {
        SharedManifest m{.schemaVersion = version, .sourceID = a, .entries = entries};
        EXPECT_EQ(passes(m), valid) << version << " " << entries.size();
    }
}

}  // namespace
}  // namespace quillmere::sync
