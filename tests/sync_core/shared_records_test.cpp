#include "sync_core/shared_records.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <type_traits>

#include "base/json_text.h"
#include "sync_core/sync_failure.h"
#include "sync_core/sync_format.h"

namespace quillmere::sync {
namespace {

const std::string hashA(64, 'a');
const std::string hashB(64, 'b');

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
            .passages = {{.start = 0, .end = 2.5, .text = "你好"}},
            .audio = {{.fileName = hashA + ".m4a", .sha256 = hashA, .bytes = 42, .track = 0}}};
}

TEST(SharedRecordsEncoding, GoldenBytesOfEachRecord) {
    EXPECT_EQ(SyncFormat::encode(SharedPassage{.start = 1, .end = 2.5, .text = "a\"b"}),
              R"({"end":2.5,"start":1.0,"text":"a\"b"})");
    EXPECT_EQ(SyncFormat::encode(SharedAudio{.fileName = hashA + ".wav", .sha256 = hashA, .bytes = 7, .track = 3}),
              R"({"bytes":7,"fileName":")" + hashA + R"(.wav","sha256":")" + hashA + R"(","track":3})");
    EXPECT_EQ(SyncFormat::encode(sampleRecording()),
              R"({"audio":[{"bytes":42,"fileName":")" + hashA + R"(.m4a","sha256":")" + hashA +
                  R"(","track":0}],"createdAt":"2025-03-01T09:30:00Z","duration":10.0,)"
                  R"("id":"6F9619FF-8B86-D011-B42D-00C04FC964FF","locale":"zh-Hans","name":"晨会 / Stand-up",)"
                  R"("passages":[{"end":2.5,"start":0.0,"text":"你好"}],"schemaVersion":1,)"
                  R"("sessionID":"11111111-2222-4333-8444-555555555555",)"
                  R"("sourceID":"0A1B2C3D-4E5F-4071-8293-A4B5C6D7E8F9","transcriptComplete":true})");
    SharedManifest manifest{.sourceID = uuid("0A1B2C3D-4E5F-4071-8293-A4B5C6D7E8F9"),
                            .publishedAt = *parseInternetDate("2025-03-01T09:30:00Z"),
                            .includesAudio = false,
                            .entries = {{.id = uuid("6f9619ff-8b86-d011-b42d-00c04fc964ff"), .revision = hashB}}};
    EXPECT_EQ(SyncFormat::encode(manifest),
              R"({"entries":[{"id":"6F9619FF-8B86-D011-B42D-00C04FC964FF","revision":")" + hashB +
                  R"("}],"includesAudio":false,"publishedAt":"2025-03-01T09:30:00Z","schemaVersion":1,)"
                  R"("sourceID":"0A1B2C3D-4E5F-4071-8293-A4B5C6D7E8F9"})");
}

TEST(SharedRecordsEncoding, EmptyOptionalsAreLeftOutAndFractionsDropped) {
    SharedRecording r = sampleRecording();
    r.sessionID.reset();
    r.locale.reset();
    r.createdAt += std::chrono::milliseconds(999);
    std::string bytes = SyncFormat::encode(r);
    EXPECT_EQ(bytes.find("sessionID"), std::string::npos);
    EXPECT_EQ(bytes.find("locale"), std::string::npos);
    EXPECT_NE(bytes.find(R"("createdAt":"2025-03-01T09:30:00Z")"), std::string::npos);
    // An empty locale is a value, not an absence.
    r.locale = "";
    EXPECT_NE(SyncFormat::encode(r).find(R"("locale":"")"), std::string::npos);
}

TEST(SharedRecordsEncoding, SameRecordGivesSameBytesAndRoundTrips) {
    SharedRecording r = sampleRecording();
    EXPECT_EQ(SyncFormat::encode(r), SyncFormat::encode(r));
    EXPECT_EQ(SyncFormat::decode<SharedRecording>(SyncFormat::encode(r)), r);
    r.passages.push_back({.start = 0.1, .end = 1.0 / 3.0, .text = "precise"});
    EXPECT_EQ(SyncFormat::decode<SharedRecording>(SyncFormat::encode(r)), r);
}

