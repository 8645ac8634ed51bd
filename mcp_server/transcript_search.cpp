#include "mcp_server/transcript_search.h"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <limits>
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

// What folding needs to know of one code point, looked up once per code point
// of the Basic Multilingual Plane and kept (a table of 64 KiB).
enum CodePointFlags : std::uint8_t {
    known = 1,
    // Grapheme cluster break class Other: no rule joins it to what follows
    // unless that is Extend, ZWJ or SpacingMark.
    standsAlone = 2,
    // Decomposition and case folding leave it alone (most CJK text).
    unchangedByFolding = 4,
    // Extend, ZWJ or SpacingMark: joins the character before it.
    joinsPrevious = 8,
};

std::uint8_t computeFlags(UChar32 c) {
    std::uint8_t flags = known;
    switch (u_getIntPropertyValue(c, UCHAR_GRAPHEME_CLUSTER_BREAK)) {
        case U_GCB_OTHER:
            flags |= standsAlone;
            if (!u_hasBinaryProperty(c, UCHAR_CHANGES_WHEN_CASEFOLDED) &&
                decomposition().isInert(c))
                flags |= unchangedByFolding;
            break;
        case U_GCB_EXTEND:
        case U_GCB_ZWJ:
        case U_GCB_SPACING_MARK: flags |= joinsPrevious; break;
        default: break;
    }
    return flags;
}

