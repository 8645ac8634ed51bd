#include "setup_core/directory_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace quillmere::setup {

DirectoryLock::DirectoryLock(const std::filesystem::path& directory) {
    fd_ = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0) {
        throw std::system_error(errno, std::generic_category(),
                                "cannot open " + directory.string());
    }
    while (::flock(fd_, LOCK_EX) != 0) {
        if (errno == EINTR) continue;
        int error = errno;
        if (error == EOPNOTSUPP || error == ENOLCK || error == EINVAL) return;
        ::close(fd_);
        fd_ = -1;
        throw std::system_error(error, std::generic_category(),
                                "cannot lock " + directory.string());
    }
    coordinated_ = true;
}

DirectoryLock::~DirectoryLock() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the lock
}

}  // namespace quillmere::setup
