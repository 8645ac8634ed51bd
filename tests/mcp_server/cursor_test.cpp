#include "mcp_server/cursor.h"

#include <gtest/gtest.h>

#include "mcp_server/tool_failure.h"

namespace quillmere::mcp {
namespace {

using nlohmann::json;

// RFC 4648, section 10.
const std::pair<const char*, const char*> rfcVectors[] = {
    {"", ""},
    {"f", "Zg=="},
    {"fo", "Zm8="},
    {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="},
    {"fooba", "Zm9vYmE="},
    {"foobar", "Zm9vYmFy"},
};

TEST(Base64, EncodesAndDecodesTheStandardVectors) {
    for (const auto& [plain, encoded] : rfcVectors) {
        EXPECT_EQ(base64Encode(plain), encoded);
        EXPECT_EQ(base64Decode(encoded), std::optional<std::string>(plain)) << encoded;
    }
    std::string bytes;
    for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
    EXPECT_EQ(base64Decode(base64Encode(bytes)), bytes);
}

TEST(Base64, RefusesAnythingButStrictForm) {
    for (const char* text : {"Zg", "Zg=", "Zm9", "Z===", "====", "Zm9v=", "Zg=a", "Z=g=", "Zm-v",
                             "Zm_v", " Zm9v", "Zm9v\n", "Zm 9v", "Zm9v====", "Zg==Zg=="}) {
        EXPECT_EQ(base64Decode(text), std::nullopt) << text;
    }
}

TEST(FingerprintNumber, ShortestRoundTripWithPointZero) {
    const std::pair<double, const char*> rows[] = {
        {0, "0.0"},
        {60, "60.0"},
        {12.5, "12.5"},
        {0.1, "0.1"},
        {1.0 / 3, "0.3333333333333333"},
        {600, "600.0"},
        {123456789012.0, "123456789012.0"},
    };
    for (const auto& [value, text] : rows) EXPECT_EQ(fingerprintNumber(value), text) << value;
    EXPECT_EQ(std::stod(fingerprintNumber(1e300)), 1e300);
}

void expectFailure(const json& arguments, const std::string& fingerprint, const std::string& code,
                   const std::string& message) {
    try {
        arguments::cursor(arguments, fingerprint);
        ADD_FAILURE() << arguments.dump() << " accepted";
    } catch (const ToolFailure& failure) {
        EXPECT_EQ(failure.code(), code) << arguments.dump();
        EXPECT_EQ(failure.message(), message) << arguments.dump();
    }
}

TEST(Cursor, ReadsBackWhatNextWrote) {
    const std::string fingerprint(64, 'c');
    EXPECT_EQ(arguments::cursor(json::object(), fingerprint), 0u);
    json next = arguments::next(fingerprint, 40, 41);
    ASSERT_TRUE(next.is_string());
    EXPECT_EQ(base64Decode(next.get<std::string>()), fingerprint + ":40");
    EXPECT_EQ(arguments::cursor({{"cursor", next}}, fingerprint), 40u);
    EXPECT_EQ(arguments::next(fingerprint, 41, 41), nullptr);
    EXPECT_EQ(arguments::next(fingerprint, 50, 41), nullptr);
}

TEST(Cursor, AcceptsSignsAndEmptyPieces) {
    const std::string fingerprint(64, 'c');
    EXPECT_EQ(
        arguments::cursor({{"cursor", base64Encode("::" + fingerprint + "::+7:")}}, fingerprint),
        7u);
    EXPECT_EQ(arguments::cursor({{"cursor", base64Encode(fingerprint + ":-0")}}, fingerprint), 0u);
}

TEST(Cursor, RefusesEachKindOfBadCursor) {
    const std::string fp(64, 'c');
    const std::string missing = "缺少有效的 cursor。";
    const std::string invalid = "分页游标无效。";
    const std::string stale = "数据或查询条件已变化，请从第一页重新读取。";
    const std::vector<std::tuple<json, std::string, std::string>> rows = {
        {"", "invalid_argument", missing},
        {" \n", "invalid_argument", missing},
        {5, "invalid_argument", missing},
        {nullptr, "invalid_argument", missing},
        {"not base64!", "invalid_cursor", invalid},
        {base64Encode(fp + ":1") + "\n", "invalid_cursor", invalid},
        {base64Encode("\xff\xfe:1"), "invalid_cursor", invalid},
        {base64Encode(fp), "stale_cursor", stale},
        {base64Encode(std::string(64, 'd') + ":1"), "stale_cursor", stale},
        {base64Encode(fp + ":1:2"), "stale_cursor", stale},
        {base64Encode(fp + ":-1"), "stale_cursor", stale},
        {base64Encode(fp + ":+-1"), "stale_cursor", stale},
        {base64Encode(fp + ":1.5"), "stale_cursor", stale},
        {base64Encode(fp + ":0x10"), "stale_cursor", stale},
        {base64Encode(fp + ": 1"), "stale_cursor", stale},
        {base64Encode(fp + ":99999999999999999999"), "stale_cursor", stale},
    };
    for (const auto& [cursor, code, message] : rows)
        expectFailure({{"cursor", cursor}}, fp, code, message);
}

}  // namespace
}  // namespace quillmere::mcp