std::uint8_t flagsOf(UChar32 c) {
    // Threads fold at once; a racing computation stores the same value.
    static std::array<std::atomic<std::uint8_t>, 0x10000> table{};
    if (c > 0xFFFF) return computeFlags(c);
    std::atomic<std::uint8_t>& entry = table[static_cast<std::size_t>(c)];
    std::uint8_t flags = entry.load(std::memory_order_relaxed);
    if (!flags) entry.store(flags = computeFlags(c), std::memory_order_relaxed);
    return flags;
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
        if (c < 0 || !(flagsOf(c) & standsAlone)) return 0;
        if (i == length) return static_cast<std::size_t>(i);
        int32_t j = i;
        UChar32 d;
        U8_NEXT(bytes, j, length, d);
        if (d < 0 || (flagsOf(d) & joinsPrevious)) return 0;
        return static_cast<std::size_t>(i);
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

// Appends the canonical caseless form of one user-perceived character:
// NFD(fold(NFD(cluster))), with Turkish lower-casing before the fold under
// the Turkic rule.
void foldCluster(std::string_view cluster, CaseRule rule, std::string& out) {
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

// foldCluster of a cluster that is one code point, remembered per thread in
// a direct-mapped table: accented letters recur throughout a transcript.
std::string_view foldedCodePoint(std::string_view cluster, UChar32 c, CaseRule rule) {
    struct Entry {
        UChar32 codePoint = -1;
        std::uint8_t length = 0;
        char bytes[11] = {};
    };
    constexpr std::size_t slots = 1024;
    thread_local std::array<std::array<Entry, slots>, 2> tables;
    Entry& entry = tables[static_cast<std::size_t>(rule)][static_cast<std::size_t>(c) % slots];
    if (entry.codePoint == c) return {entry.bytes, entry.length};
    thread_local std::string folded;
    folded.clear();
    foldCluster(cluster, rule, folded);
    if (folded.size() <= sizeof entry.bytes) {
        entry.codePoint = c;
        entry.length = static_cast<std::uint8_t>(folded.size());
        std::memcpy(entry.bytes, folded.data(), folded.size());
    }
    return folded;
}

// Eight bytes at a time, for the long runs of ASCII in transcripts.
constexpr std::uint64_t everyByte = 0x0101010101010101;
constexpr std::uint64_t highBits = 0x8080808080808080;

std::uint64_t load(const char* p) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

// The high bit of each byte of word that equals b.
std::uint64_t bytesEqual(std::uint64_t word, unsigned char b) {
    const std::uint64_t x = word ^ (everyByte * b);
    return (x - everyByte) & ~x & highBits;
}

// Whether every code point of U+4000-U+9FFF (most CJK text; their UTF-8
// forms lead with E4-E9) stands alone and is kept by folding, checked once
// against the Unicode data in use.
bool ideographsStandAlone() {
    static const bool plain = [] {
        for (UChar32 c = 0x4000; c <= 0x9FFF; ++c) {
            const std::uint8_t flags = flagsOf(c);
            if (!(flags & standsAlone) || !(flags & unchangedByFolding)) return false;
        }
        return true;
    }();
    return plain;
}

// Where the run at from ends of characters that folding copies as they are,
// but for the case of ASCII letters: ASCII other than CR (and I under the
// Turkic rule), and code points of U+4000-U+9FFF. The last of them may still
// be joined by what follows the run.
#if defined(__SSE2__)
// Sixteen bytes at a time, each of them plain: ASCII but CR (and I under
// the Turkic rule), a lead E4-E9 followed by two continuation bytes, or a
// continuation byte one or two after such a lead. Reads bytes at - 2 to
// at + 17. The bit of each plain byte, first byte lowest.
unsigned plainBytes(const char* at, CaseRule rule) {
    auto load16 = [](const char* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
    const __m128i v = load16(at);
    // Signed bytes: ASCII is 0..127, continuations -128..-65, E4-E9 -28..-23.
    auto continuation = [](__m128i x) { return _mm_cmplt_epi8(x, _mm_set1_epi8(-64)); };
    auto ideographLead = [](__m128i x) {
        return _mm_and_si128(_mm_cmpgt_epi8(x, _mm_set1_epi8(-29)), _mm_cmplt_epi8(x, _mm_set1_epi8(-22)));
    };
    __m128i stop = _mm_cmpeq_epi8(v, _mm_set1_epi8('\r'));
    if (rule == CaseRule::turkic) stop = _mm_or_si128(stop, _mm_cmpeq_epi8(v, _mm_set1_epi8('I')));
    const __m128i ascii = _mm_andnot_si128(stop, _mm_cmpgt_epi8(v, _mm_set1_epi8(-1)));
    const __m128i lead = _mm_and_si128(
        ideographLead(v), _mm_and_si128(continuation(load16(at + 1)), continuation(load16(at + 2))));
    const __m128i trail = _mm_and_si128(
        continuation(v), _mm_or_si128(ideographLead(load16(at - 1)), ideographLead(load16(at - 2))));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(ascii, _mm_or_si128(lead, trail))));
}
#endif

std::size_t plainRunEnd(std::string_view text, std::size_t from, CaseRule rule) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const bool ideographs = ideographsStandAlone();
    std::size_t i = from;
    while (i < text.size()) {
#if defined(__SSE2__)
        // Once two bytes of the run lie behind, the look back stays inside it.
        if (ideographs && i >= from + 2 && i + 18 <= text.size()) {
            const unsigned plain = plainBytes(text.data() + i, rule);
            if (plain == 0xFFFF) {
                // Stop at the last character boundary of the sixteen.
                i += bytes[i + 15] >= 0xE4 ? 15 : bytes[i + 14] >= 0xE4 ? 14 : 16;
                continue;
            }
            return i + static_cast<std::size_t>(std::countr_zero(~plain));
        }
#endif
        if (i + 8 <= text.size()) {
            const std::uint64_t word = load(text.data() + i);
            std::uint64_t stop = (word & highBits) | bytesEqual(word, '\r');
            if (rule == CaseRule::turkic) stop |= bytesEqual(word, 'I');
            if (!stop) {
                i += 8;
                continue;
            }
        }
        const unsigned char c = bytes[i];
        if (c < 0x80) {
            if (c == '\r' || (c == 'I' && rule == CaseRule::turkic)) break;
            ++i;
        } else if (ideographs && c >= 0xE4 && c <= 0xE9 && i + 2 < text.size() &&
                   (bytes[i + 1] & 0xC0) == 0x80 && (bytes[i + 2] & 0xC0) == 0x80) {
            i += 3;
        } else {
            break;
        }
    }
    return i;
}

