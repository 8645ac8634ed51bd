#include "setup_core/yaml_text.h"

#include <yaml.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <new>
#include <optional>
#include <set>
#include <tuple>
#include <utility>
#include <vector>

#include "setup_core/setup_failure.h"

namespace quillmere::setup::yaml {
namespace {

using nlohmann::json;

// Deeper text is refused rather than risk the stack of the recursive walks.
constexpr int maxDepth = 512;
// Aliases can multiply a small text into a huge value; past this many nodes it is refused.
constexpr std::size_t maxValues = 1'000'000;
constexpr std::string_view byteOrderMark = "\xEF\xBB\xBF";

[[noreturn]] void malformed() {
    throw SetupFailure(SetupFailure::Kind::malformedYAML);
}

[[noreturn]] void uneditable() {
    throw SetupFailure(SetupFailure::Kind::uneditableYAML);
}

// A node as the text holds it, with byte offsets: where it begins, and where its last
// content ends (a block collection ends with its last item, a block scalar before the
// line breaks that close it).
struct Node {
    enum class Kind { scalar, sequence, mapping, alias } kind = Kind::scalar;
    bool flow = false;    // a collection in flow style
    bool plain = false;   // a plain scalar
    bool tagged = false;  // an explicit tag stands on it
    std::string text;     // a scalar's value; an alias's anchor
    std::string anchor;
    std::size_t begin = 0, end = 0;
    std::vector<Node> items;  // a mapping's keys and values in turn, a sequence's items

    // Something beyond plain data stands on it or inside it: an anchor, alias or tag.
    bool marked() const {
        if (tagged || !anchor.empty() || kind == Kind::alias) return true;
        for (const Node& item : items)
            if (item.marked()) return true;
        return false;
    }
    // An empty plain scalar: a key with nothing after it.
    bool empty() const { return kind == Kind::scalar && plain && text.empty(); }
};

struct Document {
    std::optional<Node> top;  // none in a text of only comments
    bool explicitEnd = false;
};

// One libyaml event, released on destruction.
struct Event {
    yaml_event_t event{};
    Event() = default;
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    ~Event() { yaml_event_delete(&event); }
};

// The single document of a text, as Nodes, from libyaml's events.
class Reader {
  public:
    explicit Reader(std::string_view text) : text_(text) {
        if (text.starts_with("\xFE\xFF") || text.starts_with("\xFF\xFE")) malformed();  // UTF-16
        // libyaml counts characters, after a byte order mark; offsets_ turns them into bytes.
        for (std::size_t i = text.starts_with(byteOrderMark) ? byteOrderMark.size() : 0; i < text.size(); ++i) {
            if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) offsets_.push_back(i);
        }
        offsets_.push_back(text.size());
        if (!yaml_parser_initialize(&parser_)) throw std::bad_alloc();
        yaml_parser_set_input_string(&parser_, reinterpret_cast<const unsigned char*>(text.data()), text.size());
    }
    ~Reader() { yaml_parser_delete(&parser_); }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    Document document() {
        Document result;
        Event start, first;
        next(start);
        next(first);
        if (first.event.type == YAML_STREAM_END_EVENT) return result;
        Event root;
        next(root);
        result.top = node(root, 1);
        Event end, after;
        next(end);
        result.explicitEnd = end.event.data.document_end.implicit == 0;
        // Anything after the first document, even text libyaml refuses, is another document.
        if (!yaml_parser_parse(&parser_, &after.event) || after.event.type != YAML_STREAM_END_EVENT) uneditable();
        return result;
    }

  private:
    void next(Event& event) {
        if (!yaml_parser_parse(&parser_, &event.event)) malformed();
    }

    std::size_t offset(const yaml_mark_t& mark) const {
        return offsets_[std::min<std::size_t>(mark.index, offsets_.size() - 1)];
    }

    static std::string text(const yaml_char_t* value) {
        return value == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(value));
    }

