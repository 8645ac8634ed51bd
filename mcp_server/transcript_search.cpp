#include "mcp_server/transcript_search.h"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace quillmere::mcp {

namespace {

bool isASCII(unsigned char c) {
    return c < 0x80;
}

icu::BreakIterator& characterBreaks() {
    thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::BreakIterator> created(
            icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        if (U_FAILURE(status) || !created) {
            throw std::runtime_error(std::string("ICU character breaks unavailable: ") +
                                     u_errorName(status));
        }
        return created;
    }();
    return *iterator;
}

const icu::Normalizer2& decomposition() {
    static const icu::Normalizer2* nfd = [] {
        UErrorCode status = U_ZERO_ERROR;
        const icu::Normalizer2* instance = icu::Normalizer2::getNFDInstance(status);
        if (U_FAILURE(status) || !instance) {
            throw std::runtime_error(std::string("ICU normalisation unavailable: ") +
                                     u_errorName(status));
        }
        return instance;
    }();
    return *nfd;
}

// Steps through the extended grapheme cluster boundaries of UTF-8 text. Runs
// of ASCII need no Unicode data (between two ASCII characters there is always
// a boundary, except inside CR LF), so ICU is opened only when the text has
// something else.
class GraphemeWalker {
  public:
    explicit GraphemeWalker(std::string_view text) : text_(text) {}
    ~GraphemeWalker() {
        if (utext_) utext_close(utext_);
    }
    GraphemeWalker(const GraphemeWalker&) = delete;
    GraphemeWalker& operator=(const GraphemeWalker&) = delete;

    // The boundary that follows the boundary at pos (pos < text size).
    std::size_t next(std::size_t pos) {
        const auto c = static_cast<unsigned char>(text_[pos]);
        if (isASCII(c)) {
            if (pos + 1 == text_.size()) return pos + 1;
            const auto d = static_cast<unsigned char>(text_[pos + 1]);
            if (isASCII(d)) return c == '\r' && d == '\n' ? pos + 2 : pos + 1;
        }
        if (std::size_t after = plainBoundary(pos)) return after;
        if (!breaks_) open();
        const int32_t boundary = breaks_->following(static_cast<int32_t>(pos));
        return boundary == icu::BreakIterator::DONE ? text_.size()
                                                    : static_cast<std::size_t>(boundary);
    }

  private:
    // The boundary after the code point at pos when no rule can join it to
    // what follows (a cluster break class of Other before anything but
    // Extend, ZWJ or SpacingMark: most CJK text), else 0 and ICU decides.
    // No rule looks further back than that code point for such a pair.
    std::size_t plainBoundary(std::size_t pos) const {
        const auto* bytes = reinterpret_cast<const uint8_t*>(text_.data());
        const auto length = static_cast<int32_t>(text_.size());
        auto i = static_cast<int32_t>(pos);
        UChar32 c;
        U8_NEXT(bytes, i, length, c);
        if (c < 0 || u_getIntPropertyValue(c, UCHAR_GRAPHEME_CLUSTER_BREAK) != U_GCB_OTHER)
            return 0;
        if (i == length) return static_cast<std::size_t>(i);
        int32_t j = i;
        UChar32 d;
        U8_NEXT(bytes, j, length, d);
        if (d < 0) return 0;
        switch (u_getIntPropertyValue(d, UCHAR_GRAPHEME_CLUSTER_BREAK)) {
            case U_GCB_EXTEND:
            case U_GCB_ZWJ:
            case U_GCB_SPACING_MARK: return 0;
            default: return static_cast<std::size_t>(i);
        }
    }

    void open() {
        UErrorCode status = U_ZERO_ERROR;
        utext_ = utext_openUTF8(nullptr, text_.data(), static_cast<int64_t>(text_.size()), &status);
        icu::BreakIterator& breaks = characterBreaks();
        breaks.setText(utext_, status);
        if (U_FAILURE(status))
            throw std::runtime_error(std::string("ICU text: ") + u_errorName(status));
        breaks_ = &breaks;
    }

    std::string_view text_;
    UText* utext_ = nullptr;
    icu::BreakIterator* breaks_ = nullptr;
};

// A single code point that decomposition and folding leave alone (most CJK
// text), so the per-character ICU round trip can be skipped.
bool unchangedByFolding(std::string_view cluster) {
    int32_t i = 0;
    UChar32 c;
    U8_NEXT(reinterpret_cast<const uint8_t*>(cluster.data()), i,
            static_cast<int32_t>(cluster.size()), c);
    return c >= 0 && static_cast<std::size_t>(i) == cluster.size() &&
           !u_hasBinaryProperty(c, UCHAR_CHANGES_WHEN_CASEFOLDED) && decomposition().isInert(c);
}

// Appends the canonical caseless form of one user-perceived character:
// NFD(fold(NFD(cluster))), with Turkish lower-casing before the fold under
// the Turkic rule.
void foldCluster(std::string_view cluster, CaseRule rule, std::string& out) {
    bool ascii = true;
    for (char c : cluster) ascii = ascii && isASCII(static_cast<unsigned char>(c));
    if (ascii) {
        for (char c : cluster) {
            if (c == 'I' && rule == CaseRule::turkic) {
                out += "\xC4\xB1";  // U+0131 LATIN SMALL LETTER DOTLESS I
            } else {
                out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
            }
        }
        return;
    }
    if (unchangedByFolding(cluster)) {
        out += cluster;
        return;
    }
    const icu::Normalizer2& nfd = decomposition();
    UErrorCode status = U_ZERO_ERROR;
    icu::UnicodeString text =
        nfd.normalize(icu::UnicodeString::fromUTF8(
                          icu::StringPiece(cluster.data(), static_cast<int32_t>(cluster.size()))),
                      status);
    if (rule == CaseRule::turkic) {
        // Decomposition turns İ into I + U+0307; Turkish lower-casing maps
        // that pair back to i (and I alone to ı) before the Turkic folding.
        static const icu::Locale turkish("tr");
        text.toLower(turkish);
        text.foldCase(U_FOLD_CASE_EXCLUDE_SPECIAL_I);
    } else {
        text.foldCase(U_FOLD_CASE_DEFAULT);
    }
    text = nfd.normalize(text, status);
    if (U_FAILURE(status))
        throw std::runtime_error(std::string("ICU normalisation: ") + u_errorName(status));
    text.toUTF8String(out);
}

}  // namespace

