#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "mcp_server/record_index.h"
#include "mcp_server/transcript_search.h"
#include "sync_core/shared_records.h"

namespace quillmere::mcp {

// A decoded, validated recording as the record cache keeps it. Its passages
// are kept once, compactly: their times here, their texts in passageText
// (folded for searching, each original restored when asked for); the
// record's own list of passages is left empty. Immutable once built, so
// items of successive refreshes share it.
//
// Its stored form is what the record index keeps under the revision: the
// record without passages, the times and the passage texts, laid out so that
// a recording read from the index serves straight from the index's bytes.
// The index checks all but the texts' content when the recording is found;
// the content, the bulk, is checked when first read, since most calls never
// read it.
class IndexedRecording {
  public:
    struct Times {
        double start = 0;
        double end = 0;
    };
    // Stored passage texts that no longer hold what was stored.
    struct Damaged : std::runtime_error {
        Damaged() : std::runtime_error("stored passage texts are damaged") {}
    };

    // Decodes and validates the bytes of a record file, folding each
    // passage as it is read. Throws DecodingError and SyncFailure as
    // SyncFormat::decode and SharedRecording::validate do.
    IndexedRecording(std::string_view bytes, CaseRule rule);

    // The recording whose stored() is stored, served from those bytes, which
    // must outlive it. Throws std::invalid_argument for bytes that stored()
    // cannot have written.
    static std::shared_ptr<const IndexedRecording> fromStored(std::string_view stored);
    // The stored form (built on each call).
    RecordIndex::Value stored() const;

    IndexedRecording(const IndexedRecording&) = delete;
    IndexedRecording& operator=(const IndexedRecording&) = delete;

    std::size_t passageCount() const { return texts_.size(); }
    Times times(std::size_t i) const {
        Times t;
        std::memcpy(&t, times_ + i * sizeof t, sizeof t);
        return t;
    }
    // Passage i as published. Throws Damaged as passageText() does.
    sync::SharedPassage passage(std::size_t i) const;
    // The passage texts; throws Damaged unless intact().
    const PassageTexts& passageText() const;
    // Whether the passage texts hold what was stored, checking their content
    // on the first call for a recording read from the index. Not for two
    // threads at once: a library serves one call at a time.
    bool intact() const;

    sync::SharedRecording record;

  private:
    IndexedRecording() = default;

    PassageTexts texts_;
    // The checksum of texts_.content() and whether it has been seen to hold
    // (always, for texts decoded here).
    std::uint64_t contentSum_ = 0;
    mutable bool contentChecked_ = true;

    // Times of each passage, in host layout; owned by ownedTimes_ or by the
    // stored bytes.
    const char* times_ = nullptr;
    std::vector<Times> ownedTimes_;
};

}  // namespace quillmere::mcp