    Node node(const Event& event, int depth) {
        if (depth > maxDepth) uneditable();
        const yaml_event_t& e = event.event;
        Node result;
        result.begin = offset(e.start_mark);
        result.end = offset(e.end_mark);
        switch (e.type) {
            case YAML_ALIAS_EVENT:
                result.kind = Node::Kind::alias;
                result.text = text(e.data.alias.anchor);
                return result;
            case YAML_SCALAR_EVENT:
                result.text.assign(reinterpret_cast<const char*>(e.data.scalar.value), e.data.scalar.length);
                result.plain = e.data.scalar.style == YAML_PLAIN_SCALAR_STYLE;
                result.tagged = e.data.scalar.tag != nullptr;
                result.anchor = text(e.data.scalar.anchor);
                while (result.end > result.begin && std::string_view(" \t\r\n").find(text_[result.end - 1]) != std::string_view::npos)
                    --result.end;
                return result;
            case YAML_SEQUENCE_START_EVENT:
                result.kind = Node::Kind::sequence;
                result.flow = e.data.sequence_start.style == YAML_FLOW_SEQUENCE_STYLE;
                result.tagged = e.data.sequence_start.tag != nullptr;
                result.anchor = text(e.data.sequence_start.anchor);
                break;
            case YAML_MAPPING_START_EVENT:
                result.kind = Node::Kind::mapping;
                result.flow = e.data.mapping_start.style == YAML_FLOW_MAPPING_STYLE;
                result.tagged = e.data.mapping_start.tag != nullptr;
                result.anchor = text(e.data.mapping_start.anchor);
                break;
            default:
                malformed();
        }
        for (;;) {
            Event item;
            next(item);
            if (item.event.type == YAML_SEQUENCE_END_EVENT || item.event.type == YAML_MAPPING_END_EVENT) {
                result.end = result.flow || result.items.empty() ? offset(item.event.end_mark) : result.items.back().end;
                return result;
            }
            result.items.push_back(node(item, depth + 1));
        }
    }

    std::string_view text_;
    std::vector<std::size_t> offsets_;
    yaml_parser_t parser_{};
};

// Nodes as values, aliases resolved.
class Builder {
  public:
    json value(const Node& node) {
        const std::size_t first = count_;
        if (++count_ > maxValues) uneditable();
        // libyaml's own loader refuses an anchor defined twice; so does this.
        if (!node.anchor.empty() && !open_.insert(node.anchor).second) malformed();
        json result;
        switch (node.kind) {
            case Node::Kind::alias: {
                const auto found = anchors_.find(node.text);
                if (found == anchors_.end() && open_.contains(node.text)) uneditable();  // a cycle
                if (found == anchors_.end()) malformed();
                count_ += found->second.second;
                if (count_ > maxValues) uneditable();
                return found->second.first;
            }
            case Node::Kind::scalar:
                result = scalarValue(node.text, node.plain && !node.tagged);
                break;
            case Node::Kind::sequence:
                result = json::array();
                for (const Node& item : node.items) result.push_back(value(item));
                break;
            case Node::Kind::mapping:
                result = json::object();
                for (std::size_t i = 0; i + 1 < node.items.size(); i += 2) {
                    const json key = value(node.items[i]);
                    if (node.items[i].kind == Node::Kind::scalar) {
                        result[node.items[i].text] = value(node.items[i + 1]);
                    } else if (key.is_string()) {
                        result[key.get<std::string>()] = value(node.items[i + 1]);
                    } else {
                        uneditable();  // a key no JSON object can hold
                    }
                }
                break;
        }
        if (!node.anchor.empty()) anchors_[node.anchor] = {result, count_ - first};
        return result;
    }

  private:
    // Each anchor's value and how many nodes it holds.
    std::map<std::string, std::pair<json, std::size_t>> anchors_;
    std::set<std::string> open_;  // every anchor met; one not in anchors_ yet is being built
    std::size_t count_ = 0;
};

bool digits(std::string_view text, std::string_view allowed) {
    return !text.empty() && text.find_first_not_of(allowed) == std::string_view::npos;
}

