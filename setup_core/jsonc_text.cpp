#include "setup_core/jsonc_text.h"

#include <cctype>
#include <cstddef>
#include <string>
#include <vector>

#include "setup_core/setup_failure.h"

namespace quillmere::setup::jsonc {
namespace {

using nlohmann::json;

// Deeper text is refused as malformed rather than risk the stack of the recursive parser.
constexpr int maxDepth = 512;
constexpr std::string_view byteOrderMark = "\xEF\xBB\xBF";

[[noreturn]] void malformed() {
    throw SetupFailure(SetupFailure::Kind::malformed);
}

// A member of an object as the text holds it: its decoded key, where its key token starts
// and the byte span of its value.
struct Member {
    std::string key;
    std::size_t keyBegin, valueBegin, valueEnd;
};

// Where an object stands in the text: its two braces and its members in text order.
struct Layout {
    std::size_t open = 0, close = 0;
    std::vector<Member> members;

    // The last member named key: a later duplicate wins, in parse() as in the clients.
    const Member* last(std::string_view key) const {
        for (auto member = members.rbegin(); member != members.rend(); ++member) {
            if (member->key == key) return &*member;
        }
        return nullptr;
    }
};

// A recursive descent over the text. Scalars are cut out as tokens and handed to nlohmann,
// which validates them exactly (escapes, surrogates, control characters, UTF-8, number
// grammar); objects and arrays are built here, between comments.
class Parser {
  public:
    Parser(std::string_view text, std::size_t at, Dialect dialect) : text_(text), at_(at), dialect_(dialect) {}

    // The whole text: one object with only whitespace and comments around it.
    json document(Layout* layout) {
        if (text_.starts_with(byteOrderMark)) {
            if (!dialect_.byteOrderMark) malformed();
            at_ = byteOrderMark.size();
        }
        skip();
        if (peek() != '{') malformed();
        json result = value(1, layout);
        skip();
        if (at_ != text_.size()) malformed();
        return result;
    }

    // The value at the current position; layout, when given, receives an object's members.
    json value(int depth, Layout* layout = nullptr) {
        switch (peek()) {
            case '{':
                return object(depth, layout);
            case '[':
                return array(depth);
            case '"':
                return token(string());
            default: {
                const std::size_t begin = at_;
                while (at_ < text_.size() &&
                       (std::isalnum(static_cast<unsigned char>(text_[at_])) || text_[at_] == '-' ||
                        text_[at_] == '+' || text_[at_] == '.')) {
                    ++at_;
                }
                return token(begin);
            }
        }
    }

  private:
    char peek() const { return at_ < text_.size() ? text_[at_] : '\0'; }

    bool take(char c) {
        if (peek() != c) return false;
        ++at_;
        return true;
    }

    void expect(char c) {
        if (!take(c)) malformed();
    }

    // Whitespace and comments, where JSON allows whitespace.
    void skip() {
        while (at_ < text_.size()) {
            const std::string_view rest = text_.substr(at_);
            if (rest[0] == ' ' || rest[0] == '\t' || rest[0] == '\n' || rest[0] == '\r') {
                ++at_;
            } else if (rest.starts_with("//")) {
                const std::size_t end = text_.find_first_of(dialect_.crEndsLineComment ? "\r\n" : "\n", at_);
                at_ = end == std::string_view::npos ? text_.size() : end;
            } else if (rest.starts_with("/*")) {
                const std::size_t end = text_.find("*/", at_ + 2);
                if (end == std::string_view::npos) malformed();
                at_ = end + 2;
            } else {
                return;
            }
        }
    }

    // Moves past the string token at the current position; returns where it began.
    std::size_t string() {
        const std::size_t begin = at_++;
        for (;;) {
            if (at_ >= text_.size()) malformed();
            const char c = text_[at_++];
            if (c == '"') return begin;
            if (c == '\\') ++at_;
        }
    }

    // The scalar text[begin, current position).
    json token(std::size_t begin) const {
        try {
            return json::parse(text_.data() + begin, text_.data() + at_);
        } catch (const json::exception&) {
            malformed();
        }
    }

    json object(int depth, Layout* layout) {
        if (depth > maxDepth) malformed();
        json result = json::object();
        if (layout != nullptr) layout->open = at_;
        ++at_;
        skip();
        if (peek() != '}') {
            do {
                skip();
                if (peek() != '"') malformed();
                const std::size_t keyBegin = at_;
                std::string key = token(string()).get<std::string>();
                skip();
                expect(':');
                skip();
                const std::size_t valueBegin = at_;
                result[key] = value(depth + 1);
                if (layout != nullptr) {
                    layout->members.push_back({std::move(key), keyBegin, valueBegin, at_});
                }
                skip();
            } while (take(','));
        }
        if (layout != nullptr) layout->close = at_;
        expect('}');
        return result;
    }

