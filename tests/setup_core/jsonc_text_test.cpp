#include "setup_core/jsonc_text.h"

#include <gtest/gtest.h>

#include <string>

#include "setup_core/setup_failure.h"
#include "tests/support/failure_kind.h"

namespace quillmere::setup {
namespace {

using nlohmann::json;
using quillmere::testing::failureOf;
using Kind = SetupFailure::Kind;

const json entry = {{"command", "/q"}};

// Every edit is also checked for idempotence: setting the same entry again changes nothing.
TEST(JsoncText, SetMemberKeepsEveryByteOutsideTheEditedMember) {
    struct Case {
        const char* rule;
        std::string text;
        std::string container;
        std::string expected;
    };
    const Case cases[] = {
        {"comments in the container", "{\n  \"servers\": {\n    // mine\n    \"a\": 1, /* keep */\n    \"b\": 1.50\n  }\n}\n", "servers", "{\n  \"servers\": {\n    // mine\n    \"a\": 1, /* keep */\n    \"b\": 1.50,\n    \"quillmere\": {\n      \"command\": \"/q\"\n    }\n  }\n}\n"},
        {"comment after the last member", "{\n  \"servers\": {\n    \"a\": 1e3 // last\n  }\n}", "servers", "{\n  \"servers\": {\n    \"a\": 1e3, // last\n    \"quillmere\": {\n      \"command\": \"/q\"\n    }\n  }\n}"},
        {"CR LF, empty container", "{\r\n  \"servers\": {}\r\n}\r\n", "servers", "{\r\n  \"servers\": {\r\n    \"quillmere\": {\r\n      \"command\": \"/q\"\r\n    }\r\n  }\r\n}\r\n"},
        {"mixed line ends: LF", "{\r\n  \"servers\": {}\n}\r\n", "servers", "{\r\n  \"servers\": {\n    \"quillmere\": {\n      \"command\": \"/q\"\n    }\n  }\n}\r\n"},
        {"container holding a comment", "{\n  \"servers\": { /* none */ }\n}", "servers", "{\n  \"servers\": { /* none */ \n    \"quillmere\": {\n      \"command\": \"/q\"\n    }\n  }\n}"},
        {"missing container", "{\n  \"other\": true // keep\n}\n", "servers", "{\n  \"other\": true, // keep\n  \"servers\": {\n    \"quillmere\": {\n      \"command\": \"/q\"\n    }\n  }\n}\n"},
        {"nested objects", "{\n  \"servers\": {\n    \"a\": {\"quillmere\": {\"c\": []}}\n  }\n}", "servers", "{\n  \"servers\": {\n    \"a\": {\"quillmere\": {\"c\": []}},\n    \"quillmere\": {\n      \"command\": \"/q\"\n    }\n  }\n}"},
        {"replaced value over lines", "{\n  \"servers\": {\n    \"quillmere\": {\n      \"command\": \"/old\", // was\n      \"args\": []\n    }, \"z\": 0\n  }\n}", "servers", "{\n  \"servers\": {\n    \"quillmere\": {\n      \"command\": \"/q\"\n    }, \"z\": 0\n  }\n}"},
        {"last duplicate replaced", "{\"servers\": {\"quillmere\": 1, \"quillmere\": 2}}", "servers", "{\"servers\": {\"quillmere\": 1, \"quillmere\": {\n  \"command\": \"/q\"\n}}}"},
        {"tabs", "{\n\t\"servers\": {\n\t\t\"a\": 1\n\t}\n}", "servers", "{\n\t\"servers\": {\n\t\t\"a\": 1,\n\t\t\"quillmere\": {\n\t\t\t\"command\": \"/q\"\n\t\t}\n\t}\n}"},
        {"four spaces", "{\n    \"a\": 1\n}", "servers", "{\n    \"a\": 1,\n    \"servers\": {\n        \"quillmere\": {\n            \"command\": \"/q\"\n        }\n    }\n}"},
        {"unusual spacing", "{\n  \"servers\"  :  {\n      \"a\"  :  1\n  }\n}", "servers", "{\n  \"servers\"  :  {\n      \"a\"  :  1,\n      \"quillmere\": {\n        \"command\": \"/q\"\n      }\n  }\n}"},
        {"one line", "{\"a\":1}", "servers", "{\"a\":1,\n  \"servers\": {\n    \"quillmere\": {\n      \"command\": \"/q\"\n    }\n  }\n}"},
        {"byte order mark, escaped key", "\xEF\xBB\xBF{}", "we\"ird", "\xEF\xBB\xBF{\n  \"we\\\"ird\": {\n    \"quillmere\": {\n      \"command\": \"/q\"\n    }\n  }\n}"},
        {"comment marks inside a string", "{\"servers\": {\"a\": \"/* x // y\"}}", "servers", "{\"servers\": {\"a\": \"/* x // y\",\n  \"quillmere\": {\n    \"command\": \"/q\"\n  }\n}}"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(jsonc::setMember(c.text, c.container, "quillmere", entry), c.expected) << c.rule;
        EXPECT_EQ(jsonc::setMember(c.expected, c.container, "quillmere", entry), c.expected) << c.rule;
    }
}

TEST(JsoncText, ParseDropsCommentsLetsTheLastDuplicateWinAndBoundsNesting) {
    EXPECT_EQ(jsonc::parse("\xEF\xBB\xBF{\"a\": 1, \"b\": [1.5, {\"c\": \"\\u00e9\"}] /* c */, \"a\": 2 // x\n}"),
              json::parse(R"({"a": 2, "b": [1.5, {"c": "é"}]})"));
    const std::string deepest = "{\"a\":" + std::string(511, '[') + std::string(511, ']') + "}";
    EXPECT_EQ(jsonc::parse(deepest).dump().size(), deepest.size());
}

TEST(JsoncText, MalformedTextIsRefused) {
    const std::pair<const char*, std::string> cases[] = {
        {"trailing comma", "{\"servers\": {\"a\": 1,}}"},
        {"unterminated comment", "{\"a\": 1} /* end"},
        {"unterminated string", "{\"a\": \"1}"},
        {"single quotes", "{'a': 1}"},
        {"top level array", "[{\"servers\": {}}]"},
        {"text after the object", "{\"a\": 1} x"},
        {"lone surrogate escape", "{\"a\": \"\\ud800\"}"},
        {"control character in a string", "{\"a\": \"\t\"}"},
        {"bad number", "{\"a\": 01}"},
        {"bare slash", "{\"a\": 1 /}"},
        {"nesting past the bound", "{\"a\":" + std::string(512, '[') + std::string(512, ']') + "}"},
        {"empty text", ""},
    };
    for (const auto& [rule, text] : cases) {
        EXPECT_EQ(failureOf<SetupFailure>([&] { jsonc::parse(text); }), Kind::malformed) << rule;
        EXPECT_EQ(failureOf<SetupFailure>([&] { jsonc::setMember(text, "servers", "quillmere", entry); }),
                  Kind::malformed) << rule;
    }
    EXPECT_EQ(failureOf<SetupFailure>([] { jsonc::setMember("{\"servers\": []}", "servers", "quillmere", entry); }),
              Kind::malformed);
}

}  // namespace
}  // namespace quillmere::setup