// [-+]? ( . [0-9]+ | [0-9]+ ( . [0-9]* )? ) ( [eE] [-+]? [0-9]+ )?
bool isFloat(std::string_view text) {
    if (text.starts_with('-') || text.starts_with('+')) text.remove_prefix(1);
    const std::size_t e = text.find_first_of("eE");
    std::string_view mantissa = text.substr(0, e);
    if (e != std::string_view::npos) {
        std::string_view exponent = text.substr(e + 1);
        if (exponent.starts_with('-') || exponent.starts_with('+')) exponent.remove_prefix(1);
        if (!digits(exponent, "0123456789")) return false;
    }
    const std::size_t dot = mantissa.find('.');
    const std::string_view whole = mantissa.substr(0, dot);
    const std::string_view fraction = dot == std::string_view::npos ? "" : mantissa.substr(dot + 1);
    if (dot == std::string_view::npos) return digits(whole, "0123456789");
    if (whole.empty()) return digits(fraction, "0123456789");
    return digits(whole, "0123456789") && (fraction.empty() || digits(fraction, "0123456789"));
}

// The lines of value's members in block style, each opened by indent; "name" first.
void renderMembers(const json& value, const std::string& indent, const std::string& unit,
                   std::vector<std::string>& lines);

std::string doubleQuoted(std::string_view text) {
    std::string out = "\"";
    char escape[12];
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            if (c == '"' || c == '\\') {
                out += '\\';
                out += static_cast<char>(c);
            } else if (c < 0x20 || c == 0x7F) {
                std::snprintf(escape, sizeof escape, "\\x%02X", c);
                out += escape;
            } else {
                out += static_cast<char>(c);
            }
            ++i;
            continue;
        }
        // A UTF-8 sequence: kept as it is unless YAML does not allow the character raw.
        const std::size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
        if (length == 0 || i + length > text.size()) uneditable();
        std::uint32_t point = c & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) uneditable();
            point = point << 6 | (next & 0x3F);
        }
        if ((point >= 0x80 && point <= 0x9F) || point == 0xFEFF || point == 0xFFFE || point == 0xFFFF) {
            std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(point));
            out += escape;
        } else {
            out += text.substr(i, length);
        }
        i += length;
    }
    return out + "\"";
}


// A string that every YAML reader takes for that string when written plain: a letter or
// "/" first, then only letters, digits and "_./-", and no word that some reader resolves.
bool plainSafe(const std::string& text) {
    static constexpr std::string_view words[] = {"y", "n", "yes", "no", "on", "off"};
    std::string lower = text;
    std::ranges::transform(lower, lower.begin(), [](unsigned char c) { return std::tolower(c); });
    return !text.empty() && (std::isalpha(static_cast<unsigned char>(text[0])) || text[0] == '/') &&
           text.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_./-") ==
               std::string::npos &&
           scalarValue(text, true).is_string() && std::ranges::find(words, lower) == std::end(words);
}

std::string keyText(const std::string& key) {
    return plainSafe(key) ? key : doubleQuoted(key);
}

// A value on one line: strings plain when safe, else double-quoted; collections in flow style.
std::string flowText(const json& value) {
    if (value.is_string()) {
        const std::string& text = value.get_ref<const std::string&>();
        return plainSafe(text) ? text : doubleQuoted(text);
    }
    if (value.is_object()) {
        std::string out;
        for (const auto& [key, member] : value.items()) out += (out.empty() ? "" : ", ") + doubleQuoted(key) + ": " + flowText(member);
        return "{" + out + "}";
    }
    if (value.is_array()) {
        std::string out;
        for (const json& item : value) out += (out.empty() ? "" : ", ") + flowText(item);
        return "[" + out + "]";
    }
    return value.dump();
}

void renderMember(const std::string& key, const json& member, const std::string& indent, const std::string& unit,
                  std::vector<std::string>& lines) {
    const bool scalars = member.is_array() && std::none_of(member.begin(), member.end(), [](const json& item) {
                             return item.is_structured();
                         });
    if (member.is_object() && !member.empty()) {
        lines.push_back(indent + keyText(key) + ":");
        renderMembers(member, indent + unit, unit, lines);
    } else if (scalars && !member.empty()) {
        lines.push_back(indent + keyText(key) + ":");
        for (const json& item : member) lines.push_back(indent + unit + "- " + flowText(item));
    } else {
        lines.push_back(indent + keyText(key) + ": " + flowText(member));
    }
}

void renderMembers(const json& value, const std::string& indent, const std::string& unit,
                   std::vector<std::string>& lines) {
    if (value.contains("name")) renderMember("name", value["name"], indent, unit, lines);
    for (const auto& [key, member] : value.items()) {
        if (key != "name") renderMember(key, member, indent, unit, lines);
    }
}