// Lower-cases the ASCII letters of bytes, other bytes left as they are, and
// calls changed(i) for each byte i it changed.
template <class Changed>
void lowerASCII(char* bytes, std::size_t size, Changed changed) {
    const std::size_t whole = size / 8 * 8;
    for (std::size_t i = 0; i != whole; i += 8) {
        std::uint64_t word = load(bytes + i);
        const std::uint64_t low = word & ~highBits;
        const std::uint64_t atLeastA = low + everyByte * (0x80 - 'A');
        const std::uint64_t beyondZ = low + everyByte * (0x80 - 'Z' - 1);
        std::uint64_t upper = atLeastA & ~beyondZ & ~word & highBits;
        if (!upper) continue;
        word |= upper >> 2;  // 0x20 in each upper-case letter
        std::memcpy(bytes + i, &word, sizeof word);
        for (; upper; upper &= upper - 1) changed(i + static_cast<std::size_t>(std::countr_zero(upper)) / 8);
    }
    for (std::size_t i = whole; i != size; ++i) {
        if (static_cast<unsigned char>(bytes[i] - 'A') < 26) {
            bytes[i] = static_cast<char>(bytes[i] + 0x20);
            changed(i);
        }
    }
}

// Appends the folded form of text to folded, and to inner the offsets of the
// appended lead bytes that begin no character (the later code points of a
// cluster, the LF of CR LF), ascending. Spans that folding leaves alone but
// for ASCII letter case (ASCII, and code points no rule joins to the next
// whose form folding keeps: most CJK text) are copied at once; other single
// code points fold through foldedCodePoint, the rest through the walker.
// differs(at, length, original) is called, in order, for each stretch
// folded[at, at + length) that is not the text it was folded from.
template <class Differs>
void appendFolded(std::string_view text, CaseRule rule, std::string& folded,
                  std::vector<std::size_t>& inner, Differs differs) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const auto length = static_cast<int32_t>(text.size());
    GraphemeWalker walker(text);

    // text[span, pos) is still to be copied.
    int32_t span = 0;
    auto flush = [&](int32_t end) {
        const std::size_t from = folded.size();
        const auto start = static_cast<std::size_t>(span);
        folded.append(text.data() + start, static_cast<std::size_t>(end - span));
        // Only letters' case changes here: one byte for one.
        lowerASCII(folded.data() + from, folded.size() - from,
                   [&](std::size_t i) { differs(from + i, 1, text.substr(start + i, 1)); });
    };
    // Appends form for text[pos, end).
    auto append = [&](std::string_view form, int32_t pos, int32_t end) {
        const std::size_t from = folded.size();
        folded += form;
        for (std::size_t i = from + 1; i < folded.size(); ++i) {
            if ((static_cast<unsigned char>(folded[i]) & 0xC0) != 0x80) inner.push_back(i);
        }
        const std::string_view original = text.substr(pos, end - pos);
        if (form != original) differs(from, form.size(), original);
    };

    // The code point after the current one is decoded to see whether it
    // joins; kept, so that each is decoded once. Malformed bytes decode to a
    // negative value without flags.
    struct Decoded {
        int32_t at = -1;
        int32_t end = 0;
        UChar32 value = 0;
        std::uint8_t flags = 0;
    } ahead;
    auto decode = [&](int32_t at) {
        if (ahead.at != at) {
            ahead.at = ahead.end = at;
            U8_NEXT(bytes, ahead.end, length, ahead.value);
            ahead.flags = ahead.value < 0 ? 0 : flagsOf(ahead.value);
        }
        return ahead;
    };
    auto joinsAt = [&](int32_t at) {
        // Nothing joins ASCII to what went before: most calls end here, undecoded.
        if (at == length || bytes[at] < 0x80) return false;
        const Decoded d = decode(at);
        return d.value < 0 || (d.flags & joinsPrevious);
    };

    for (int32_t pos = 0; pos < length;) {
        const uint8_t c = bytes[pos];
        // Each character of a plain run stands alone but for the last, which
        // what follows the run may join.
        if (auto end = static_cast<int32_t>(plainRunEnd(text, static_cast<std::size_t>(pos), rule));
            end > pos) {
            if (joinsAt(end)) end -= bytes[end - 1] < 0x80 ? 1 : 3;
            if (end > pos) {
                pos = end;
                continue;
            }
        }
        if (c < 0x80) {
            if (!joinsAt(pos + 1)) {
                if (c == 'I' && rule == CaseRule::turkic) {
                    flush(pos);
                    append("\xC4\xB1", pos, pos + 1);  // U+0131 LATIN SMALL LETTER DOTLESS I
                    span = ++pos;
                } else if (c == '\r' && pos + 1 < length && bytes[pos + 1] == '\n') {
                    // CR LF is one character. The span is copied byte for
                    // byte, so the LF lands this far into folded.
                    inner.push_back(folded.size() + static_cast<std::size_t>(pos + 1 - span));
                    pos += 2;
                } else {
                    ++pos;
                }
                continue;
            }
        } else {
            const Decoded d = decode(pos);
            if ((d.flags & standsAlone) && !joinsAt(d.end)) {
                if (!(d.flags & unchangedByFolding)) {
                    flush(pos);
                    append(foldedCodePoint(text.substr(pos, d.end - pos), d.value, rule), pos, d.end);
                    span = d.end;
                }
                pos = d.end;
                continue;
            }
        }
        flush(pos);
        const auto next = static_cast<int32_t>(walker.next(static_cast<std::size_t>(pos)));
        std::string form;
        foldCluster(text.substr(pos, next - pos), rule, form);
        append(form, pos, next);
        span = pos = next;
    }
    flush(length);
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

