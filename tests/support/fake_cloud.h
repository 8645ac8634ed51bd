#pragma once

#include <filesystem>
#include <mutex>
#include <set>
#include <vector>

#include "sync_core/item_status.h"

namespace quillmere::testing {

// An item-status provider that plays the sync service: files marked as in the
// cloud report a local copy that is not current until a download has been
// requested for them.
// Every other file behaves as on the local file system. Installs itself for
// its lifetime.
class FakeCloud : public sync::ItemStatusProvider {
public:
    FakeCloud();

    // The file is managed by the cloud and its local copy is stale.
    void markNotCurrent(const std::filesystem::path& file);
    // The files a download was requested for, in order.
    std::vector<std::filesystem::path> downloadRequests() const;

    sync::ItemStatus status(const std::filesystem::path& item) override;
    void requestDownload(const std::filesystem::path& item) override;

private:
    mutable std::mutex mutex_;
    std::set<std::filesystem::path> cloud_;
    std::set<std::filesystem::path> stale_;
    std::vector<std::filesystem::path> requests_;
    sync::LocalItemStatusProvider local_;
    sync::ScopedItemStatusProvider installed_;
};

}  // namespace quillmere::testing
