#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "mcp_server/indexed_recording.h"
#include "mcp_server/record_index.h"

namespace quillmere::mcp {

// The decoded recordings a Library serves, by revision: from the record
// index, shared with every other server of the user, when it can be used;
// else from this process's memory, as decoded. Whatever goes wrong with the
// index makes it unused for the rest of the process, with one line on
// standard error; the recordings served stay the same.
//
// A refresh calls begin(), find() from its threads, keep() for each revision
// it serves, then finish(). Recordings from the index are valid until the
// end of the next refresh.
class RecordCache {
  public:
    // index: the index's folder; empty for memory only. Nothing is opened
    // before the first begin().
    RecordCache(std::filesystem::path index, CaseRule rule);
    ~RecordCache();

    // Where a recording was found: its stored bytes in the index, or nothing
    // for one in memory.
    struct Found {
        std::shared_ptr<const IndexedRecording> recording;
        std::string_view stored;
    };

    // Starts a refresh looked up by up to readers threads at once.
    void begin(unsigned readers);
    // The cached recording of revision, if any. Threads call it at once, each
    // with a reader number of its own (below readers).
    std::optional<Found> find(std::string_view revision, unsigned reader) const;
    // Keeps the recording of a revision the refresh serves (found, or decoded
    // with stored empty).
    void keep(const std::string& revision, const Found& found);
    // Ends the refresh: everything not kept is dropped, and when the refresh
    // saw every manifest (complete) the index drops the revisions that none
    // of them names (named, views that need only last the call). What was
    // decoded goes into the index on a thread of its own, and is served from
    // there from the next refresh on.
    void finish(std::vector<std::string_view> named, bool complete);
    // After IndexedRecording::Damaged: drops every kept recording whose
    // stored passage texts are damaged, so that the next refresh decodes it
    // from its file and the index loses it.
    void dropDamaged();

    // Revisions kept by the last refresh, and how many of them are in memory.
    std::size_t size() const { return kept_.size(); }
    std::size_t inMemory() const;

  private:
    std::string key(std::string_view revision) const;
    void giveUp(const std::string& why);
    // Waits for the writer.
    void settle();

    std::filesystem::path directory_;
    CaseRule rule_;
    bool opened_ = false;
    std::unique_ptr<RecordIndex> index_;
    std::shared_ptr<const RecordIndex::Snapshot> snapshot_;
    // The snapshots the kept recordings were found in.
    std::vector<std::shared_ptr<const RecordIndex::Snapshot>> live_;
    // Looked up once per record file and refresh: hashed, not ordered.
    struct Hash : std::hash<std::string_view> {
        using is_transparent = void;
    };
    using ByRevision = std::unordered_map<std::string, Found, Hash, std::equal_to<>>;
    ByRevision kept_;
    ByRevision next_;
    // Revisions dropped as damaged: not looked up in the index again, and
    // removed from it by the next finish().
    std::unordered_set<std::string, Hash, std::equal_to<>> refused_;
    // Per reader, set by find(): keys whose stored bytes were damaged, and
    // why the index failed.
    mutable std::vector<std::vector<std::string>> damaged_;
    mutable std::vector<std::string> failures_;
    std::string writeFailure_;
    std::jthread writer_;
};

}  // namespace quillmere::mcp
