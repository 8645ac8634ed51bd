#pragma once

#include <cstddef>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quillmere::base {

// std::system_error for the current errno, naming what was being done.
[[noreturn]] void throwErrno(const std::string& what);

// Closes a descriptor on every way out of a scope.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor();
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }
    // Closes now, so that a failing close of written data (a full disk on some
    // file systems) is seen. Throws std::system_error naming path.
    void close(const std::filesystem::path& path);

private:
    int fd_;
};

// The directory a path written as "x/", "x//" or "x/." names, as "x"; kept, the
// separator would leave the last component empty. Purely lexical: ".." is kept,
// since after a link it does not name the lexical parent.
std::filesystem::path withoutTrailingSeparators(std::filesystem::path path);

// Opens with O_CLOEXEC added; throws std::system_error naming path.
FileDescriptor openOrThrow(const std::filesystem::path& path, int flags, unsigned mode = 0);

// Writes all of data, resuming after interruptions and partial writes.
void writeAll(int fd, std::string_view data, const std::filesystem::path& path);

// Makes a rename into directory durable. The rename has happened whatever this
// finds, so a directory that cannot be opened or synced (no read permission, say)
// is a warning on standard error, never a failure of the change already made.
void syncDirectoryAfterRename(const std::filesystem::path& directory);

// Replaces path's contents with data so that a reader sees the old file or the new
// one, never a part: a temporary file beside it (created with mode, less the umask),
// fsync, rename over path, then the directory synced as above. The temporary file is
// removed on every failure. A symbolic link at path is replaced, not written through.
// Throws std::system_error.
void writeAtomically(const std::filesystem::path& path, std::string_view data, unsigned mode);

// A file refused for what it is rather than for an error reading it: not a
// regular file (a FIFO would block the reader, a device never ends), or longer
// than the reader accepts.
class FileRefused : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The contents of the regular file at path, opened without blocking and checked
// once opened, never holding more than limit + 1 bytes however the file grows.
// Throws FileRefused as above, std::system_error as the platform reports
// (no_such_file_or_directory for a missing file).
std::string readRegularFile(const std::filesystem::path& path, std::size_t limit);

}  // namespace quillmere::base