void CharacterStarts::write(std::string_view folded, const std::vector<std::size_t>& inner,
                            std::uint64_t* words) {
    std::fill(words, words + wordCount(folded.size()), 0);
    const std::size_t whole = folded.size() / 8 * 8;
    for (std::size_t i = 0; i != whole; i += 8) {
        // A continuation byte is 10xxxxxx; everything else leads.
        const std::uint64_t word = load(folded.data() + i);
        const std::uint64_t lead = ~(word & ~(word << 1)) & highBits;
        // Gathers the eight high bits into one byte, byte k into bit k.
        const std::uint64_t bits = ((lead >> 7) * 0x0102040810204080) >> 56;
        words[i >> 6] |= bits << (i & 63);
    }
    for (std::size_t i = whole; i != folded.size(); ++i) {
        const bool lead = (static_cast<unsigned char>(folded[i]) & 0xC0) != 0x80;
        words[i >> 6] |= std::uint64_t{lead} << (i & 63);
    }
    words[folded.size() >> 6] |= std::uint64_t{1} << (folded.size() & 63);
    for (std::size_t at : inner) words[at >> 6] &= ~(std::uint64_t{1} << (at & 63));
}

SearchText::SearchText(std::string_view text, CaseRule rule) {
    folded_.reserve(text.size());
    std::vector<std::size_t> inner;
    appendFolded(text, rule, folded_, inner, [](std::size_t, std::size_t, std::string_view) {});
    startWords_.resize(CharacterStarts::wordCount(folded_.size()));
    CharacterStarts::write(folded_, inner, startWords_.data());
}

std::vector<bool> SearchText::boundaries() const {
    std::vector<bool> bits(folded_.size() + 1);
    const CharacterStarts starts = this->starts();
    for (std::size_t i = 0; i < bits.size(); ++i) bits[i] = starts[i];
    return bits;
}

bool SearchText::contains(const SearchText& query) const {
    const std::string_view needle = query.folded_;
    const std::string_view haystack = folded_;
    const CharacterStarts starts = this->starts();
    for (std::size_t pos = haystack.find(needle); pos != std::string_view::npos;
         pos = haystack.find(needle, pos + 1)) {
        if (starts[pos] && starts[pos + needle.size()]) return true;
    }
    return false;
}

namespace {

// Seven bits a byte, the high bit set on all but the last.
void appendNumber(std::string& out, std::size_t value) {
    for (; value >= 0x80; value >>= 7) out += static_cast<char>(0x80 | (value & 0x7F));
    out += static_cast<char>(value);
}

std::size_t readNumber(std::string_view in, std::size_t& at) {
    std::size_t value = 0;
    for (int shift = 0;; shift += 7) {
        const auto byte = static_cast<unsigned char>(in[at++]);
        value |= static_cast<std::size_t>(byte & 0x7F) << shift;
        if (byte < 0x80) return value;
    }
}

std::uint32_t offset(std::size_t value) {
    if (value > std::numeric_limits<std::uint32_t>::max())
        throw std::length_error("passage texts beyond 4 GiB");
    return static_cast<std::uint32_t>(value);
}

}  // namespace

