#include "tests/support/fake_cloud.h"

namespace quillmere::testing {

namespace fs = std::filesystem;

namespace {
fs::path key(const fs::path& file) { return fs::weakly_canonical(file); }
}  // namespace

FakeCloud::FakeCloud() : installed_(*this) {}

void FakeCloud::markNotCurrent(const fs::path& file) {
    std::lock_guard lock(mutex_);
    cloud_.insert(key(file));
    stale_.insert(key(file));
}

std::vector<fs::path> FakeCloud::downloadRequests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

sync::ItemStatus FakeCloud::status(const fs::path& item) {
    sync::ItemStatus result = local_.status(item);
    std::lock_guard lock(mutex_);
    if (cloud_.contains(key(item))) {
        result.isUbiquitous = true;
        result.downloadCurrent = !stale_.contains(key(item));
    }
    return result;
}

void FakeCloud::requestDownload(const fs::path& item) {
    std::lock_guard lock(mutex_);
    requests_.push_back(key(item));
    stale_.erase(key(item));
}

}  // namespace quillmere::testing
