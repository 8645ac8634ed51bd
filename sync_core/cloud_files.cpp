#include "cloud_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "base/directory_lock.h"
#include "base/posix_file.h"
#include "base/uuid.h"
#include "item_status.h"
#include "sync_failure.h"
#include "sync_format.h"

namespace quillmere::sync::CloudFiles {

namespace fs = std::filesystem;

namespace {

using base::DirectoryLock;
using base::FileDescriptor;
using base::openOrThrow;
using base::throwErrno;

// Removes the temporary file unless it was renamed into place.
struct TemporaryFile {
    fs::path path;
    bool placed = false;
    ~TemporaryFile() {
        if (!placed) ::unlink(path.c_str());
    }
};

// Copies at most limit bytes and fails with changedSource on one more: a source
// that keeps growing must not fill the destination's file system before the
// digest check could refuse it.
void copyContents(int from, int to, std::int64_t limit, const fs::path& source,
                  const fs::path& staged, const std::stop_token& stop) {
    limit = std::max<std::int64_t>(limit, 0);
    bool kernelCopy = true;
    std::string buffer;
    std::int64_t copied = 0;
    for (;;) {
        // One byte past the limit proves the source longer than expected.
        const auto wanted = static_cast<std::size_t>(std::min<std::int64_t>(limit + 1 - copied, 1 << 30));
        ssize_t n;
        if (kernelCopy) {
            n = ::copy_file_range(from, nullptr, to, nullptr, wanted, 0);
            if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
                kernelCopy = false;
                buffer.resize(1 << 20);
                continue;
            }
        } else {
            n = ::read(from, buffer.data(), std::min(buffer.size(), wanted));
            if (n > 0) base::writeAll(to, std::string_view(buffer.data(), static_cast<std::size_t>(n)), staged);
        }
        if (n < 0) {
            if (errno == EINTR) continue;
            throwErrno(source.string());
        }
        if (n == 0) return;
        checkCancellation(stop);
        copied += n;
        if (copied > limit) throw SyncFailure::changedSource();
    }
}

// The directory's identity, so that one directory reached through two paths (a
// symbolic link, a bind mount) is locked once: a shared and an exclusive flock
// on it through two descriptors would block this very process.
std::pair<dev_t, ino_t> identity(const fs::path& directory) {
    struct stat st {};
    if (::stat(directory.c_str(), &st) != 0) throwErrno(directory.string());
    return {st.st_dev, st.st_ino};
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
    try {
        return base::readRegularFile(file, static_cast<std::size_t>(limit));
    } catch (const base::FileRefused&) {
        throw SyncFailure::invalidData();
    }
}

void write(std::string_view data, const fs::path& file, std::stop_token stop) {
    checkCancellation(stop);
    const fs::path directory = file.parent_path();
    fs::create_directories(directory);

    DirectoryLock lock(directory, DirectoryLock::Mode::exclusive);
    checkCancellation(stop);
    base::writeAtomically(file, data, 0644);
}

void copy(const fs::path& source, const fs::path& destination,
          const std::optional<std::string>& expectedHash,
          std::optional<std::int64_t> expectedBytes, std::stop_token stop) {
    checkCancellation(stop);
    const fs::path sourceDirectory = source.parent_path();
    const fs::path directory = destination.parent_path();
    fs::create_directories(directory);

    // Both directories, always in the same order, so two copies in opposite
    // directions cannot deadlock.
    std::optional<DirectoryLock> first, second;
    const auto sourceIdentity = identity(sourceDirectory);
    const auto destinationIdentity = identity(directory);
    if (sourceIdentity == destinationIdentity) {
        first.emplace(directory, DirectoryLock::Mode::exclusive);
    } else if (sourceIdentity < destinationIdentity) {
        first.emplace(sourceDirectory, DirectoryLock::Mode::shared);
        second.emplace(directory, DirectoryLock::Mode::exclusive);
    } else {
        first.emplace(directory, DirectoryLock::Mode::exclusive);
        second.emplace(sourceDirectory, DirectoryLock::Mode::shared);
    }

    TemporaryFile staged{directory / (".stage-" + base::Uuid::random().text())};
    {
        FileDescriptor from = openOrThrow(source, O_RDONLY | O_NONBLOCK);
        struct stat st {};
        if (::fstat(from.get(), &st) != 0) throwErrno(source.string());
        if (!S_ISREG(st.st_mode)) throw SyncFailure::invalidData();
        FileDescriptor to = openOrThrow(staged.path, O_WRONLY | O_CREAT | O_EXCL, st.st_mode & 0666);
        copyContents(from.get(), to.get(), expectedBytes.value_or(st.st_size), source, staged.path,
                     stop);
        if (::fsync(to.get()) != 0) throwErrno(staged.path.string());
        to.close(staged.path);
    }
    if (expectedHash && SyncFormat::fileDigest(staged.path, stop) != *expectedHash) {
        throw SyncFailure::changedSource();
    }
    checkCancellation(stop);
    if (::rename(staged.path.c_str(), destination.c_str()) != 0) throwErrno(destination.string());
    staged.placed = true;
    base::syncDirectoryAfterRename(directory);
}

}  // namespace quillmere::sync::CloudFiles
