#pragma once

#include <array>
#include <cstring>
#include <memory>
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
// it was folded from, and its end: one bit per byte and one more, in 64-bit
// words that may lie anywhere (in a stored index too), not necessarily aligned.
class CharacterStarts {
  public:
    CharacterStarts() = default;
    explicit CharacterStarts(const char* words) : words_(words) {}

    // The words for folded: every lead byte begins a character, except those
    // at the offsets in inner (ascending); the end does too.
    static std::size_t wordCount(std::size_t foldedSize) { return foldedSize / 64 + 1; }
    static void write(std::string_view folded, const std::vector<std::size_t>& inner,
                      std::uint64_t* words);

    bool operator[](std::size_t i) const {
        std::uint64_t word;
        std::memcpy(&word, words_ + (i >> 6) * sizeof word, sizeof word);
        return (word >> (i & 63)) & 1;
    }

  private:
    const char* words_ = nullptr;
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

    CharacterStarts starts() const {
        return CharacterStarts(reinterpret_cast<const char*>(startWords_.data()));
    }

    std::string folded_;
    std::vector<std::uint64_t> startWords_;
};

// A recording's passage texts, kept once: folded for searching, in one
// buffer so that a search runs through memory in order, with what restores
// each original where folding changed it (a letter's case, a decomposed
// accent). Built once per recording revision; its bytes are what the record
// index stores, and a view of them in the index serves as they lie.
class PassageTexts {
  public:
    class Builder;

    PassageTexts() = default;
    PassageTexts(const std::vector<std::string_view>& texts, CaseRule rule);

    // The texts whose bytes() are bytes, which must outlive the view and
    // every copy of it. Throws std::invalid_argument when bytes are not laid
    // out as bytes() lays them out.
    static PassageTexts view(std::string_view bytes);
    std::string_view bytes() const { return bytes_; }
    // The folded texts and what restores them: the end of bytes() and most
    // of it. view() reads none of it; matching() and original() trust it.
    std::string_view content() const { return bytes_.substr(folded_.data() - bytes_.data()); }

    std::size_t size() const { return count_; }

    // Passage i's text as it was given.
    std::string original(std::size_t i) const;

    // The indices, ascending, of the passages whose text contains query as
    // SearchText::contains has it (an empty query is in every passage).
    std::vector<std::size_t> matching(const SearchText& query) const;

  private:
    // Entry i of a table of 32-bit numbers.
    static std::uint32_t load32(const char* table, std::size_t i) {
        std::uint32_t value;
        std::memcpy(&value, table + i * sizeof value, sizeof value);
        return value;
    }
    std::uint32_t start(std::size_t i) const { return load32(start_, i); }

    // The bytes, in this order: the passage count n, the folded size F and
    // the restoration size R (32 bits each, then 32 zero bits); byteCount;
    // start and firstRestoration; zeros up to a multiple of 8; the character
    // starts over folded; folded; restorations. Numbers in host byte order.
    std::shared_ptr<const std::string> owned_;
    std::string_view bytes_;
    std::size_t count_ = 0;
    // Passage i is folded_[start(i), start(i + 1)); what restores it is
    // restorations_[firstRestoration_[i], firstRestoration_[i + 1]): for
    // each stretch that folding changed, in order, three variable-length
    // numbers (unchanged bytes since the last stretch, the stretch's folded
    // length, its original length) and then the original bytes. Most
    // stretches are one capital or accented letter: a few bytes each.
    std::string_view folded_;
    std::string_view restorations_;
    // Over folded_; every passage's start and end is a character start.
    CharacterStarts starts_;
    const char* start_ = nullptr;
    const char* firstRestoration_ = nullptr;
    // How often each byte value occurs in folded_ (256 entries): a search
    // looks for the needle's rarest byte, and skips the recording when one
    // never occurs.
    const char* byteCount_ = nullptr;
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
    std::vector<std::uint32_t> start_;
    std::vector<std::uint32_t> firstRestoration_;
    std::string restorations_;
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
