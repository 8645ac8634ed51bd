#include "item_status.h"

#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <system_error>

namespace quillmere::sync {

namespace {

LocalItemStatusProvider localProvider;
std::atomic<ItemStatusProvider*> currentProvider{&localProvider};

}  // namespace

ItemStatus LocalItemStatusProvider::status(const std::filesystem::path& item) {
    struct stat st {};
    if (::stat(item.c_str(), &st) != 0) {
        throw std::system_error(errno, std::generic_category(), item.string());
    }
    ItemStatus result;
    result.isRegularFile = S_ISREG(st.st_mode);
    result.fileSize = static_cast<std::int64_t>(st.st_size);
    auto since = std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec);
    result.modified = Instant(std::chrono::duration_cast<Instant::duration>(since));
    return result;
}

void LocalItemStatusProvider::requestDownload(const std::filesystem::path&) {}

ItemStatusProvider& itemStatusProvider() { return *currentProvider.load(); }

ScopedItemStatusProvider::ScopedItemStatusProvider(ItemStatusProvider& provider)
    : previous_(currentProvider.exchange(&provider)) {}

ScopedItemStatusProvider::~ScopedItemStatusProvider() { currentProvider.store(previous_); }

}  // namespace quillmere::sync