CaseRule caseRuleFor(std::string_view localeName) {
    std::string language;
    for (char c : localeName) {
        if (c == '_' || c == '-' || c == '.' || c == '@') break;
        language += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return language == "tr" || language == "az" ? CaseRule::turkic : CaseRule::standard;
}

CaseRule currentCaseRule() {
    static const CaseRule rule = [] {
        for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
            const char* value = std::getenv(variable);
            if (value && *value) return caseRuleFor(value);
        }
        return CaseRule::standard;
    }();
    return rule;
}

SearchText::SearchText(std::string_view text, CaseRule rule) {
    folded_.reserve(text.size());
    boundary_.reserve(text.size() + 1);
    GraphemeWalker walker(text);
    // Marks a boundary at the end of folded_, padding the bytes of the
    // previous character with false.
    auto markBoundary = [this] {
        while (boundary_.size() < folded_.size()) boundary_.push_back(false);
        boundary_.push_back(true);
    };
    for (std::size_t pos = 0; pos < text.size();) {
        const char c = text[pos];
        // An ASCII character followed by ASCII (other than CR LF) or by
        // nothing is a character of its own: fold it here, without the walker.
        if (isASCII(static_cast<unsigned char>(c)) &&
            (pos + 1 == text.size() ||
             (isASCII(static_cast<unsigned char>(text[pos + 1])) &&
              !(c == '\r' && text[pos + 1] == '\n')))) {
            markBoundary();
            foldCluster(text.substr(pos, 1), rule, folded_);
            ++pos;
            continue;
        }
        const std::size_t next = walker.next(pos);
        markBoundary();
        foldCluster(text.substr(pos, next - pos), rule, folded_);
        pos = next;
    }
    markBoundary();
}

bool SearchText::contains(const SearchText& query) const {
    const std::string_view needle = query.folded_;
    const std::string_view haystack = folded_;
    for (std::size_t pos = haystack.find(needle); pos != std::string_view::npos;
         pos = haystack.find(needle, pos + 1)) {
        if (boundary_[pos] && boundary_[pos + needle.size()]) return true;
    }
    return false;
}

PassageTexts::PassageTexts(const std::vector<std::string_view>& texts, CaseRule rule) {
    start_.reserve(texts.size() + 1);
    for (std::string_view text : texts) {
        start_.push_back(folded_.size());
        const SearchText folded(text, rule);
        folded_ += folded.folded_;
        // The last bit (the end of this text) is the next one's first.
        boundary_.insert(boundary_.end(), folded.boundary_.begin(),
                         folded.boundary_.end() - 1);
    }
    start_.push_back(folded_.size());
    boundary_.push_back(true);
    for (char c : folded_) ++byteCount_[static_cast<unsigned char>(c)];
}

std::vector<std::size_t> PassageTexts::matching(const SearchText& query) const {
    std::vector<std::size_t> found;
    const std::string_view needle = query.folded_;
    const std::string_view haystack = folded_;
    if (needle.empty()) {
        for (std::size_t i = 0; i < size(); ++i) found.push_back(i);
        return found;
    }
    // Every occurrence at pos holds the needle's rarest byte at pos + rare, so
    // the scan stops only where that byte is.
    std::size_t rare = 0;
    for (std::size_t i = 1; i < needle.size(); ++i) {
        if (byteCount_[static_cast<unsigned char>(needle[i])] <
            byteCount_[static_cast<unsigned char>(needle[rare])])
            rare = i;
    }
    if (byteCount_[static_cast<unsigned char>(needle[rare])] == 0) return found;
    auto find = [&](std::size_t from) {
        const char* const data = haystack.data();
        for (std::size_t at = from + rare; at < haystack.size();) {
            const void* hit = std::memchr(data + at, needle[rare], haystack.size() - at);
            if (!hit) break;
            const std::size_t pos = static_cast<const char*>(hit) - data - rare;
            if (pos + needle.size() <= haystack.size() &&
                std::memcmp(data + pos, needle.data(), needle.size()) == 0)
                return pos;
            at = pos + rare + 1;
        }
        return std::string_view::npos;
    };
    std::size_t passage = 0;
    for (std::size_t pos = find(0); pos != std::string_view::npos;) {
        while (start_[passage + 1] <= pos) ++passage;
        const std::size_t end = start_[passage + 1];
        if (pos + needle.size() <= end && boundary_[pos] && boundary_[pos + needle.size()]) {
            found.push_back(passage);
            pos = find(end);
        } else {
            pos = find(pos + 1);
        }
    }
    return found;
}

std::size_t graphemeCount(std::string_view text, std::size_t limit) {
    GraphemeWalker walker(text);
    std::size_t count = 0;
    for (std::size_t pos = 0; pos < text.size() && count < limit; pos = walker.next(pos)) ++count;
    return count;
}

std::string_view graphemePrefix(std::string_view text, std::size_t count) {
    GraphemeWalker walker(text);
    std::size_t pos = 0;
    for (std::size_t taken = 0; pos < text.size() && taken < count; ++taken) pos = walker.next(pos);
    return text.substr(0, pos);
}

}  // namespace quillmere::mcp
