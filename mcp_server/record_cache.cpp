#include "mcp_server/record_cache.h"

#include <malloc.h>
#include <unicode/uchar.h>

#include <algorithm>
#include <exception>

#include "mcp_server/emit.h"

namespace quillmere::mcp {

namespace {

// Raised whenever IndexedRecording's stored form or the search folding
// changes what a stored value means.
constexpr const char* storedFormat = "2";

// A revision is 64 characters of digest text; the key goes on from there.
constexpr std::size_t revisionLength = 64;

}  // namespace

RecordCache::RecordCache(std::filesystem::path index, CaseRule rule)
    : directory_(std::move(index)), rule_(rule) {}

RecordCache::~RecordCache() {
    settle();
    // Recordings found in a snapshot go before it.
    kept_.clear();
    next_.clear();
    live_.clear();
    snapshot_.reset();
}

std::string RecordCache::key(std::string_view revision) const {
    // Everything the stored form depends on besides the file's bytes: its
    // layout, the case rule and the Unicode data folding used.
    return std::string(revision) + "/" + storedFormat + "/" +
           (rule_ == CaseRule::turkic ? "turkic" : "standard") + "/unicode-" + U_UNICODE_VERSION;
}

void RecordCache::giveUp(const std::string& why) {
    // One line per process. What the index already served stays valid: its
    // snapshots live on until the next refresh has replaced it.
    if (!index_ && opened_) return;
    diagnostic("Record index " + directory_.string() + " not used (" + why +
               "); recordings are decoded in memory instead. Deleting that folder is safe.");
    index_.reset();
}

void RecordCache::begin(unsigned readers) {
    settle();
    if (!opened_ && !directory_.empty()) {
        try {
            index_ = std::make_unique<RecordIndex>(directory_);
        } catch (const std::exception& failure) {
            giveUp(failure.what());
        }
        opened_ = true;
    }
    damaged_.assign(readers, {});
    failures_.assign(readers, {});
    snapshot_.reset();
    if (!index_) return;
    try {
        snapshot_ = index_->snapshot(std::max(readers, 1u));
    } catch (const std::exception& failure) {
        giveUp(failure.what());
    }
}

std::optional<RecordCache::Found> RecordCache::find(std::string_view revision,
                                                    unsigned reader) const {
    if (snapshot_ && failures_[reader].empty() && !refused_.contains(revision)) {
        try {
            const std::string k = key(revision);
            if (std::optional<std::string_view> stored = snapshot_->find(reader, k)) {
                // The same bytes at the same place: found and checked before.
                if (auto kept = kept_.find(revision);
                    kept != kept_.end() && kept->second.stored.data() == stored->data() &&
                    kept->second.stored.size() == stored->size())
                    return kept->second;
                if (std::optional<std::string_view> bytes = RecordIndex::Snapshot::intact(k, *stored))
                    return Found{IndexedRecording::fromStored(*bytes), *stored};
                damaged_[reader].push_back(k);
            }
        } catch (const std::exception& failure) {
            failures_[reader] = failure.what();
        }
    }
    if (auto kept = kept_.find(revision); kept != kept_.end() && kept->second.stored.empty())
        return kept->second;
    return std::nullopt;
}

void RecordCache::keep(const std::string& revision, const Found& found) {
    next_.emplace(revision, found);
}

void RecordCache::finish(std::vector<std::string_view> named, bool complete) {
    for (const std::string& failure : failures_) {
        if (!failure.empty()) giveUp(failure);
    }
    if (index_ && snapshot_) {
        try {
            std::vector<std::string> removed;
            for (const auto& keys : damaged_) removed.insert(removed.end(), keys.begin(), keys.end());
            for (const std::string& revision : refused_) removed.push_back(key(revision));
            refused_.clear();
            // Every key this refresh found is named: only more keys than
            // that can hold one that is not.
            std::size_t found = 0;
            for (const auto& [revision, kept] : next_) found += !kept.stored.empty();
            if (complete && snapshot_->size() != found) {
                std::sort(named.begin(), named.end());
                // Keys of an earlier stored format go too: no server reads them.
                const std::string format = std::string("/") + storedFormat + "/";
                for (std::string& k : snapshot_->keys()) {
                    const std::string_view view(k);
                    if (!std::binary_search(named.begin(), named.end(), view.substr(0, revisionLength)) ||
                        !view.substr(revisionLength).starts_with(format))
                        removed.push_back(std::move(k));
                }
            }
            std::vector<RecordIndex::Put> puts;
            for (const auto& [revision, kept] : next_) {
                if (kept.stored.empty())
                    puts.push_back({key(revision), [recording = kept.recording] { return recording->stored(); }});
            }
            // Stored after the answer has gone: the next refresh waits for it
            // and then finds these recordings in the index.
            if (!puts.empty() || !removed.empty()) {
                writer_ = std::jthread([this, puts = std::move(puts), removed = std::move(removed)] {
                    try {
                        index_->write(puts, removed);
                    } catch (const std::exception& failure) {
                        writeFailure_ = failure.what();
                    }
                });
            }
        } catch (const std::exception& failure) {
            giveUp(failure.what());
        }
    }
    const std::size_t before = inMemory();
    kept_ = std::move(next_);
    next_.clear();
    // Only this refresh's snapshot holds what is kept now; a recording kept
    // from an earlier one lies at the same place in this refresh's.
    live_.clear();
    if (snapshot_) live_.push_back(std::move(snapshot_));
    // Copies that the index now serves give their memory back.
    if (inMemory() < before) ::malloc_trim(0);
}

void RecordCache::dropDamaged() {
    std::erase_if(kept_, [&](const auto& kept) {
        const bool damaged = !kept.second.stored.empty() && !kept.second.recording->intact();
        if (damaged) refused_.insert(kept.first);
        return damaged;
    });
}

void RecordCache::settle() {
    if (writer_.joinable()) writer_.join();
    if (!writeFailure_.empty()) giveUp(std::exchange(writeFailure_, {}));
}

std::size_t RecordCache::inMemory() const {
    std::size_t count = 0;
    for (const auto& [revision, found] : kept_) count += found.stored.empty();
    return count;
}

}  // namespace quillmere::mcp