TEST(SharedRecordsEncoding, NonFiniteNumbersAreEncodingErrors) {
    SharedRecording r = sampleRecording();
    r.duration = std::numeric_limits<double>::infinity();
    EXPECT_THROW(SyncFormat::encode(r), base::EncodingError);
    r = sampleRecording();
    r.passages[0].end = std::nan("");
    EXPECT_THROW(SyncFormat::encode(r), base::EncodingError);
}

constexpr const char* minimalRecording =
    R"({"schemaVersion":1,"id":"6f9619ff-8b86-d011-b42d-00c04fc964ff",)"
    R"("sourceID":"0A1B2C3D-4E5F-4071-8293-A4B5C6D7E8F9","name":"n","createdAt":"2025-03-01T09:30:00Z",)"
    R"("duration":5,"transcriptComplete":false,"passages":[],"audio":[]})";

std::string withMember(std::string json, const std::string& member) {
    json.insert(1, member + ",");
    return json;
}

TEST(SharedRecordsDecoding, AcceptsAnyOrderUnknownKeysNullOptionalsAndLowerCaseIds) {
    auto r = SyncFormat::decode<SharedRecording>(withMember(minimalRecording, R"("future":{"x":[1]})"));
    EXPECT_EQ(r.id.text(), "6F9619FF-8B86-D011-B42D-00C04FC964FF");
    EXPECT_FALSE(r.locale.has_value());
    EXPECT_FALSE(r.sessionID.has_value());
    EXPECT_EQ(r.duration, 5.0);

    auto nulls = SyncFormat::decode<SharedRecording>(withMember(minimalRecording, R"("locale":null,"sessionID":null)"));
    EXPECT_FALSE(nulls.locale.has_value());
    EXPECT_FALSE(nulls.sessionID.has_value());

    auto spaced = SyncFormat::decode<SharedManifest>(
        " {\n\t\"sourceID\" : \"0A1B2C3D-4E5F-4071-8293-A4B5C6D7E8F9\", \"entries\" : [ ],\n"
        "  \"includesAudio\" : true, \"publishedAt\" : \"2025-03-01T17:30:00+08:00\", \"schemaVersion\" : 1 }\n");
    EXPECT_TRUE(spaced.includesAudio);
    EXPECT_EQ(formatInternetDate(spaced.publishedAt), "2025-03-01T09:30:00Z");
}

TEST(SharedRecordsDecoding, RefusesMissingKeysWrongTypesAndBadForms) {
    struct Case {
        const char* what;
        std::string json;
    };
    auto replaced = [](std::string from, const std::string& to) {
        std::string json = minimalRecording;
        json.replace(json.find(from), from.size(), to);
        return json;
    };
    const Case cases[] = {
        {"missing passages", replaced(R"("passages":[],)", "")},
        {"null required key", replaced(R"("name":"n")", R"("name":null)")},
        {"boolean as number", replaced(R"("duration":5)", R"("duration":true)")},
        {"number as boolean", replaced(R"("transcriptComplete":false)", R"("transcriptComplete":0)")},
        {"fractional integer", replaced(R"("schemaVersion":1)", R"("schemaVersion":1.5)")},
        {"integer beyond 64 bits", replaced(R"("schemaVersion":1)", R"("schemaVersion":9223372036854775808)")},
        {"string as integer", replaced(R"("schemaVersion":1)", R"("schemaVersion":"1")")},
        {"short uuid", replaced(R"("6f9619ff-8b86)", R"("6f9619f-8b86)")},
        {"uuid without dashes", replaced(R"(6f9619ff-8b86-d011-b42d-00c04fc964ff)", "6f9619ff8b86d011b42d00c04fc964ff0000")},
        {"fractional seconds", replaced("09:30:00Z", "09:30:00.250Z")},
        {"no zone designator", replaced("09:30:00Z", "09:30:00")},
        {"passage without text", replaced(R"("passages":[])", R"("passages":[{"start":0,"end":1}])")},
        {"audio not an array", replaced(R"("audio":[])", R"("audio":{})")},
        {"trailing bytes", std::string(minimalRecording) + "x"},
        {"NUL then anything", std::string(minimalRecording) + std::string(1, '\0') + "junk"},
        {"comment", std::string("/* c */") + minimalRecording},
        {"not an object", "[]"},
        {"invalid utf-8", replaced(R"("name":"n")", "\"name\":\"\xff\"")},
    };
    for (const auto& c : cases) {
        EXPECT_THROW(SyncFormat::decode<SharedRecording>(c.json), base::DecodingError) << c.what;
    }
}

