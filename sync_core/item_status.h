#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

#include "date_time.h"

namespace quillmere::sync {

// What the platform knows about one file of a synchronised folder.
struct ItemStatus {
    // Managed by a sync service; its local copy may lag behind.
    bool isUbiquitous = false;
    // For a ubiquitous item: the local copy is the current one (false when
    // the service says otherwise or says nothing).
    bool downloadCurrent = false;
    std::optional<std::int64_t> fileSize;
    bool isRegularFile = false;
    std::optional<Instant> modified;
};

// The seam between the sync core and the file system's sync service. The
// default provider is the local file system, where nothing is ubiquitous;
// tests install one that holds chosen files back until a download is asked for.
class ItemStatusProvider {
public:
    virtual ~ItemStatusProvider() = default;
    // Follows symbolic links. Throws std::system_error (no_such_file_or_directory, ...).
    virtual ItemStatus status(const std::filesystem::path& item) = 0;
    // Asks the service to fetch the item; returns at once. Throws std::system_error.
    virtual void requestDownload(const std::filesystem::path& item) = 0;
};

// stat(2) based; never ubiquitous, download requests are no-ops.
class LocalItemStatusProvider : public ItemStatusProvider {
public:
    ItemStatus status(const std::filesystem::path& item) override;
    void requestDownload(const std::filesystem::path& item) override;
};

// The provider every operation of the sync core consults.
ItemStatusProvider& itemStatusProvider();

// Installs provider for the lifetime of the scope, then restores the previous
// one. Not for use while other threads are inside the sync core.
class ScopedItemStatusProvider {
public:
    explicit ScopedItemStatusProvider(ItemStatusProvider& provider);
    ~ScopedItemStatusProvider();
    ScopedItemStatusProvider(const ScopedItemStatusProvider&) = delete;
    ScopedItemStatusProvider& operator=(const ScopedItemStatusProvider&) = delete;

private:
    ItemStatusProvider* previous_;
};

}  // namespace quillmere::sync
