#include "bounded_reads.h"

#include <linux/magic.h>
#include <sys/vfs.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <map>
#include <set>
#include <system_error>
#include <thread>

namespace quillmere::sync {

namespace {

using Clock = BoundedReads::Clock;

struct Task {
    std::string key;
    std::function<void()> work;
    std::exception_ptr failure;
    std::optional<Clock::time_point> started;
    // Its caller has given up on it.
    bool abandoned = false;
    bool done = false;
};

// The process's readers. Never destroyed: a reader blocked in a read of a
// stalled mount cannot be joined, and the process must still be able to exit.
class ReaderPool {
  public:
    // Runs task until deadline(start, joining), which may move while it
    // waits; true when the task has finished.
    template <class Deadline>
    bool perform(const std::shared_ptr<Task>& task, std::size_t bound, Deadline deadline) {
        std::unique_lock lock(mutex_);
        const Clock::time_point start = Clock::now();
        // One reader per key: a second read of a file whose first read stalls
        // would only block another reader on the same fetch.
        for (auto earlier = inProgress_.find(task->key); earlier != inProgress_.end();
             earlier = inProgress_.find(task->key)) {
            std::shared_ptr<Task> other = earlier->second;
            if (!finished_.wait_until(lock, deadline(start, true), [&] { return other->done; }))
                return false;
        }
        inProgress_.emplace(task->key, task);
        queue_.push_back(task);
        queued_.notify_one();

        while (!task->done) {
            addReaders(bound);
            const Clock::time_point until = deadline(start, false);
            if (!task->started && heldReaders() >= bound) {
                // Not started and nobody to start it: drop it rather than
                // queue it behind reads that may never end.
                std::erase(queue_, task);
                inProgress_.erase(task->key);
                return false;
            }
            if (Clock::now() >= until) {
                task->abandoned = true;
                // Reads queued behind it may now find every reader held.
                finished_.notify_all();
                if (!task->started) {
                    std::erase(queue_, task);
                    inProgress_.erase(task->key);
                }
                return false;
            }
            // Wakes now and then to notice readers held past the wait.
            finished_.wait_until(lock, std::min(until, Clock::now() + std::chrono::milliseconds(100)));
        }
        return true;
    }

    // Whether a read of key given up on has finished since without an
    // error; forgets it.
    bool arrived(const std::string& key) {
        std::lock_guard lock(mutex_);
        return arrived_.erase(key) > 0;
    }

  private:
    // A reader for every queued read, up to bound.
    void addReaders(std::size_t bound) {
        while (queue_.size() > idle_ && readers_ < bound) {
            // Counted once created; it cannot run before the caller releases
            // the lock. Without a new thread the read waits for a reader.
            try {
                std::thread([this] { serve(); }).detach();
            } catch (const std::system_error&) {
                return;
            }
            ++readers_;
            ++idle_;
        }
    }

    // Readers busy with a read given up on or past the wait.
    std::size_t heldReaders() const {
        const Clock::time_point now = Clock::now();
        std::size_t held = 0;
        for (const auto& [key, task] : inProgress_)
            if (task->started && (task->abandoned || now - *task->started >= BoundedReads::wait)) ++held;
        return held;
    }

    void serve() {
        std::unique_lock lock(mutex_);
        // Counted idle by addReaders already.
        for (bool first = true;; first = false) {
            if (!first) ++idle_;
            queued_.wait(lock, [&] { return !queue_.empty(); });
            --idle_;
            std::shared_ptr<Task> task = queue_.front();
            queue_.pop_front();
            task->started = Clock::now();
            lock.unlock();
            try {
                task->work();
            } catch (...) {
                task->failure = std::current_exception();
            }
            // Captures may hold large buffers; the task itself may live on
            // with a caller that gave up on it.
            task->work = nullptr;
            lock.lock();
            task->done = true;
            inProgress_.erase(task->key);
            if (task->abandoned && !task->failure) {
                // Only recent arrivals matter; keep the set small.
                if (arrived_.size() >= 4096) arrived_.clear();
                arrived_.insert(task->key);
            }
            finished_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable queued_;
    std::condition_variable finished_;
    std::deque<std::shared_ptr<Task>> queue_;
    std::map<std::string, std::shared_ptr<Task>> inProgress_;
    std::set<std::string> arrived_;
    std::size_t readers_ = 0;
    std::size_t idle_ = 0;
};

ReaderPool& pool() {
    static ReaderPool* readers = new ReaderPool;
    return *readers;
}

}  // namespace

void BoundedReads::runErased(const std::string& key, std::function<void()> work, Kind kind) {
    auto task = std::make_shared<Task>(Task{.key = key, .work = std::move(work)});
    const std::size_t bound = readerBound + (kind == Kind::structure ? structureReserve : 0);
    if (!pool().perform(task, bound, [this](Clock::time_point start, bool joining) {
            return deadline(start, joining);
        })) {
        timedOut(Clock::now());
        throw SyncFailure::notDownloaded();
    }
    if (task->failure) std::rethrow_exception(task->failure);
}

bool BoundedReads::arrived(const std::string& key) { return pool().arrived(key); }

bool BoundedReads::onLocalFileSystem(const std::filesystem::path& folder) {
    struct statfs info {};
    if (::statfs(folder.c_str(), &info) != 0) return false;
    // Disk and memory file systems only: anything else (FUSE, NFS, SMB, ...)
    // may block a read for as long as its server takes.
    constexpr unsigned long zfs = 0x2fc12fc1;
    switch (static_cast<unsigned long>(info.f_type)) {
        case EXT4_SUPER_MAGIC:
        case XFS_SUPER_MAGIC:
        case BTRFS_SUPER_MAGIC:
        case F2FS_SUPER_MAGIC:
        case zfs:
        case TMPFS_MAGIC:
        case RAMFS_MAGIC:
        case OVERLAYFS_SUPER_MAGIC:
            return true;
        default:
            return false;
    }
}

Clock::time_point BoundedReads::deadline(Clock::time_point start, bool joining) {
    std::lock_guard lock(mutex_);
    const Clock::time_point own = start + wait;
    if (!cutoff_) return own;
    // Past the cut-off, a new read still gets the grace a local file needs;
    // waiting again for a read already going is what the cut-off saves.
    return std::min(own, joining ? *cutoff_ : std::max(*cutoff_, start + grace));
}

void BoundedReads::timedOut(Clock::time_point at) {
    std::lock_guard lock(mutex_);
    if (!cutoff_) cutoff_ = at + wait;
}

}  // namespace quillmere::sync