TEST(SharedRecordsDecoding, IntegralNumbersAreAcceptedInAnyForm) {
    auto audio = SyncFormat::decode<SharedAudio>(R"({"bytes":2.0,"fileName":"f","sha256":"s","track":-0})");
    EXPECT_EQ(audio.bytes, 2);
    EXPECT_EQ(audio.track, 0);
    auto big = SyncFormat::decode<SharedAudio>(R"({"bytes":9223372036854775807,"fileName":"f","sha256":"s","track":0})");
    EXPECT_EQ(big.bytes, std::numeric_limits<std::int64_t>::max());
}

TEST(SharedRecordsDecoding, DeepNestingFailsInsteadOfExhaustingTheStack) {
    std::string deep(500000, '[');
    deep += std::string(500000, ']');
    EXPECT_THROW(SyncFormat::decode<SharedManifest>(deep), base::DecodingError);
    // Brackets inside strings do not count towards the depth.
    std::string text = withMember(minimalRecording, "\"x\":\"" + std::string(2000, '[') + "\"");
    EXPECT_NO_THROW(SyncFormat::decode<SharedRecording>(text));
}

// decode parses with a fast parser and leaves to parseJSON what that one
// refuses; for every document the outcome must be the reference's: the same
// value, or a DecodingError with the same message.
template <class T>
void expectSameAsReference(const std::string& json, const std::string& what) {
    std::optional<T> fast, reference;
    std::string fastError, referenceError;
    try {
        fast = SyncFormat::decode<T>(json);
    } catch (const base::DecodingError& e) {
        fastError = e.what();
    }
    try {
        reference = fromJSON<T>(base::parseJSON(json));
    } catch (const base::DecodingError& e) {
        referenceError = e.what();
    }
    EXPECT_EQ(fast.has_value(), reference.has_value()) << what << ": " << fastError << referenceError;
    if (fast && reference) {
        EXPECT_EQ(*fast, *reference) << what;
        EXPECT_EQ(std::signbit(fast->duration), std::signbit(reference->duration)) << what;
    }
    EXPECT_EQ(fastError, referenceError) << what;

    // The same document with its passages visited instead of kept.
    if constexpr (std::is_same_v<T, SharedRecording>) {
        std::optional<SharedRecording> visited;
        std::string visitedError;
        try {
            std::vector<SharedPassage> passages;
            visited = SyncFormat::decodeRecording(json, [&](double start, double end, std::string_view text) {
                passages.push_back({.start = start, .end = end, .text = std::string(text)});
            });
            EXPECT_TRUE(visited->passages.empty()) << what;
            visited->passages = std::move(passages);
        } catch (const base::DecodingError& e) {
            visitedError = e.what();
        }
        EXPECT_EQ(visited.has_value(), reference.has_value()) << what << ": " << visitedError;
        if (visited && reference) {
            EXPECT_EQ(*visited, *reference) << what;
        }
        EXPECT_EQ(visitedError, referenceError) << what;
    }
}

