#include "setup_core/yaml_text.h"

#include <gtest/gtest.h>

#include <string>

#include "setup_core/setup_failure.h"
#include "tests/support/failure_kind.h"

namespace quillmere::setup {
namespace {

using nlohmann::json;
constexpr ContainerShape map = ContainerShape::byKey, list = ContainerShape::listByName;

json entryFor(ContainerShape holder) {
    return holder == list ? json{{"name", "quillmere"}, {"command", "/q"}, {"args", {"--stdio"}}} : json{{"command", "/q"}, {"args", {"--stdio"}}};
}

// "a" holds n values under an anchor, "b" m aliases of it and then `scalars` plain
// values: 5 + n + m (n + 2) + scalars values in all, counting each alias's as many times.
std::string aliasesOf(int n, int m, int scalars) {
    std::string a = "x", b = "*a";
    for (int i = 1; i < n; ++i) a += ", x";
    for (int i = 1; i < m + scalars; ++i) b += i < m ? ", *a" : ", x";
    return "a: &a [" + a + "]\nb: [" + b + "]\n";
}

// The entry goes in block style at the file's own indentation and line ends; every byte
// outside it stays (the fuzz target checks that on any text; these rows pin the layout).
// Setting the same entry again changes nothing.
TEST(YamlText, SetEntryWritesBlockStyleAndKeepsEveryOtherByte) {
    const std::tuple<const char*, std::string, ContainerShape, std::string> rows[] = {
        {"empty file", "", map, "servers:\n  quillmere:\n    args:\n      - \"--stdio\"\n    command: /q\n"},
        {"document start only", "---\n", map, "---\nservers:\n  quillmere:\n    args:\n      - \"--stdio\"\n    command: /q\n"},
        {"missing container, no final line end", "a: 1 # c", list, "a: 1 # c\nservers:\n  - name: quillmere\n    args:\n      - \"--stdio\"\n    command: /q\n"},
        {"after the last member, before a comment", "servers:\n    a:\n        x: 1\n    # end\nb: 2\n", map, "servers:\n    a:\n        x: 1\n    quillmere:\n        args:\n            - \"--stdio\"\n        command: /q\n    # end\nb: 2\n"},
        {"key with nothing after it", "servers: # none\nb: 2\n", map, "servers: # none\n  quillmere:\n    args:\n      - \"--stdio\"\n    command: /q\nb: 2\n"},
        {"empty flow mapping", "servers: {}  # none\n", map, "servers:  # none\n  quillmere:\n    args:\n      - \"--stdio\"\n    command: /q\n"},
        {"empty flow list", "servers: []  # none\n", list, "servers:  # none\n  - name: quillmere\n    args:\n      - \"--stdio\"\n    command: /q\n"},
        {"null container", "servers: ~ # none\n", map, "servers: # none\n  quillmere:\n    args:\n      - \"--stdio\"\n    command: /q\n"},
        {"indentless list, CR LF", "servers:\r\n- name: a\r\n  command: /a\r\n", list, "servers:\r\n- name: a\r\n  command: /a\r\n- name: quillmere\r\n  args:\r\n    - \"--stdio\"\r\n  command: /q\r\n"},
        {"indented by eight, the widest unit taken", "servers:\n        a: 1\n", map, "servers:\n        a: 1\n        quillmere:\n                args:\n                        - \"--stdio\"\n                command: /q\n"},
        {"replaced empty entry", "servers:\n  quillmere:\n  z: 0\n", map, "servers:\n  quillmere:\n    args:\n      - \"--stdio\"\n    command: /q\n  z: 0\n"},
        {"replaced block entry, indented its own way", "servers:\n  quillmere:\n      command: /old  # was\n      args: []\n  z: 0\n", map, "servers:\n  quillmere:\n      args:\n        - \"--stdio\"\n      command: /q\n  z: 0\n"},
        {"replaced flow entry, on a line of its own", "servers:\n  quillmere:\n      {command: /old}\n", map, "servers:\n  quillmere:\n    args:\n      - \"--stdio\"\n    command: /q\n"},
        {"replaced list item", "servers:\n  - {name: quillmere, command: /old}\n  - name: b\n", list, "servers:\n  - name: quillmere\n    args:\n      - \"--stdio\"\n    command: /q\n  - name: b\n"},
        {"byte order mark, document start", "\xEF\xBB\xBF---\nservers:\n  a: 1\n", map, "\xEF\xBB\xBF---\nservers:\n  a: 1\n  quillmere:\n    args:\n      - \"--stdio\"\n    command: /q\n"},
        {"anchor elsewhere", "base: &b {x: 1}\nservers:\n  a: *b\n", map, "base: &b {x: 1}\nservers:\n  a: *b\n  quillmere:\n    args:\n      - \"--stdio\"\n    command: /q\n"},
        {"indentation of the first block, not of a scalar or flow value below its key", "note:\n      plain\nlist:\n    [a]\nservers:\n  a: 1\n", map, "note:\n      plain\nlist:\n    [a]\nservers:\n  a: 1\n  quillmere:\n    args:\n      - \"--stdio\"\n    command: /q\n"},
        {"a list item that is no mapping", "servers:\n  - quillmere\n", list, "servers:\n  - quillmere\n  - name: quillmere\n    args:\n      - \"--stdio\"\n    command: /q\n"},
        {"nested as deep as allowed", "a: " + std::string(511, '[') + std::string(511, ']') + "\n", map, "a: " + std::string(511, '[') + std::string(511, ']') + "\nservers:\n  quillmere:\n    args:\n      - \"--stdio\"\n    command: /q\n"},
    };
    for (const auto& [rule, text, holder, expected] : rows) {
        EXPECT_EQ(yaml::setEntry(text, "servers", "quillmere", entryFor(holder), holder), expected) << rule;
        EXPECT_EQ(yaml::setEntry(expected, "servers", "quillmere", entryFor(holder), holder), expected) << rule;
    }
    // A word a YAML reader takes for another type is quoted. Inside quotes, C1 controls, the
    // characters YAML does not allow raw, quotes and backslashes are escaped; everything else,
    // of any UTF-8 length, is kept. Bytes that are not UTF-8 are refused.
    EXPECT_EQ(yaml::setEntry("", "s", "q", {{"command", "True"}, {"args", {"null", "nul"}}}, map), "s:\n  q:\n    args:\n      - \"null\"\n      - nul\n    command: \"True\"\n");
    EXPECT_EQ(yaml::setEntry("", "s", "q", {{"command", "/\u007F\u0080\u009F\u00A0\uFEFF\uFFFE\uFFFF"}}, map), "s:\n  q:\n    command: \"/\\x7F\\u0080\\u009F\u00A0\\uFEFF\\uFFFE\\uFFFF\"\n");
    EXPECT_EQ(yaml::setEntry("", "s", "q", {{"command", "/\u0904\u00E9 \"\\\U0001F600"}}, map), "s:\n  q:\n    command: \"/\u0904\u00E9 \\\"\\\\\U0001F600\"\n");
    for (const char* notUTF8 : {"/\x80", "/\xC3"}) EXPECT_THROW(yaml::setEntry("", "s", "q", {{"command", notUTF8}}, map), SetupFailure);
}

// What cannot be changed as text without changing something else is refused.
TEST(YamlText, RefusesWhatItCannotEditSafely) {
    const auto uneditable = SetupFailure::Kind::uneditableYAML, malformed = SetupFailure::Kind::malformedYAML;
    const std::tuple<const char*, std::string, ContainerShape, SetupFailure::Kind> rows[] = {
        {"flow container", "servers: {a: 1}\n", map, uneditable},
        {"a comment inside an empty flow list", "servers: [ # c\n]\n", list, uneditable},
        {"anchor on the entry", "servers:\n  quillmere: &q {command: /q}\nx: *q\n", map, uneditable},
        {"alias as the entry", "q: &q {command: /old}\nservers:\n  quillmere: *q\n", map, uneditable},
        {"alias as the container", "s: &s\n  a: 1\nservers: *s\n", map, uneditable},
        {"tag on the container", "servers: !!map\n  a: 1\n", map, uneditable},
        {"anchor on the container, on a line of its own", "servers:\n  &s\n  a: 1\n", map, uneditable},
        {"tag in the entry", "servers:\n- name: quillmere\n  command: !!str /q\n", list, uneditable},
        {"two documents, the container in the first", "servers:\n  a: 1\n---\nb: 2\n", map, uneditable},
        {"explicit document end", "a: 1\n...\n", map, uneditable},
        {"a list at the top", "- a\n", map, uneditable},
        {"a list where a mapping belongs", "servers:\n  - a\n", map, uneditable},
        {"a lone CR", "a: 1\rb: 2\n", map, uneditable},
        {"a million values and one, through aliases", aliasesOf(1000, 997, 2), map, uneditable},
        {"nested one level too deep", "a: " + std::string(512, '[') + std::string(512, ']') + "\n", map, uneditable},
        {"anchor on an empty document", "&a\n", map, uneditable},
        {"tag on an empty document", "!!map\n", map, uneditable},
        {"unclosed flow", "a: [1\n", map, malformed},
        {"undefined alias", "a: *nothing\n", map, malformed},
        {"UTF-16", std::string("\xFF\xFE" "a\0:\0 \0" "1\0\n\0", 12), map, malformed},
    };
    for (const auto& [rule, text, holder, kind] : rows)
        EXPECT_EQ(testing::failureOf<SetupFailure>([&] { yaml::setEntry(text, "servers", "quillmere", entryFor(holder), holder); }), kind) << rule;
}

TEST(YamlText, ScalarsResolveByTheCoreSchema) {
    const std::tuple<std::string, bool, json> rows[] = {
        {"~", true, nullptr}, {"", true, nullptr}, {"True", true, true}, {"null", true, nullptr}, {"Null", true, nullptr}, {"NULL", true, nullptr}, {"TRUE", true, true}, {"false", true, false}, {"False", true, false}, {"FALSE", true, false}, {"yes", true, "yes"}, {"007", true, 7},
        {"-12", true, -12}, {"0x1F", true, 31}, {"0xFFFFFFFFFFFFFFFF", true, 18446744073709551615ULL}, {"0x10000000000000000", true, "0x10000000000000000"}, {"0o17", true, 15}, {"1.5e3", true, 1500.0}, {".inf", true, ".inf"}, {".5", true, 0.5}, {"1.x", true, "1.x"}, {"-1.5e-3", true, -0.0015},
        {"123456789012345678901234567890", true, "123456789012345678901234567890"}, {std::string(400, '9'), true, std::string(400, '9')}, {"true", false, "true"}, {"1.50", true, 1.5},
    };
    for (const auto& [text, plain, value] : rows) EXPECT_EQ(yaml::scalarValue(text, plain), value) << text;
    // A key is the text it is written as, whatever a value of that text would resolve to.
    EXPECT_EQ(yaml::parse("8080: x\n~: y\nk: &k name\n*k : v\n"), json({{"8080", "x"}, {"~", "y"}, {"k", "name"}, {"name", "v"}}));
    // Exactly a million values are read, whether an alias or a plain value comes last.
    for (const auto& [n, m, scalars] : {std::tuple{1319, 756, 0}, std::tuple{1000, 997, 1}}) EXPECT_EQ(yaml::parse(aliasesOf(n, m, scalars))["b"].size(), std::size_t(m + scalars));
}

}  // namespace
}  // namespace quillmere::setup