// How the file lays itself out: CR LF when every line ends so, and the indent unit of its
// first nested block collection.
struct Style {
    std::string eol = "\n";
    std::string unit = "  ";
};

class Editor {
  public:
    Editor(std::string_view text, const Document& document) : text_(text), document_(document) {
        bool crlf = text.find('\n') != std::string_view::npos;
        for (std::size_t lf = text.find('\n'); lf != std::string_view::npos; lf = text.find('\n', lf + 1))
            crlf = crlf && text.substr(0, lf).ends_with('\r');
        if (crlf) style_.eol = "\r\n";
        if (!document.top || document.top->kind != Node::Kind::mapping) return;
        const Node& top = *document.top;
        for (std::size_t i = 0; i + 1 < top.items.size(); i += 2) {
            const Node& value = top.items[i + 1];
            if (value.kind == Node::Kind::scalar || value.kind == Node::Kind::alias || value.flow) continue;
            const std::size_t outer = column(top.items[i].begin), inner = column(value.begin);
            if (inner > outer && inner - outer <= 8 && startsLine(value.begin)) {
                style_.unit = std::string(inner - outer, ' ');
                return;
            }
        }
    }

    std::string edit(std::string_view container, std::string_view name, const json& entry, ContainerShape holder) {
        const bool list = holder == ContainerShape::listByName;
        // An anchor or tag on an empty document would take hold of the appended mapping.
        if (document_.top && (document_.top->tagged || !document_.top->anchor.empty())) uneditable();
        if (!document_.top || document_.top->empty()) return append(0, container, name, entry, list);
        const Node& top = *document_.top;
        // setEntry has refused any other top than a mapping while reading its value.
        if (top.flow || !startsLine(top.begin)) uneditable();
        const std::size_t at = lastPair(top, container);
        if (at == npos) return append(column(top.begin), container, name, entry, list);
        const Node& key = top.items[at];
        const Node& servers = top.items[at + 1];
        const std::size_t colon = colonAfter(key);
        const std::string inner = std::string(column(key.begin), ' ') + style_.unit;
        if (servers.kind == Node::Kind::alias || servers.tagged || !servers.anchor.empty()) uneditable();
        const bool holdsNothing =
            servers.empty() || (servers.kind == Node::Kind::scalar && servers.plain && scalarValue(servers.text, true).is_null()) ||
            (servers.flow && servers.items.empty() && servers.kind == (list ? Node::Kind::sequence : Node::Kind::mapping));
        if (holdsNothing) {
            // The value goes; whatever followed it on its line (a comment) stays. A comment
            // before or inside it would go too, so that is refused.
            const std::size_t valueEnd = servers.empty() ? colon + 1 : servers.end;
            if (!emptyValue(text_.substr(colon + 1, valueEnd - colon - 1))) uneditable();
            const std::size_t lineEnd = endOfLine(valueEnd);
            return std::string(text_.substr(0, colon + 1)) + std::string(text_.substr(valueEnd, lineEnd - valueEnd)) +
                   style_.eol + join(item(inner, name, entry, list)) + std::string(text_.substr(lineEnd));
        }
        if (servers.flow) uneditable();
        if (!list && servers.kind == Node::Kind::mapping) {
            if (!startsLine(servers.begin)) uneditable();
            const std::size_t found = lastPair(servers, name);
            if (found == npos) {
                const std::size_t end = endOfLine(pairEnd(servers, servers.items.size() - 2));
                return insert(end, item(std::string(column(servers.begin), ' '), name, entry, false));
            }
            const Node& entryKey = servers.items[found];
            const Node& old = servers.items[found + 1];
            if (entryKey.marked() || old.marked()) uneditable();
            if (old.kind == Node::Kind::mapping && !old.flow && startsLine(old.begin))
                return replace(old.begin, old.end, block(entry, column(old.begin)));
            const std::size_t entryColon = colonAfter(entryKey);
            std::vector<std::string> lines;
            renderMembers(entry, std::string(column(entryKey.begin), ' ') + style_.unit, style_.unit, lines);
            return replace(entryColon + 1, pairEnd(servers, found), style_.eol + join(lines));
        }
        if (list && servers.kind == Node::Kind::sequence) {
            if (!startsLine(servers.begin) || text_[servers.begin] != '-') uneditable();
            for (const Node& old : servers.items) {
                if (!named(old, name)) continue;
                if (old.marked()) uneditable();
                return replace(old.begin, old.end, block(entry, column(old.begin)));
            }
            if (servers.items.back().empty()) uneditable();
            const std::size_t end = endOfLine(servers.items.back().end);
            return insert(end, item(std::string(column(servers.begin), ' '), name, entry, true));
        }
        uneditable();
    }