TEST(SharedRecordsDecoding, AgreesWithTheReferenceParserOnEveryDocument) {
    auto replaced = [](std::string from, const std::string& to) {
        std::string json = minimalRecording;
        json.replace(json.find(from), from.size(), to);
        return json;
    };
    auto appended = [](const std::string& member) {
        std::string json = minimalRecording;
        json.insert(json.size() - 1, "," + member);
        return json;
    };
    auto nested = [](int depth) {
        return withMember(minimalRecording,
                          "\"x\":" + std::string(depth - 1, '[') + std::string(depth - 1, ']'));
    };
    const std::pair<const char*, std::string> cases[] = {
        {"plain", minimalRecording},
        {"passages", replaced(R"("passages":[])",
                              R"("passages":[{"start":0,"end":1,"text":"甲"},{"text":"b","end":2.5,"start":1}])")},
        {"passage without text", replaced(R"("passages":[])", R"("passages":[{"start":0,"end":1}])")},
        {"passage text not a string", replaced(R"("passages":[])", R"("passages":[{"start":0,"end":1,"text":1}])")},
        {"passage with null start", replaced(R"("passages":[])", R"("passages":[{"start":null,"end":1,"text":""}])")},
        {"passages not a list", replaced(R"("passages":[])", R"("passages":{})")},
        {"passages, then bad audio", replaced(R"("passages":[],"audio":[])",
                                              R"("passages":[{"start":0,"end":1,"text":"a"}],"audio":[1])")},
        {"passages beyond 64-bit integers",
         replaced(R"("passages":[])", R"("passages":[{"start":0,"end":18446744073709551616,"text":"a"}])")},
        {"duplicate key before", withMember(minimalRecording, R"("name":"first")")},
        {"duplicate key after", appended(R"("name":"last")")},
        {"duplicate key after, null", appended(R"("name":null)")},
        {"byte order mark", "\xEF\xBB\xBF" + std::string(minimalRecording)},
        {"integer beyond 64 bits as a double", replaced(R"("duration":5)", R"("duration":18446744073709551616)")},
        {"negative integer beyond 64 bits", replaced(R"("duration":5)", R"("duration":-9223372036854775809)")},
        {"largest unsigned", replaced(R"("duration":5)", R"("duration":18446744073709551615)")},
        {"minus zero integer", replaced(R"("duration":5)", R"("duration":-0)")},
        {"minus zero double", replaced(R"("duration":5)", R"("duration":-0.0)")},
        {"exponent overflow", replaced(R"("duration":5)", R"("duration":1e400)")},
        {"exponent underflow", replaced(R"("duration":5)", R"("duration":1e-400)")},
        {"shortest rounding", replaced(R"("duration":5)", R"("duration":0.30000000000000004)")},
        {"lone high surrogate", replaced(R"("name":"n")", R"("name":"\ud800")")},
        {"surrogate pair", replaced(R"("name":"n")", R"("name":"\ud83d\ude00")")},
        {"escaped nul", replaced(R"("name":"n")", R"("name":"a\u0000b")")},
        {"raw control character", replaced(R"("name":"n")", "\"name\":\"\x01\"")},
        {"overlong utf-8", replaced(R"("name":"n")", "\"name\":\"\xC0\xAF\"")},
        {"nesting at the bound inside an unknown key", nested(base::maxJSONDepth)},
        {"nesting past the bound inside an unknown key", nested(base::maxJSONDepth + 1)},
        {"wrong type", replaced(R"("duration":5)", R"("duration":"5")")},
        {"trailing bytes", std::string(minimalRecording) + " x"},
        {"empty", ""},
    };
    for (const auto& [what, json] : cases) expectSameAsReference<SharedRecording>(json, what);
}

TEST(SharedRecordsDecoding, DocumentsLargerThanTheKeptParserDecodeAlike) {
    // Past a few MiB a document gets a parser of its own.
    std::string text(6 << 20, 'a');
    std::string json = minimalRecording;
    json.replace(json.find(R"("passages":[])"), 13,
                 R"("passages":[{"start":0,"end":1,"text":")" + text + R"("}])");
    SharedRecording r = SyncFormat::decode<SharedRecording>(json);
    ASSERT_EQ(r.passages.size(), 1u);
    EXPECT_EQ(r.passages[0].text, text);
    expectSameAsReference<SharedRecording>(json + "]", "large and malformed");
    // The kept parser still works afterwards.
    EXPECT_NO_THROW(SyncFormat::decode<SharedRecording>(minimalRecording));
}

TEST(SharedManifestEntry, FileNameIsCanonicalIdRevisionAndJson) {
    SharedManifest::Entry entry{.id = uuid("6f9619ff-8b86-d011-b42d-00c04fc964ff"), .revision = hashA};
    EXPECT_EQ(entry.fileName(), "6F9619FF-8B86-D011-B42D-00C04FC964FF-" + hashA + ".json");
    EXPECT_EQ(entry.fileName().size(), 106u);
}

bool passes(const SharedRecording& r) {
    try {
        r.validate();
        return true;
    } catch (const SyncFailure& f) {
        EXPECT_EQ(f, SyncFailure::invalidData());
        return false;
    }
}

