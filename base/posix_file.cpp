#include "base/posix_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <system_error>

#include "base/uuid.h"

namespace quillmere::base {

namespace fs = std::filesystem;

void throwErrno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

FileDescriptor::~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
}

void FileDescriptor::close(const fs::path& path) {
    int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) throwErrno(path.string());
}

fs::path withoutTrailingSeparators(fs::path path) {
    while ((!path.has_filename() || path.filename() == ".") && path.has_relative_path())
        path = path.parent_path();
    return path;
}

FileDescriptor openOrThrow(const fs::path& path, int flags, unsigned mode) {
    int fd = ::open(path.c_str(), flags | O_CLOEXEC, static_cast<mode_t>(mode));
    if (fd < 0) throwErrno(path.string());
    return FileDescriptor(fd);
}

void writeAll(int fd, std::string_view data, const fs::path& path) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            throwErrno(path.string());
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
}

void syncDirectoryAfterRename(const fs::path& directory) {
    int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    // EINVAL: a file system without directory sync, where the rename is as durable as it gets.
    if (fd >= 0 && (::fsync(fd) == 0 || errno == EINVAL)) {
        ::close(fd);
        return;
    }
    const int error = errno;
    if (fd >= 0) ::close(fd);
    std::cerr << "warning: the change in " << directory.string()
              << " is made, but the directory could not be synced to disk: "
              << std::strerror(error) << std::endl;
}

void writeAtomically(const fs::path& path, std::string_view data, unsigned mode) {
    const fs::path directory = path.parent_path();
    const fs::path temporary =
        directory / ("." + path.filename().string() + ".write-" + Uuid::random().text());
    try {
        FileDescriptor fd = openOrThrow(temporary, O_WRONLY | O_CREAT | O_EXCL, mode);
        writeAll(fd.get(), data, temporary);
        if (::fsync(fd.get()) != 0) throwErrno(temporary.string());
        fd.close(temporary);
        if (::rename(temporary.c_str(), path.c_str()) != 0) throwErrno(path.string());
    } catch (...) {
        ::unlink(temporary.c_str());
        throw;
    }
    syncDirectoryAfterRename(directory);
}

std::string readRegularFile(const fs::path& path, std::size_t limit) {
    // Built only on failure (this runs once per record file and refresh),
    // after errno is taken.
    auto what = [&] { return "cannot read " + path.string(); };
    auto fail = [&] {
        const int error = errno;
        throw std::system_error(error, std::generic_category(), what());
    };
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) fail();
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) fail();
    if (!S_ISREG(st.st_mode)) throw FileRefused(what() + ": it is not a regular file");

    // One byte past the limit proves the file too long.
    const std::size_t cap = limit + 1;
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
            fail();
        }
        if (n == 0) break;
        filled += static_cast<std::size_t>(n);
    }
    if (filled > limit) {
        throw FileRefused(what() + ": it is longer than " + std::to_string(limit) + " bytes");
    }
    data.resize(filled);
    return data;
}

}  // namespace quillmere::base
