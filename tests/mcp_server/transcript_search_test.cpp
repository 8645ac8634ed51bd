#include "mcp_server/transcript_search.h"

#include <gtest/gtest.h>
#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace quillmere::mcp {
namespace {

constexpr CaseRule standard = CaseRule::standard;
constexpr CaseRule turkic = CaseRule::turkic;

// The folding spelled out with ICU alone, one user-perceived character at a
// time: what SearchText's shortcuts must reproduce byte for byte.
std::string reference(std::string_view text, CaseRule rule, std::vector<bool>& boundaries) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::UnicodeString whole = icu::UnicodeString::fromUTF8(
        icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    std::unique_ptr<icu::BreakIterator> breaks(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    breaks->setText(whole);
    const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
    std::string folded;
    boundaries.clear();
    for (int32_t from = breaks->first(), to = breaks->next(); to != icu::BreakIterator::DONE;
         from = to, to = breaks->next()) {
        icu::UnicodeString cluster = nfd->normalize(whole.tempSubStringBetween(from, to), status);
        if (rule == CaseRule::turkic) {
            cluster.toLower(icu::Locale("tr"));
            cluster.foldCase(U_FOLD_CASE_EXCLUDE_SPECIAL_I);
        } else {
            cluster.foldCase(U_FOLD_CASE_DEFAULT);
        }
        const std::size_t before = folded.size();
        nfd->normalize(cluster, status).toUTF8String(folded);
        boundaries.push_back(true);
        boundaries.insert(boundaries.end(), folded.size() - before - 1, false);
    }
    boundaries.push_back(true);
    EXPECT_TRUE(U_SUCCESS(status));
    return folded;
}

// Random texts of pieces whose neighbours change how they fold or where
// characters end.
std::vector<std::string> mixedTexts(std::size_t count) {
    const std::vector<std::string> pieces = {
        "a", "Z", "I", "i", " ", ".", "\r", "\n", "\r\n", "\t", "\x01",
        "The Quick BROWN fox", "@AZ[`az{",  // runs of ASCII, letters at their edges
        // é É, combining acute and dot above, İ ı ß ﬁ Σ ǅ, Cherokee Ꭰ, full-width Ａ
        "\xC3\xA9", "\xC3\x89", "\xCC\x81", "\xCC\x87", "\xC4\xB0", "\xC4\xB1", "\xC3\x9F", "\xEF\xAC\x81", "\xCE\xA3", "\xC7\x85", "\xE1\x8E\xA0", "\xEF\xBC\xA1",
        // 今天。, U+3FFF U+4000 U+9FFF U+A000, an ideographic tone mark (joins), 한 and its jamo
        "\xE4\xBB\x8A", "\xE5\xA4\xA9", "\xE3\x80\x82", "\xE3\xBF\xBF", "\xE4\x80\x80", "\xE9\xBF\xBF", "\xEA\x80\x80", "\xE3\x80\xAA",
        "\xED\x95\x9C", "\xE1\x84\x92", "\xE1\x85\xA1", "\xE1\x86\xAB",
        // क ि (a spacing mark), ZWJ, 👨 👩, regional indicators C N, U+20000, NEL, variation selector 16
        "\xE0\xA4\x95", "\xE0\xA4\xBF", "\xE2\x80\x8D", "\xF0\x9F\x91\xA8", "\xF0\x9F\x91\xA9", "\xF0\x9F\x87\xA8", "\xF0\x9F\x87\xB3",
        "\xF0\xA0\x80\x80", "\xC2\x85", "\xEF\xB8\x8F",
    };
    std::mt19937 random(20261206);
    std::uniform_int_distribution<std::size_t> piece(0, pieces.size() - 1), length(0, 40);
    std::vector<std::string> texts(count);
    for (std::string& text : texts) {
        for (std::size_t n = length(random); n > 0; --n) text += pieces[piece(random)];
    }
    return texts;
}

// Also: the passages kept in one buffer give back every text byte for byte.
TEST(SearchTextFolding, MatchesCharacterByCharacterICUOnMixedText) {
    std::vector<std::string> texts = mixedTexts(3000);
    // Unchanged stretches at the bounds of the restoration records' number bytes.
    for (std::size_t n : {127, 128, 16384}) texts.push_back(std::string(n, 'a') + "B");
    for (CaseRule rule : {standard, turkic}) {
        for (const std::string& text : texts) {
            std::vector<bool> expectedBoundaries;
            const std::string expected = reference(text, rule, expectedBoundaries);
            const SearchText folded(text, rule);
            ASSERT_EQ(folded.folded(), expected) << text;
            ASSERT_EQ(folded.boundaries(), expectedBoundaries) << text;
        }
        const PassageTexts passages(std::vector<std::string_view>(texts.begin(), texts.end()), rule);
        ASSERT_EQ(passages.size(), texts.size());
        for (std::size_t i = 0; i < texts.size(); ++i) ASSERT_EQ(passages.original(i), texts[i]) << i;
    }
    // A text cut from a longer one ends where its view ends; counting stops at the limit.
    EXPECT_EQ(SearchText(std::string_view("A\r\n").substr(0, 2), standard).boundaries(), std::vector<bool>({true, true, true}));
    EXPECT_EQ(graphemeCount("a\r\nb", 2), 2u);
}

// The texts kept in one buffer must match exactly as each text alone does,
// including at the seams: an occurrence running into the next passage, a
// combining mark that starts a passage, empty passages.
TEST(PassageTextsMatching, AgreesWithEachPassageAlone) {
    const std::vector<std::string_view> passages = {
        "Café au lait", "", "ab", "cd", "e\xCC\x81 be", "\xCC\x81x", "IST", "中文 abc 中文",
        "", "abcabc", "a\r", "\nb", "İstanbul", "the quick zebra", "zebra quick the zebra",
    };
    const char* queries[] = {"a", "ab", "bc", "abc", "bcd", "e", "E\xCC\x81", "\xCC\x81", "x", "ist", "中文", "文 a",
                             "\r\n", "b", "c", "", "zz", "quick the", "ZEBRA", "a zebra", "bra", "bc\ncd"};
    EXPECT_TRUE(PassageTexts({}, standard).matching(SearchText("a", standard)).empty());
    for (CaseRule rule : {standard, turkic}) {
        // The stored copy serves as what it was made from; a header whose last word is not
        // zero, or tables at odds with it (the first and last start, then restoration offset,
        // of its 15 passages), are refused.
        const PassageTexts built(passages, rule), texts = PassageTexts::view(built.bytes());
        for (std::size_t at : {12, 1040, 1100, 1104, 1164}) {
            std::string bytes(built.bytes());
            EXPECT_THROW(PassageTexts::view((++bytes[at], bytes)), std::invalid_argument) << at;
        }
        ASSERT_EQ(texts.size(), passages.size());
        for (const char* q : queries) {
            const SearchText query(q, rule);
            std::vector<std::size_t> expected;
            for (std::size_t i = 0; i < passages.size(); ++i)
                if (SearchText(passages[i], rule).contains(query)) expected.push_back(i);
            EXPECT_EQ(texts.matching(query), expected) << "query \"" << q << "\"";
        }
    }
}

TEST(CaseRuleFor, TurkishAndAzerbaijaniLocalesOnly) {
    const std::pair<const char*, CaseRule> rows[] = {
        {"tr_TR.UTF-8", turkic}, {"tr", turkic},    {"az_AZ", turkic},         {"AZ", turkic},
        {"tr-TR", turkic},       {"tr@x", turkic},  {"en_US.UTF-8", standard}, {"C", standard},
        {"", standard},          {"trk", standard}, {"de_DE", standard},
    };
    for (const auto& [name, rule] : rows) EXPECT_EQ(caseRuleFor(name), rule) << name;
}

}  // namespace
}  // namespace quillmere::mcp
