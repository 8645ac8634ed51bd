#pragma once

#include <filesystem>

namespace quillmere::setup {

// An exclusive advisory lock (flock) on the directory that holds a file, held for the
// object's lifetime: the coordinated section of a configuration write. Readers and
// writers that follow the same convention (a shared or exclusive flock on the
// directory) are kept out while it is held. Where the file system does not support
// locks the section goes on uncoordinated; other failures to open the directory throw
// std::system_error.
class DirectoryLock {
  public:
    explicit DirectoryLock(const std::filesystem::path& directory);
    ~DirectoryLock();
    DirectoryLock(const DirectoryLock&) = delete;
    DirectoryLock& operator=(const DirectoryLock&) = delete;

    // False when the lock could not be taken because the file system has no locks.
    bool coordinated() const { return coordinated_; }

  private:
    int fd_ = -1;
    bool coordinated_ = false;
};

}  // namespace quillmere::setup
