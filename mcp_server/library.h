#pragma once

#include <cstddef>
#include <filesystem>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mcp_server/indexed_recording.h"
#include "mcp_server/record_cache.h"
#include "mcp_server/transcript_search.h"
#include "sync_core/bounded_reads.h"
#include "sync_core/date_time.h"
#include "sync_core/shared_records.h"

namespace quillmere::mcp {

// One readable recording of the last refresh.
struct LibraryItem {
    // "<SOURCE-ID>/<RECORDING-ID>", both in canonical upper-case text; what
    // the tools hand out as "recording_key".
    std::string key;
    std::shared_ptr<const IndexedRecording> recording;
    // The manifest entry's revision: the SHA-256 of the record file's bytes.
    std::string revision;
    // The source manifest's publishedAt.
    sync::Instant publishedAt;
    // The source directory root/S as SyncFormat::child resolved it; shared by
    // the source's items.
    std::shared_ptr<const std::filesystem::path> sourceRoot;

    // The record without its passages (see IndexedRecording).
    const sync::SharedRecording& record() const { return recording->record; }
};

// The server's view of the shared folder, rebuilt from the files on disk by
// refresh(). Everything that cannot be used becomes an issue instead of an
// error. Never writes into the shared folder; its only writes go to the
// audio cache (audio()). Single-threaded use.
class Library {
  public:
    // Reads nothing; the first refresh() does. cache need not exist. rule
    // is how the search ignores letter case (the user's locale by default).
    // index is the record index's folder (see RecordCache); empty keeps
    // decoded recordings in memory only.
    Library(std::filesystem::path root, std::filesystem::path cache,
            CaseRule rule = currentCaseRule(), std::filesystem::path index = {});

    // Rebuilds items, sources, issues, checkedAt and pendingCount from the
    // folder and prunes the record cache to the revisions still served.
    // Every record file is read and hashed on every call, so a changed file
    // is never served from the cache; only decoding, validation and search
    // preparation are skipped for revisions already cached, in this process
    // or in the record index. A listing, manifest or record file whose read
    // does not finish in time (sync::BoundedReads) is not downloaded for this
    // refresh. Never fails.
    void refresh();

    // The status object: "checked_at", "available_recordings",
    // "pending_recordings", "sources", "issues" (the first 100),
    // "issue_count", "state" and "note", built afresh on every call.
    nlohmann::json status() const;

    // The first item whose key equals key exactly (letter case counts).
    // Throws ToolFailure "recording_not_available".
    const LibraryItem& item(std::string_view key) const;

    // Delivers track `track` of item into the audio cache once its bytes
    // are verified (audio.cpp). Returns the "not_shared", "pending",
    // "downloading" or "available" object. Throws SyncFailure (invalidData
    // for a size or final digest mismatch, changedSource for a copy whose
    // bytes differ) and std::system_error.
    nlohmann::json audio(const LibraryItem& item, std::int64_t track) const;

    const std::filesystem::path& root() const { return root_; }
    const std::filesystem::path& cache() const { return cache_; }
    // The rule every cached search text and every query is folded with.
    CaseRule caseRule() const { return rule_; }
    // Newest createdAt first; equal instants in ascending key order.
    const std::vector<LibraryItem>& items() const { return items_; }
    // One summary per accepted manifest, in folder-name order: "source_id",
    // "published_at", "recordings" (manifest entries), "includes_audio".
    const std::vector<nlohmann::json>& sources() const { return sources_; }
    // Issue objects of string values, in the order found: {"state"},
    // {"source_id", "state"} or {"source_id", "recording_id", "state"}.
    const std::vector<nlohmann::json>& issues() const { return issues_; }
    // When the last refresh started; the construction time before the first.
    sync::Instant checkedAt() const { return checkedAt_; }
    // Manifest entries that could not be read or accepted.
    std::size_t pendingCount() const { return pendingCount_; }
    // Decoded recordings by revision.
    const RecordCache& records() const { return records_; }
    // After IndexedRecording::Damaged: the next refresh serves the damaged
    // recordings as their files hold them (RecordCache::dropDamaged).
    void dropDamaged() { records_.dropDamaged(); }

  private:
    struct Source;
    struct PendingEntry;

    // Source steps; the source issue when they fail.
    std::optional<nlohmann::json> readSource(const std::string& name, const sync::Uuid& id,
                                             sync::BoundedReads& reads,
                                             std::vector<PendingEntry>& pending);
    void readRecords(sync::BoundedReads& reads, std::vector<PendingEntry>& pending);
    void acceptEntry(PendingEntry& entry);

    std::filesystem::path root_;
    std::filesystem::path cache_;
    std::vector<LibraryItem> items_;
    std::vector<nlohmann::json> sources_;
    std::vector<nlohmann::json> issues_;
    sync::Instant checkedAt_;
    std::size_t pendingCount_ = 0;
    CaseRule rule_;
    RecordCache records_;
};

}  // namespace quillmere::mcp