namespace {

struct BuilderBuffers {
    std::string folded;
    std::vector<std::size_t> inner;
};

BuilderBuffers& spareBuffers() {
    thread_local BuilderBuffers spare;
    return spare;
}

}  // namespace

PassageTexts::Builder::Builder(CaseRule rule)
    : rule_(rule),
      folded_(std::move(spareBuffers().folded)),
      inner_(std::move(spareBuffers().inner)) {
    folded_.clear();
    inner_.clear();
}

PassageTexts::Builder::~Builder() {
    // One huge record does not keep its buffers for the rest of the thread.
    constexpr std::size_t keptCapacity = 4 << 20;
    BuilderBuffers& spare = spareBuffers();
    if (folded_.capacity() <= keptCapacity && folded_.capacity() > spare.folded.capacity())
        spare.folded = std::move(folded_);
    if (inner_.capacity() <= keptCapacity && inner_.capacity() > spare.inner.capacity())
        spare.inner = std::move(inner_);
}

void PassageTexts::Builder::add(std::string_view text) {
    std::string& restorations = restorations_;
    start_.push_back(offset(folded_.size()));
    firstRestoration_.push_back(offset(restorations.size()));

    // The stretch being gathered: neighbouring ones become one.
    std::size_t restoredUpTo = folded_.size(), at = folded_.size(), length = 0;
    std::string original;
    auto write = [&] {
        if (original.empty()) return;  // nothing gathered: folding never empties a character
        appendNumber(restorations, at - restoredUpTo);
        appendNumber(restorations, length);
        appendNumber(restorations, original.size());
        restorations += original;
        restoredUpTo = at + length;
        original.clear();
        length = 0;
    };
    appendFolded(text, rule_, folded_, inner_,
                 [&](std::size_t from, std::size_t foldedLength, std::string_view was) {
                     if (from != at + length) {
                         write();
                         at = from;
                     }
                     length += foldedLength;
                     original += was;
                 });
    write();
}

namespace {

// Where each part of the bytes of passage texts lies.
struct TextsLayout {
    static constexpr std::size_t header = 4 * sizeof(std::uint32_t);
    static constexpr std::size_t byteCount = header;
    std::size_t start, firstRestoration, words, folded, restorations, end;

    TextsLayout(std::size_t count, std::size_t foldedSize, std::size_t restorationSize) {
        start = byteCount + 256 * sizeof(std::uint32_t);
        firstRestoration = start + (count + 1) * sizeof(std::uint32_t);
        words = (firstRestoration + (count + 1) * sizeof(std::uint32_t) + 7) / 8 * 8;
        folded = words + CharacterStarts::wordCount(foldedSize) * sizeof(std::uint64_t);
        restorations = folded + foldedSize;
        end = restorations + restorationSize;
    }
};

}  // namespace

PassageTexts PassageTexts::Builder::finish() && {
    start_.push_back(offset(folded_.size()));
    firstRestoration_.push_back(offset(restorations_.size()));
    const std::size_t count = start_.size() - 1;
    const TextsLayout layout(count, folded_.size(), restorations_.size());
    auto owned = std::make_shared<std::string>(layout.end, '\0');
    char* out = owned->data();
    const std::array<std::uint32_t, 4> header{offset(count), offset(folded_.size()),
                                              offset(restorations_.size()), 0};
    std::memcpy(out, header.data(), sizeof header);
    // Four tables, so that runs of one byte value do not wait on each other.
    std::array<std::array<std::uint32_t, 256>, 4> counts{};
    const auto* folded = reinterpret_cast<const unsigned char*>(folded_.data());
    const std::size_t whole = folded_.size() / 4 * 4;
    for (std::size_t i = 0; i != whole; i += 4) {
        for (std::size_t k = 0; k < 4; ++k) ++counts[k][folded[i + k]];
    }
    for (std::size_t i = whole; i != folded_.size(); ++i) ++counts[0][folded[i]];
    std::array<std::uint32_t, 256> byteCount{};
    for (std::size_t b = 0; b < 256; ++b)
        byteCount[b] = counts[0][b] + counts[1][b] + counts[2][b] + counts[3][b];
    std::memcpy(out + layout.byteCount, byteCount.data(), sizeof byteCount);
    std::memcpy(out + layout.start, start_.data(), start_.size() * sizeof(std::uint32_t));
    std::memcpy(out + layout.firstRestoration, firstRestoration_.data(),
                firstRestoration_.size() * sizeof(std::uint32_t));
    std::vector<std::uint64_t> words(CharacterStarts::wordCount(folded_.size()));
    CharacterStarts::write(folded_, inner_, words.data());
    std::memcpy(out + layout.words, words.data(), words.size() * sizeof(std::uint64_t));
    std::memcpy(out + layout.folded, folded_.data(), folded_.size());
    std::memcpy(out + layout.restorations, restorations_.data(), restorations_.size());
    PassageTexts texts = view(*owned);
    texts.owned_ = std::move(owned);
    return texts;
}

