#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quillmere::mcp {

// How letter case is ignored. Turkish and Azerbaijani pair dotless I with ı
// and dotted İ with i; every other language folds I to i.
enum class CaseRule { standard, turkic };

// The rule of a POSIX locale name such as "tr_TR.UTF-8" or "az"; anything
// unrecognised (including "C" and "") is standard.
CaseRule caseRuleFor(std::string_view localeName);

// The rule of the user's current locale (LC_ALL, else LC_CTYPE, else LANG),
// read once per process.
CaseRule currentCaseRule();

// Which bytes of a folded text begin a user-perceived character of the text
// it was folded from, and its end: one bit per byte and one more.
class CharacterStarts {
  public:
    CharacterStarts() = default;
    // Every lead byte of folded begins a character, except those at the
    // offsets in inner (ascending); the end does too.
    CharacterStarts(std::string_view folded, const std::vector<std::size_t>& inner);

    bool operator[](std::size_t i) const { return (words_[i >> 6] >> (i & 63)) & 1; }

  private:
    std::vector<std::uint64_t> words_;
};

// UTF-8 text prepared for the transcript search: each user-perceived
// character (extended grapheme cluster) canonically decomposed, case folded
// under the rule and decomposed again, so that canonically equivalent forms
// and letter case compare equal while diacritics and width still differ.
class SearchText {
  public:
    SearchText() = default;
    SearchText(std::string_view text, CaseRule rule);

    // Whether query occurs in this text as a whole run of user-perceived
    // characters: "abc" is found in "XABCX", "e" is not found in "é" (in
    // either form), "é" is found in "e" + U+0301. Both sides must have been
    // built under the same rule. An empty query is found everywhere.
    bool contains(const SearchText& query) const;

    // The folded form, and for each of its bytes and its end whether a
    // character begins there; for tests and diagnostics.
    const std::string& folded() const { return folded_; }
    std::vector<bool> boundaries() const;

  private:
    friend class PassageTexts;

    std::string folded_;
    CharacterStarts starts_;
};

// A recording's passage texts, kept once: folded for searching, in one
// buffer so that a search runs through memory in order, with what restores
// each original where folding changed it (a letter's case, a decomposed
// accent). Built once per recording revision and kept in the record cache.
class PassageTexts {
  public:
    class Builder;

    PassageTexts() = default;
    PassageTexts(const std::vector<std::string_view>& texts, CaseRule rule);

    std::size_t size() const { return start_.empty() ? 0 : start_.size() - 1; }

    // Passage i's text as it was given.
    std::string original(std::size_t i) const;

    // The indices, ascending, of the passages whose text contains query as
    // SearchText::contains has it (an empty query is in every passage).
    std::vector<std::size_t> matching(const SearchText& query) const;

  private:
    std::string folded_;
    // Over folded_; every passage's start and end is a character start.
    CharacterStarts starts_;
    // Passage i is folded_[start_[i], start_[i + 1]); what restores it is
    // restorations_[firstRestoration_[i], firstRestoration_[i + 1]): for
    // each stretch that folding changed, in order, three variable-length
    // numbers (unchanged bytes since the last stretch, the stretch's folded
    // length, its original length) and then the original bytes. Most
    // stretches are one capital or accented letter: a few bytes each.
    std::vector<std::uint32_t> start_;
    std::vector<std::uint32_t> firstRestoration_;
    std::string restorations_;
    // How often each byte value occurs in folded_: a search looks for the
    // needle's rarest byte, and skips the recording when one never occurs.
    std::array<std::uint32_t, 256> byteCount_{};
};

// Folds passages one at a time, so that their texts need not all be kept
// until the end.
class PassageTexts::Builder {
  public:
    explicit Builder(CaseRule rule);
    ~Builder();
    Builder(const Builder&) = delete;
    Builder& operator=(const Builder&) = delete;

    void add(std::string_view text);
    PassageTexts finish() &&;

  private:
    CaseRule rule_;
    PassageTexts texts_;
    // Working buffers lent by the thread and given back by the destructor:
    // folding writes into memory already in the cache, and the texts keep
    // an exact copy.
    std::string folded_;
    std::vector<std::size_t> inner_;
};

// The number of user-perceived characters of UTF-8 text, counting no further
// than limit (so a huge text costs no more than limit characters).
std::size_t graphemeCount(std::string_view text, std::size_t limit = static_cast<std::size_t>(-1));

// The first count user-perceived characters of UTF-8 text (all of it when it
// has no more).
std::string_view graphemePrefix(std::string_view text, std::size_t count);

}  // namespace quillmere::mcp
