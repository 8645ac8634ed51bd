#pragma once

#include <filesystem>

namespace quillmere::base {

// Advisory coordination with other readers and writers of a directory's items,
// in this process and others: flock(2) on the directory, shared for reading,
// exclusive for writing. Where the directory cannot be opened or the file
// system has no locks, the holder goes on uncoordinated; the atomic renames of
// the writers still keep readers from seeing half-written files.
class DirectoryLock {
public:
    enum class Mode { shared, exclusive };

    DirectoryLock(const std::filesystem::path& directory, Mode mode);
    ~DirectoryLock();
    DirectoryLock(const DirectoryLock&) = delete;
    DirectoryLock& operator=(const DirectoryLock&) = delete;

    bool coordinated() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

}  // namespace quillmere::base
