#include "setup_core/setup_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <system_error>

#include "base/posix_file.h"

namespace quillmere::setup {
namespace {

using base::FileDescriptor;

[[noreturn]] void throwErrno(int error, const std::string& what) {
    throw std::system_error(error, std::generic_category(), what);
}

}  // namespace

std::optional<std::string> readIfPresent(const std::filesystem::path& path, std::size_t bound) {
    try {
        return base::readRegularFile(path, bound);
    } catch (const std::system_error& error) {
        if (error.code() == std::errc::no_such_file_or_directory) return std::nullopt;
        throw;
    }
}

std::filesystem::path resolveSymbolicLinks(const std::filesystem::path& path) {
    namespace fs = std::filesystem;
    std::deque<fs::path> pending;
    for (const fs::path& component : fs::absolute(path).relative_path())
        pending.push_back(component);

    fs::path resolved = "/";
    int links = 0;
    while (!pending.empty()) {
        fs::path component = pending.front();
        pending.pop_front();
        if (component.empty() || component == ".") continue;
        if (component == "..") {
            resolved = resolved.parent_path();
            continue;
        }
        fs::path candidate = resolved / component;
        struct stat info {};
        if (::lstat(candidate.c_str(), &info) != 0) {
            // Nothing more to resolve: the rest does not exist (or cannot be looked at,
            // which the later read reports).
            resolved = candidate;
            for (const fs::path& rest : pending) resolved /= rest;
            return resolved.lexically_normal();
        }
        if (!S_ISLNK(info.st_mode)) {
            resolved = candidate;
            continue;
        }
        if (++links > 40) throwErrno(ELOOP, "cannot resolve " + path.string());
        std::error_code error;
        fs::path destination = fs::read_symlink(candidate, error);
        if (error) throw std::system_error(error, "cannot resolve " + candidate.string());
        if (destination.is_absolute()) resolved = "/";
        std::deque<fs::path> expanded;
        for (const fs::path& part : destination.relative_path()) expanded.push_back(part);
        pending.insert(pending.begin(), expanded.begin(), expanded.end());
    }
    return resolved;
}

void createFile(const std::filesystem::path& path, std::string_view bytes, mode_t mode) {
    FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
    if (fd.get() < 0) throwErrno(errno, "cannot create " + path.string());
    try {
        if (::fchmod(fd.get(), mode) != 0)
            throwErrno(errno, "cannot set permissions of " + path.string());
        base::writeAll(fd.get(), bytes, path);
        if (::fsync(fd.get()) != 0) throwErrno(errno, "cannot write " + path.string());
        fd.close(path);
    } catch (...) {
        ::unlink(path.c_str());
        throw;
    }
}

bool isExecutableFile(const std::filesystem::path& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
    return ::access(path.c_str(), X_OK) == 0;
}

}  // namespace quillmere::setup