PassageTexts PassageTexts::view(std::string_view bytes) {
    auto refuse = [] { throw std::invalid_argument("not passage texts"); };
    std::array<std::uint32_t, 4> header{};
    if (bytes.size() < sizeof header) refuse();
    std::memcpy(header.data(), bytes.data(), sizeof header);
    const auto [count, foldedSize, restorationSize, zero] = header;
    const TextsLayout layout(count, foldedSize, restorationSize);
    if (zero != 0 || bytes.size() != layout.end) refuse();
    PassageTexts t;
    t.bytes_ = bytes;
    t.count_ = count;
    const char* data = bytes.data();
    t.byteCount_ = data + layout.byteCount;
    t.start_ = data + layout.start;
    t.firstRestoration_ = data + layout.firstRestoration;
    t.starts_ = CharacterStarts(data + layout.words);
    t.folded_ = bytes.substr(layout.folded, foldedSize);
    t.restorations_ = bytes.substr(layout.restorations, restorationSize);
    if (t.start(0) != 0 || t.start(count) != foldedSize ||
        load32(t.firstRestoration_, 0) != 0 || load32(t.firstRestoration_, count) != restorationSize)
        refuse();
    return t;
}

PassageTexts::PassageTexts(const std::vector<std::string_view>& texts, CaseRule rule) {
    Builder builder(rule);
    for (std::string_view text : texts) builder.add(text);
    *this = std::move(builder).finish();
}

std::string PassageTexts::original(std::size_t i) const {
    std::string text;
    std::size_t at = start(i);
    for (std::size_t r = load32(firstRestoration_, i), end = load32(firstRestoration_, i + 1); r < end;) {
        const std::size_t unchanged = readNumber(restorations_, r);
        const std::size_t foldedLength = readNumber(restorations_, r);
        const std::size_t length = readNumber(restorations_, r);
        text.append(folded_.substr(at, unchanged));
        text.append(restorations_.substr(r, length));
        r += length;
        at += unchanged + foldedLength;
    }
    text.append(folded_.substr(at, start(i + 1) - at));
    return text;
}

std::vector<std::size_t> PassageTexts::matching(const SearchText& query) const {
    std::vector<std::size_t> found;
    const std::string_view needle = query.folded_;
    const std::string_view haystack = folded_;
    if (needle.empty() || count_ == 0) {
        for (std::size_t i = 0; i < size(); ++i) found.push_back(i);
        return found;
    }
    // Every occurrence at pos holds the needle's rarest byte at pos + rare, so
    // the scan stops only where that byte is.
    std::size_t rare = 0;
    for (std::size_t i = 1; i < needle.size(); ++i) {
        if (load32(byteCount_, static_cast<unsigned char>(needle[i])) <
            load32(byteCount_, static_cast<unsigned char>(needle[rare])))
            rare = i;
    }
    if (load32(byteCount_, static_cast<unsigned char>(needle[rare])) == 0) return found;
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
        while (start(passage + 1) <= pos) ++passage;
        const std::size_t end = start(passage + 1);
        if (pos + needle.size() <= end && starts_[pos] && starts_[pos + needle.size()]) {
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