    json array(int depth) {
        if (depth > maxDepth) malformed();
        json result = json::array();
        ++at_;
        skip();
        if (peek() != ']') {
            do {
                skip();
                result.push_back(value(depth + 1));
                skip();
            } while (take(','));
        }
        expect(']');
        return result;
    }

    std::string_view text_;
    std::size_t at_;
    Dialect dialect_;
};

std::size_t lineStart(std::string_view text, std::size_t pos) {
    const std::size_t lf = text.rfind('\n', pos);
    return lf == std::string_view::npos ? 0 : lf + 1;
}

// The blanks that open the line holding pos (up to pos at most).
std::string indentOf(std::string_view text, std::size_t pos) {
    const std::size_t start = lineStart(text, pos);
    std::size_t end = start;
    while (end < pos && (text[end] == ' ' || text[end] == '\t')) ++end;
    return std::string(text.substr(start, end - start));
}

bool startsLine(std::string_view text, std::size_t pos) {
    return lineStart(text, pos) + indentOf(text, pos).size() == pos;
}

// How the file lays itself out: CR LF when every line ends so, and the indent unit that
// the first member of the top-level object adds to its brace's line, when that member
// stands on a line of its own. Both hold again after an edit, which keeps edits stable.
struct Style {
    std::string eol = "\n";
    char indentChar = ' ';
    int indentWidth = 2;

    Style(std::string_view text, const Layout& top) {
        bool crlf = text.find('\n') != std::string_view::npos;
        for (std::size_t lf = text.find('\n'); lf != std::string_view::npos;
             lf = text.find('\n', lf + 1)) {
            crlf = crlf && lf > 0 && text[lf - 1] == '\r';
        }
        if (crlf) eol = "\r\n";
        if (top.members.empty() || !startsLine(text, top.members.front().keyBegin)) return;
        const std::string outer = indentOf(text, top.open);
        std::string indent = indentOf(text, top.members.front().keyBegin);
        if (!indent.starts_with(outer)) return;
        indent.erase(0, outer.size());
        if (!indent.empty() && indent.find_first_not_of(indent[0]) == std::string::npos) {
            indentChar = indent[0];
            indentWidth = static_cast<int>(indent.size());
        }
    }

    std::string unit() const {
        return std::string(static_cast<std::size_t>(indentWidth), indentChar);
    }

    // value pretty-printed, each line after the first opened by indent.
    std::string render(const json& value, std::string_view indent) const {
        std::string out;
        for (const char c : value.dump(indentWidth, indentChar)) {
            if (c == '\n') {
                out += eol;
                out += indent;
            } else {
                out += c;
            }
        }
        return out;
    }
};

// text with the member key: value added after the last member of object.
std::string insert(std::string_view text, const Layout& object, std::string_view key,
                   const json& value, const Style& style) {
    const std::string outer = indentOf(text, object.open);
    std::string indent = outer + style.unit();
    if (!object.members.empty() && startsLine(text, object.members.back().keyBegin)) {
        indent = indentOf(text, object.members.back().keyBegin);
    }
    std::string member =
        style.eol + indent + json(std::string(key)).dump() + ": " + style.render(value, indent);
    // A closing brace on a line of its own stays there: the member ends the line before,
    // after any comment on it. Any other closing brace moves to a line of its own.
    std::size_t at = object.close;
    if (startsLine(text, object.close)) {
        at = lineStart(text, object.close) - 1;
        if (at > 0 && text[at - 1] == '\r') --at;
    } else {
        member += style.eol + outer;
    }
    // The comma goes right after the last value, before a comment that may follow it.
    const std::size_t comma = object.members.empty() ? at : object.members.back().valueEnd;
    std::string out(text.substr(0, comma));
    if (!object.members.empty()) out += ',';
    out += text.substr(comma, at - comma);
    out += member;
    out += text.substr(at);
    return out;
}

}  // namespace

json parse(std::string_view text, Dialect dialect) {
    return Parser(text, 0, dialect).document(nullptr);
}

// With duplicate keys the last occurrence is edited, the one parse() and the clients use,
// both for container in the top-level object and for name in the container.
std::string setMember(std::string_view text, std::string_view container, std::string_view name,
                      const json& entry, Dialect dialect) {
    Layout top;
    Parser(text, 0, dialect).document(&top);
    const Style style(text, top);
    const Member* holder = top.last(container);
    if (holder == nullptr) {
        return insert(text, top, container, json::object({{std::string(name), entry}}), style);
    }
    if (text[holder->valueBegin] != '{') malformed();
    Layout inner;
    Parser(text, holder->valueBegin, dialect).value(2, &inner);
    const Member* member = inner.last(name);
    if (member == nullptr) return insert(text, inner, name, entry, style);
    std::string out(text.substr(0, member->valueBegin));
    out += style.render(entry, indentOf(text, member->keyBegin));
    out += text.substr(member->valueEnd);
    return out;
}

}  // namespace quillmere::setup::jsonc
