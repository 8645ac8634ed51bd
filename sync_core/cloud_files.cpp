#include "cloud_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "file_coordination.h"
#include "item_status.h"
#include "sync_failure.h"
#include "sync_format.h"
#include "uuid.h"

namespace quillmere::sync::CloudFiles {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void throwErrno(const fs::path& path) {
    throw std::system_error(errno, std::generic_category(), path.string());
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }
    // Closes now, so that a failing close (a full disk on some file systems) is seen.
    void close(const fs::path& path) {
        int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0) throwErrno(path);
    }

private:
    int fd_;
};

FileDescriptor openOrThrow(const fs::path& path, int flags, mode_t mode = 0) {
    int fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    if (fd < 0) throwErrno(path);
    return FileDescriptor(fd);
}

void writeAll(int fd, std::string_view data, const fs::path& path) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            throwErrno(path);
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
}

void syncDirectory(const fs::path& directory) {
    FileDescriptor dir = openOrThrow(directory, O_RDONLY | O_DIRECTORY);
    if (::fsync(dir.get()) != 0 && errno != EINVAL) throwErrno(directory);
}

// Removes the temporary file unless it was renamed into place.
struct TemporaryFile {
    fs::path path;
    bool placed = false;
    ~TemporaryFile() {
        if (!placed) ::unlink(path.c_str());
    }
};

void copyContents(int from, int to, const fs::path& source, const fs::path& staged) {
    bool kernelCopy = true;
    std::string buffer;
    for (;;) {
        ssize_t n;
        if (kernelCopy) {
            n = ::copy_file_range(from, nullptr, to, nullptr, 1 << 30, 0);
            if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
                kernelCopy = false;
                buffer.resize(1 << 20);
                continue;
            }
        } else {
            n = ::read(from, buffer.data(), buffer.size());
            if (n > 0) writeAll(to, std::string_view(buffer.data(), static_cast<std::size_t>(n)), staged);
        }
        if (n < 0) {
            if (errno == EINTR) continue;
            throwErrno(source);
        }
        if (n == 0) return;
    }
}

}  // namespace

std::string read(const fs::path& file, std::int64_t limit) {
    ItemStatusProvider& provider = itemStatusProvider();
    ItemStatus status = provider.status(file);
    if (status.isUbiquitous && !status.downloadCurrent) {
        provider.requestDownload(file);
        throw SyncFailure::notDownloaded();
    }
    if (status.fileSize.value_or(0) > limit) throw SyncFailure::invalidData();

    DirectoryLock lock(file.parent_path(), DirectoryLock::Mode::shared);
    // O_NONBLOCK so that opening a FIFO swapped in after the status query
    // cannot block; the opened file itself is what gets checked.
    FileDescriptor fd = openOrThrow(file, O_RDONLY | O_NONBLOCK);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) throwErrno(file);
    if (!S_ISREG(st.st_mode)) throw SyncFailure::invalidData();

    // Read at most limit + 1 bytes: one byte past the limit proves the file too long.
    const auto cap = static_cast<std::size_t>(limit) + 1;
    std::string data(std::min<std::size_t>(cap, static_cast<std::size_t>(st.st_size) + 1), '\0');
    std::size_t filled = 0;
    for (;;) {
        if (filled == data.size()) {
            if (data.size() >= cap) break;
            data.resize(std::min(cap, data.size() * 2));
        }
        ssize_t n = ::read(fd.get(), data.data() + filled, data.size() - filled);
        if (n < 0) {
            if (errno == EINTR) continue;
            throwErrno(file);
        }
        if (n == 0) break;
        filled += static_cast<std::size_t>(n);
    }
    if (filled > static_cast<std::size_t>(limit)) throw SyncFailure::invalidData();
    data.resize(filled);
    return data;
}

void write(std::string_view data, const fs::path& file, std::stop_token stop) {
    checkCancellation(stop);
    const fs::path directory = file.parent_path();
    fs::create_directories(directory);

    DirectoryLock lock(directory, DirectoryLock::Mode::exclusive);
    checkCancellation(stop);
    TemporaryFile temporary{directory / (".write-" + Uuid::random().text())};
    FileDescriptor fd = openOrThrow(temporary.path, O_WRONLY | O_CREAT | O_EXCL, 0644);
    writeAll(fd.get(), data, temporary.path);
    if (::fsync(fd.get()) != 0) throwErrno(temporary.path);
    fd.close(temporary.path);
    if (::rename(temporary.path.c_str(), file.c_str()) != 0) throwErrno(file);
    temporary.placed = true;
    syncDirectory(directory);
}

void copy(const fs::path& source, const fs::path& destination,
          const std::optional<std::string>& expectedHash, std::stop_token stop) {
    checkCancellation(stop);
    const fs::path sourceDirectory = source.parent_path();
    const fs::path directory = destination.parent_path();
    fs::create_directories(directory);

    // Both directories, always in the same order, so two copies in opposite
    // directions cannot deadlock.
    std::optional<DirectoryLock> first, second;
    if (sourceDirectory == directory) {
        first.emplace(directory, DirectoryLock::Mode::exclusive);
    } else if (sourceDirectory < directory) {
        first.emplace(sourceDirectory, DirectoryLock::Mode::shared);
        second.emplace(directory, DirectoryLock::Mode::exclusive);
    } else {
        first.emplace(directory, DirectoryLock::Mode::exclusive);
        second.emplace(sourceDirectory, DirectoryLock::Mode::shared);
    }

    TemporaryFile staged{directory / (".stage-" + Uuid::random().text())};
    {
        FileDescriptor from = openOrThrow(source, O_RDONLY | O_NONBLOCK);
        struct stat st {};
        if (::fstat(from.get(), &st) != 0) throwErrno(source);
        if (!S_ISREG(st.st_mode)) throw SyncFailure::invalidData();
        FileDescriptor to = openOrThrow(staged.path, O_WRONLY | O_CREAT | O_EXCL, st.st_mode & 0666);
        copyContents(from.get(), to.get(), source, staged.path);
        if (::fsync(to.get()) != 0) throwErrno(staged.path);
        to.close(staged.path);
    }
    if (expectedHash && SyncFormat::fileDigest(staged.path, stop) != *expectedHash) {
        throw SyncFailure::changedSource();
    }
    checkCancellation(stop);
    if (::rename(staged.path.c_str(), destination.c_str()) != 0) throwErrno(destination);
    staged.placed = true;
    syncDirectory(directory);
}

}  // namespace quillmere::sync::CloudFiles
