#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "sync_failure.h"

namespace quillmere::sync {

// Reads of the shared folder with a bounded wait. On a network mount a file
// that is listed may not be local yet, and open/read then block until the
// mount has fetched it, for a moment or for minutes; nothing says so in
// advance. A read that does not finish within the wait is the file not
// downloaded yet: the caller gets SyncFailure::notDownloaded, and the read goes
// on in the background, which is what makes the mount fetch the file, so a
// later read finds it local. The readers are a small pool of threads shared by
// the process; a blocked read cannot be cancelled, so once every reader is
// held by one, further reads are not downloaded without a new reader.
//
// One object is one pass over the folder (a refresh, a delivery): once one of
// its reads has timed out, its later reads wait only until one more wait has
// passed, so a pass over a folder where every read stalls ends within about
// twice the wait, however many files it has. Safe to use from several threads.
class BoundedReads {
  public:
    using Clock = std::chrono::steady_clock;

    // A small file of a slow but working mount arrives well within this; a
    // cloud fetch that has to start a transfer first does not.
    static constexpr std::chrono::milliseconds wait{2000};
    // The least a read gets once the pass is past its cut-off: enough for a
    // file the mount has locally.
    static constexpr std::chrono::milliseconds grace{25};
    // Readers of the process that file reads may hold; past it, a file read
    // is not downloaded at once.
    static constexpr std::size_t readerBound = 64;
    // Readers beyond the bound kept for reads of the folder's structure, so
    // the folder stays visible while stalled files hold every other reader.
    static constexpr std::size_t structureReserve = 8;

    enum class Kind { file, structure };

    // Runs work on a reader and returns its result or throws what it threw;
    // throws SyncFailure::notDownloaded when it has not finished in time. key
    // names what work reads: while an earlier read of the same key is still
    // going, this one first waits for it. work may outlive the call, so it
    // must own everything it uses (capture by value). A structure read (a
    // listing, a manifest) may use the reserved readers.
    template <class Work>
    auto run(const std::string& key, Work work, Kind kind = Kind::file) -> decltype(work()) {
        using Result = decltype(work());
        if (direct_) return work();
        if constexpr (std::is_void_v<Result>) {
            runErased(key, std::move(work), kind);
        } else {
            auto result = std::make_shared<std::optional<Result>>();
            runErased(key, [result, work = std::move(work)]() mutable { result->emplace(work()); }, kind);
            return std::move(**result);
        }
    }

    // Whether a read of key that a caller gave up on has finished since
    // without an error: its bytes are local now. Answers true once.
    static bool arrived(const std::string& key);

    // Whether folder lies on a local disk or memory file system, whose reads
    // cannot stall the way a network or FUSE mount's can. Asks the kernel
    // (statfs), which a stalled mount may not answer: call it through run().
    static bool onLocalFileSystem(const std::filesystem::path& folder);
    // The rest of this pass reads on the calling thread: for a folder on a
    // local file system, where handing each file to a reader only costs time.
    void readDirectly() { direct_ = true; }

  private:
    void runErased(const std::string& key, std::function<void()> work, Kind kind);
    // When a read started at start must be given up; joining: when waiting
    // for an earlier read of the same key.
    Clock::time_point deadline(Clock::time_point start, bool joining);
    void timedOut(Clock::time_point at);

    std::mutex mutex_;
    std::optional<Clock::time_point> cutoff_;
    std::atomic<bool> direct_ = false;
};

}  // namespace quillmere::sync
