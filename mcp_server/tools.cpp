#include "mcp_server/tools.h"

#include <algorithm>
#include <stdexcept>

#include "mcp_server/arguments.h"
#include "mcp_server/catalogue.h"
#include "mcp_server/cursor.h"
#include "mcp_server/tool_failure.h"
#include "mcp_server/transcript_search.h"
#include "sync_core/sync_format.h"

namespace quillmere::mcp {

using nlohmann::json;
namespace SyncFormat = sync::SyncFormat;

namespace {

constexpr std::size_t defaultLimit = 20;
constexpr std::size_t maxQueryCharacters = 500;
constexpr std::size_t excerptCharacters = 1000;

std::string dateText(sync::Instant instant) {
    return sync::formatInternetDate(instant);
}

json optionalText(const std::optional<std::string>& value) {
    return value ? json(*value) : json(nullptr);
}

json optionalId(const std::optional<sync::Uuid>& value) {
    return value ? json(value->text()) : json(nullptr);
}

// Unknown argument names are refused before anything else is looked at.
void rejectUnknownArguments(std::string_view name, const json& arguments) {
    const json& catalogue = toolCatalogue();
    const auto tool = std::find_if(catalogue.begin(), catalogue.end(),
                                   [&](const json& t) { return t.at("name") == name; });
    if (tool == catalogue.end())
        throw std::invalid_argument("not a tool of the catalogue: " + std::string(name));
    const json& properties = tool->at("inputSchema").at("properties");
    for (const auto& [key, value] : arguments.items()) {
        if (!properties.contains(key)) throw ToolFailure("invalid_argument", "存在不支持的参数。");
    }
}

std::size_t readLimit(const json& arguments) {
    return static_cast<std::size_t>(arguments::wholeNumber(
        arguments::number(arguments, "limit", static_cast<double>(defaultLimit)), "limit", 1, 100));
}

// The page of results starting at offset: at most limit elements of
// results, and the cursor of the page after it.
template <class Results, class Build>
std::pair<json, json> page(const Results& results, std::size_t offset, std::size_t limit,
                           std::string_view fingerprint, Build build) {
    if (offset > results.size()) throw ToolFailure("invalid_cursor", "分页位置无效。");
    const std::size_t end = offset + std::min(limit, results.size() - offset);
    json items = json::array();
    for (std::size_t i = offset; i < end; ++i) items.push_back(build(results[i]));
    return {std::move(items), arguments::next(fingerprint, end, results.size())};
}

json recordingSummary(const LibraryItem& item) {
    const sync::SharedRecording& record = item.record();
    return {{"recording_key", item.key},
            {"name", record.name},
            {"recorded_at", dateText(record.createdAt)},
            {"duration_seconds", record.duration},
            {"session_id", optionalId(record.sessionID)},
            {"transcript_complete", record.transcriptComplete},
            {"passage_count", item.recording->passageCount()},
            {"shared_audio_tracks", record.audio.size()},
            {"source_published_at", dateText(item.publishedAt)}};
}

struct Match {
    const LibraryItem* item;
    std::size_t passage;
};

json searchMatch(const Match& match) {
    const sync::SharedRecording& record = match.item->record();
    const sync::SharedPassage passage = match.item->recording->passage(match.passage);
    const std::string_view excerpt = graphemePrefix(passage.text, excerptCharacters);
    return {{"recording_key", match.item->key},
            {"name", record.name},
            {"recorded_at", dateText(record.createdAt)},
            {"start_seconds", passage.start},
            {"end_seconds", passage.end},
            {"text", excerpt},
            {"excerpt_truncated", excerpt.size() < passage.text.size()},
            {"transcript_complete", record.transcriptComplete}};
}

// list_recordings and search_transcripts: time filter, then either every
// filtered recording or every passage that contains the query.
json listOrSearch(const Library& library, const json& arguments, bool search) {
    const std::size_t limit = readLimit(arguments);
    const std::optional<sync::Instant> from = arguments::date(arguments, "from");
    const std::optional<sync::Instant> to = arguments::date(arguments, "to");
    if (from && to && *from > *to) throw ToolFailure("invalid_argument", "from 必须早于 to。");

    std::vector<const LibraryItem*> filtered;
    std::string fingerprintText;
    for (const LibraryItem& item : library.items()) {
        const sync::Instant start = item.record().createdAt;
        if ((from && start < *from) || (to && start >= *to)) continue;
        filtered.push_back(&item);
        fingerprintText += item.revision;
    }

    std::string query;
    if (search) {
        query = arguments::string(arguments, "query");
        if (graphemeCount(query, maxQueryCharacters + 1) > maxQueryCharacters) {
            throw ToolFailure("invalid_argument", "搜索词过长。");
        }
    }
    auto argumentText = [&](const char* name) {
        auto it = arguments.find(name);
        return it == arguments.end() ? std::string() : it->get<std::string>();
    };
    fingerprintText += "|" + query + "|" + argumentText("from") + "|" + argumentText("to");
    const std::string fingerprint = SyncFormat::digest(fingerprintText);
    const std::size_t offset = arguments::cursor(arguments, fingerprint);

    std::pair<json, json> paged;
    std::size_t total = 0;
    if (!search) {
        total = filtered.size();
        paged = page(filtered, offset, limit, fingerprint,
                     [](const LibraryItem* item) { return recordingSummary(*item); });
    } else {
        const SearchText needle(query, library.caseRule());
        std::vector<Match> matches;
        for (const LibraryItem* item : filtered) {
            const IndexedRecording& indexed = *item->recording;
            for (std::size_t i : indexed.passageText().matching(needle)) matches.push_back({item, i});
        }
        total = matches.size();
        paged = page(matches, offset, limit, fingerprint, searchMatch);
    }
    return {{"items", std::move(paged.first)},
            {"total", total},
            {"next_cursor", std::move(paged.second)},
            {"sync", library.status()}};
}

json getTranscript(const Library& library, const json& arguments) {
    const std::size_t limit = readLimit(arguments);
    const LibraryItem& item = library.item(arguments::string(arguments, "recording_key"));
    const sync::SharedRecording& record = item.record();
    const double start = arguments::number(arguments, "start_seconds", 0);
    const double end = arguments::number(arguments, "end_seconds", record.duration);
    if (start < 0 || end < start) throw ToolFailure("invalid_argument", "时间范围无效。");

    const IndexedRecording& indexed = *item.recording;
    std::vector<std::size_t> window;
    for (std::size_t i = 0; i < indexed.passageCount(); ++i) {
        const IndexedRecording::Times times = indexed.times(i);
        if (times.end > start && times.start < end) window.push_back(i);
    }
    const std::string fingerprint = SyncFormat::digest(
        item.revision + "|" + fingerprintNumber(start) + "|" + fingerprintNumber(end));
    const std::size_t offset = arguments::cursor(arguments, fingerprint);
    auto [passages, nextCursor] = page(window, offset, limit, fingerprint, [&](std::size_t i) {
        const sync::SharedPassage passage = indexed.passage(i);
        return json{{"start_seconds", passage.start},
                    {"end_seconds", passage.end},
                    {"text", passage.text}};
    });
    return {{"recording_key", item.key},
            {"name", record.name},
            {"recorded_at", dateText(record.createdAt)},
            {"transcript_complete", record.transcriptComplete},
            {"session_id", optionalId(record.sessionID)},
            {"locale", optionalText(record.locale)},
            {"passages", std::move(passages)},
            {"next_cursor", std::move(nextCursor)},
            {"source_published_at", dateText(item.publishedAt)},
            {"total_passages", window.size()}};
}

json getAudio(const Library& library, const json& arguments) {
    const LibraryItem& item = library.item(arguments::string(arguments, "recording_key"));
    const std::int64_t track =
        arguments::wholeNumber(arguments::number(arguments, "track", 0), "track", 0, 32);
    return library.audio(item, track);
}

}  // namespace

json call(Library& library, std::string_view name, const json& arguments) {
    rejectUnknownArguments(name, arguments);
    if (name == "get_sync_status") return library.status();
    if (name == "list_recordings") return listOrSearch(library, arguments, false);
    if (name == "search_transcripts") return listOrSearch(library, arguments, true);
    if (name == "get_transcript") return getTranscript(library, arguments);
    return getAudio(library, arguments);
}

}  // namespace quillmere::mcp
