#include "setup_core/jsonc_text.h"

#include <gtest/gtest.h>

#include <string>

namespace quillmere::setup {
namespace {

const nlohmann::json entry = {{"command", "/q"}};

// The inserted member follows the text's own indentation and line ends, and
// every byte outside it is kept (the fuzz target checks the latter on any
// text; these rows pin the layout). Setting the same entry again changes nothing.
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
        {"four spaces, a blank first line", "\n{\n    \"a\": 1\n}", "servers", "\n{\n    \"a\": 1,\n    \"servers\": {\n        \"quillmere\": {\n            \"command\": \"/q\"\n        }\n    }\n}"},
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

}  // namespace
}  // namespace quillmere::setup