  private:
    static constexpr std::size_t npos = std::string::npos;

    std::size_t lineStart(std::size_t pos) const {
        const std::size_t lf = pos == 0 ? npos : text_.rfind('\n', pos - 1);
        return lf == npos ? 0 : lf + 1;
    }
    std::size_t column(std::size_t pos) const { return pos - lineStart(pos); }
    bool startsLine(std::size_t pos) const {
        const std::string_view before = text_.substr(lineStart(pos), pos - lineStart(pos));
        return before.find_first_not_of(' ') == npos;
    }
    // Where the line holding pos ends, before its line break.
    std::size_t endOfLine(std::size_t pos) const {
        const std::size_t lf = text_.find('\n', pos);
        if (lf == npos) return text_.size();
        return text_.substr(pos, lf - pos).ends_with('\r') ? lf - 1 : lf;
    }
    // The colon after a key, with only blanks between them.
    std::size_t colonAfter(const Node& key) const {
        const std::size_t colon = text_.find(':', key.end);
        if (colon == npos || text_.substr(key.end, colon - key.end).find_first_not_of(" \t") != npos) uneditable();
        return colon;
    }
    // Where the pair at index i of mapping ends: its value, or its colon for a missing value.
    std::size_t pairEnd(const Node& mapping, std::size_t i) const {
        const Node& value = mapping.items[i + 1];
        return value.empty() ? colonAfter(mapping.items[i]) + 1 : value.end;
    }
    // The index of the last key of mapping that is the scalar key; npos when none.
    static std::size_t lastPair(const Node& mapping, std::string_view key) {
        std::size_t found = npos;
        for (std::size_t i = 0; i + 1 < mapping.items.size(); i += 2) {
            if (mapping.items[i].kind == Node::Kind::scalar && mapping.items[i].text == key) found = i;
        }
        return found;
    }
    // True for a mapping whose "name" is name.
    static bool named(const Node& node, std::string_view name) {
        if (node.kind != Node::Kind::mapping) return false;
        const std::size_t at = lastPair(node, "name");
        return at != npos && node.items[at + 1].kind == Node::Kind::scalar && node.items[at + 1].text == name;
    }

    std::string join(const std::vector<std::string>& lines) const {
        std::string out;
        for (const std::string& line : lines) out += (out.empty() ? "" : style_.eol) + line;
        return out;
    }
    // entry's members at column, the first line without its indentation: it takes the
    // place of a node that begins there.
    std::string block(const json& entry, std::size_t column) const {
        std::vector<std::string> lines;
        renderMembers(entry, std::string(column, ' '), style_.unit, lines);
        lines.front().erase(0, column);
        return join(lines);
    }
    // The lines of a new entry at indent: "name:" and its members, or a list item.
    std::vector<std::string> item(const std::string& indent, std::string_view name, const json& entry, bool list) const {
        if (list) return {indent + "- " + block(entry, indent.size() + 2)};
        std::vector<std::string> lines{indent + keyText(std::string(name)) + ":"};
        renderMembers(entry, indent + style_.unit, style_.unit, lines);
        return lines;
    }
    std::string insert(std::size_t at, const std::vector<std::string>& lines) const {
        return std::string(text_.substr(0, at)) + style_.eol + join(lines) + std::string(text_.substr(at));
    }
    std::string replace(std::size_t begin, std::size_t end, const std::string& with) const {
        return std::string(text_.substr(0, begin)) + with + std::string(text_.substr(end));
    }
    // A new container with the entry, after the last line.
    std::string append(std::size_t column, std::string_view container, std::string_view name, const json& entry,
                       bool list) const {
        const std::string indent(column, ' ');
        std::vector<std::string> lines{indent + keyText(std::string(container)) + ":"};
        for (std::string& line : item(indent + style_.unit, name, entry, list)) lines.push_back(std::move(line));
        std::string out(text_);
        if (!out.empty() && !out.ends_with('\n')) out += style_.eol;
        return out + join(lines) + style_.eol;
    }