TEST(SharedRecordingValidate, RulesAtTheirBoundaries) {
    using Change = std::function<void(SharedRecording&)>;
    auto passage = [](double s, double e) { return Change([=](SharedRecording& r) { r.passages = {{s, e, ""}}; }); };
    auto audio = [](SharedAudio a) { return Change([=](SharedRecording& r) { r.audio = {a}; }); };
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        const char* what;
        Change change;
        bool valid;
    };
    const Case cases[] = {
        {"sample", [](SharedRecording&) {}, true},
        {"nothing but version and duration", [](SharedRecording& r) { r.passages = {}; r.audio = {}; }, true},
        {"other version", [](SharedRecording& r) { r.schemaVersion = 2; }, false},
        {"duration zero", [](SharedRecording& r) { r.duration = 0; r.passages = {}; }, true},
        {"duration negative zero", [](SharedRecording& r) { r.duration = -0.0; r.passages = {}; }, true},
        {"duration negative", [](SharedRecording& r) { r.duration = -0.5; r.passages = {}; }, false},
        {"duration NaN", [](SharedRecording& r) { r.duration = std::nan(""); }, false},
        {"duration infinite", [=](SharedRecording& r) { r.duration = inf; }, false},
        {"duration minus infinite", [=](SharedRecording& r) { r.duration = -inf; }, false},
        {"end at duration + 1", passage(9.0, 11.0), true},
        {"end past duration + 1", passage(9.0, 11.000001), false},
        {"end before start", passage(5, 4), false},
        {"start negative", passage(-0.1, 1), false},
        {"start infinite", passage(inf, inf), false},
        {"end NaN", passage(1, std::nan("")), false},
        {"empty passage", passage(3, 3), true},
        {"tracks 0 and 5",
         [](SharedRecording& r) {
             r.audio = {{hashA + ".m4a", hashA, 1, 0}, {hashB + ".m4a", hashB, 1, 5}};
         },
         true},
        {"same track twice",
         [](SharedRecording& r) {
             r.audio = {{hashA + ".m4a", hashA, 1, 2}, {hashB + ".m4a", hashB, 1, 2}};
         },
         false},
        {"negative track", audio({hashA + ".m4a", hashA, 1, -1}), false},
        {"zero bytes", audio({hashA + ".m4a", hashA, 0, 0}), false},
        {"upper-case digest", audio({"A" + hashA.substr(1) + ".m4a", "A" + hashA.substr(1), 1, 0}), false},
        {"short digest", audio({hashA.substr(1) + ".m4a", hashA.substr(1), 1, 0}), false},
        {"file name of another digest", audio({hashB + ".m4a", hashA, 1, 0}), false},
        {"digest and lone dot", audio({hashA + ".", hashA, 1, 0}), true},
        {"digest without dot", audio({hashA, hashA, 1, 0}), false},
        {"slash in file name", audio({hashA + ".m4a/x", hashA, 1, 0}), false},
        {"backslash in file name", audio({hashA + ".m4a\\x", hashA, 1, 0}), false},
    };
    for (const auto& c : cases) {
        SharedRecording r = sampleRecording();
        c.change(r);
        EXPECT_EQ(passes(r), c.valid) << c.what;
    }
}

TEST(SharedManifestValidate, VersionDistinctIdsAndDigestRevisions) {
    SharedManifest m{.sourceID = uuid("0A1B2C3D-4E5F-4071-8293-A4B5C6D7E8F9")};
    EXPECT_NO_THROW(m.validate());
    Uuid a = uuid("00000000-0000-4000-8000-000000000001");
    Uuid b = uuid("00000000-0000-4000-8000-000000000002");
    m.entries = {{a, hashA}, {b, hashA}};
    EXPECT_NO_THROW(m.validate());
    m.entries = {{a, hashA}, {a, hashB}};
    EXPECT_THROW(m.validate(), SyncFailure);
    m.entries = {{a, hashA.substr(1)}};
    EXPECT_THROW(m.validate(), SyncFailure);
    m.entries = {{a, "A" + hashA.substr(1)}};
    EXPECT_THROW(m.validate(), SyncFailure);
    m.entries = {};
    m.schemaVersion = 0;
    EXPECT_THROW(m.validate(), SyncFailure);
}

}  // namespace
}  // namespace quillmere::sync