    std::string_view text_;
    const Document& document_;
    Style style_;
};

}  // namespace

bool emptyValue(std::string_view text) {
    std::string compact;
    for (const char c : text)
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n') compact += c;
    return compact.empty() || compact == "{}" || compact == "[]" || scalarValue(compact, true).is_null();
}

namespace {

json valueOf(const Document& document) {
    if (!document.top || document.top->empty()) return json::object();
    if (document.top->kind != Node::Kind::mapping) uneditable();
    return Builder().value(*document.top);
}

}  // namespace

json scalarValue(std::string_view text, bool plain) {
    if (!plain) return std::string(text);
    if (text.empty() || text == "~" || text == "null" || text == "Null" || text == "NULL") return nullptr;
    if (text == "true" || text == "True" || text == "TRUE") return true;
    if (text == "false" || text == "False" || text == "FALSE") return false;
    std::string_view unsigned_ = text;
    const bool negative = unsigned_.starts_with('-');
    if (negative || unsigned_.starts_with('+')) unsigned_.remove_prefix(1);
    if (digits(unsigned_, "0123456789")) {
        const std::size_t first = std::min(unsigned_.find_first_not_of('0'), unsigned_.size() - 1);
        // Without exceptions: a number beyond a double's range is discarded, not thrown.
        const json number = json::parse((negative ? "-" : "") + std::string(unsigned_.substr(first)), nullptr, false);
        if (number.is_number_integer() || number.is_number_unsigned()) return number;
        return std::string(text);  // beyond 64 bits: no number the clients would keep exactly
    }
    for (const auto& [prefix, base, allowed] : {std::tuple{"0o", 8, "01234567"}, std::tuple{"0x", 16, "0123456789abcdefABCDEF"}}) {
        if (text.starts_with(prefix) && digits(text.substr(2), allowed) && text.size() <= 18)
            return std::strtoull(std::string(text.substr(2)).c_str(), nullptr, base);
    }
    if (isFloat(text)) {
        const double value = std::strtod(std::string(text).c_str(), nullptr);
        if (std::isfinite(value)) return value;
    }
    return std::string(text);
}

json parse(std::string_view text) {
    return valueOf(Reader(text).document());
}

std::string setEntry(std::string_view text, std::string_view container, std::string_view name, const json& entry,
                     ContainerShape holder) {
    // libyaml also breaks lines at a lone CR, NEL and the Unicode separators; edits here
    // count lines by LF.
    for (const std::string_view odd : {"\xC2\x85", "\xE2\x80\xA8", "\xE2\x80\xA9"})
        if (text.find(odd) != std::string_view::npos) uneditable();
    for (std::size_t cr = text.find('\r'); cr != std::string_view::npos; cr = text.find('\r', cr + 1))
        if (text.substr(cr + 1, 1) != "\n") uneditable();
    const Document document = Reader(text).document();
    json expected = valueOf(document);
    if (document.explicitEnd) uneditable();
    const std::string out = Editor(text, document).edit(container, name, entry, holder);

    // What the edit must have made: the entry in place, everything else as it was. Any
    // other outcome means the text could not be edited safely.
    json& servers = expected[std::string(container)];
    if (holder == ContainerShape::byKey) {
        if (!servers.is_object()) servers = json::object();
        servers[std::string(name)] = entry;
    } else {
        if (!servers.is_array()) servers = json::array();
        const auto same = std::find_if(servers.begin(), servers.end(), [&](const json& item) {
            return item.is_object() && item.value("name", json()) == name;
        });
        if (same == servers.end()) servers.push_back(entry);
        else *same = entry;
    }
    try {
        if (parse(out) != expected) uneditable();
    } catch (const SetupFailure&) {
        uneditable();
    }
    return out;
}

}  // namespace quillmere::setup::yaml
